// libFuzzer target for the request reader: frames and their JSON read from an
// in-memory stream served in uneven pieces. Every outcome must be a message,
// the end of input, or one of the reader's fatal errors; every message read
// must survive being written as a reply frame and read back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <variant>

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

bool is_reader_fault(std::string_view message) {
    if (message == "Native message too large" || message == "failed to fill whole buffer") return true;
    // A read failure comes as the system's text; a parse failure names a place.
    if (message.find(" (os error 5)") != std::string_view::npos) return true;
    const std::size_t line = message.rfind(" at line ");
    return line != std::string_view::npos && message.find(" column ", line) != std::string_view::npos;
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

    PieceSource source(input, steps, (options & 4U) != 0);
    nimbra::host::MessageReader reader(source);
    try {
        for (int messages = 0; messages < 64; ++messages) {
            nimbra::host::InboundMessage message = reader.read();
            if (std::holds_alternative<nimbra::host::EndOfInput>(message)) break;
            const Json& request = std::get<Json>(message);

            StringSink sink;
            check(static_cast<bool>(nimbra::host::write_message(sink, request)));
            PieceSource again_source(sink.out, {}, false);
            nimbra::host::MessageReader again(again_source);
            nimbra::host::InboundMessage reread = again.read();
            check(std::holds_alternative<Json>(reread) && std::get<Json>(reread) == request);
            check(std::holds_alternative<nimbra::host::EndOfInput>(again.read()));
        }
    } catch (const nimbra::host::FatalError& error) {
        check(is_reader_fault(error.what()));
    }
    return 0;
}
