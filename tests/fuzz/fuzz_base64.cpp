// libFuzzer target for the transfer-chunk decoder: it must accept exactly the
// texts a plain reference decoder accepts, give the same bytes, and refuse
// everything else with one of its fixed descriptions about a real byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "handlers/base64.h"

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void check(bool condition) {
    if (!condition) std::abort();
}

int value_of(char c) {
    const std::size_t at = kAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Group by group, the slow and obvious way.
std::optional<std::string> reference_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int pads = 0;
        if (last && text[i + 3] == '=') pads = text[i + 2] == '=' ? 2 : 1;
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const bool pad = static_cast<int>(k) >= 4 - pads;
            const int v = pad ? 0 : value_of(text[i + k]);
            if (v < 0) return std::nullopt;
            bits = (bits << 6) | static_cast<std::uint32_t>(v);
        }
        const int bytes = 3 - pads;
        // The bits below the last whole byte must be zero.
        if (pads > 0 && (bits & ((1U << (8 * pads)) - 1)) != 0) return std::nullopt;
        for (int b = 0; b < bytes; ++b) out.push_back(static_cast<char>((bits >> (16 - 8 * b)) & 0xFF));
    }
    return out;
}

bool is_decimal(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "<prefix><byte>, offset <offset>." naming the byte that stands there.
bool names_a_real_byte(std::string_view error, std::string_view prefix, std::string_view text) {
    if (!error.starts_with(prefix) || !error.ends_with(".")) return false;
    error.remove_prefix(prefix.size());
    error.remove_suffix(1);
    const std::size_t comma = error.find(", offset ");
    if (comma == std::string_view::npos) return false;
    const std::string_view byte = error.substr(0, comma);
    const std::string_view offset = error.substr(comma + 9);
    if (!is_decimal(byte) || !is_decimal(offset) || offset.size() > 12) return false;
    const std::size_t at = std::stoull(std::string(offset));
    return at < text.size() && std::to_string(static_cast<unsigned char>(text[at])) == byte;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const nimbra::handlers::Base64Decoded decoded = nimbra::handlers::decode_base64(text);
    const std::optional<std::string> expected = reference_decode(text);

    check(decoded.ok() == expected.has_value());
    if (expected) {
        check(decoded.bytes == *expected);
        return 0;
    }
    check(decoded.bytes.empty());
    const std::string& error = decoded.error;
    const std::size_t remainder = text.size() % 4;
    if (error == "Invalid padding") {
        check(remainder == 2 || remainder == 3);
    } else if (error.starts_with("Invalid input length: ")) {
        check(remainder == 1 && error == "Invalid input length: " + std::to_string(text.size()));
    } else if (error.starts_with("Invalid last symbol ")) {
        check(remainder == 0 && names_a_real_byte(error, "Invalid last symbol ", text));
        check(value_of(text[text.size() - 1]) < 0);  // only after padding
    } else {
        check(names_a_real_byte(error, "Invalid symbol ", text));
    }
    return 0;
}
