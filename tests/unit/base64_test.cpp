// The strict base64 decoder of transfer chunks: exact bytes for canonical
// text, and for everything else the first fault in the fixed order of checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "handlers/base64.h"
#include "support/files.h"

namespace nimbra::handlers {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Independent of the decoder: the plain textbook encoder.
using testing::encode_base64;

// A text is valid exactly when it is the encoding of some bytes. Decoding
// leniently (whatever the unused bits) and encoding again tells.
std::optional<std::string> reference_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string bytes;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        std::size_t v = kAlphabet.find(c);
        if (v == std::string_view::npos) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    if (encode_base64(bytes) != text) return std::nullopt;
    return bytes;
}

std::string decode_error(std::string_view text) {
    Base64Decoded decoded = decode_base64(text);
    EXPECT_TRUE(decoded.bytes.empty()) << "a refused text left bytes behind";
    return decoded.ok() ? "(decoded " + std::to_string(decoded.bytes.size()) + " bytes)" : decoded.error;
}

TEST(Base64, DecodesCanonicalText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"QUJD", "ABC"},
        {"QQ==", "A"},
        {"QUI=", "AB"},
        {"QUJDRA==", "ABCD"},
        {"AAAA", std::string(3, '\0')},
        {"////", "\xFF\xFF\xFF"},
        {"+/+/", "\xFB\xFF\xBF"},
        {"aGVsbG8gd29ybGQ=", "hello world"},
    };
    for (const auto& [text, bytes] : cases) {
        Base64Decoded decoded = decode_base64(text);
        EXPECT_TRUE(decoded.ok()) << text << ": " << decoded.error;
        EXPECT_EQ(decoded.bytes, bytes) << text;
    }
}

TEST(Base64, RefusesWithTheFirstFaultInOrder) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        // The examples every client of the host relies on.
        {"QQ", "Invalid padding"},
        {"QR==", "Invalid last symbol 82, offset 1."},
        {"QUJD\n", "Invalid symbol 10, offset 4."},
        {"QUJDR", "Invalid input length: 5"},
        {"=", "Invalid symbol 61, offset 0."},
        {"QQ===", "Invalid symbol 61, offset 2."},
        // A bad lone last byte is reported before an earlier bad byte.
        {"Q\nJD*", "Invalid symbol 42, offset 4."},
        {"Q\nJD=", "Invalid symbol 10, offset 1."},
        // An earlier bad byte before any fault of the last group.
        {"Q.JDQQ", "Invalid symbol 46, offset 1."},
        {"QU=DQQ==", "Invalid symbol 61, offset 2."},
        {"QUJD\r\nQQQQ==", "Invalid symbol 13, offset 4."},
        // Faults inside the last group, left to right.
        {"QUJD=Q==", "Invalid symbol 61, offset 4."},
        {"QUJD QQ=", "Invalid symbol 32, offset 4."},
        {"QUJD=QQQ", "Invalid symbol 61, offset 4."},
        {"QUJDQ===", "Invalid symbol 61, offset 5."},
        {"QUJDQ=", "Invalid symbol 61, offset 5."},
        {"QQ=A", "Invalid symbol 61, offset 2."},
        {"QQ=\n", "Invalid symbol 61, offset 2."},
        {"Q-==", "Invalid symbol 45, offset 1."},
        {"QQ_=", "Invalid symbol 95, offset 2."},
        {"QUJ\xC3", "Invalid symbol 195, offset 3."},
        {"QUJ", "Invalid padding"},
        {"QQ=", "Invalid padding"},
        {"QUJDQUJDQ", "Invalid input length: 9"},
        // The unused low bits: four after one byte, two after two.
        {"QUJ=", "Invalid last symbol 74, offset 2."},
        {"QUJDQUF=", "Invalid last symbol 70, offset 6."},
        {"QB==", "Invalid last symbol 66, offset 1."},
        {"Q/==", "Invalid last symbol 47, offset 1."},
    };
    for (const auto& [text, error] : cases) {
        EXPECT_EQ(decode_error(text), error) << "text: " << text;
    }
}

TEST(Base64, DecodesEveryLengthAndByteValue) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    all += all;
    // Every length exercises a different split between the paired loop, the
    // single group and the padded last group.
    for (std::size_t length = 0; length <= all.size(); ++length) {
        const std::string bytes = all.substr(all.size() - length);
        Base64Decoded decoded = decode_base64(encode_base64(bytes));
        ASSERT_TRUE(decoded.ok()) << length << ": " << decoded.error;
        ASSERT_EQ(decoded.bytes, bytes) << length;
        ASSERT_LE(decoded.bytes.capacity(), base64_decoded_capacity(encode_base64(bytes).size()) + 16);
    }
}

TEST(Base64, RandomBytesRoundTrip) {
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 300, '\0');
        for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
        const std::string text = encode_base64(bytes);
        Base64Decoded decoded = decode_base64(text);
        ASSERT_TRUE(decoded.ok()) << text << ": " << decoded.error;
        ASSERT_EQ(decoded.bytes, bytes) << text;
    }
}

// Whatever one or two random edits make of a valid text, the decoder agrees
// with the reference on whether it is valid, and a refusal is one of the
// fixed descriptions naming a byte that really stands at that offset.
TEST(Base64, RandomCorruptionIsRefusedWithAFixedDescription) {
    const std::regex symbol(R"(Invalid symbol (\d+), offset (\d+)\.)");
    const std::regex last_symbol(R"(Invalid last symbol (\d+), offset (\d+)\.)");
    const std::regex length(R"(Invalid input length: (\d+))");
    std::mt19937_64 random(77);
    // Bytes an edit puts in: mostly symbols and padding, so that the faults
    // deep in the order of checks come up too.
    const std::string pool = std::string(kAlphabet) + "====\n\r -_.\x80\xFF" + std::string(1, '\0');
    int refused = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 40, '\0');
        for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
        std::string text = encode_base64(bytes);
        const int edits = 1 + static_cast<int>(random() % 2);
        for (int e = 0; e < edits; ++e) {
            const char c = pool[random() % pool.size()];
            const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
            switch (random() % 4) {
                case 0:
                    if (at < text.size()) text[at] = c;
                    break;
                case 1:
                    text.insert(at, 1, c);
                    break;
                case 2:
                    if (at < text.size()) text.erase(at, 1);
                    break;
                default:
                    text.resize(at);
                    break;
            }
        }
        const std::optional<std::string> expected = reference_decode(text);
        Base64Decoded decoded = decode_base64(text);
        if (expected) {
            ASSERT_TRUE(decoded.ok()) << text << ": " << decoded.error;
            ASSERT_EQ(decoded.bytes, *expected);
            continue;
        }
        ++refused;
        ASSERT_FALSE(decoded.ok()) << "accepted: " << text;
        ASSERT_TRUE(decoded.bytes.empty());
        std::smatch m;
        if (std::regex_match(decoded.error, m, symbol) || std::regex_match(decoded.error, m, last_symbol)) {
            const std::size_t offset = std::stoul(m[2]);
            ASSERT_LT(offset, text.size()) << decoded.error;
            ASSERT_EQ(static_cast<unsigned long>(static_cast<unsigned char>(text[offset])), std::stoul(m[1]))
                << text << ": " << decoded.error;
        } else if (std::regex_match(decoded.error, m, length)) {
            ASSERT_EQ(std::stoul(m[1]), text.size());
            ASSERT_EQ(text.size() % 4, 1U);
        } else {
            ASSERT_EQ(decoded.error, "Invalid padding") << text;
            ASSERT_TRUE(text.size() % 4 == 2 || text.size() % 4 == 3) << text;
        }
    }
    // The edits must have produced plenty of invalid texts to judge.
    EXPECT_GT(refused, 10000);
}

TEST(Base64, ReportsTheFaultNearestTheStartOfALongText) {
    std::string text = encode_base64(std::string(675000, 'x'));
    ASSERT_EQ(text.size(), 900000U);
    text[123457] = '\t';
    text[800001] = '*';
    EXPECT_EQ(decode_error(text), "Invalid symbol 9, offset 123457.");
    text[123457] = 'A';
    EXPECT_EQ(decode_error(text), "Invalid symbol 42, offset 800001.");
}

}  // namespace
}  // namespace nimbra::handlers
