// JSON for the host: one value type, a strict parser with exact fault
// messages, and the two layouts every reply and every file uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nimbra::host {

// Objects keep their members in ascending byte order of the keys.
using Json = nlohmann::json;

// Deepest nesting of arrays and objects a text may have.
inline constexpr std::size_t kMaxJsonDepth = 128;

struct JsonParse {
    std::optional<Json> value;  // set on success
    std::string error;          // "<fault> at line <L> column <C>" on failure
};

// Parses exactly one JSON text of UTF-8 bytes, optionally surrounded by
// white space. Later duplicate keys replace earlier ones.
JsonParse parse_json(std::string_view text);

// Parses like parse_json, except for the top-level member named `key` when its
// value is a string written without escapes: that string is not copied into
// the value, which then lacks the member, but handed over in `held` as a view
// into `text`, valid as long as `text` is. Any other value of the member (a
// string with escapes, a number, ...) goes into the value as parse_json puts
// it; as there, a later duplicate replaces an earlier one.
JsonParse parse_json_holding(std::string_view text, std::string_view key, std::optional<std::string_view>& held);

// Compact form: no white space, members in key order.
std::string to_compact_json(const Json& value);

// Two-space indented form, no trailing newline; {} and [] for empty ones.
std::string to_indented_json(const Json& value);

// Appends `text` as a quoted JSON string with the host's escaping rules.
void append_json_string(std::string& out, std::string_view text);

// Reads a member that must have one JSON type; any other type counts as absent.
const std::string* string_member(const Json& object, std::string_view key);

}  // namespace nimbra::host
