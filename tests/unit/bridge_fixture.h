// Shared set-up of the bridge tests: a fake OS whose local application data
// folder and own executable lie in a fresh temporary folder, and small file
// helpers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/data_dir.h"
#include "platform/platform.h"
#include "support/fake_system.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace nimbra::bridgetest {

namespace fs = std::filesystem;

using testing::names_in;
using testing::read_bytes;
using testing::write_bytes;

inline std::string app_name(std::size_t i) {
    return std::string(platform::desktop_app_process_names()[i]);
}
inline std::string candidate(std::size_t i) {
    return std::string(platform::desktop_app_candidates()[i]);
}

class BridgeTest : public ::testing::Test {
protected:
    BridgeTest() {
        system.app_data = temp.path() / "AppData";
        system.executable = bin() / "nimbra-native-host.exe";
        fs::create_directories(*system.app_data);
        fs::create_directories(bin());
    }

    // The data directory as a request finds it.
    bridge::PathResult found() { return bridge::local_data_dir(system); }

    fs::path bin() const { return temp.path() / "bin"; }
    fs::path data_dir() const { return temp.path() / "AppData" / "Velisto" / "Nimbra"; }
    fs::path lock() const { return data_dir() / "desktop-launch.lock"; }
    fs::path inbox() const { return data_dir() / "inbox"; }
    fs::path results() const { return data_dir() / "inbox-results"; }
    fs::path candidate_path(std::size_t i) const { return bin() / candidate(i); }

    // The application shows up under its first name.
    void app_appears() { system.add_process(app_name(0), 1); }
    bool app_listed() const {
        if (!system.processes) return false;
        for (const auto& entry : *system.processes) {
            if (entry.name == app_name(0)) return true;
        }
        return false;
    }

    // Places the candidates as files beside the fake executable.
    void place_candidates(bool first, bool second) {
        if (first) write_bytes(candidate_path(0), "program");
        if (second) write_bytes(candidate_path(1), "program");
    }

    testing::TempDir temp;
    testing::FakeSystem system;
};

}  // namespace nimbra::bridgetest
