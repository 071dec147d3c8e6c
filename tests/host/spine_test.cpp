// The host process end to end: frames in on standard input, frames out on
// standard output, exit status 0 in every orderly end.
#include <gtest/gtest.h>

#include <string>

#include "host/host_process.h"

namespace nimbra::hosttest {
namespace {

const std::string kPing = R"({"type":"ping"})";
const std::string kPingReply = R"({"host":"com.velisto.nimbra","ok":true,"version":"1.0.4"})";
const std::string kUnknown = R"({"error":"Unknown message type","ok":false})";

std::string length_field(std::uint32_t n) { return frame(std::string(n, 'x')).substr(0, 4); }

class HostSpine : public ::testing::Test {
protected:
    void SetUp() override { Target::get().reset(); }

    // Runs the host and returns its reply bodies; the whole output must be
    // whole frames and the exit status 0.
    std::vector<std::string> replies_to(std::string_view input) {
        Finished run = run_host(input);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.exit_code, 0);
        std::string rest;
        std::vector<std::string> frames = split_frames(run.output, &rest);
        EXPECT_EQ(rest, "") << "output ends inside a frame";
        return frames;
    }
};

TEST_F(HostSpine, PingAndUnknownTypesAreAnsweredInOrder) {
    std::string input = frame(kPing) + frame(R"({"type":"ping","extra":[1,2]})") +
                        frame(R"({"type":"Ping"})") + frame(R"({"type":"ping "})") +
                        frame(R"({"type":7})") + frame(R"({"url":"x"})") + frame("[1,2]") +
                        frame("\"ping\"") + frame("12");
    std::vector<std::string> replies = replies_to(input);
    ASSERT_EQ(replies.size(), 9u);
    EXPECT_EQ(replies[0], kPingReply);
    EXPECT_EQ(replies[1], kPingReply);
    for (std::size_t i = 2; i < replies.size(); ++i) EXPECT_EQ(replies[i], kUnknown) << i;
}

TEST_F(HostSpine, EndOfInputIsQuietAtAFrameBoundaryOrInsideALength) {
    EXPECT_TRUE(replies_to("").empty());
    for (std::size_t cut = 1; cut < 4; ++cut) {
        std::vector<std::string> replies = replies_to(frame(kPing) + length_field(5).substr(0, cut));
        ASSERT_EQ(replies.size(), 1u) << cut;
        EXPECT_EQ(replies[0], kPingReply);
    }
}

TEST_F(HostSpine, TheLargestRequestIsServedAndOneByteMoreEndsTheHost) {
    // A 2 MiB body: a string member padded to the exact size.
    std::string prefix = R"({"type":"ping","pad":")";
    std::string body = prefix + std::string(2097152 - prefix.size() - 2, 'a') + "\"}";
    ASSERT_EQ(body.size(), 2097152u);
    std::vector<std::string> replies = replies_to(frame(body) + frame(kPing));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], kPingReply);

    // One byte more is refused from the length alone; the ping behind it
    // is never answered.
    replies = replies_to(length_field(2097153) + std::string(2097153, ' ') + frame(kPing));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], R"({"error":"Native message too large","ok":false})");
}

TEST_F(HostSpine, FatalFramesGiveOneFinalReplyAndNothingAfter) {
    struct Case {
        std::string input;
        std::string reply;
    };
    const Case cases[] = {
        {length_field(3000000), R"({"error":"Native message too large","ok":false})"},
        {length_field(10) + "abcd", R"({"error":"failed to fill whole buffer","ok":false})"},
        {frame(""), R"({"error":"EOF while parsing a value at line 1 column 0","ok":false})"},
        {frame(" {} x") + frame(kPing),
         R"({"error":"trailing characters at line 1 column 5","ok":false})"},
        {frame("hello") + frame(kPing), R"({"error":"expected value at line 1 column 1","ok":false})"},
        {frame(std::string(1000000, '[')) + frame(kPing),
         R"({"error":"recursion limit exceeded at line 1 column 129","ok":false})"},
        {frame("\xEF\xBB\xBF{}"), R"({"error":"expected value at line 1 column 1","ok":false})"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> replies = replies_to(frame(kPing) + c.input);
        ASSERT_EQ(replies.size(), 2u) << c.reply;
        EXPECT_EQ(replies[0], kPingReply);
        EXPECT_EQ(replies[1], c.reply);
    }
}

TEST_F(HostSpine, NestingOf128LevelsIsServed) {
    std::string deep = R"({"type":"ping","x":)" + std::string(127, '[') + std::string(127, ']') + "}";
    std::vector<std::string> replies = replies_to(frame(deep));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], kPingReply);
}

TEST_F(HostSpine, RequestsArrivingOneByOneAreEachAnsweredBeforeTheNext) {
    const Target& target = Target::get();
    Process host(target.command(target.host_exe()));
    for (int i = 0; i < 3; ++i) {
        host.send(frame(kPing));
        std::optional<std::string> reply = host.read_reply();
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(*reply, kPingReply);
    }
    Finished end = host.finish();
    EXPECT_EQ(end.output, "");
    EXPECT_EQ(end.exit_code, 0);
}

}  // namespace
}  // namespace nimbra::hosttest
