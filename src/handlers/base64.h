// Strict base64 for browser transfer chunks: the standard alphabet, "="
// padding to whole four-character groups, no white space, and no stray bits
// in the last symbol. Exactly one text decodes to any given bytes, and every
// other text is refused with a description of the first fault found.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nimbra::handlers {

// Bytes that `text_length` characters of base64 can at most decode to: 3 per
// group of 4, a partial group counting as a whole one.
constexpr std::size_t base64_decoded_capacity(std::size_t text_length) {
    return text_length / 4 * 3 + (text_length % 4 != 0 ? 3 : 0);
}

struct Base64Decoded {
    std::string bytes;  // the decoded bytes; empty on failure
    std::string error;  // empty on success, else e.g. "Invalid symbol 10, offset 4."

    bool ok() const { return error.empty(); }
};

// Decodes the whole text into `out`, replacing what it held and reusing its
// memory, so a buffer kept from one chunk to the next is not taken afresh.
// Returns "" on success; on failure a description of the first fault ("out"
// then holds nothing useful). The descriptions, checked in this order:
//   "Invalid symbol <byte>, offset <offset>."  (a byte that has no place there)
//   "Invalid input length: <length>"           (one symbol past whole groups)
//   "Invalid padding"                          (a last group cut short)
//   "Invalid last symbol <byte>, offset <offset>."  (bits beyond the data)
std::string decode_base64_into(std::string_view text, std::string& out);

// The same into a buffer of its own.
Base64Decoded decode_base64(std::string_view text);

}  // namespace nimbra::handlers
