// The one UTF-8 decoder and encoder of the host: JSON text, browser names,
// and the platform's path and name conversions all read UTF-8 by the same
// rule. It touches no OS, so every folder may include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nimbra::platform::utf8 {

inline constexpr std::uint32_t kReplacement = 0xFFFD;

struct Sequence {
    bool valid = false;
    std::uint32_t code_point = 0;  // when valid
    // Valid: the sequence's length, 1 to 4. Ill-formed: how many bytes began
    // it well (0 when the first byte can begin no sequence), so the first
    // byte that breaks it lies at `at + length`, and a reader that replaces
    // ill-formed text skips max(length, 1) bytes per U+FFFD.
    std::size_t length = 0;
};

// The sequence starting at text[at], which must exist. Well-formed as
// Unicode defines it: no overlong forms, no surrogates, nothing past U+10FFFF.
constexpr Sequence decode(std::string_view text, std::size_t at) {
    const auto byte = [&text](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[k])); };
    const std::uint32_t lead = byte(at);
    if (lead < 0x80) return {true, lead, 1};
    std::size_t trail = 0;
    std::uint32_t code = 0;
    // The second byte's range rules out overlong forms, surrogates and
    // values past U+10FFFF in one place.
    std::uint32_t low = 0x80;
    std::uint32_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        code = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        code = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {false, 0, 0};
    }
    for (std::size_t k = 1; k <= trail; ++k) {
        if (at + k >= text.size()) return {false, 0, k};
        const std::uint32_t next = byte(at + k);
        if (next < low || next > high) return {false, 0, k};
        code = (code << 6) | (next & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {true, code, trail + 1};
}

// Appends the code point (at most U+10FFFF, no surrogate) in UTF-8.
inline void append(std::string& out, std::uint32_t code_point) {
    char bytes[4];
    std::size_t n = 0;
    const auto put = [&](std::uint32_t value) { bytes[n++] = static_cast<char>(value); };
    if (code_point < 0x80) {
        put(code_point);
    } else if (code_point < 0x800) {
        put(0xC0 | (code_point >> 6));
        put(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        put(0xE0 | (code_point >> 12));
        put(0x80 | ((code_point >> 6) & 0x3F));
        put(0x80 | (code_point & 0x3F));
    } else {
        put(0xF0 | (code_point >> 18));
        put(0x80 | ((code_point >> 12) & 0x3F));
        put(0x80 | ((code_point >> 6) & 0x3F));
        put(0x80 | (code_point & 0x3F));
    }
    out.append(bytes, n);
}

}  // namespace nimbra::platform::utf8
