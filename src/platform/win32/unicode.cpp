#include "platform/win32/unicode.h"

#include <algorithm>
#include <cstdint>

#include "platform/utf8.h"

namespace nimbra::platform::win32 {

namespace {

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
                utf8::append(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        utf8::append(out, is_high_surrogate(unit) || is_low_surrogate(unit) ? utf8::kReplacement : unit);
    }
    return out;
}

std::wstring to_wide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const utf8::Sequence sequence = utf8::decode(text, i);
        std::uint32_t code = utf8::kReplacement;
        if (sequence.valid) code = sequence.code_point;
        i += std::max<std::size_t>(sequence.length, 1);
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(code));
        }
    }
    return out;
}

}  // namespace nimbra::platform::win32
