#include "handlers/download.h"

#include <string>

#include "host/reply.h"

namespace nimbra::handlers {

bridge::JobKind download_job_kind() {
    return bridge::JobKind{
        .type_name = "add_download",
        .timeout_message =
            "Nimbra did not confirm the download within 35 seconds. The browser download was left untouched.",
        .unreadable_message = "Nimbra returned an unreadable handoff result",
        // A leftover answer under the new job's name would be taken as its answer.
        .clears_stale_result = true,
        .launched_on_timeout = true,
        .after_write = {},
    };
}

bool is_accepted_download_url(std::string_view url) {
    return url.starts_with("http://") || url.starts_with("https://");
}

host::Json handle_add_download(const host::Json& request, platform::System& system,
                               const bridge::PathResult& data_dir) {
    // A `url` that is no string counts as absent, and so as empty.
    const std::string* url = host::string_member(request, "url");
    if (url == nullptr || !is_accepted_download_url(*url)) {
        return host::error_reply(kRefusedUrlMessage);
    }
    return bridge::hand_off_job(system, data_dir, download_job_kind(), request);
}

}  // namespace nimbra::handlers
