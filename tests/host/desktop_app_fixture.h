// A fixture for host-level tests that involve the desktop application: copies
// of the host and of the stand-in application side by side, stand-ins that
// end with the test, and mutual exclusion between such tests.
//
// The host recognises the application by process name alone. Natively the
// process table is the whole machine's, so two of these tests running at
// once would see each other's stand-ins: every test of this fixture holds a
// machine-wide lock file for its whole run (under wine the process table is
// the prefix's, and the wine variants are serialised anyway; the lock is then
// per prefix).
//
// Stand-ins get their options from the environment of the host that starts
// them: they log to record_dir() and end soon after the test removes its
// keep-alive file in TearDown.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "host/host_process.h"

namespace nimbra::hosttest {

// The application's executable names, as the host looks for them beside itself.
inline const char* const kAppNames[] = {"velisto-download-manager", "Velisto Download Manager"};

inline std::string read_small_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Polls `done` every 20 ms for up to `seconds`; true when it held.
inline bool wait_until(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class DesktopAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        const Target& target = Target::get();
        std::string lock_name = "/tmp/nimbra-desktop-app-tests.native.lock";
        if (target.wine()) {
            lock_name = "/tmp/nimbra-desktop-app-tests.wine." +
                        std::to_string(std::hash<std::string>{}(wine_prefix())) + ".lock";
        }
        lock_fd_ = ::open(lock_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(lock_fd_, 0);
        ASSERT_EQ(::flock(lock_fd_, LOCK_EX), 0);

        Target::get().reset();
        // A stand-in of an earlier test may still be on its way out.
        EXPECT_TRUE(wait_until([&] { return standin_processes().empty(); }, 15))
            << "a stand-in application from elsewhere is running";
        keepalive_ = target.scratch() / "standin-keepalive";
        write_text(keepalive_, "x");
        fs::create_directories(record_dir());
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove(keepalive_, ignored);
        EXPECT_TRUE(wait_until([&] { return standin_processes().empty(); }, 15))
            << "a stand-in did not end";
        children_.clear();
        if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the lock
    }

    static std::string wine_prefix() {
        const char* prefix = std::getenv("WINEPREFIX");
        return prefix != nullptr ? prefix : std::string(std::getenv("HOME")) + "/.wine";
    }

    // How a program of this target names `path` (a Windows path under wine).
    static std::string target_path(const fs::path& path) {
        if (!Target::get().wine()) return path.string();
        const fs::path drive_c = fs::path(wine_prefix()) / "drive_c";
        std::string text = path.string();
        std::string windows;
        if (text.rfind(drive_c.string() + "/", 0) == 0) {
            windows = "C:" + text.substr(drive_c.string().size());
        } else {
            windows = "Z:" + text;
        }
        std::replace(windows.begin(), windows.end(), '/', '\\');
        return windows;
    }

    fs::path data_dir() const { return Target::get().data_dir(); }
    fs::path record_dir() const { return Target::get().scratch() / "record"; }

    // A copy of the host in the scratch folder; the application goes beside it.
    fs::path place_host() {
        const Target& target = Target::get();
        fs::path copy = target.scratch() / ("nimbra-native-host" + target.exe_suffix());
        fs::copy_file(target.host_exe(), copy, fs::copy_options::overwrite_existing);
        return copy;
    }
    fs::path place_app(const char* name) {
        const Target& target = Target::get();
        fs::path copy = target.scratch() / (std::string(name) + target.exe_suffix());
        fs::copy_file(target.tool("standin"), copy, fs::copy_options::overwrite_existing);
        return copy;
    }

    // The environment by which host-started stand-ins get their options.
    std::vector<std::string> standin_env(bool silent = false) const {
        std::vector<std::string> env = {
            "NIMBRA_STANDIN_RECORD=" + target_path(record_dir()),
            "NIMBRA_STANDIN_RUN_WHILE=" + target_path(keepalive_),
            // Never outlive a test run that was killed.
            "NIMBRA_STANDIN_EXIT_AFTER=150",
        };
        if (silent) env.push_back("NIMBRA_STANDIN_SILENT=1");
        return env;
    }

    Process& start_host(const fs::path& host, bool silent_app = false) {
        children_.push_back(std::make_unique<Process>(Target::get().command(host), standin_env(silent_app)));
        return *children_.back();
    }

    // Runs a stand-in as the test's own child, as if the user had started it.
    void start_app_directly(const fs::path& program) {
        children_.push_back(std::make_unique<Process>(Target::get().command(program), standin_env()));
        ASSERT_TRUE(wait_until([&] { return starts().size() == 1; }, 30)) << "the stand-in did not start";
    }

    // One log per stand-in that started, in record_dir().
    std::vector<std::string> starts() const {
        std::vector<std::string> logs;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(record_dir(), error)) {
            if (entry.path().filename().string().rfind("standin-", 0) == 0) {
                logs.push_back(read_small_file(entry.path()));
            }
        }
        return logs;
    }

    // Running stand-ins of this target: natively any process running a
    // program under one of the application's names (what the host sees);
    // under wine, the wine processes of this prefix with such a name.
    static std::vector<int> standin_processes() {
        std::vector<int> pids;
        DIR* proc = ::opendir("/proc");
        if (proc == nullptr) return pids;
        const bool wine = Target::get().wine();
        const std::string prefix_entry = "WINEPREFIX=" + wine_prefix();
        while (dirent* entry = ::readdir(proc)) {
            const int pid = std::atoi(entry->d_name);
            if (pid <= 0) continue;
            const fs::path dir = fs::path("/proc") / entry->d_name;
            if (!wine) {
                std::error_code error;
                const std::string name = fs::read_symlink(dir / "exe", error).filename().string();
                if (!error && (name == kAppNames[0] || name == kAppNames[1])) pids.push_back(pid);
                continue;
            }
            // Only wine's own processes: a native stand-in of a test running
            // beside this one has the same WINEPREFIX in its environment.
            std::error_code error;
            const std::string loader = fs::read_symlink(dir / "exe", error).filename().string();
            if (error || loader.rfind("wine", 0) != 0) continue;
            std::string command = read_small_file(dir / "cmdline");
            std::transform(command.begin(), command.end(), command.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (command.find("velisto") == std::string::npos) continue;
            const std::string environ = read_small_file(dir / "environ");
            if (environ.find(prefix_entry + '\0') != std::string::npos) pids.push_back(pid);
        }
        ::closedir(proc);
        return pids;
    }

    fs::path keepalive_;

private:
    int lock_fd_ = -1;
    std::vector<std::unique_ptr<Process>> children_;
};

}  // namespace nimbra::hosttest
