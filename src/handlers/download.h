// `add_download`: hands a browser download to the desktop application.
#pragma once

#include <string_view>

#include "bridge/handoff.h"
#include "host/json.h"
#include "platform/platform.h"

namespace nimbra::handlers {

inline constexpr std::string_view kRefusedUrlMessage = "Only HTTP/HTTPS URLs are allowed";

// The download job: the request itself, written as parsed.
bridge::JobKind download_job_kind();

// True for a URL that begins with "http://" or "https://", exactly as written.
bool is_accepted_download_url(std::string_view url);

// Refuses any other URL without touching the data directory; otherwise hands
// the whole request off into `data_dir` and returns the application's verdict
// with `launched`.
host::Json handle_add_download(const host::Json& request, platform::System& system,
                               const bridge::PathResult& data_dir);

}  // namespace nimbra::handlers
