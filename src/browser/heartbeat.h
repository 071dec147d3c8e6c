// The extension's heartbeat: two files in the data directory that tell the
// desktop application which browsers have a live extension.
#pragma once

#include <optional>

#include "browser/identification.h"
#include "host/json.h"
#include "platform/platform.h"

namespace nimbra::browser {

// Rewrites both heartbeat files for one request. Never fails: a heartbeat
// that cannot be recorded must not cost the request its reply.
void refresh_heartbeats(platform::System& system, std::optional<BrowserId> ancestry,
                        const host::Json& request) noexcept;

}  // namespace nimbra::browser
