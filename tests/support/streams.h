// In-memory standard streams for tests of the frame reader and the request
// loop: frames in, frames out, with failures where a test asks for them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/framing.h"

namespace nimbra::testing {

// A frame: the 4-byte little-endian length, then the body.
inline std::string frame(std::string_view body) {
    std::string out;
    const auto n = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    out.append(body);
    return out;
}

inline std::string frames(const std::vector<std::string>& bodies) {
    std::string out;
    for (const std::string& body : bodies) out += frame(body);
    return out;
}

// Serves its bytes in reads of at most `step` bytes, as a pipe does; from
// `fail_at` bytes on every read fails.
class MemorySource : public host::ByteSource {
public:
    explicit MemorySource(std::string bytes, std::size_t step = 1 << 20)
        : bytes_(std::move(bytes)), step_(step) {}
    platform::Result<std::size_t> read(std::span<char> buffer) override {
        if (fail_at && position >= *fail_at) return platform::OsError{5};
        const std::size_t n = std::min({buffer.size(), bytes_.size() - position, step_});
        std::copy_n(bytes_.data() + position, n, buffer.data());
        position += n;
        return n;
    }
    std::size_t position = 0;
    std::optional<std::size_t> fail_at;

private:
    std::string bytes_;
    std::size_t step_;
};

// Collects what is written; after `good_writes` writes, every write fails,
// as a pipe whose reader has gone does.
class MemorySink : public host::ByteSink {
public:
    platform::Status write(std::string_view bytes) override {
        if (good_writes && (*good_writes)-- <= 0) return platform::OsError{32};
        out.append(bytes);
        return platform::Status::success();
    }
    std::string out;
    std::optional<int> good_writes;
};

}  // namespace nimbra::testing
