#include "bridge/launch.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/data_dir.h"

namespace nimbra::bridge {

namespace {

using platform::Path;
using platform::System;

std::string ascii_lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

bool is_app_name(std::string_view name) {
    const std::string lower = ascii_lower(name);
    const auto names = platform::desktop_app_process_names();
    return std::find(names.begin(), names.end(), lower) != names.end();
}

// Polls the process table until the application shows up; every miss,
// the last one included, is followed by its pause.
bool wait_for_app(System& system) {
    for (int poll = 0; poll < kAppearPolls; ++poll) {
        if (is_desktop_app_running(system)) return true;
        system.sleep_ms(kPollIntervalMs);
    }
    return false;
}

// Starts the first candidate beside the host's executable that exists and
// can be started. False when there is none.
bool start_first_candidate(System& system) {
    std::optional<Path> own = system.own_executable();
    if (!own) return false;
    const Path folder = own->parent_path();
    if (folder.empty()) return false;
    for (std::string_view candidate : platform::desktop_app_candidates()) {
        const Path program = platform::join(folder, candidate);
        if (!platform::file_info(program)) continue;
        if (system.start_program(program)) return true;
    }
    return false;
}

// Runs with the lock file created by this host; the caller deletes it.
bool launch_holding_lock(System& system) {
    // Another host may have started the application between our first look
    // and taking the lock.
    if (is_desktop_app_running(system)) return true;
    if (!start_first_candidate(system)) return false;
    // Started is enough for `true`: a slow start must not make the caller
    // report a failure for an application that is on its way.
    static_cast<void>(wait_for_app(system));
    return true;
}

// Deletes this host's own lock. A lock left behind stops every other host
// from starting the application until it is stale, so a failed deletion (a
// scanner or indexer holding the file for a moment) is tried again.
void release_lock(System& system, const Path& lock) {
    for (int attempt = 1;; ++attempt) {
        const platform::Status removed = platform::remove_file(lock);
        if (removed || platform::is_not_found(removed.error()) || attempt == kLockReleaseAttempts) return;
        system.sleep_ms(kPollIntervalMs);
    }
}

enum class LockAttempt { taken, retry_now, retry_after_pause, app_appeared, give_up };

LockAttempt try_take_lock(System& system, const Path& lock, std::string_view content) {
    platform::Result<bool> created = platform::create_exclusive(lock, content);
    // A short write leaves the lock held all the same: only its existence counts.
    if (created) return LockAttempt::taken;
    if (!platform::is_already_exists(created.error())) return LockAttempt::give_up;
    if (is_desktop_app_running(system)) return LockAttempt::app_appeared;

    platform::Result<platform::FileInfo> info = platform::file_info(lock);
    // Gone between the create and now, or unreadable: counts as a try.
    if (!info) return LockAttempt::retry_after_pause;
    const std::uint64_t now = system.now_file_time();
    // A lock from the future is never judged stale, so a clock set back
    // cannot make two hosts start the application.
    if (now < info->last_write) return LockAttempt::retry_after_pause;
    if (now - info->last_write > kStaleLockAge) {
        static_cast<void>(platform::remove_file(lock));
        return LockAttempt::retry_now;
    }
    return LockAttempt::retry_after_pause;
}

}  // namespace

bool is_desktop_app_running(System& system) {
    std::optional<std::vector<platform::ProcessEntry>> processes = system.snapshot_processes();
    if (!processes) return false;
    // Another user's copy (fast user switching, a terminal server) does not
    // serve this user. Owners are asked only of the few matching names.
    return std::any_of(processes->begin(), processes->end(), [&system](const platform::ProcessEntry& entry) {
        return is_app_name(entry.name) && system.is_own_process(entry.pid);
    });
}

bool ensure_desktop_app_running(System& system, const PathResult& data_dir) {
    if (is_desktop_app_running(system)) return true;

    // Without a data directory there is no lock to take; another host may
    // still start the application, so the wait below decides.
    if (!data_dir || !platform::create_directories(*data_dir)) return wait_for_app(system);

    const Path lock = platform::join(*data_dir, kLaunchLockFile);
    const std::string content = "pid=" + std::to_string(system.current_process_id()) + "\n";
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        switch (try_take_lock(system, lock, content)) {
            case LockAttempt::taken: {
                const bool launched = launch_holding_lock(system);
                release_lock(system, lock);
                return launched;
            }
            case LockAttempt::retry_now:
                continue;
            case LockAttempt::retry_after_pause:
                system.sleep_ms(kPollIntervalMs);
                continue;
            case LockAttempt::app_appeared:
            case LockAttempt::give_up:
                return wait_for_app(system);
        }
    }
    return wait_for_app(system);
}

}  // namespace nimbra::bridge
