// Whether the desktop application runs, and starting it when it does not.
//
// Several hosts (one per browser connection) may want the application at the
// same moment; only the one that creates the launch lock file in the data
// directory starts it, the others wait for it to show up in the process table.
#pragma once

#include <cstdint>

#include "bridge/data_dir.h"
#include "platform/platform.h"

namespace nimbra::bridge {

// The one pause used by every wait of the bridge: between lock attempts,
// while waiting for the application to appear, and between result polls.
inline constexpr std::uint32_t kPollIntervalMs = 50;
inline constexpr int kLockAttempts = 60;
// A lock whose last write lies further back than this, in 100-ns ticks (8 s),
// was left by a host that died while starting the application.
inline constexpr std::uint64_t kStaleLockAge = 80'000'000;
inline constexpr int kAppearPolls = 30;
// Deletions of this host's own lock, one pause apart, before it is left to
// go stale (half a second).
inline constexpr int kLockReleaseAttempts = 10;

// True when a fresh process snapshot holds the application under one of its
// names (ASCII letters compared case-insensitively), run by this user. Every
// failure reads as false.
bool is_desktop_app_running(platform::System& system);

// Makes sure the application runs, starting it from the folder of the host's
// own executable under the launch lock in `data_dir` (the data directory as
// the request found it) when needed. True when it ran already,
// showed up meanwhile, or was started here (even if it has not shown up yet);
// false otherwise. Never fails; blocks for at most about 5 s.
bool ensure_desktop_app_running(platform::System& system, const PathResult& data_dir);

}  // namespace nimbra::bridge
