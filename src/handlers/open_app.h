// `open_app`: asks the desktop application to come to the front, starting it
// when it does not run.
#pragma once

#include <string_view>

#include "host/json.h"
#include "platform/platform.h"

namespace nimbra::handlers {

// The wake flag's whole content.
inline constexpr std::string_view kWakeFlagContent = "focus\n";

// Writes the wake flag (failures dropped), then makes sure the application
// runs. Replies {"launched":L,"ok":L}; never an error.
host::Json handle_open_app(const host::Json& request, platform::System& system);

}  // namespace nimbra::handlers
