// The per-user data directory shared with the desktop application, and the
// names of everything in it. Nothing here touches the disk.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace nimbra::bridge {

inline constexpr std::string_view kNoDataDirMessage = "No local data directory";

inline constexpr std::string_view kLegacyHeartbeatFile = "extension-heartbeat.json";
inline constexpr std::string_view kHeartbeatsFile = "extension-heartbeats-v2.json";
inline constexpr std::string_view kWakeFlagFile = "wake-main.flag";
inline constexpr std::string_view kLaunchLockFile = "desktop-launch.lock";

// A path, or the reason there is none ("No local data directory").
using PathResult = std::optional<platform::Path>;

// LocalAppData/Velisto/Nimbra, from the system's folder lookup on every call
// (the request loop's system asks the shell once per request); nullopt when
// the local application data folder is unknown.
PathResult local_data_dir(platform::System& system);
PathResult inbox_dir(platform::System& system);
PathResult inbox_results_dir(platform::System& system);
PathResult browser_transfers_dir(platform::System& system);

// The path, or FatalError("No local data directory") for requests that cannot
// go on without the folder: required(inbox_dir(system)).
platform::Path required(PathResult path);

}  // namespace nimbra::bridge
