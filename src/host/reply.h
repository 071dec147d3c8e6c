// The reply envelope: `ok`, `error` with a refusal or failure, and members of
// each request type on top.
#pragma once

#include <string_view>

#include "host/json.h"

namespace nimbra::host {

inline constexpr std::string_view kHostName = "com.velisto.nimbra";
inline constexpr std::string_view kHostVersion = "1.0.4";

inline Json error_reply(std::string_view message) {
    return Json{{"error", message}, {"ok", false}};
}

}  // namespace nimbra::host
