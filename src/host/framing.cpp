#include "host/framing.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "host/fatal_error.h"

namespace nimbra::host {

namespace {

constexpr std::size_t kReadBufferBytes = 64 * 1024;

constexpr std::string_view kChunkTextKey = "data_base64";

class StdinSource final : public ByteSource {
public:
    platform::Result<std::size_t> read(std::span<char> buffer) override {
        return platform::read_stdin(buffer);
    }
};

class StdoutSink final : public ByteSink {
public:
    platform::Status write(std::string_view bytes) override { return platform::write_stdout(bytes); }
};

}  // namespace

ByteSource& standard_input() {
    static StdinSource source;
    return source;
}

ByteSink& standard_output() {
    static StdoutSink sink;
    return sink;
}

MessageReader::MessageReader(ByteSource& source)
    : source_(source), buffer_(new char[kReadBufferBytes]) {}

std::size_t MessageReader::read_exact(std::span<char> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        if (begin_ < end_) {
            std::size_t take = std::min(end_ - begin_, out.size() - filled);
            std::memcpy(out.data() + filled, buffer_.get() + begin_, take);
            begin_ += take;
            filled += take;
            continue;
        }
        // Large remainders go straight into the caller's buffer: a 2 MiB body
        // is not copied twice.
        std::size_t wanted = out.size() - filled;
        bool direct = wanted >= kReadBufferBytes;
        std::span<char> target =
            direct ? out.subspan(filled) : std::span<char>(buffer_.get(), kReadBufferBytes);
        platform::Result<std::size_t> got = source_.read(target);
        if (!got) throw FatalError::from_os(got.error());
        if (*got == 0) return filled;
        if (direct) {
            filled += *got;
        } else {
            begin_ = 0;
            end_ = *got;
        }
    }
    return filled;
}

std::string_view Request::data_base64() const {
    if (held_) return *held_;
    const std::string* text = string_member(value_, kChunkTextKey);
    return text != nullptr ? std::string_view(*text) : std::string_view();
}

const Json& Request::complete() {
    if (held_) {
        value_[std::string(kChunkTextKey)] = std::string(*held_);
        held_.reset();
    }
    return value_;
}

std::optional<std::string_view> MessageReader::read_frame() {
    char header[4];
    if (read_exact(header) < sizeof header) return std::nullopt;
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) {
        length = (length << 8) | static_cast<unsigned char>(header[i]);
    }
    // Checked before allocating: a hostile length must not cost memory.
    if (length > kMaxRequestBytes) throw FatalError("Native message too large");

    if (length > frame_capacity_) {
        frame_.reset();  // the old frame goes before the new one is taken
        frame_.reset(new char[length]);
        frame_capacity_ = length;
    }
    if (read_exact(std::span<char>(frame_.get(), length)) < length) {
        throw FatalError("failed to fill whole buffer");
    }
    return std::string_view(frame_.get(), length);
}

InboundRequest MessageReader::read_request() {
    const std::optional<std::string_view> body = read_frame();
    if (!body) return EndOfInput{};
    std::optional<std::string_view> held;
    JsonParse parsed = parse_json_holding(*body, kChunkTextKey, held);
    if (!parsed.value) throw FatalError(parsed.error);
    return Request(std::move(*parsed.value), held);
}

InboundMessage MessageReader::read() {
    const std::optional<std::string_view> body = read_frame();
    if (!body) return EndOfInput{};
    JsonParse parsed = parse_json(*body);
    if (!parsed.value) throw FatalError(parsed.error);
    return std::move(*parsed.value);
}

platform::Status write_message(ByteSink& sink, const Json& value) {
    std::string body = to_compact_json(value);
    auto length = static_cast<std::uint32_t>(body.size());  // modulo 2^32 by design
    std::string frame;
    frame.reserve(body.size() + 4);
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    frame.append(body);
    // Length and body in one write, so nothing can come between them.
    return sink.write(frame);
}

}  // namespace nimbra::host
