// A stand-in for the operating system's non-deterministic parts: a process
// table, a clock that only moves when told (or when slept on), a folder
// lookup, a recording spawner and a predictable random source.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace nimbra::testing {

class FakeSystem : public platform::System {
public:
    // The process table the next snapshots return; nullopt makes them fail.
    std::optional<std::vector<platform::ProcessEntry>> processes =
        std::vector<platform::ProcessEntry>{};
    std::uint32_t pid = 4312;
    std::optional<platform::Path> app_data;
    // Called on every folder lookup, before it is answered.
    std::function<void()> on_folder_lookup;
    std::optional<platform::Path> executable;
    std::uint64_t clock = 133000000000000000ULL;  // a file time in 2022

    // What start_program does; by default it succeeds. Tests may add the
    // started program to `processes` here to make it "appear".
    std::function<platform::Status(const platform::Path&)> on_start;
    // Called on every sleep, after the clock has moved.
    std::function<void()> on_sleep;
    // Called on every snapshot, before it is taken.
    std::function<void()> on_snapshot;
    bool random_fails = false;
    // Processes that run as another user.
    std::set<std::uint32_t> other_users;

    std::vector<platform::Path> started;
    std::vector<std::uint32_t> sleeps;
    int snapshots = 0;
    int folder_lookups = 0;
    int ownership_checks = 0;
    std::uint64_t random_counter = 0;

    void advance(std::uint64_t ticks_100ns) { clock += ticks_100ns; }

    // Adds a process named `name`; returns its id.
    std::uint32_t add_process(std::string name, std::uint32_t parent) {
        std::uint32_t id = next_pid_++;
        if (!processes) processes.emplace();
        processes->push_back({id, parent, std::move(name)});
        return id;
    }

    std::optional<std::vector<platform::ProcessEntry>> snapshot_processes() override {
        ++snapshots;
        if (on_snapshot) on_snapshot();
        return processes;
    }
    std::uint32_t current_process_id() override { return pid; }
    bool is_own_process(std::uint32_t process) override {
        ++ownership_checks;
        return other_users.count(process) == 0;
    }
    std::optional<platform::Path> local_app_data() override {
        ++folder_lookups;
        if (on_folder_lookup) on_folder_lookup();
        return app_data;
    }
    std::optional<platform::Path> own_executable() override { return executable; }
    platform::Status start_program(const platform::Path& program) override {
        started.push_back(program);
        if (on_start) return on_start(program);
        return platform::Status::success();
    }
    std::uint64_t now_file_time() override { return clock; }
    void sleep_ms(std::uint32_t milliseconds) override {
        sleeps.push_back(milliseconds);
        clock += static_cast<std::uint64_t>(milliseconds) * 10000ULL;
        if (on_sleep) on_sleep();
    }
    platform::Status random_bytes(std::span<std::uint8_t> buffer) override {
        if (random_fails) return platform::not_found_error();
        // A counter through a mixing step: distinct, repeatable bytes.
        for (std::uint8_t& byte : buffer) {
            std::uint64_t x = ++random_counter * 0x9E3779B97F4A7C15ULL;
            x ^= x >> 29;
            byte = static_cast<std::uint8_t>(x >> 24);
        }
        return platform::Status::success();
    }

private:
    std::uint32_t next_pid_ = 10000;
};

}  // namespace nimbra::testing
