#include "bridge/data_dir.h"

#include "host/fatal_error.h"

namespace nimbra::bridge {

namespace {

PathResult below_data_dir(platform::System& system, std::string_view name) {
    PathResult base = local_data_dir(system);
    if (!base) return std::nullopt;
    return platform::join(*base, name);
}

}  // namespace

PathResult local_data_dir(platform::System& system) {
    std::optional<platform::Path> base = system.local_app_data();
    if (!base) return std::nullopt;
    // Two nested folders, not one with a combined name.
    return platform::join(platform::join(*base, "Velisto"), "Nimbra");
}

PathResult inbox_dir(platform::System& system) { return below_data_dir(system, "inbox"); }
PathResult inbox_results_dir(platform::System& system) {
    return below_data_dir(system, "inbox-results");
}
PathResult browser_transfers_dir(platform::System& system) {
    return below_data_dir(system, "browser-transfers");
}

platform::Path required(PathResult path) {
    if (!path) throw host::FatalError(std::string(kNoDataDirMessage));
    return std::move(*path);
}

}  // namespace nimbra::bridge
