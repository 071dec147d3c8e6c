// The frame reader and writer over in-memory streams.
#include <gtest/gtest.h>

#include <string>

#include "host/fatal_error.h"
#include "host/framing.h"
#include "support/streams.h"

namespace nimbra::host {
namespace {

using testing::frame;
using testing::MemorySink;
using testing::MemorySource;

std::string header(std::uint32_t n) {
    std::string h(4, '\0');
    for (int i = 0; i < 4; ++i) h[static_cast<std::size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
    return h;
}

std::string fatal_text(MessageReader& reader) {
    try {
        reader.read();
    } catch (const FatalError& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(FramingReader, EndOfInputAtFrameBoundaryOrInsideLength) {
    for (std::size_t cut = 0; cut < 4; ++cut) {
        MemorySource source(header(2).substr(0, cut));
        MessageReader reader(source);
        EXPECT_TRUE(std::holds_alternative<EndOfInput>(reader.read())) << cut;
    }
}

TEST(FramingReader, ReadsFramesBackToBackInAnyReadSize) {
    for (std::size_t step : {1u, 3u, 7u, 1000u}) {
        MemorySource source(frame("{\"a\":1}") + frame(" [true] \n") + frame("\"x\""), step);
        MessageReader reader(source);
        EXPECT_EQ(std::get<Json>(reader.read()), Json::parse("{\"a\":1}"));
        EXPECT_EQ(std::get<Json>(reader.read()), Json::parse("[true]"));
        EXPECT_EQ(std::get<Json>(reader.read()), Json("x"));
        EXPECT_TRUE(std::holds_alternative<EndOfInput>(reader.read()));
    }
}

TEST(FramingReader, LargestBodyIsAcceptedAndOneMoreByteRefusedUnread) {
    std::string body = "\"" + std::string(kMaxRequestBytes - 2, 'a') + "\"";
    MemorySource big(frame(body), 100000);
    MessageReader big_reader(big);
    EXPECT_EQ(std::get<Json>(big_reader.read()).get_ref<const std::string&>().size(),
              kMaxRequestBytes - 2);

    // Served in 4-byte reads, so any read past the length would show.
    MemorySource over(header(kMaxRequestBytes + 1) + std::string(100, ' '), 4);
    MessageReader over_reader(over);
    EXPECT_EQ(fatal_text(over_reader), "Native message too large");
    EXPECT_EQ(over.position, 4u);  // nothing of the body was read
}

TEST(FramingReader, ShortBodyEmptyBodyAndBadJson) {
    MemorySource short_body(header(10) + "abcd");
    MessageReader short_reader(short_body);
    EXPECT_EQ(fatal_text(short_reader), "failed to fill whole buffer");

    MemorySource empty(header(0));
    MessageReader empty_reader(empty);
    EXPECT_EQ(fatal_text(empty_reader), "EOF while parsing a value at line 1 column 0");

    MemorySource trailing(frame(" {} x"));
    MessageReader trailing_reader(trailing);
    EXPECT_EQ(fatal_text(trailing_reader), "trailing characters at line 1 column 5");
}

TEST(FramingReader, AChunkTextStaysInTheFrameAndCompletingGivesTheWholeValue) {
    struct Case {
        std::string body;
        std::string text;  // what data_base64() gives
    };
    const Case cases[] = {
        {R"({"type":"blob_chunk","data_base64":"QUJD","transfer_id":"t"})", "QUJD"},
        {R"({"data_base64":"QU\u004AD"})", "QUJD"},  // escaped: kept in the value
        {R"({"data_base64":"QUJD","data_base64":7})", ""},
        {R"({"data_base64":7,"data_base64":"QUJD"})", "QUJD"},
        {R"({"data_base64":"QQ==","data_base64":"QUJD"})", "QUJD"},
        {R"({"data_base64":"QUJD","data_base64":{"a":"QQ=="}})", ""},
        {R"({"a":{"data_base64":"QUJD"}})", ""},
        {R"(["data_base64","QUJD"])", ""},
    };
    for (const Case& c : cases) {
        // A longer frame first, so the shorter one is read into a used buffer.
        MemorySource source(frame("{\"data_base64\":\"" + std::string(200, 'A') + "\"}") + frame(c.body), 5);
        MessageReader reader(source);
        EXPECT_EQ(std::get<Request>(reader.read_request()).data_base64(), std::string(200, 'A'));
        Request request = std::get<Request>(reader.read_request());
        EXPECT_EQ(request.data_base64(), c.text) << c.body;
        EXPECT_EQ(request.complete(), Json::parse(c.body)) << c.body;
        EXPECT_EQ(request.data_base64(), c.text) << c.body;
    }
}

TEST(FramingReader, ReadFailureIsFatalWithTheSystemText) {
    MemorySource failing(frame("{}"));
    failing.fail_at = 0;
    MessageReader reader(failing);
    EXPECT_EQ(fatal_text(reader), platform::describe(platform::OsError{5}));
}

TEST(FramingWriter, LengthPrefixAndCompactBody) {
    MemorySink sink;
    ASSERT_TRUE(write_message(sink, Json{{"ok", true}}));
    EXPECT_EQ(sink.out, header(11) + "{\"ok\":true}");

    sink.out.clear();
    ASSERT_TRUE(write_message(sink, Json{{"b", "a/b\n\x1f"}, {"a", 1}}));
    EXPECT_EQ(sink.out, frame(R"({"a":1,"b":"a/b\n\u001f"})"));
    EXPECT_EQ(sink.out.substr(0, 4), header(25));
}

TEST(FramingWriter, WriteFailureIsReported) {
    MemorySink sink;
    sink.good_writes = 0;
    platform::Status status = write_message(sink, Json{{"ok", true}});
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().code, 32u);
}

}  // namespace
}  // namespace nimbra::host
