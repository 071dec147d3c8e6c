// The strict parser, its event interface and the two writers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "host/json.h"
#include "host/json_events.h"

namespace nimbra::host {
namespace {

using namespace std::string_literals;

Json parsed(std::string_view text) {
    JsonParse result = parse_json(text);
    EXPECT_TRUE(result.value.has_value()) << "input: " << text << "\nerror: " << result.error;
    return result.value.value_or(Json());
}

std::string error_of(std::string_view text) {
    JsonParse result = parse_json(text);
    EXPECT_FALSE(result.value.has_value()) << "input: " << text;
    return result.error;
}

struct Bad {
    std::string text;
    std::string error;
};

void expect_errors(const std::vector<Bad>& cases) {
    for (const Bad& c : cases) EXPECT_EQ(error_of(c.text), c.error) << "input: " << c.text;
}

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonParseErrors, NameTheFaultAndWhereItWasFound) {
    expect_errors({
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"\n\n", "EOF while parsing a value at line 3 column 0"},
        {"hello", "expected value at line 1 column 1"},
        {" {} x", "trailing characters at line 1 column 5"},
        {"{}{}", "trailing characters at line 1 column 3"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"{\n", "EOF while parsing an object at line 2 column 0"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        {"{\"a\":1,", "EOF while parsing an object at line 1 column 7"},
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{\"a\":1,}", "key must be a string at line 1 column 8"},
        {"[1,]", "expected value at line 1 column 4"},
        {"{\"a\":}", "expected value at line 1 column 6"},
        {"[,1]", "expected value at line 1 column 2"},
        {"'a'", "expected value at line 1 column 1"},
        {"tru", "EOF while parsing a value at line 1 column 3"},
        {"trux", "expected ident at line 1 column 4"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"[True]", "expected value at line 1 column 2"},
        {"falsy", "expected ident at line 1 column 5"},
        {"truee", "trailing characters at line 1 column 5"},
    });
}

TEST(JsonParseErrors, CountLinesByLineFeedAndColumnsInBytes) {
    expect_errors({
        {"{\n  \"a\": 1,\n  \"b\" 2\n}", "expected `:` at line 3 column 7"},
        {"[\n1,\n\n  x]", "expected value at line 4 column 3"},
        // CR alone does not end a line.
        {"{}\r x", "trailing characters at line 1 column 5"},
        {"{}\r\n x", "trailing characters at line 2 column 2"},
        // Columns count bytes: "é" is two.
        {"[\"\xC3\xA9\" x]", "expected `,` or `]` at line 1 column 7"},
        {"[\n  1,\n  2", "EOF while parsing a list at line 3 column 3"},
    });
}

TEST(JsonParseErrors, WhiteSpaceIsOnlySpaceTabLineFeedAndCarriageReturn) {
    EXPECT_EQ(parsed(" \t\r\n{} \n"), Json::object());
    EXPECT_EQ(parsed("[ 1 ,\t2\r\n]"), Json::parse("[1,2]"));
    expect_errors({
        // A byte-order mark is not skipped.
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"\f{}", "expected value at line 1 column 1"},
        {"\v[]", "expected value at line 1 column 1"},
        {"[\xC2\xA0]", "expected value at line 1 column 2"},
        {"{}\xEF\xBB\xBF", "trailing characters at line 1 column 3"},
        {"{}\f", "trailing characters at line 1 column 3"},
    });
}

TEST(JsonParseDepth, AllowsOneHundredTwentyEightLevelsAndNoMore) {
    EXPECT_EQ(to_compact_json(parsed(nested(128))), nested(128));
    EXPECT_EQ(error_of(nested(129)), "recursion limit exceeded at line 1 column 129");

    std::string objects;
    for (int i = 0; i < 128; ++i) objects += "{\"k\":";
    objects += "1" + std::string(128, '}');
    EXPECT_TRUE(parse_json(objects).value.has_value());
    EXPECT_EQ(error_of("[" + objects + "]"), "recursion limit exceeded at line 1 column 637");

    // Closing a container gives its level back.
    EXPECT_TRUE(parse_json("[" + nested(127) + "," + nested(127) + "," + objects.substr(5, 5 * 127) +
                           "1" + std::string(127, '}') + "]")
                    .value.has_value());
}

TEST(JsonParseDepth, MillionOpeningBracketsFailCleanly) {
    EXPECT_EQ(error_of(std::string(1'000'000, '[')), "recursion limit exceeded at line 1 column 129");
    std::string braces;
    for (int i = 0; i < 200'000; ++i) braces += "{\"a\":";
    EXPECT_EQ(error_of(braces), "recursion limit exceeded at line 1 column 641");
}

TEST(JsonParseStrings, DecodesEveryEscape) {
    EXPECT_EQ(parsed(R"("\" \\ \/ \b \f \n \r \t")"), Json("\" \\ / \b \f \n \r \t"));
    EXPECT_EQ(parsed(R"("\u0041\u00e9\u00E9\u20ac\uFFFF")"), Json("A\xC3\xA9\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF"));
    EXPECT_EQ(parsed(R"("a\u0000b")").get_ref<const std::string&>(), "a\0b"s);
    // A surrogate pair is one code point, written as four bytes.
    EXPECT_EQ(parsed(R"("\uD83D\uDE00")"), Json("\xF0\x9F\x98\x80"));
    EXPECT_EQ(parsed(R"("\udbff\udfff")"), Json("\xF4\x8F\xBF\xBF"));
    EXPECT_EQ(parsed(R"(["x\ty", "plain"])"), Json::parse(R"(["x\ty", "plain"])"));
}

TEST(JsonParseStrings, AcceptsWellFormedUtf8UpToTheLastCodePoint) {
    const std::string text = "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
                             "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(parsed("\"" + text + "\""), Json(text));
}

TEST(JsonParseStrings, RefusesBrokenEscapesAndSurrogates) {
    expect_errors({
        {R"("\x")", "invalid escape at line 1 column 3"},
        {R"("\U0041")", "invalid escape at line 1 column 3"},
        {R"("\u12G4")", "unexpected end of hex escape at line 1 column 6"},
        {R"("\u12")", "unexpected end of hex escape at line 1 column 6"},
        {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        {"\"\\", "EOF while parsing a string at line 1 column 2"},
        {R"("\uDC00")", "invalid unicode code point at line 1 column 7"},
        {R"("\uD800")", "lone leading surrogate in hex escape at line 1 column 8"},
        {R"("\uD800x")", "lone leading surrogate in hex escape at line 1 column 8"},
        {R"("\uD800\n")", "lone leading surrogate in hex escape at line 1 column 9"},
        {R"("\uD800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
        {R"("\uD800\uD800")", "lone leading surrogate in hex escape at line 1 column 13"},
        {R"("\uDE00\uD83D")", "invalid unicode code point at line 1 column 7"},
    });
}

TEST(JsonParseStrings, RefusesRawControlCharacters) {
    const std::string fault = "control character (\\u0000-\\u001F) found while parsing a string";
    expect_errors({
        {"\"a\x01z\"", fault + " at line 1 column 3"},
        {"\"a\tz\"", fault + " at line 1 column 3"},
        {"\"a\nz\"", fault + " at line 1 column 3"},
        {"[\"\x1F\"]", fault + " at line 1 column 3"},
        {"{\"k\0\":1}"s, fault + " at line 1 column 4"},
    });
    // DEL is not a control character here.
    EXPECT_EQ(parsed("\"\x7F\""), Json("\x7F"));
}

TEST(JsonParseStrings, RefusesMalformedUtf8AtTheFirstByteThatCannotContinue) {
    expect_errors({
        {"\"\x80\"", "invalid UTF-8 at line 1 column 2"},           // continuation without lead
        {"\"\xC0\xAF\"", "invalid UTF-8 at line 1 column 2"},       // overlong two-byte
        {"\"\xC1\xBF\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xE0\x80\xAF\"", "invalid UTF-8 at line 1 column 3"},   // overlong three-byte
        {"\"\xF0\x8F\xBF\xBF\"", "invalid UTF-8 at line 1 column 3"},  // overlong four-byte
        {"\"\xED\xA0\x80\"", "invalid UTF-8 at line 1 column 3"},   // encoded surrogate
        {"\"\xF4\x90\x80\x80\"", "invalid UTF-8 at line 1 column 3"},  // past U+10FFFF
        {"\"\xF5\x80\x80\x80\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xFF\"", "invalid UTF-8 at line 1 column 2"},
        {"\"\xE2\x82\"", "invalid UTF-8 at line 1 column 4"},       // cut short by the quote
        {"\"\xE2\x82x\"", "invalid UTF-8 at line 1 column 4"},
        {"\"\xC3\xA9\xC3\"", "invalid UTF-8 at line 1 column 5"},
        {"\"\xE2\x82", "EOF while parsing a string at line 1 column 3"},
        {"{\"\xC3\":1}", "invalid UTF-8 at line 1 column 4"},       // keys too
        {"\xC3\xA9", "expected value at line 1 column 1"},
    });
}

TEST(JsonParseStrings, FindsSpecialBytesAtEveryOffsetOfLongRuns) {
    // Runs are scanned several bytes at a time; each offset lands differently.
    for (std::size_t at = 0; at < 40; ++at) {
        const std::string head(at, 'a');
        const std::string tail(37, 'b');
        EXPECT_EQ(parsed("\"" + head + "\\n" + tail + "\""), Json(head + "\n" + tail)) << at;
        EXPECT_EQ(parsed("\"" + head + "\xE2\x82\xAC" + tail + "\""), Json(head + "\xE2\x82\xAC" + tail)) << at;
        EXPECT_EQ(parsed("[\"" + head + "\"," + "\"" + tail + "\"]"), Json::array({head, tail})) << at;
        EXPECT_EQ(error_of("\"" + head + "\x1F" + tail + "\""),
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                      std::to_string(at + 2))
            << at;
        EXPECT_EQ(error_of("\"" + head + "\xBF" + tail + "\""),
                  "invalid UTF-8 at line 1 column " + std::to_string(at + 2))
            << at;
        EXPECT_EQ(error_of("\"" + head), "EOF while parsing a string at line 1 column " + std::to_string(at + 1));
    }
}

TEST(JsonParseStrings, KeepsALongBase64BodyWhole) {
    std::string data;
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < 900'000; ++i) data.push_back(alphabet[(i * 7 + i / 64) % 64]);
    data += "==";
    const Json value = parsed("{\"id\":7,\"data\":\"" + data + "\"}");
    const std::string* decoded = string_member(value, "data");
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(*decoded, data);
}

TEST(JsonParseObjects, KeepKeysInByteOrderAndLetTheLaterDuplicateWin) {
    EXPECT_EQ(to_compact_json(parsed(R"({"b":1,"a":2,"b":3})")), R"({"a":2,"b":3})");
    EXPECT_EQ(to_compact_json(parsed(R"({"a":{"x":1},"a":[2],"c":null})")), R"({"a":[2],"c":null})");
    EXPECT_EQ(to_compact_json(parsed(R"({"a":[1,2],"a":{"y":{"z":1}}})")), R"({"a":{"y":{"z":1}}})");
    EXPECT_EQ(to_compact_json(parsed(R"([{"k":1,"k":2},{"k":3}])")), R"([{"k":2},{"k":3}])");
    // An escaped key is the same key as its plain spelling.
    EXPECT_EQ(to_compact_json(parsed(R"({"a":1,"\u0061":2})")), R"({"a":2})");
    EXPECT_EQ(to_compact_json(parsed("{\"\xC3\xA9\":1,\"Z\":2,\"a\":3,\"\":4,\"aa\":5}")),
              "{\"\":4,\"Z\":2,\"a\":3,\"aa\":5,\"\xC3\xA9\":1}");
}

TEST(JsonParseNumbers, StoreIntegersExactlyAndEverythingElseAsDouble) {
    const Json max_unsigned = parsed("18446744073709551615");
    ASSERT_TRUE(max_unsigned.is_number_unsigned());
    EXPECT_EQ(max_unsigned.get<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());

    const Json zero = parsed("0");
    EXPECT_TRUE(zero.is_number_unsigned());

    const Json min_signed = parsed("-9223372036854775808");
    ASSERT_TRUE(min_signed.is_number_integer() && !min_signed.is_number_unsigned());
    EXPECT_EQ(min_signed.get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(parsed("-1").get<std::int64_t>(), -1);
    EXPECT_FALSE(parsed("-1").is_number_unsigned());

    const Json past_unsigned = parsed("18446744073709551616");
    ASSERT_TRUE(past_unsigned.is_number_float());
    EXPECT_EQ(past_unsigned.get<double>(), 18446744073709551616.0);
    const Json past_signed = parsed("-9223372036854775809");
    ASSERT_TRUE(past_signed.is_number_float());
    EXPECT_EQ(past_signed.get<double>(), -9223372036854775808.0);

    const Json negative_zero = parsed("-0");
    ASSERT_TRUE(negative_zero.is_number_float());
    EXPECT_TRUE(std::signbit(negative_zero.get<double>()));
    EXPECT_EQ(to_compact_json(negative_zero), "-0.0");

    const Json thousand = parsed("1e3");
    ASSERT_TRUE(thousand.is_number_float());
    EXPECT_EQ(to_compact_json(thousand), "1000.0");
    EXPECT_EQ(to_compact_json(parsed("[1.0,1E+2,-2.5e-3,0.1,12345678901234567890123]")),
              "[1.0,100.0,-0.0025,0.1,1.2345678901234568e+22]");
    EXPECT_EQ(parsed("1.7976931348623157e308").get<double>(), std::numeric_limits<double>::max());

    // Too small to tell from zero reads as a (signed) zero.
    EXPECT_EQ(parsed("1e-400").get<double>(), 0.0);
    EXPECT_TRUE(std::signbit(parsed("-1e-400").get<double>()));
    EXPECT_EQ(parsed("0e999999999999999999999").get<double>(), 0.0);
}

TEST(JsonParseNumbers, RefuseWhatTheGrammarDoesNotAllowAndWhatDoesNotFit) {
    expect_errors({
        {"1e400", "number out of range at line 1 column 1"},
        {"[0, -1.5e99999]", "number out of range at line 1 column 5"},
        {"1.7976931348623159e308", "number out of range at line 1 column 1"},
        {"1" + std::string(400, '0'), "number out of range at line 1 column 1"},
        {"0.000001e999999999999999999", "number out of range at line 1 column 1"},
        {"01", "invalid number at line 1 column 2"},
        {"-01", "invalid number at line 1 column 3"},
        {"-", "invalid number at line 1 column 1"},
        {"-a", "invalid number at line 1 column 2"},
        {"1.", "invalid number at line 1 column 2"},
        {"1.e5", "invalid number at line 1 column 3"},
        {"1e", "invalid number at line 1 column 2"},
        {"1e+", "invalid number at line 1 column 3"},
        {"[1E-x]", "invalid number at line 1 column 5"},
        {"-Infinity", "invalid number at line 1 column 2"},
        {"+1", "expected value at line 1 column 1"},
        {".5", "expected value at line 1 column 1"},
        {"NaN", "expected value at line 1 column 1"},
        {"Infinity", "expected value at line 1 column 1"},
        {"0x10", "trailing characters at line 1 column 2"},
        {"1.5.3", "trailing characters at line 1 column 4"},
    });
}

TEST(JsonWriters, CompactFormEscapesOnlyQuoteBackslashAndControls) {
    const Json value = parsed(R"({"b":[1,-2,1.5,true,false,null,{}],"a":"x/y\n\t\b\f\r\u001f\u0001\"\\é\u007f"})");
    EXPECT_EQ(to_compact_json(value),
              "{\"a\":\"x/y\\n\\t\\b\\f\\r\\u001f\\u0001\\\"\\\\\xC3\xA9\x7F\",\"b\":[1,-2,1.5,true,false,null,{}]}");
    EXPECT_EQ(to_compact_json(Json::array()), "[]");
    EXPECT_EQ(to_compact_json(Json("\xF0\x9F\x98\x80")), "\"\xF0\x9F\x98\x80\"");
}

TEST(JsonWriters, IndentedFormUsesTwoSpacesAndNoTrailingNewline) {
    const Json value = parsed(R"({"z":{"list":[1,"two",[]],"none":{}},"a":true})");
    EXPECT_EQ(to_indented_json(value),
              "{\n"
              "  \"a\": true,\n"
              "  \"z\": {\n"
              "    \"list\": [\n"
              "      1,\n"
              "      \"two\",\n"
              "      []\n"
              "    ],\n"
              "    \"none\": {}\n"
              "  }\n"
              "}");
    EXPECT_EQ(to_indented_json(Json::object()), "{}");
    EXPECT_EQ(to_indented_json(Json("a/\x1F")), "\"a/\\u001f\"");
    EXPECT_EQ(to_indented_json(parsed("1e3")), "1000.0");
}

TEST(JsonWriters, AppendJsonStringAppendsWithTheSameEscaping) {
    std::string out = "{\"k\":";
    append_json_string(out, "a/b\n\x1F\"\\\xC3\xA9");
    EXPECT_EQ(out, "{\"k\":\"a/b\\n\\u001f\\\"\\\\\xC3\xA9\"");

    std::string empty;
    append_json_string(empty, "");
    EXPECT_EQ(empty, "\"\"");

    for (unsigned c = 0; c < 0x80; ++c) {
        const std::string text(1, static_cast<char>(c));
        std::string own;
        append_json_string(own, text);
        EXPECT_EQ(own, to_compact_json(Json(text))) << c;
    }
}

TEST(JsonWriters, AppendJsonStringAgreesWithTheValueWriterOnArbitraryBytes) {
    // Includes broken UTF-8, which both replace with U+FFFD the same way.
    const unsigned char pool[] = {'a', '"', '\\', '\n', 0x01, 0x1F, 0x7F, 0x80, 0xBF, 0xC2, 0xC3, 0xA9,
                                  0xC0, 0xE0, 0xA0, 0xED, 0x9F, 0xEF, 0xF0, 0x90, 0xF4, 0x8F, 0xF5, 0xFF};
    std::uint32_t state = 12345;
    for (std::size_t round = 0; round < 4000; ++round) {
        std::string text;
        const std::size_t length = round % 23;
        for (std::size_t i = 0; i < length; ++i) {
            state = state * 1103515245U + 12345U;
            text.push_back(static_cast<char>(pool[(state >> 16) % sizeof pool]));
        }
        std::string own;
        append_json_string(own, text);
        ASSERT_EQ(own, to_compact_json(Json(text))) << ::testing::PrintToString(text);
    }
}

TEST(JsonWriters, CompactFormParsesBackToTheSameValue) {
    const Json value = parsed(
        R"({"s":"\u0000\u001f\"\\/é😀","n":[0,-1,18446744073709551615,-9223372036854775808,0.1,1e300,-0.0,5e-324],)"
        R"("o":{"":{},"x":[[],[{}]]},"b":[true,false,null]})");
    const std::string compact = to_compact_json(value);
    EXPECT_EQ(parsed(compact), value);
    EXPECT_EQ(to_compact_json(parsed(compact)), compact);
    EXPECT_EQ(parsed(to_indented_json(value)), value);
}

TEST(JsonStringMember, GivesOnlyAStringMemberOfAnObject) {
    const Json value = parsed(R"({"name":"x","count":3,"list":["name"],"empty":""})");
    const std::string* name = string_member(value, "name");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(*name, "x");
    ASSERT_NE(string_member(value, "empty"), nullptr);
    EXPECT_EQ(*string_member(value, "empty"), "");
    EXPECT_EQ(string_member(value, "count"), nullptr);
    EXPECT_EQ(string_member(value, "list"), nullptr);
    EXPECT_EQ(string_member(value, "missing"), nullptr);
    EXPECT_EQ(string_member(value, "nam"), nullptr);
    EXPECT_EQ(string_member(parsed(R"(["name","x"])"), "name"), nullptr);
    EXPECT_EQ(string_member(parsed(R"("name")"), "name"), nullptr);
}

// Writes every event as a short line, for comparing whole sequences.
class Recorder : public JsonEvents {
public:
    bool begin_object() override { return log("{"); }
    bool key(std::string_view name) override { return log("key " + std::string(name)); }
    bool end_object() override { return log("}"); }
    bool begin_array() override { return log("["); }
    bool end_array() override { return log("]"); }
    bool string(std::string_view value) override { return log("string " + std::string(value)); }
    bool number_unsigned(std::uint64_t value) override { return log("unsigned " + std::to_string(value)); }
    bool number_integer(std::int64_t value) override { return log("integer " + std::to_string(value)); }
    bool number_float(double value) override {
        return log("float " + to_compact_json(Json(value)));
    }
    bool boolean(bool value) override { return log(value ? "true" : "false"); }
    bool null() override { return log("null"); }

    std::vector<std::string> events;

protected:
    virtual bool log(std::string event) {
        events.push_back(std::move(event));
        return true;
    }
};

TEST(JsonEvents, ReportEveryMemberInDocumentOrderWithDuplicates) {
    Recorder recorder;
    const auto error = parse_json_events(
        R"({"b":[1,-2,-0,2.5,"x\ny"],"a":{},"b":true,"c":[],"d":null,"e":false})", recorder);
    EXPECT_EQ(error, std::nullopt);
    const std::vector<std::string> expected = {
        "{",           "key b",     "[",     "unsigned 1", "integer -2", "float -0.0", "float 2.5",
        "string x\ny", "]",         "key a", "{",          "}",          "key b",      "true",
        "key c",       "[",         "]",     "key d",      "null",       "key e",      "false",
        "}"};
    EXPECT_EQ(recorder.events, expected);
}

TEST(JsonEvents, FailWithTheParsersMessagesOnBadInput) {
    for (const std::string text : {"", "hello", " {} x", "{", "[1,]", "\"\\uD800\"", "1e400", "\xEF\xBB\xBF[]"}) {
        Recorder recorder;
        const auto error = parse_json_events(text, recorder);
        ASSERT_TRUE(error.has_value()) << text;
        EXPECT_EQ(*error, parse_json(text).error);
    }
    Recorder deep;
    EXPECT_EQ(parse_json_events(std::string(1'000'000, '['), deep),
              "recursion limit exceeded at line 1 column 129");
    EXPECT_EQ(deep.events.size(), 128U);
}

// A reader for which a member given twice is an error.
class NoDuplicates : public Recorder {
public:
    bool key(std::string_view name) override {
        for (const std::string& seen : keys_) {
            if (seen == name) return false;
        }
        keys_.emplace_back(name);
        return Recorder::key(name);
    }
    std::string rejection() const override { return "duplicate member"; }

private:
    std::vector<std::string> keys_;
};

TEST(JsonEvents, LetAReaderRefuseADuplicateAtItsPosition) {
    NoDuplicates reader;
    EXPECT_EQ(parse_json_events("{\n  \"id\": 1,\n  \"name\": \"a\",\n  \"id\": 2\n}", reader),
              "duplicate member at line 4 column 3");
    // Nothing after the refused key reaches the reader.
    EXPECT_EQ(reader.events.back(), "string a");

    NoDuplicates escaped;
    EXPECT_EQ(parse_json_events(R"({"id":1,"\u0069d":2})", escaped), "duplicate member at line 1 column 9");
}

// Refuses any float; stands for a reader that wants integers only.
class IntegersOnly : public Recorder {
public:
    bool number_float(double) override { return false; }
};

TEST(JsonEvents, NameInvalidTypeWhenAReaderRefusesAValue) {
    IntegersOnly reader;
    EXPECT_EQ(parse_json_events("[1,\n 2, -0]", reader), "invalid type at line 2 column 5");
    EXPECT_EQ(reader.events, (std::vector<std::string>{"[", "unsigned 1", "unsigned 2"}));
}

}  // namespace
}  // namespace nimbra::host
