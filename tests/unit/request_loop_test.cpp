// The request loop when a reply cannot be written, over in-memory streams,
// a fake OS and real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bin/nimbra-native-host/run_host.h"
#include "host/fatal_error.h"
#include "support/fake_system.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;

class Input : public host::ByteSource {
public:
    explicit Input(const std::vector<std::string>& bodies) {
        for (const std::string& body : bodies) {
            const auto n = static_cast<std::uint32_t>(body.size());
            for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
            bytes_ += body;
        }
    }
    platform::Result<std::size_t> read(std::span<char> buffer) override {
        const std::size_t n = std::min(buffer.size(), bytes_.size() - position_);
        std::copy_n(bytes_.data() + position_, n, buffer.data());
        position_ += n;
        return n;
    }

private:
    std::string bytes_;
    std::size_t position_ = 0;
};

// Takes the first `good` replies, then fails every write, as a pipe whose
// reader has gone does.
class Output : public host::ByteSink {
public:
    explicit Output(int good) : good_(good) {}
    platform::Status write(std::string_view) override {
        if (good_-- > 0) return platform::Status::success();
        return platform::not_found_error();
    }

private:
    int good_;
};

TEST(RequestLoop, AChunkWhoseReplyIsLostEndsItsTransfer) {
    const std::string begin = R"({"type":"blob_begin","transfer_id":"transfer-1"})";
    const std::string chunk = R"({"type":"blob_chunk","transfer_id":"transfer-1","data_base64":"QUJD"})";
    struct Case {
        const char* what;
        int good_replies;
        bool description_kept;
    };
    for (const Case c : {Case{"begin's reply lost", 0, true}, Case{"chunk's reply lost", 1, false}}) {
        SCOPED_TRACE(c.what);
        testing::TempDir temp;
        testing::FakeSystem system;
        system.app_data = temp.path();
        Input input({begin, chunk});
        host::MessageReader reader(input);
        Output output(c.good_replies);

        EXPECT_THROW(run_host(system, reader, output), host::FatalError);
        const fs::path transfers = temp.path() / "Velisto" / "Nimbra" / "browser-transfers";
        EXPECT_EQ(fs::exists(transfers / "transfer-1.json"), c.description_kept);
        EXPECT_EQ(testing::read_bytes(transfers / "transfer-1.part"), c.good_replies == 1 ? "ABC" : "");
    }
}

}  // namespace
}  // namespace nimbra
