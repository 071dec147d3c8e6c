// `open_app`: asks the desktop application to come to the front, starting it
// when it does not run.
#pragma once

#include <string_view>

#include "bridge/data_dir.h"
#include "host/json.h"
#include "platform/platform.h"

namespace nimbra::handlers {

// The wake flag's whole content.
inline constexpr std::string_view kWakeFlagContent = "focus\n";

// Writes the wake flag into `data_dir` (failures dropped), then makes sure
// the application runs. Replies {"launched":L,"ok":L}; never an error.
host::Json handle_open_app(const host::Json& request, platform::System& system, const bridge::PathResult& data_dir);

}  // namespace nimbra::handlers
