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

// LocalAppData/Velisto/Nimbra, from the system's folder lookup, made afresh
// on every call; nullopt when the local application data folder is unknown.
// The request loop calls it once per request and hands the answer on.
PathResult local_data_dir(platform::System& system);

// The folders below the data directory as one request found it (nullopt
// passes through).
PathResult inbox_dir(const PathResult& data_dir);
PathResult inbox_results_dir(const PathResult& data_dir);
PathResult browser_transfers_dir(const PathResult& data_dir);

// The path, or FatalError("No local data directory") for requests that cannot
// go on without the folder: required(inbox_dir(data_dir)).
platform::Path required(PathResult path);

}  // namespace nimbra::bridge
