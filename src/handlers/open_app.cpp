#include "handlers/open_app.h"

#include "bridge/data_dir.h"
#include "bridge/launch.h"

namespace nimbra::handlers {

host::Json handle_open_app(const host::Json&, platform::System& system, const bridge::PathResult& data_dir) {
    // The flag goes first, so an application started below finds it at once.
    // It is only a signal: without it the request is still answered.
    if (data_dir && platform::create_directories(*data_dir)) {
        static_cast<void>(
            platform::write_file_or_remove(platform::join(*data_dir, bridge::kWakeFlagFile), kWakeFlagContent));
    }
    const bool launched = bridge::ensure_desktop_app_running(system, data_dir);
    return host::Json{{"launched", launched}, {"ok", launched}};
}

}  // namespace nimbra::handlers
