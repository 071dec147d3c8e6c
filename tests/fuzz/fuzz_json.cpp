// libFuzzer target for the JSON layer: whatever parses must survive a trip
// through the compact writer unchanged, and the event parser and the parse
// that holds a member back must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "host/json.h"
#include "host/json_events.h"

namespace {

using nimbra::host::Json;

// Accepts everything, so its result is the grammar's alone.
class AcceptAll final : public nimbra::host::JsonEvents {
public:
    bool begin_object() override { return true; }
    bool key(std::string_view) override { return true; }
    bool end_object() override { return true; }
    bool begin_array() override { return true; }
    bool end_array() override { return true; }
    bool string(std::string_view) override { return true; }
    bool number_unsigned(std::uint64_t) override { return true; }
    bool number_integer(std::int64_t) override { return true; }
    bool number_float(double) override { return true; }
    bool boolean(bool) override { return true; }
    bool null() override { return true; }
};

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const nimbra::host::JsonParse first = nimbra::host::parse_json(text);

    // Short keys, so that the fuzzer meets duplicates of the held one often.
    std::optional<std::string_view> held;
    nimbra::host::JsonParse holding = nimbra::host::parse_json_holding(text, "a", held);
    check(holding.error == first.error && holding.value.has_value() == first.value.has_value());
    if (holding.value) {
        if (held) {
            check(holding.value->is_object() && !holding.value->contains("a"));
            (*holding.value)["a"] = std::string(*held);
        }
        check(*holding.value == *first.value);
    }

    AcceptAll events;
    const auto event_error = nimbra::host::parse_json_events(text, events);
    check(event_error.has_value() != first.value.has_value());
    if (!first.value) {
        check(*event_error == first.error);
        return 0;
    }

    const std::string compact = nimbra::host::to_compact_json(*first.value);
    const nimbra::host::JsonParse again = nimbra::host::parse_json(compact);
    check(again.value.has_value());
    check(*again.value == *first.value);
    check(nimbra::host::to_compact_json(*again.value) == compact);

    const nimbra::host::JsonParse indented = nimbra::host::parse_json(nimbra::host::to_indented_json(*first.value));
    check(indented.value.has_value() && *indented.value == *first.value);

    if (first.value->is_string()) {
        std::string quoted;
        nimbra::host::append_json_string(quoted, first.value->get_ref<const std::string&>());
        check(quoted == compact);
    }
    return 0;
}
