#include "platform/win32/unicode.h"

#include <cstdint>

namespace nimbra::platform::win32 {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, char32_t code) {
    const auto put = [&out](std::uint32_t byte) { out.push_back(static_cast<char>(byte)); };
    auto c = static_cast<std::uint32_t>(code);
    if (c < 0x80) {
        put(c);
    } else if (c < 0x800) {
        put(0xC0 | (c >> 6));
        put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        put(0xE0 | (c >> 12));
        put(0x80 | ((c >> 6) & 0x3F));
        put(0x80 | (c & 0x3F));
    } else {
        put(0xF0 | (c >> 18));
        put(0x80 | ((c >> 12) & 0x3F));
        put(0x80 | ((c >> 6) & 0x3F));
        put(0x80 | (c & 0x3F));
    }
}

bool is_high_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string to_utf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto unit = static_cast<std::uint32_t>(static_cast<std::uint16_t>(text[i]));
        if (is_high_surrogate(unit) && i + 1 < text.size()) {
            auto next = static_cast<std::uint32_t>(static_cast<std::uint16_t>(text[i + 1]));
            if (is_low_surrogate(next)) {
                append_utf8(out, static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00)));
                ++i;
                continue;
            }
        }
        if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            append_utf8(out, kReplacement);
        } else {
            append_utf8(out, static_cast<char32_t>(unit));
        }
    }
    return out;
}

std::wstring to_wide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    const auto byte = [&text](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[k])); };
    const auto put = [&out](std::uint32_t code) {
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(code));
        }
    };
    std::size_t i = 0;
    while (i < text.size()) {
        std::uint32_t c = byte(i);
        if (c < 0x80) {
            put(c);
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            code = c & 0x07;
        }
        // The allowed range of the second byte rules out overlong forms,
        // surrogates and values past U+10FFFF in one place.
        std::uint32_t low = 0x80;
        std::uint32_t high = 0xBF;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
        std::size_t good = 1;
        bool valid = length != 0;
        for (std::size_t k = 1; valid && k < length; ++k) {
            if (i + k >= text.size()) {
                valid = false;
                break;
            }
            std::uint32_t next = byte(i + k);
            bool in_range = k == 1 ? (next >= low && next <= high) : (next & 0xC0) == 0x80;
            if (!in_range) {
                valid = false;
                break;
            }
            code = (code << 6) | (next & 0x3F);
            good = k + 1;
        }
        if (valid) {
            put(code);
            i += length;
        } else {
            put(kReplacement);
            i += good;
        }
    }
    return out;
}

}  // namespace nimbra::platform::win32
