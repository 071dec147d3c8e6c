// The browser families' rules. Chromium's as Chromium 156 applies them: what
// its manifest reader accepts, which allowed_origins entries it takes, which
// extensions they let in, its policies, and which replies reach the
// extension. Firefox's as Firefox ESR 153 applies them: its manifest schema,
// its add-on ids, and its reply reader.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "doctor.h"
#include "platform/utf8.h"

namespace nimbra::registration::doctor {

namespace {

// Chromium refuses JSON nested this deep (counting the outermost value).
constexpr int kDepthLimit = 200;
constexpr std::string_view kOriginScheme = "chrome-extension";

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// Past white space and comments from `at`; npos inside an unclosed comment.
std::size_t skip_filler(std::string_view text, std::size_t at) {
    while (at < text.size()) {
        const char c = text[at];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++at;
        } else if (text.substr(at, 2) == "//") {
            at = text.find_first_of("\r\n", at);
            if (at == std::string_view::npos) return text.size();
        } else if (text.substr(at, 2) == "/*") {
            const std::size_t end = text.find("*/", at + 2);
            if (end == std::string_view::npos) return std::string_view::npos;
            at = end + 2;
        } else {
            break;
        }
    }
    return at;
}

struct Relaxed {
    std::optional<std::string> json;
    std::string problem;
};

Relaxed refuse(std::string problem) { return Relaxed{std::nullopt, std::move(problem)}; }

// Beyond JSON, Chromium takes // and /* */ comments, line feeds and carriage
// returns inside strings, and \xHH escapes; policy files also take a comma
// before a closing bracket. Comments become spaces, so that the JSON
// parser's line and column still point into the original.
Relaxed strict_json(std::string_view text, bool trailing_commas) {
    std::string out;
    out.reserve(text.size());
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '"') {
                in_string = false;
            } else if (c == '\n' || c == '\r') {
                out += c == '\n' ? "\\n" : "\\r";
                continue;
            } else if (c == '\\' && i + 1 < text.size()) {
                if (text[i + 1] == 'x' && i + 3 < text.size() && is_hex(text[i + 2]) && is_hex(text[i + 3])) {
                    out += "\\u00";
                    out += text.substr(i + 2, 2);
                    i += 3;
                } else {
                    out += text.substr(i, 2);
                    ++i;
                }
                continue;
            }
            out += c;
            continue;
        }
        if (c == '/' && (text.substr(i, 2) == "//" || text.substr(i, 2) == "/*")) {
            const std::size_t end = skip_filler(text, i);
            if (end == std::string_view::npos) return refuse("a comment is never closed");
            for (; i < end; ++i) out += (text[i] == '\n' || text[i] == '\r') ? text[i] : ' ';
            --i;
            continue;
        }
        // nlohmann stops at a NUL as if the text ended there; Chromium refuses it.
        if (c == '\0') return refuse("a NUL byte outside a string");
        if (c == ',' && trailing_commas) {
            const std::size_t next = skip_filler(text, i + 1);
            if (next < text.size() && (text[next] == '}' || text[next] == ']')) {
                out += ' ';
                continue;
            }
        }
        if (c == '"') in_string = true;
        out += c;
    }
    return Relaxed{std::move(out), {}};
}

struct TooDeep {};

}  // namespace

std::optional<nlohmann::json> chromium_json(std::string_view text, bool trailing_commas, std::string& problem) {
    const Relaxed relaxed = strict_json(text, trailing_commas);
    if (!relaxed.json) {
        problem = relaxed.problem;
        return std::nullopt;
    }
    const auto depth_limit = [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                           event == nlohmann::json::parse_event_t::array_start;
        if (opens && depth + 1 >= kDepthLimit) throw TooDeep{};
        return true;
    };
    try {
        // A leading UTF-8 byte-order mark is skipped by both readers.
        return nlohmann::json::parse(*relaxed.json, depth_limit);
    } catch (const TooDeep&) {
        problem = "nested " + std::to_string(kDepthLimit) + " levels deep or more";
    } catch (const nlohmann::json::exception& error) {
        const std::string what = error.what();
        const std::size_t cut = what.find("] ");
        problem = cut == std::string::npos ? what : what.substr(cut + 2);
    }
    return std::nullopt;
}

namespace {

const nlohmann::json* member(const nlohmann::json& object, std::string_view name) {
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

const std::string* string_member(const nlohmann::json& object, std::string_view name) {
    const auto* value = member(object, name);
    return value != nullptr && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

// What is wrong with the "name" member, if anything; both families need this
// host's name exactly.
void check_name(const nlohmann::json& json, std::vector<std::string>& faults) {
    const std::string* name = string_member(json, "name");
    if (name == nullptr) {
        faults.push_back("\"name\" is missing or not a string");
    } else if (*name != kHostName) {
        faults.push_back("\"name\" is \"" + *name + "\", not \"" + std::string(kHostName) + "\"");
    }
}

// URL canonicalisation refuses these in a host (a space it keeps, as %20).
bool bad_host_char(unsigned char c) {
    return c < 0x20 || c == 0x7F || std::string_view("#%/:<>?@[\\]^|*").find(static_cast<char>(c)) !=
                                        std::string_view::npos;
}

struct OriginPattern {
    std::string host;  // canonical: percent escapes decoded, ASCII lower case, no final dot
    bool matches_extensions = false;
    std::string problem;  // set when Chromium refuses the entry
};

// One allowed_origins entry read as Chromium reads an extension URL pattern:
// the scheme, "://", a host (no wildcard, no user, no port but "*"), then a
// path of any kind. Only the scheme and host decide what it lets in.
OriginPattern origin_pattern(std::string_view entry) {
    OriginPattern out;
    if (entry == "<all_urls>") {
        out.problem = "it allows every origin, which is not allowed here";
        return out;
    }
    const std::size_t separator = entry.find("://");
    const std::string_view scheme = entry.substr(0, separator);
    if (separator == std::string_view::npos || (scheme != kOriginScheme && scheme != "*")) {
        out.problem = "it does not begin with chrome-extension://";
        return out;
    }
    out.matches_extensions = scheme == kOriginScheme;
    const std::string_view rest = entry.substr(separator + 3);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
        out.problem = rest.empty() ? "it names no extension" : "it has no path: the final / is missing";
        return out;
    }
    std::string_view host = rest.substr(0, slash);
    // The port of an IPv6 literal comes after its closing bracket.
    const std::size_t port_from = host.starts_with('[') ? host.find(']') : 0;
    if (const std::size_t colon = host.find(':', port_from == std::string_view::npos ? host.size() : port_from);
        colon != std::string_view::npos) {
        if (host.substr(colon + 1) != "*") {
            out.problem = "an extension origin has no port";
            return out;
        }
        host = host.substr(0, colon);
    }
    if (host.empty()) {
        out.problem = "it names no extension";
        return out;
    }
    if (host == "*" || host.starts_with("*.")) {
        out.problem = "wildcards are not allowed in allowed_origins";
        return out;
    }
    if (host.front() == '[') {
        const bool literal = host.back() == ']' && host.size() > 2 &&
                             std::all_of(host.begin() + 1, host.end() - 1,
                                         [](char c) { return is_hex(c) || c == ':' || c == '.'; });
        if (!literal) out.problem = "its host is not valid";
        out.host = host;
        return out;
    }
    for (std::size_t i = 0; i < host.size(); ++i) {
        auto c = static_cast<unsigned char>(host[i]);
        if (c == '%') {
            if (i + 2 >= host.size() || !is_hex(host[i + 1]) || !is_hex(host[i + 2])) {
                out.problem = "its host has a broken % escape";
                return out;
            }
            c = static_cast<unsigned char>(hex_value(host[i + 1]) * 16 + hex_value(host[i + 2]));
            i += 2;
        }
        if (bad_host_char(c)) {
            out.problem = "its host holds a character no host may hold";
            return out;
        }
        out.host += static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    if (out.host.size() > 1 && out.host.back() == '.') out.host.pop_back();
    return out;
}

// Every fault is named, not only the first that stops the browser, so that
// one repair mends them all.
Manifest read_chromium_manifest(std::string_view text) {
    Manifest manifest;
    std::vector<std::string> faults;
    std::string problem;
    const auto parsed = chromium_json(text, false, problem);
    if (!parsed || !parsed->is_object()) {
        manifest.problem = parsed ? "it is not a JSON object" : "it is not valid JSON: " + problem;
        return manifest;
    }
    const nlohmann::json& json = *parsed;
    const auto string = [&json](std::string_view name) { return string_member(json, name); };
    check_name(json, faults);
    if (const std::string* description = string("description"); description == nullptr || description->empty()) {
        faults.push_back("\"description\" is missing, empty or not a string");
    }
    if (const std::string* type = string("type"); type == nullptr || *type != "stdio") {
        faults.push_back("\"type\" must be \"stdio\"");
    }
    const std::string* path = string("path");
    if (path == nullptr) faults.push_back("\"path\" is missing or not a string");
    const auto* origins = member(json, "allowed_origins");
    if (origins == nullptr || !origins->is_array()) faults.push_back("\"allowed_origins\" is missing or not a list");
    for (std::size_t i = 0; origins != nullptr && origins->is_array() && i < origins->size(); ++i) {
        const auto& entry = (*origins)[i];
        const std::string label = "allowed_origins entry " + std::to_string(i + 1);
        if (!entry.is_string()) {
            faults.push_back(label + " is not a string");
            continue;
        }
        const std::string& written = entry.get_ref<const std::string&>();
        OriginPattern pattern = origin_pattern(written);
        if (!pattern.problem.empty()) {
            faults.push_back(label + " \"" + written + "\" is refused: " + pattern.problem);
        } else if (pattern.matches_extensions) {
            const std::string taken = "chrome-extension://" + pattern.host + "/";
            if (written != taken) manifest.notes.push_back(label + " \"" + written + "\" is taken as " + taken);
            manifest.allowed_hosts.push_back(std::move(pattern.host));
        }
    }
    for (const auto& fault : faults) manifest.problem += (manifest.problem.empty() ? "" : "; ") + fault;
    manifest.valid = faults.empty();
    if (manifest.valid) {
        // The browser hands the path to the OS as a C string.
        manifest.path = path->substr(0, path->find('\0'));
    }
    return manifest;
}

std::vector<std::string> chromium_arguments(const std::string&, std::string_view extension_id) {
    return {"chrome-extension://" + std::string(extension_id) + "/"};
}

bool chromium_allows(const Manifest& manifest, std::string_view extension_id) {
    return std::find(manifest.allowed_hosts.begin(), manifest.allowed_hosts.end(), extension_id) !=
           manifest.allowed_hosts.end();
}

}  // namespace

const Family kChromiumFamily{
    "chromium",
    {
        "ok",
        "Specified native messaging host not found.",
        "Access to the specified native messaging host is forbidden.",
        "Access to the native messaging host was disabled by the system administrator.",
        "Failed to start native messaging host.",
        "Native host has exited.",
        "Error when communicating with the native messaging host.",
        "The sender sent an invalid JSON message; message ignored.",
        // The browser says nothing and the extension waits; of its words
        // these fit a host that takes the message and never answers.
        "Error when communicating with the native messaging host.",
    },
    read_chromium_manifest,
    chromium_arguments,
    chromium_allows,
    is_reply_json,
    Launcher::chromium,
    "Error when communicating with the native messaging host.",
    "allowed_origins",
    "--extension-id",
    false,
};

bool policy_blocks(const Policy& policy, std::string_view host_name) {
    const auto has = [](const std::optional<std::vector<std::string>>& list, std::string_view name) {
        return list && std::find(list->begin(), list->end(), name) != list->end();
    };
    if (!has(policy.blocklist, host_name) && !has(policy.blocklist, "*")) return false;
    return !has(policy.allowlist, host_name);
}

// JSON as the extension's side parses a reply: white space, values and
// nothing else, at any depth; bytes past ASCII are taken inside strings
// whatever they are.
bool is_reply_json(std::string_view body) {
    std::vector<char> open;  // '{' or '['
    std::size_t i = 0;
    const auto space = [&] {
        while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\n' || body[i] == '\r')) ++i;
    };
    const auto at = [&](char c) { return i < body.size() && body[i] == c; };
    const auto digits = [&] {
        const std::size_t start = i;
        while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i;
        return i > start;
    };
    const auto string = [&] {
        for (++i; i < body.size(); ++i) {
            const auto c = static_cast<unsigned char>(body[i]);
            if (c == '"') {
                ++i;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (++i >= body.size()) return false;
            if (body[i] == 'u') {
                if (i + 4 >= body.size() || !std::all_of(body.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                                         body.begin() + static_cast<std::ptrdiff_t>(i) + 5, is_hex)) {
                    return false;
                }
                i += 4;
            } else if (std::string_view("\"\\/bfnrt").find(body[i]) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    };
    // After each value: close what is finished, or expect the next member.
    for (;;) {
        space();
        if (at('{') || at('[')) {
            open.push_back(body[i++]);
            space();
            if (at(open.back() == '{' ? '}' : ']')) {
                ++i;
                open.pop_back();
            } else {
                if (open.back() == '{') {
                    if (!at('"') || !string()) return false;
                    space();
                    if (!at(':')) return false;
                    ++i;
                }
                continue;
            }
        } else if (at('"')) {
            if (!string()) return false;
        } else if (at('-') || (i < body.size() && body[i] >= '0' && body[i] <= '9')) {
            if (at('-')) ++i;
            if (at('0')) ++i;
            else if (!digits()) return false;
            if (at('.') && (++i, !digits())) return false;
            if (at('e') || at('E')) {
                ++i;
                if (at('+') || at('-')) ++i;
                if (!digits()) return false;
            }
        } else if (body.substr(i, 4) == "true" || body.substr(i, 4) == "null") {
            i += 4;
        } else if (body.substr(i, 5) == "false") {
            i += 5;
        } else {
            return false;
        }
        for (;;) {
            space();
            if (open.empty()) return i == body.size();
            if (at(',')) {
                ++i;
                if (open.back() == '{') {
                    space();
                    if (!at('"') || !string()) return false;
                    space();
                    if (!at(':')) return false;
                    ++i;
                }
                break;
            }
            if (!at(open.back() == '{' ? '}' : ']')) return false;
            ++i;
            open.pop_back();
        }
    }
}

std::string visible(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\\') {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

// ---------------------------------------------------------------- Firefox

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::array<std::string_view, 5> kFirefoxMembers{"name", "description", "path", "type", "allowed_extensions"};

bool is_valid_utf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const platform::utf8::Sequence sequence = platform::utf8::decode(text, at);
        if (!sequence.valid) return false;
        at += sequence.length;
    }
    return true;
}

bool is_word(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// An add-on id as the schema takes it, in any letter case: a GUID in
// braces, or letters, digits, '-', '.' and '_' on either side of one '@',
// the part before it possibly empty.
bool is_firefox_addon_id(std::string_view id) {
    if (id.size() == 38 && id.front() == '{' && id.back() == '}') {
        for (std::size_t i = 1; i < 37; ++i) {
            const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
            if (dash ? id[i] != '-' : !is_hex(id[i])) return false;
        }
        return true;
    }
    const std::size_t at = id.find('@');
    if (at == std::string_view::npos || at + 1 == id.size()) return false;
    const auto allowed = [](char c) { return is_word(c) || c == '-' || c == '.'; };
    return std::all_of(id.begin(), id.begin() + static_cast<std::ptrdiff_t>(at), allowed) &&
           std::all_of(id.begin() + static_cast<std::ptrdiff_t>(at) + 1, id.end(), allowed);
}

std::vector<std::string> firefox_arguments(const std::string& manifest, std::string_view extension_id) {
    return {manifest, std::string(extension_id)};
}

}  // namespace

// Firefox refuses a manifest that breaks its schema in any way, an unknown
// member included; a refused manifest is skipped as if it were not there.
Manifest read_firefox_manifest(std::string_view text) {
    Manifest manifest;
    // Read as UTF-8, which the JSON parser checks too, less one byte-order
    // mark; nlohmann would skip a second mark and stop at a NUL, and
    // Firefox's JSON takes neither.
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    if (text.starts_with(kByteOrderMark) || text.find('\0') != std::string_view::npos) {
        manifest.problem = text.starts_with(kByteOrderMark) ? "it is not valid JSON: a second byte-order mark"
                                                            : "it is not valid JSON: a NUL byte";
        return manifest;
    }
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& error) {
        const std::string what = error.what();
        const std::size_t cut = what.find("] ");
        manifest.problem = "it is not valid JSON: " + (cut == std::string::npos ? what : what.substr(cut + 2));
        return manifest;
    }
    if (!json.is_object()) {
        manifest.problem = "it is not a JSON object";
        return manifest;
    }
    std::vector<std::string> faults;
    for (const auto& [key, value] : json.items()) {
        if (std::find(kFirefoxMembers.begin(), kFirefoxMembers.end(), key) == kFirefoxMembers.end()) {
            faults.push_back("it has the member \"" + key + "\", and Firefox takes no members but name, description, "
                             "path, type and allowed_extensions");
        }
    }
    const auto string = [&json](std::string_view name) { return string_member(json, name); };
    check_name(json, faults);
    if (string("description") == nullptr) faults.push_back("\"description\" is missing or not a string");
    if (const std::string* type = string("type"); type == nullptr || *type != "stdio") {
        faults.push_back("\"type\" must be \"stdio\"");
    }
    const std::string* path = string("path");
    if (path == nullptr) faults.push_back("\"path\" is missing or not a string");
    const auto* ids = member(json, "allowed_extensions");
    if (ids == nullptr || !ids->is_array()) {
        faults.push_back("\"allowed_extensions\" is missing or not a list");
    } else if (ids->empty()) {
        faults.push_back("\"allowed_extensions\" is empty");
    }
    for (std::size_t i = 0; ids != nullptr && ids->is_array() && i < ids->size(); ++i) {
        const auto& entry = (*ids)[i];
        if (!entry.is_string() || !is_firefox_addon_id(entry.get_ref<const std::string&>())) {
            faults.push_back("allowed_extensions entry " + std::to_string(i + 1) + " " + entry.dump() +
                             " is not an add-on id");
        } else {
            manifest.allowed_hosts.push_back(entry.get<std::string>());
        }
    }
    for (const auto& fault : faults) manifest.problem += (manifest.problem.empty() ? "" : "; ") + fault;
    manifest.valid = faults.empty();
    if (manifest.valid) manifest.path = *path;
    return manifest;
}

// Firefox decodes a reply as UTF-8, strictly, dropping a leading byte-order
// mark, and then parses it as JSON.
bool is_firefox_reply(std::string_view body) {
    if (body.starts_with(kByteOrderMark)) body.remove_prefix(kByteOrderMark.size());
    return is_valid_utf8(body) && is_reply_json(body);
}

const Family kFirefoxFamily{
    "firefox",
    {
        "ok",
        "No such native application com.velisto.nimbra",
        // Firefox does not tell an add-on that is not allowed from a host
        // that is not there.
        "No such native application com.velisto.nimbra",
        "No such native application com.velisto.nimbra",  // Firefox has no such policy
        "An unexpected error occurred",
        "An unexpected error occurred",
        "Native application tried to send a message of {} bytes, which exceeds the limit of 1048576 bytes.",
        "An unexpected error occurred",
        // The extension hears nothing until the host ends, and then this.
        "An unexpected error occurred",
    },
    read_firefox_manifest,
    firefox_arguments,
    chromium_allows,  // the id exactly as listed
    is_firefox_reply,
    Launcher::firefox,
    "An unexpected error occurred",
    "allowed_extensions",
    "--firefox-extension-id",
    true,
};

std::string verdict_text(const Family& family, Outcome outcome, std::uint32_t announced) {
    std::string text(family.messages[static_cast<std::size_t>(outcome)]);
    if (const std::size_t slot = text.find("{}"); slot != std::string::npos) {
        text.replace(slot, 2, std::to_string(announced));
    }
    return text;
}

const std::vector<std::string>& extensions_for(const Family& family, const Options& options) {
    return family.firefox_ids ? options.firefox_extension_ids : options.extension_ids;
}

}  // namespace nimbra::registration::doctor
