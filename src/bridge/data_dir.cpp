#include "bridge/data_dir.h"

#include "host/fatal_error.h"

namespace nimbra::bridge {

namespace {

PathResult below_data_dir(const PathResult& data_dir, std::string_view name) {
    if (!data_dir) return std::nullopt;
    return platform::join(*data_dir, name);
}

}  // namespace

PathResult local_data_dir(platform::System& system) {
    std::optional<platform::Path> base = system.local_app_data();
    if (!base) return std::nullopt;
    // Two nested folders, not one with a combined name.
    return platform::join(platform::join(*base, "Velisto"), "Nimbra");
}

PathResult inbox_dir(const PathResult& data_dir) { return below_data_dir(data_dir, "inbox"); }
PathResult inbox_results_dir(const PathResult& data_dir) { return below_data_dir(data_dir, "inbox-results"); }
PathResult browser_transfers_dir(const PathResult& data_dir) { return below_data_dir(data_dir, "browser-transfers"); }

platform::Path required(PathResult path) {
    if (!path) throw host::FatalError(std::string(kNoDataDirMessage));
    return std::move(*path);
}

}  // namespace nimbra::bridge
