#include "browser/identification.h"

namespace nimbra::browser {

std::string_view to_string(BrowserId id) {
    switch (id) {
        case BrowserId::chrome: return "chrome";
        case BrowserId::edge: return "edge";
        case BrowserId::brave: return "brave";
        case BrowserId::vivaldi: return "vivaldi";
        case BrowserId::opera: return "opera";
    }
    return "chrome";
}

std::optional<BrowserId> browser_from_ancestry(platform::System&) { return std::nullopt; }

std::optional<BrowserId> browser_for_request(std::optional<BrowserId> ancestry, const host::Json&) {
    return ancestry;
}

}  // namespace nimbra::browser
