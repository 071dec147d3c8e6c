#include "host/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <functional>
#include <limits>
#include <system_error>
#include <utility>

#include "host/json_events.h"
#include "platform/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nimbra::host {
namespace {

// Fault names: the first four are relied on by callers and must not change.
constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kTrailing = "trailing characters";
constexpr std::string_view kRecursion = "recursion limit exceeded";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kCommaOrBracket = "expected `,` or `]`";
constexpr std::string_view kCommaOrBrace = "expected `,` or `}`";
constexpr std::string_view kColon = "expected `:`";
constexpr std::string_view kKeyNotString = "key must be a string";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kHexEnd = "unexpected end of hex escape";
constexpr std::string_view kLoneLeading = "lone leading surrogate in hex escape";
constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
constexpr std::string_view kControl = "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kInvalidUtf8 = "invalid UTF-8";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";

constexpr unsigned char byte_at(const char* p) { return static_cast<unsigned char>(*p); }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Bytes a string may hold as they are: printable ASCII other than `"` and `\`.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (std::size_t c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
    return plain;
}();

// Finds the first byte that is not plain, sixteen or eight bytes at a time:
// string bodies are mostly one long run of base64.
const char* skip_plain(const char* p, const char* end) {
#if defined(__SSE2__)
    // Bytes below 0x20 and above 0x7F are exactly those below 0x20 as signed.
    const __m128i quotes = _mm_set1_epi8('"');
    const __m128i backslashes = _mm_set1_epi8('\\');
    const __m128i spaces = _mm_set1_epi8(0x20);
    const auto specials = [&](const char* at) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quotes), _mm_cmpeq_epi8(x, backslashes)),
                            _mm_cmplt_epi8(x, spaces));
    };
    while (end - p >= 64) {
        const __m128i any = _mm_or_si128(_mm_or_si128(specials(p), specials(p + 16)),
                                         _mm_or_si128(specials(p + 32), specials(p + 48)));
        if (_mm_movemask_epi8(any) != 0) break;
        p += 64;
    }
    while (end - p >= 16) {
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(specials(p)));
        if (mask != 0) return p + std::countr_zero(mask);
        p += 16;
    }
#endif
    constexpr std::uint64_t kOnes = 0x0101010101010101U;
    constexpr std::uint64_t kHigh = 0x8080808080808080U;
    while (end - p >= 8) {
        std::uint64_t x = 0;
        std::memcpy(&x, p, sizeof x);
        const std::uint64_t quote = x ^ (kOnes * '"');
        const std::uint64_t slash = x ^ (kOnes * '\\');
        // Each term flags its first matching byte exactly; later flags may be
        // borrow artefacts, which is harmless because only the first is used.
        const std::uint64_t hits = (((x - kOnes * 0x20U) & ~x) | ((quote - kOnes) & ~quote) |
                                    ((slash - kOnes) & ~slash) | x) &
                                   kHigh;
        if (hits != 0) {
            if constexpr (std::endian::native == std::endian::little) {
                return p + std::countr_zero(hits) / 8;
            } else {
                return p + std::countl_zero(hits) / 8;
            }
        }
        p += 8;
    }
    while (p != end && kPlain[byte_at(p)]) ++p;
    return p;
}

// Length of the well-formed UTF-8 sequence whose lead byte (>= 0x80) is at p,
// or 0 with `fault` at the first byte that cannot continue it (`end` when the
// text stops inside it).
std::size_t utf8_length(const char* p, const char* end, const char*& fault) {
    const platform::utf8::Sequence sequence =
        platform::utf8::decode(std::string_view(p, static_cast<std::size_t>(end - p)), 0);
    if (sequence.valid) return sequence.length;
    fault = p + sequence.length;
    return 0;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "<fault> at line <L> column <C>". A fault on a byte gets that byte's 1-based
// column; a fault at the end of the text gets the length of the last line.
std::string describe(std::string_view text, std::string_view fault, std::size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t last_lf = before.rfind('\n');
    const std::size_t line_start = last_lf == std::string_view::npos ? 0 : last_lf + 1;
    const std::size_t column = offset - line_start + (offset < text.size() ? 1 : 0);
    std::string message(fault);
    message += " at line ";
    message += std::to_string(line);
    message += " column ";
    message += std::to_string(column);
    return message;
}

// The grammar, shared by the value builder and the event interface. It keeps
// its own stack of open containers, so deep nesting costs no native stack.
template <class Handler>
class Parser {
public:
    Parser(std::string_view text, Handler& handler)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), handler_(handler) {}

    bool run();

    // Set when run() fails.
    std::string_view fault() const { return fault_; }
    std::size_t fault_offset() const { return static_cast<std::size_t>(fault_at_ - begin_); }
    bool rejected() const { return rejected_; }  // the handler stopped the parse

private:
    enum class Open : unsigned char { array, object };

    bool fail(std::string_view fault, const char* at) {
        fault_ = fault;
        fault_at_ = at;
        return false;
    }
    // Turns a handler's answer into the parse result, blaming `at` on refusal.
    bool accept(bool ok, const char* at) {
        if (ok) return true;
        rejected_ = true;
        fault_at_ = at;
        return false;
    }
    void skip_space() {
        while (p_ != end_ && is_space(*p_)) ++p_;
    }

    // What value() left behind: a complete value, or a container still open.
    enum class Step { failed, complete, opened };

    Step value();
    bool member_key();
    bool scan_string(std::string_view& out);
    bool escape();
    bool hex4(std::uint32_t& out);
    bool number();
    bool literal(std::string_view word);

    const char* begin_;
    const char* p_;
    const char* end_;
    Handler& handler_;
    std::string scratch_;  // decoded text of the current string when it has escapes
    std::array<Open, kMaxJsonDepth> open_{};
    std::size_t depth_ = 0;
    std::string_view fault_;
    const char* fault_at_ = nullptr;
    bool rejected_ = false;
};

template <class Handler>
bool Parser<Handler>::run() {
    bool want_value = true;
    for (;;) {
        if (want_value) {
            const Step step = value();
            if (step == Step::failed) return false;
            if (step == Step::opened) continue;
            want_value = false;
        }
        skip_space();
        if (depth_ == 0) {
            if (p_ != end_) return fail(kTrailing, p_);
            return true;
        }
        const bool in_array = open_[depth_ - 1] == Open::array;
        if (p_ == end_) return fail(in_array ? kEofList : kEofObject, p_);
        if (*p_ == ',') {
            ++p_;
            if (!in_array) {
                skip_space();
                if (!member_key()) return false;
            }
            want_value = true;
        } else if (*p_ == (in_array ? ']' : '}')) {
            if (!accept(in_array ? handler_.end_array() : handler_.end_object(), p_)) return false;
            ++p_;
            --depth_;
        } else {
            return fail(in_array ? kCommaOrBracket : kCommaOrBrace, p_);
        }
    }
}

// Reads one value, or only the opening of a container: an empty container is
// read whole, a non-empty one is left open after `[` or after its first `key:`.
template <class Handler>
typename Parser<Handler>::Step Parser<Handler>::value() {
    const auto done = [](bool ok) { return ok ? Step::complete : Step::failed; };
    skip_space();
    if (p_ == end_) return done(fail(kEofValue, p_));
    const char* const start = p_;
    switch (*p_) {
        case '{':
        case '[': {
            const bool object = *p_ == '{';
            if (depth_ == kMaxJsonDepth) return done(fail(kRecursion, p_));
            if (!accept(object ? handler_.begin_object() : handler_.begin_array(), p_)) return Step::failed;
            ++p_;
            skip_space();
            if (p_ == end_) return done(fail(object ? kEofObject : kEofList, p_));
            if (*p_ == (object ? '}' : ']')) {
                const bool ok = accept(object ? handler_.end_object() : handler_.end_array(), p_);
                ++p_;
                return done(ok);
            }
            open_[depth_++] = object ? Open::object : Open::array;
            if (object && !member_key()) return Step::failed;
            return Step::opened;
        }
        case '"': {
            std::string_view text;
            return done(scan_string(text) && accept(handler_.string(text), start));
        }
        case 't':
            return done(literal("true") && accept(handler_.boolean(true), start));
        case 'f':
            return done(literal("false") && accept(handler_.boolean(false), start));
        case 'n':
            return done(literal("null") && accept(handler_.null(), start));
        default:
            if (*p_ == '-' || is_digit(*p_)) return done(number());
            return done(fail(kExpectedValue, p_));
    }
}

// Reads `"key" :` with the text at the key's first byte (white space skipped).
template <class Handler>
bool Parser<Handler>::member_key() {
    if (p_ == end_) return fail(kEofObject, p_);
    if (*p_ != '"') return fail(kKeyNotString, p_);
    const char* const start = p_;
    std::string_view name;
    if (!scan_string(name)) return false;
    if (!accept(handler_.key(name), start)) return false;
    skip_space();
    if (p_ == end_) return fail(kEofObject, p_);
    if (*p_ != ':') return fail(kColon, p_);
    ++p_;
    return true;
}

// Reads a string from its opening quote. Text without escapes is handed out as
// a view of the input; only escaped text is copied, span by span.
template <class Handler>
bool Parser<Handler>::scan_string(std::string_view& out) {
    ++p_;
    const char* run = p_;
    bool escaped = false;
    for (;;) {
        p_ = skip_plain(p_, end_);
        if (p_ == end_) return fail(kEofString, p_);
        const unsigned char c = byte_at(p_);
        if (c == '"') {
            if (escaped) {
                scratch_.append(run, p_);
                out = scratch_;
            } else {
                out = std::string_view(run, static_cast<std::size_t>(p_ - run));
            }
            ++p_;
            return true;
        }
        if (c >= 0x80) {
            const char* fault_at = nullptr;
            const std::size_t length = utf8_length(p_, end_, fault_at);
            if (length == 0) return fail(fault_at == end_ ? kEofString : kInvalidUtf8, fault_at);
            p_ += length;
            continue;
        }
        if (c < 0x20) return fail(kControl, p_);
        if (escaped) {
            scratch_.append(run, p_);
        } else {
            scratch_.assign(run, p_);
            escaped = true;
        }
        if (!escape()) return false;
        run = p_;
    }
}

// Decodes the escape at the backslash under p_ into scratch_.
template <class Handler>
bool Parser<Handler>::escape() {
    ++p_;
    if (p_ == end_) return fail(kEofString, p_);
    char simple = 0;
    switch (*p_) {
        case '"': simple = '"'; break;
        case '\\': simple = '\\'; break;
        case '/': simple = '/'; break;
        case 'b': simple = '\b'; break;
        case 'f': simple = '\f'; break;
        case 'n': simple = '\n'; break;
        case 'r': simple = '\r'; break;
        case 't': simple = '\t'; break;
        case 'u': break;
        default: return fail(kInvalidEscape, p_);
    }
    if (simple != 0) {
        scratch_.push_back(simple);
        ++p_;
        return true;
    }
    std::uint32_t cp = 0;
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(kInvalidCodePoint, p_ - 1);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        // Only a trailing surrogate escape may follow a leading one.
        if (p_ == end_) return fail(kEofString, p_);
        if (*p_ != '\\') return fail(kLoneLeading, p_);
        ++p_;
        if (p_ == end_) return fail(kEofString, p_);
        if (*p_ != 'u') return fail(kLoneLeading, p_);
        std::uint32_t low = 0;
        if (!hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail(kLoneLeading, p_ - 1);
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    platform::utf8::append(scratch_, cp);
    return true;
}

// Reads the four hex digits after the `u` under p_, leaving p_ past them.
template <class Handler>
bool Parser<Handler>::hex4(std::uint32_t& out) {
    out = 0;
    for (int i = 0; i < 4; ++i) {
        ++p_;
        if (p_ == end_) return fail(kEofString, p_);
        const int digit = hex_value(*p_);
        if (digit < 0) return fail(kHexEnd, p_);
        out = out * 16 + static_cast<std::uint32_t>(digit);
    }
    ++p_;
    return true;
}

template <class Handler>
bool Parser<Handler>::number() {
    const char* const start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    const char* const int_begin = p_;
    if (p_ == end_ || !is_digit(*p_)) return fail(kInvalidNumber, p_);
    if (*p_ == '0') {
        ++p_;
        if (p_ != end_ && is_digit(*p_)) return fail(kInvalidNumber, p_);
    } else {
        while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    const char* const int_end = p_;
    const char* frac_begin = p_;
    const char* frac_end = p_;
    bool integral = true;
    if (p_ != end_ && *p_ == '.') {
        integral = false;
        ++p_;
        if (p_ == end_ || !is_digit(*p_)) return fail(kInvalidNumber, p_);
        frac_begin = p_;
        while (p_ != end_ && is_digit(*p_)) ++p_;
        frac_end = p_;
    }
    std::int64_t exponent = 0;
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
        integral = false;
        ++p_;
        bool exponent_negative = false;
        if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
            exponent_negative = *p_ == '-';
            ++p_;
        }
        if (p_ == end_ || !is_digit(*p_)) return fail(kInvalidNumber, p_);
        constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
        for (; p_ != end_ && is_digit(*p_); ++p_) {
            if (exponent < kSaturated) exponent = exponent * 10 + (*p_ - '0');
        }
        if (exponent_negative) exponent = -exponent;
    }

    if (integral) {
        constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
        std::uint64_t magnitude = 0;
        bool fits = true;
        for (const char* d = int_begin; d != int_end && fits; ++d) {
            const auto digit = static_cast<std::uint64_t>(*d - '0');
            fits = magnitude <= (kMax - digit) / 10;
            if (fits) magnitude = magnitude * 10 + digit;
        }
        constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;  // of INT64_MIN
        if (fits && !negative) return accept(handler_.number_unsigned(magnitude), start);
        if (fits && magnitude == 0) return accept(handler_.number_float(-0.0), start);
        if (fits && magnitude <= kMinMagnitude) {
            const std::int64_t value = magnitude == kMinMagnitude
                                           ? std::numeric_limits<std::int64_t>::min()
                                           : -static_cast<std::int64_t>(magnitude);
            return accept(handler_.number_integer(value), start);
        }
    }

    double value = 0;
    const auto [end, error] = std::from_chars(start, p_, value);
    if (error == std::errc::result_out_of_range) {
        // Too large is an error; too small to tell from zero reads as zero.
        // The decimal exponent of the first significant digit tells which.
        std::int64_t scale = exponent;
        const char* first = std::find_if(int_begin, int_end, [](char c) { return c != '0'; });
        if (first != int_end) {
            scale += int_end - first - 1;
        } else {
            first = std::find_if(frac_begin, frac_end, [](char c) { return c != '0'; });
            scale -= first - frac_begin + 1;
        }
        if (scale > 0) return fail(kOutOfRange, start);
        value = negative ? -0.0 : 0.0;
    } else if (error != std::errc() || end != p_) {
        return fail(kInvalidNumber, start);
    }
    return accept(handler_.number_float(value), start);
}

template <class Handler>
bool Parser<Handler>::literal(std::string_view word) {
    for (const char expected : word) {
        if (p_ == end_) return fail(kEofValue, p_);
        if (*p_ != expected) return fail(kExpectedIdent, p_);
        ++p_;
    }
    return true;
}

// Builds the value in place: each part goes straight into its parent.
class ValueBuilder final {
public:
    ValueBuilder() = default;
    // Holds the top-level member `key` back when it is a string inside `text`.
    ValueBuilder(std::string_view text, std::string_view key, std::optional<std::string_view>& held)
        : text_(text), held_key_(key), held_(&held) {}

    bool begin_object() { return open(Json::value_t::object); }
    bool begin_array() { return open(Json::value_t::array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(std::string_view name) {
        key_.assign(name);
        return true;
    }
    bool string(std::string_view text) {
        // A view into the text has no escapes; one into the parser's scratch
        // buffer would not outlive the parse.
        if (holding_member() && std::less_equal<>()(text_.data(), text.data()) &&
            std::less_equal<>()(text.data() + text.size(), text_.data() + text_.size())) {
            open_[0]->get_ref<Json::object_t&>().erase(key_);
            *held_ = text;
            return true;
        }
        place(Json(Json::value_t::string)).get_ref<std::string&>().assign(text);
        return true;
    }
    bool number_unsigned(std::uint64_t value) {
        place(Json(value));
        return true;
    }
    bool number_integer(std::int64_t value) {
        place(Json(value));
        return true;
    }
    bool number_float(double value) {
        place(Json(value));
        return true;
    }
    bool boolean(bool value) {
        place(Json(value));
        return true;
    }
    bool null() {
        place(Json(nullptr));
        return true;
    }

    Json take() { return std::move(root_); }

private:
    // Containers further up are not touched while a child is open, so the
    // pointers to open containers stay valid.
    Json& place(Json&& value) {
        if (holding_member()) held_->reset();
        if (depth_ == 0) {
            root_ = std::move(value);
            return root_;
        }
        Json& parent = *open_[depth_ - 1];
        if (parent.is_array()) {
            auto& items = parent.get_ref<Json::array_t&>();
            items.push_back(std::move(value));
            return items.back();
        }
        // A repeated key replaces the earlier member.
        auto& members = parent.get_ref<Json::object_t&>();
        return members.insert_or_assign(std::move(key_), std::move(value)).first->second;
    }
    bool open(Json::value_t type) {
        open_[depth_++] = &place(Json(type));
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }
    // The next value is the held member's.
    bool holding_member() const {
        return held_ != nullptr && depth_ == 1 && open_[0]->is_object() && key_ == held_key_;
    }

    std::string_view text_;
    std::string_view held_key_;
    std::optional<std::string_view>* held_ = nullptr;
    Json root_;
    std::array<Json*, kMaxJsonDepth> open_{};
    std::size_t depth_ = 0;
    std::string key_;
};

}  // namespace

JsonParse parse_json(std::string_view text) {
    JsonParse result;
    ValueBuilder builder;
    Parser<ValueBuilder> parser(text, builder);
    if (parser.run()) {
        result.value = builder.take();
    } else {
        result.error = describe(text, parser.fault(), parser.fault_offset());
    }
    return result;
}

JsonParse parse_json_holding(std::string_view text, std::string_view key, std::optional<std::string_view>& held) {
    held.reset();
    JsonParse result;
    ValueBuilder builder(text, key, held);
    Parser<ValueBuilder> parser(text, builder);
    if (parser.run()) {
        result.value = builder.take();
    } else {
        held.reset();
        result.error = describe(text, parser.fault(), parser.fault_offset());
    }
    return result;
}

std::optional<std::string> parse_json_events(std::string_view text, JsonEvents& events) {
    Parser<JsonEvents> parser(text, events);
    if (parser.run()) return std::nullopt;
    if (parser.rejected()) return describe(text, events.rejection(), parser.fault_offset());
    return describe(text, parser.fault(), parser.fault_offset());
}

// Invalid UTF-8 in a value (never from parse_json) becomes U+FFFD rather
// than an exception, the same way append_json_string treats it.
std::string to_compact_json(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string to_indented_json(const Json& value) {
    return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* run = p;
    out.push_back('"');
    for (;;) {
        p = skip_plain(p, end);
        if (p == end) break;
        const unsigned char c = byte_at(p);
        if (c >= 0x80) {
            const char* fault_at = nullptr;
            const std::size_t length = utf8_length(p, end, fault_at);
            if (length != 0) {
                p += length;
                continue;
            }
            // One U+FFFD per broken sequence; the byte that broke it starts afresh.
            out.append(run, p);
            out.append("\xEF\xBF\xBD");
            p = fault_at == p ? p + 1 : fault_at;
            run = p;
            continue;
        }
        out.append(run, p);
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\b': out.append("\\b"); break;
            case '\t': out.append("\\t"); break;
            case '\n': out.append("\\n"); break;
            case '\f': out.append("\\f"); break;
            case '\r': out.append("\\r"); break;
            default: {
                const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                out.append(escaped, sizeof escaped);
                break;
            }
        }
        ++p;
        run = p;
    }
    out.append(run, p);
    out.push_back('"');
}

const std::string* string_member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    const auto& members = object.get_ref<const Json::object_t&>();
    const auto found = members.find(key);
    if (found == members.end() || !found->second.is_string()) return nullptr;
    return &found->second.get_ref<const std::string&>();
}

}  // namespace nimbra::host
