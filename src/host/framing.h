// Native messaging frames: a 4-byte little-endian length, then that many
// bytes of UTF-8 JSON. The same in both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "host/json.h"
#include "platform/platform.h"

namespace nimbra::host {

// Largest request body accepted, in bytes.
inline constexpr std::uint32_t kMaxRequestBytes = 2097152;

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Bytes read into `buffer`; 0 when the input has ended.
    virtual platform::Result<std::size_t> read(std::span<char> buffer) = 0;
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual platform::Status write(std::string_view bytes) = 0;
};

// The process's own standard input and output.
ByteSource& standard_input();
ByteSink& standard_output();

struct EndOfInput {};
using InboundMessage = std::variant<Json, EndOfInput>;

// A request as read from one frame. A chunk's `data_base64` text is nearly
// all of its frame, so when it needs no unescaping it is not copied out: it
// stays in the reader's frame buffer, and value() lacks the member until
// complete() puts a copy back. Valid only until the reader's next read.
class Request {
public:
    Request(Json value, std::optional<std::string_view> held) : value_(std::move(value)), held_(held) {}

    const Json& value() const { return value_; }

    // The text of the string member `data_base64`; "" when it is absent or
    // not a string.
    std::string_view data_base64() const;

    // The value with every member, for requests that are used whole.
    const Json& complete();

private:
    Json value_;
    std::optional<std::string_view> held_;
};
using InboundRequest = std::variant<Request, EndOfInput>;

// Reads request frames. The read buffer and the frame buffer are kept from
// one request to the next, so a stream of chunks takes no fresh memory; the
// frame buffer grows to the largest frame read, at most kMaxRequestBytes.
class MessageReader {
public:
    explicit MessageReader(ByteSource& source);

    // One whole frame, parsed; EndOfInput when the input ends where a frame
    // would begin or inside its length. Throws FatalError for an oversized,
    // cut-short or malformed frame and for a failed read.
    InboundRequest read_request();

    // The same, as a complete value.
    InboundMessage read();

private:
    // The next frame's body in frame_; nullopt when the input ends first.
    std::optional<std::string_view> read_frame();
    // Bytes copied into `out` before the input ended (== out.size() when whole).
    std::size_t read_exact(std::span<char> out);

    ByteSource& source_;
    std::unique_ptr<char[]> buffer_;  // not cleared: only bytes read into it are used
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::unique_ptr<char[]> frame_;  // the last frame's body, which requests may view
    std::size_t frame_capacity_ = 0;
};

// Serialises the value compactly and writes it as one frame.
platform::Status write_message(ByteSink& sink, const Json& value);

}  // namespace nimbra::host
