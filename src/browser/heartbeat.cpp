#include "browser/heartbeat.h"

namespace nimbra::browser {

void refresh_heartbeats(platform::System&, std::optional<BrowserId>, const host::Json&) noexcept {}

}  // namespace nimbra::browser
