// Which Chromium-family browser the host serves: from its process ancestry,
// else from hints in each request.
#pragma once

#include <optional>
#include <string_view>

#include "host/json.h"
#include "platform/platform.h"

namespace nimbra::browser {

enum class BrowserId { chrome, edge, brave, vivaldi, opera };

// "chrome", "edge", "brave", "vivaldi" or "opera".
std::string_view to_string(BrowserId id);

// Looks at the host's parent and further ancestors (at most eight) in one
// process snapshot. Called once per process.
std::optional<BrowserId> browser_from_ancestry(platform::System& system);

// The ancestry's answer when it has one, else the request's `browser_id`,
// else its `source`.
std::optional<BrowserId> browser_for_request(std::optional<BrowserId> ancestry,
                                             const host::Json& request);

}  // namespace nimbra::browser
