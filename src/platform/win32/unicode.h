// UTF-16 <-> UTF-8 for the Windows side of the platform layer.
#pragma once

#include <string>
#include <string_view>

namespace nimbra::platform::win32 {

// Windows strings are UTF-16 by convention only: file and process names may
// hold unpaired surrogates. Each one becomes U+FFFD, so the result is always
// valid UTF-8 and never fails.
std::string to_utf8(std::wstring_view text);

// Invalid UTF-8 becomes U+FFFD, one per maximal ill-formed subsequence.
std::wstring to_wide(std::string_view text);

}  // namespace nimbra::platform::win32
