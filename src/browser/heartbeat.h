// The extension's heartbeat: two files in the data directory that tell the
// desktop application which browsers have a live extension.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/data_dir.h"
#include "browser/identification.h"
#include "host/json.h"
#include "platform/platform.h"

namespace nimbra::browser {

// What one host keeps of the heartbeat files' locks from one request to the
// next: whether it gave up waiting for a file's lock, after which it only
// tries that lock, without waiting, until it has it again. A holder that
// hangs then costs one wait, not one per request.
struct HeartbeatLocks {
    bool legacy_gave_up = false;
    bool heartbeats_gave_up = false;
};

// Rewrites both heartbeat files in `data_dir` (the data directory as this
// request found it) for one request. Never fails: a heartbeat that cannot be
// recorded must not cost the request its reply, and a file whose lock stays
// with another host is skipped, never written without the lock.
void refresh_heartbeats(platform::System& system, const bridge::PathResult& data_dir, HeartbeatLocks& locks,
                        std::optional<BrowserId> ancestry, const host::Json& request) noexcept;

// One browser's record in the per-browser file.
struct HeartbeatRecord {
    std::uint64_t timestamp_ms = 0;
    std::string_view extension_id;
    std::string_view extension_version;
};

// The per-browser file's new content after recording `browser` over what the
// file held (`old_content`, empty when there was no file). Content that is not
// a valid file counts as no entries; every other entry is kept as it was.
std::string record_heartbeat(std::string_view old_content, std::string_view browser,
                             const HeartbeatRecord& record);

}  // namespace nimbra::browser
