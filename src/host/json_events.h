// Event-based reading of JSON for typed readers that must see the text as
// written: every member in document order, duplicates included.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra::host {

// Receives the parts of one JSON text in document order. A callback returns
// false to stop; the parse then fails with rejection() as the fault, placed at
// the first byte of the part that was refused. Views are valid only during the
// call that receives them.
class JsonEvents {
public:
    virtual ~JsonEvents() = default;

    virtual bool begin_object() = 0;
    virtual bool key(std::string_view name) = 0;  // before each member's value
    virtual bool end_object() = 0;
    virtual bool begin_array() = 0;
    virtual bool end_array() = 0;
    virtual bool string(std::string_view value) = 0;
    virtual bool number_unsigned(std::uint64_t value) = 0;  // integers >= 0 that fit
    virtual bool number_integer(std::int64_t value) = 0;    // integers < 0 that fit
    virtual bool number_float(double value) = 0;            // all other numbers, and -0
    virtual bool boolean(bool value) = 0;
    virtual bool null() = 0;

    // Fault named in the message after a callback returned false.
    virtual std::string rejection() const { return "invalid type"; }
};

// Same grammar, limits and messages as parse_json. Returns
// "<fault> at line <L> column <C>" on failure, nothing on success.
std::optional<std::string> parse_json_events(std::string_view text, JsonEvents& events);

}  // namespace nimbra::host
