// How a file that several processes rewrite is rewritten, the same on every
// system: each one supplies the locked file that holds it open.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace nimbra::platform::detail {

// `LockedFile(path, wait)` opens the file (creating it when missing) and
// takes the lock, or goes on without it; it offers is_open(), error(),
// is_locked(), size(), read(), overwrite(bytes) and replace(old, next).
template <class LockedFile>
Status rewrite_locked(const Path& path, const LockWait& wait, std::string_view bytes) {
    LockedFile file(path, wait);
    if (!file.is_open()) return file.error();
    // Content as long as the file's, the usual case, takes no new space and
    // needs no cut; any other is written with the old content at hand, to go
    // back should the write or the cut fail.
    Result<std::uint64_t> size = file.size();
    if (size && *size == bytes.size() && file.is_locked()) return file.overwrite(bytes);
    Result<std::string> old = file.read();
    if (!old) return old.error();
    return file.replace(*old, bytes);
}

template <class LockedFile>
Status update_locked(const Path& path, const LockWait& wait,
                     const std::function<std::string(std::string_view)>& update) {
    LockedFile file(path, wait);
    if (!file.is_open()) return file.error();
    Result<std::string> old = file.read();
    if (!old) return old.error();
    const std::string next = update(*old);
    return file.replace(*old, next);
}

}  // namespace nimbra::platform::detail
