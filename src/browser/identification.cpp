#include "browser/identification.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/utf8.h"

namespace nimbra::browser {

namespace {

// Parent first, then up to seven further ancestors: deep enough for a browser
// that starts the host through a command interpreter or a helper process,
// shallow enough never to reach a browser that merely started the user's
// whole session.
constexpr int kMaxAncestors = 8;

struct NamedBrowser {
    std::string_view name;
    BrowserId id;
};

constexpr NamedBrowser kExecutables[] = {
    {"brave", BrowserId::brave},       {"brave.exe", BrowserId::brave},
    {"msedge", BrowserId::edge},       {"msedge.exe", BrowserId::edge},
    {"vivaldi", BrowserId::vivaldi},   {"vivaldi.exe", BrowserId::vivaldi},
    {"opera", BrowserId::opera},       {"opera.exe", BrowserId::opera},
    {"opera_gx.exe", BrowserId::opera}, {"chrome", BrowserId::chrome},
    {"chrome.exe", BrowserId::chrome}, {"chromium", BrowserId::chrome},
    {"chromium.exe", BrowserId::chrome},
};

// Two forms of `source`: the extension's own tag and the product tokens of a
// user-agent text. The order matters: Edge and Opera also claim "chrome/", and
// Brave's token only counts after a space.
constexpr NamedBrowser kSourcePatterns[] = {
    {"nimbra-extension:brave:", BrowserId::brave},
    {" brave/", BrowserId::brave},
    {"nimbra-extension:edge:", BrowserId::edge},
    {"edg/", BrowserId::edge},
    {"nimbra-extension:vivaldi:", BrowserId::vivaldi},
    {"vivaldi/", BrowserId::vivaldi},
    {"nimbra-extension:opera:", BrowserId::opera},
    {"opr/", BrowserId::opera},
    {"nimbra-extension:chrome:", BrowserId::chrome},
    {"chrome/", BrowserId::chrome},
};

constexpr BrowserId kAllBrowsers[] = {BrowserId::chrome, BrowserId::edge, BrowserId::brave,
                                      BrowserId::vivaldi, BrowserId::opera};

// Unicode's White_Space property, all 25 code points.
bool is_white_space(std::uint32_t cp) {
    switch (cp) {
        case 0x0009: case 0x000A: case 0x000B: case 0x000C: case 0x000D:
        case 0x0020: case 0x0085: case 0x00A0: case 0x1680:
        case 0x2000: case 0x2001: case 0x2002: case 0x2003: case 0x2004: case 0x2005:
        case 0x2006: case 0x2007: case 0x2008: case 0x2009: case 0x200A:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return false;
    }
}

// Bytes taken by a white space character starting at `at`, or 0.
std::size_t leading_space(std::string_view text, std::size_t at) {
    if (at >= text.size()) return 0;
    const platform::utf8::Sequence sequence = platform::utf8::decode(text, at);
    return sequence.valid && is_white_space(sequence.code_point) ? sequence.length : 0;
}

// Bytes taken by a white space character ending just before `end`, or 0.
// No white space character is longer than three bytes.
std::size_t trailing_space(std::string_view text, std::size_t end) {
    const std::string_view before = text.substr(0, end);
    for (std::size_t length = 1; length <= 3 && length <= end; ++length) {
        const platform::utf8::Sequence sequence = platform::utf8::decode(before, end - length);
        if (sequence.valid && sequence.length == length) {
            return is_white_space(sequence.code_point) ? length : 0;
        }
    }
    return 0;
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (const std::size_t n = leading_space(text, begin)) begin += n;
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t n = trailing_space(text, end);
        if (n == 0) break;
        end -= n;
    }
    return text.substr(begin, end - begin);
}

// Names are compared without regard to the case of ASCII letters only, so
// that no locale can make two different names equal.
void lower_ascii(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

std::string normalise(std::string_view name) {
    std::string result(trim_white_space(name));
    lower_ascii(result);
    return result;
}

std::optional<BrowserId> from_id_text(std::string_view text) {
    for (const BrowserId id : kAllBrowsers) {
        if (to_string(id) == text) return id;
    }
    return std::nullopt;
}

std::optional<BrowserId> browser_for_executable(std::string_view name) {
    const std::string normalised = normalise(name);
    for (const NamedBrowser& entry : kExecutables) {
        if (entry.name == normalised) return entry.id;
    }
    for (const auto& [extra_name, id_text] : platform::extra_browser_executables()) {
        if (extra_name == normalised) return from_id_text(id_text);
    }
    return std::nullopt;
}

struct ProcessRecord {
    std::uint32_t parent;
    std::string name;
};

std::optional<BrowserId> walk_ancestry(platform::System& system) {
    std::optional<std::vector<platform::ProcessEntry>> snapshot = system.snapshot_ancestry();
    if (!snapshot) return std::nullopt;
    std::unordered_map<std::uint32_t, ProcessRecord> table;
    table.reserve(snapshot->size());
    for (platform::ProcessEntry& entry : *snapshot) {
        table.insert_or_assign(entry.pid, ProcessRecord{entry.parent_pid, std::move(entry.name)});
    }
    snapshot.reset();
    if (table.empty()) return std::nullopt;

    std::uint32_t current = system.current_process_id();
    for (int step = 1;; ++step) {
        const auto self = table.find(current);
        if (self == table.end()) return std::nullopt;
        const std::uint32_t parent = self->second.parent;
        const auto ancestor = table.find(parent);
        if (ancestor == table.end()) return std::nullopt;
        if (const std::optional<BrowserId> id = browser_for_executable(ancestor->second.name)) {
            return id;
        }
        if (parent == 0 || parent == current || step == kMaxAncestors) return std::nullopt;
        current = parent;
    }
}

}  // namespace

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

std::optional<BrowserId> browser_from_ancestry(platform::System& system) {
    // Identification is a hint for the heartbeat files only; not knowing the
    // browser must never keep the host from serving.
    try {
        return walk_ancestry(system);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<BrowserId> browser_for_request(std::optional<BrowserId> ancestry,
                                             const host::Json& request) {
    if (ancestry) return ancestry;
    try {
        if (const std::string* browser_id = host::string_member(request, "browser_id")) {
            if (const std::optional<BrowserId> id = from_id_text(normalise(*browser_id))) return id;
        }
        if (const std::string* source = host::string_member(request, "source")) {
            std::string lowered(*source);
            lower_ascii(lowered);
            for (const NamedBrowser& pattern : kSourcePatterns) {
                if (lowered.find(pattern.name) != std::string::npos) return pattern.id;
            }
        }
    } catch (...) {
        // Only an allocation can fail here; the request then goes unidentified.
    }
    return std::nullopt;
}

}  // namespace nimbra::browser
