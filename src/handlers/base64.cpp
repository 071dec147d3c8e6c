#include "handlers/base64.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace nimbra::handlers {

namespace {

constexpr std::uint8_t kNotSymbol = 0xFF;

// The 6-bit value of each alphabet symbol; kNotSymbol for every other byte,
// "=" included.
constexpr std::array<std::uint8_t, 256> kValue = [] {
    std::array<std::uint8_t, 256> value{};
    value.fill(kNotSymbol);
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        value[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return value;
}();

// One table per position in a group: each symbol's bits already shifted to
// where they land in the three output bytes, laid out as a little-endian
// word (byte 0 in the low bits). OR-ing the four entries gives the group's
// bytes; a byte outside the alphabet sets the top byte, so one test per
// group finds every bad symbol.
constexpr std::uint32_t kBad = 0xFF000000U;

template <int Position>
constexpr std::array<std::uint32_t, 256> make_position_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::size_t c = 0; c < 256; ++c) {
        const std::uint32_t v = kValue[c];
        if (v == kNotSymbol) {
            table[c] = kBad;
            continue;
        }
        if constexpr (Position == 0) table[c] = v << 2;
        if constexpr (Position == 1) table[c] = (v >> 4) | ((v & 0x0FU) << 12);
        if constexpr (Position == 2) table[c] = ((v >> 2) << 8) | ((v & 0x03U) << 22);
        if constexpr (Position == 3) table[c] = v << 16;
    }
    return table;
}

constexpr auto kPos0 = make_position_table<0>();
constexpr auto kPos1 = make_position_table<1>();
constexpr auto kPos2 = make_position_table<2>();
constexpr auto kPos3 = make_position_table<3>();

inline std::uint32_t group_word(const unsigned char* in) {
    return kPos0[in[0]] | kPos1[in[1]] | kPos2[in[2]] | kPos3[in[3]];
}

// Stores the group's three bytes and one byte of garbage after them; only
// used where the buffer has room for it and the next group overwrites it.
inline void store_word(char* out, std::uint32_t word) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &word, sizeof word);
    } else {
        out[0] = static_cast<char>(word & 0xFF);
        out[1] = static_cast<char>((word >> 8) & 0xFF);
        out[2] = static_cast<char>((word >> 16) & 0xFF);
    }
}

bool is_symbol(unsigned char c) { return kValue[c] != kNotSymbol; }

std::string invalid_symbol(unsigned char byte, std::size_t offset) {
    return "Invalid symbol " + std::to_string(byte) + ", offset " + std::to_string(offset) + ".";
}

// Only reached for a text that the fast path refused: finds the fault that
// comes first in the fixed order of checks, which is not always the first
// bad byte in the text.
std::string describe_fault(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const std::size_t n = text.size();
    const std::size_t remainder = n % 4;
    const std::size_t last_group = remainder == 0 ? n - 4 : n - remainder;

    // A lone symbol past the whole groups that is not even a symbol.
    if (remainder == 1 && at(n - 1) != '=' && !is_symbol(at(n - 1))) {
        return invalid_symbol(at(n - 1), n - 1);
    }
    for (std::size_t i = 0; i < last_group; ++i) {
        if (!is_symbol(at(i))) return invalid_symbol(at(i), i);
    }
    std::size_t first_pad = n;
    for (std::size_t i = last_group; i < n; ++i) {
        const unsigned char c = at(i);
        if (c == '=') {
            // Padding can stand only for the third and fourth symbols.
            if (i - last_group < 2) return invalid_symbol(c, i);
            if (first_pad == n) first_pad = i;
        } else if (first_pad != n) {
            return invalid_symbol('=', first_pad);
        } else if (!is_symbol(c)) {
            return invalid_symbol(c, i);
        }
    }
    if (remainder == 1) return "Invalid input length: " + std::to_string(n);
    if (remainder != 0) return "Invalid padding";

    // A whole group of two or three symbols and padding: the low bits of the
    // last symbol fall outside the decoded bytes and must be zero.
    const std::size_t pads = n - first_pad;
    const std::size_t last_symbol = n - 1 - pads;
    const unsigned unused_mask = pads == 2 ? 0x0FU : pads == 1 ? 0x03U : 0U;
    if ((kValue[at(last_symbol)] & unused_mask) != 0) {
        return "Invalid last symbol " + std::to_string(at(last_symbol)) + ", offset " +
               std::to_string(last_symbol) + ".";
    }
    // Unreachable for a text the fast path refused; kept so that no refused
    // text can ever come out as a success.
    return "Invalid padding";
}

}  // namespace

std::string decode_base64_into(std::string_view text, std::string& bytes) {
    const auto failed = [&] { return describe_fault(text); };
    const std::size_t n = text.size();
    if (n == 0) {
        bytes.clear();
        return {};
    }
    if (n % 4 != 0) return failed();

    // Not cleared first: within the capacity the buffer already has this
    // takes no memory, and only bytes beyond its old size are zeroed.
    bytes.resize(base64_decoded_capacity(n));
    char* out = bytes.data();
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const last = in + n - 4;

    // Every group before the last is four symbols. Two groups a step, with
    // one test for both: the bad-symbol bits survive the OR.
    while (last - in >= 8) {
        const std::uint32_t first = group_word(in);
        const std::uint32_t second = group_word(in + 4);
        if (((first | second) & kBad) != 0) return failed();
        store_word(out, first);
        store_word(out + 3, second);
        in += 8;
        out += 6;
    }
    if (in != last) {
        const std::uint32_t word = group_word(in);
        if ((word & kBad) != 0) return failed();
        store_word(out, word);
        in += 4;
        out += 3;
    }

    // The last group may end in padding; its bytes are stored one by one so
    // nothing is written past the buffer.
    const std::uint32_t a = kValue[in[0]];
    const std::uint32_t b = kValue[in[1]];
    if (a == kNotSymbol || b == kNotSymbol) return failed();
    std::size_t produced = 0;
    if (in[3] != '=') {
        const std::uint32_t word = group_word(in);
        if ((word & kBad) != 0) return failed();
        out[0] = static_cast<char>(word & 0xFF);
        out[1] = static_cast<char>((word >> 8) & 0xFF);
        out[2] = static_cast<char>((word >> 16) & 0xFF);
        produced = 3;
    } else if (in[2] != '=') {
        const std::uint32_t c = kValue[in[2]];
        if (c == kNotSymbol || (c & 0x03U) != 0) return failed();
        out[0] = static_cast<char>((a << 2) | (b >> 4));
        out[1] = static_cast<char>(((b & 0x0FU) << 4) | (c >> 2));
        produced = 2;
    } else {
        if ((b & 0x0FU) != 0) return failed();
        out[0] = static_cast<char>((a << 2) | (b >> 4));
        produced = 1;
    }
    bytes.resize(static_cast<std::size_t>(out - bytes.data()) + produced);
    return {};
}

Base64Decoded decode_base64(std::string_view text) {
    Base64Decoded result;
    result.error = decode_base64_into(text, result.bytes);
    if (!result.ok()) result.bytes.clear();
    return result;
}

}  // namespace nimbra::handlers
