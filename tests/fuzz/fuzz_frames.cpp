// libFuzzer target for the request reader: frames and their JSON read from an
// in-memory stream served in uneven pieces. The messages and the end (quiet,
// or which fatal error) must be what a plain frame-by-frame walk of the
// stream predicts; the messages read must survive being written as reply
// frames and read back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "host/fatal_error.h"
#include "host/framing.h"
#include "host/json.h"

namespace {

using nimbra::host::Json;

void check(bool condition) {
    if (!condition) std::abort();
}

// Serves the bytes in reads whose sizes cycle through `steps`, as a pipe
// hands over whatever has arrived; an optional read failure at the end.
class PieceSource final : public nimbra::host::ByteSource {
public:
    PieceSource(std::string_view bytes, std::string_view steps, bool fail_at_end)
        : bytes_(bytes), steps_(steps), fail_at_end_(fail_at_end) {}

    nimbra::platform::Result<std::size_t> read(std::span<char> buffer) override {
        if (position_ == bytes_.size() && fail_at_end_) return nimbra::platform::OsError{5};
        std::size_t step = buffer.size();
        if (!steps_.empty()) {
            step = 1 + static_cast<unsigned char>(steps_[turn_++ % steps_.size()]) * 97U;
        }
        const std::size_t n = std::min({buffer.size(), bytes_.size() - position_, step});
        std::copy_n(bytes_.data() + position_, n, buffer.data());
        position_ += n;
        return n;
    }

private:
    std::string_view bytes_;
    std::string_view steps_;
    bool fail_at_end_;
    std::size_t position_ = 0;
    std::size_t turn_ = 0;
};

class StringSink final : public nimbra::host::ByteSink {
public:
    nimbra::platform::Status write(std::string_view bytes) override {
        out.append(bytes);
        return nimbra::platform::Status::success();
    }
    std::string out;
};

// What a reader must make of the stream, worked out frame by frame the plain
// way: the messages, then the fault that ends the stream (none when it ends
// where a frame would begin or inside its length).
struct Outcome {
    std::vector<Json> messages;
    std::optional<std::string> fault;
};

constexpr std::size_t kMostMessages = 64;
// A failed read comes as the system's text, which ends in the code.
constexpr std::string_view kReadFailure = " (os error 5)";

std::uint32_t frame_length(std::string_view header) {
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        length |= static_cast<std::uint32_t>(static_cast<unsigned char>(header[i])) << (8 * i);
    }
    return length;
}

Outcome expected_outcome(std::string_view stream, bool fail_at_end) {
    Outcome outcome;
    const std::string read_failure(kReadFailure);
    while (outcome.messages.size() < kMostMessages) {
        if (stream.size() < 4) {
            if (fail_at_end) outcome.fault = read_failure;
            return outcome;
        }
        const std::uint32_t length = frame_length(stream);
        stream.remove_prefix(4);
        if (length > nimbra::host::kMaxRequestBytes) {
            outcome.fault = "Native message too large";
            return outcome;
        }
        if (stream.size() < length) {
            outcome.fault = fail_at_end ? read_failure : "failed to fill whole buffer";
            return outcome;
        }
        nimbra::host::JsonParse parsed = nimbra::host::parse_json(stream.substr(0, length));
        stream.remove_prefix(length);
        if (!parsed.value) {
            outcome.fault = std::move(parsed.error);
            return outcome;
        }
        outcome.messages.push_back(std::move(*parsed.value));
    }
    return outcome;
}

bool same_fault(std::string_view got, std::string_view expected) {
    return expected == kReadFailure ? got.ends_with(kReadFailure) : got == expected;
}

}  // namespace

// Input: one byte of options, up to four bytes of read sizes, then the stream.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.empty()) return 0;
    const auto options = static_cast<unsigned char>(input[0]);
    input.remove_prefix(1);
    const std::size_t step_count = std::min<std::size_t>(options & 3U, input.size());
    const std::string_view steps = input.substr(0, step_count);
    input.remove_prefix(step_count);

    const bool fail_at_end = (options & 4U) != 0;
    const Outcome expected = expected_outcome(input, fail_at_end);

    std::vector<Json> requests;
    std::optional<std::string> fault;
    PieceSource source(input, steps, fail_at_end);
    nimbra::host::MessageReader reader(source);
    try {
        while (requests.size() < kMostMessages) {
            nimbra::host::InboundMessage message = reader.read();
            if (std::holds_alternative<nimbra::host::EndOfInput>(message)) break;
            requests.push_back(std::move(std::get<Json>(message)));
        }
    } catch (const nimbra::host::FatalError& error) {
        fault = error.what();
    }
    check(requests == expected.messages && fault.has_value() == expected.fault.has_value());
    if (fault) check(same_fault(*fault, *expected.fault));

    // Written back to back as reply frames, they read back in the same order
    // through one reader, served in the same uneven pieces.
    if (requests.empty()) return 0;
    StringSink sink;
    for (const Json& request : requests) check(static_cast<bool>(nimbra::host::write_message(sink, request)));
    PieceSource again_source(sink.out, steps, false);
    nimbra::host::MessageReader again(again_source);
    for (const Json& request : requests) {
        nimbra::host::InboundMessage reread = again.read();
        check(std::holds_alternative<Json>(reread) && std::get<Json>(reread) == request);
    }
    check(std::holds_alternative<nimbra::host::EndOfInput>(again.read()));
    return 0;
}
