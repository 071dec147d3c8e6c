// nimbra-register doctor's copy of Chromium's and Firefox's rules. The
// expectations are what headless Chromium 156 or Firefox ESR 153 answered for
// the same text, or, for the plain JSON grammar of replies, JSON's own; the
// comparison with the browsers themselves is tests/e2e/doctor_e2e.py.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "doctor.h"

namespace nimbra::registration::doctor {
namespace {

using namespace std::string_literals;

constexpr std::string_view kId = "kembcdlbgbcnnchcnbdhbmbhbejnedjf";

std::string manifest_with(std::string_view origins) {
    return R"({"name": "com.velisto.nimbra", "description": "d", "path": "/h", "type": "stdio", "allowed_origins": [)" +
           std::string(origins) + "]}";
}

struct Origin {
    std::string entry;
    bool accepted;  // the manifest is read at all
    bool allows;    // and lets the companion extension in
};

TEST(DoctorRules, AllowedOriginsAsChromiumReadsThem) {
    const std::string id(kId);
    const std::vector<Origin> cases = {
        {"chrome-extension://" + id + "/", true, true},
        {"chrome-extension://" + id, false, false},  // no path
        {"chrome-extension://" + id + "/*", true, true},
        {"chrome-extension://" + id + "/?q#f", true, true},
        {"chrome-extension://KEMBCDLBGBCNNCHCNBDHBMBHBEJNEDJF/", true, true},
        {"chrome-extension://%6bembcdlbgbcnnchcnbdhbmbhbejnedjf/", true, true},
        {"chrome-extension://" + id + "./", true, true},
        {"chrome-extension://" + id + ":*/", true, true},
        {"chrome-extension://" + id + ":80/", false, false},
        {"chrome-extension://" + id + ":/", false, false},
        {"chrome-extension://*/", false, false},
        {"chrome-extension://*." + id + "/", false, false},
        {"chrome-extension://a*b/", false, false},
        {"<all_urls>", false, false},
        {"CHROME-EXTENSION://" + id + "/", false, false},
        {" chrome-extension://" + id + "/", false, false},
        {"chrome-extension:" + id + "/", false, false},
        {"https://example.com/", false, false},
        {"*://" + id + "/", true, false},
        {"chrome-extension:///", false, false},
        {"", false, false},
        {"chrome-extension://u@" + id + "/", false, false},
        {"chrome-extension://a%zz/", false, false},
        {"chrome-extension://a%3cb/", false, false},
        {"chrome-extension://a%20b/", true, false},
        {"chrome-extension://a b/", true, false},
        {"chrome-extension://a\tb/", false, false},
        {"chrome-extension://a|b/", false, false},
        {"chrome-extension://a#b/", false, false},
        {"chrome-extension://a\"b/", true, false},
        {"chrome-extension://a_b.-c/", true, false},
        {"chrome-extension://[::1]:*/", true, false},
        {"chrome-extension://[x]/", false, false},
        {"chrome-extension://ä/", true, false},
    };
    for (const Origin& c : cases) {
        const std::string text = manifest_with(nlohmann::json(c.entry).dump());
        const Manifest manifest = kChromiumFamily.read_manifest(text);
        EXPECT_EQ(manifest.valid, c.accepted) << c.entry << ": " << manifest.problem;
        EXPECT_EQ(kChromiumFamily.allows(manifest, kId), c.allows) << c.entry;
    }
    // One refused entry refuses the manifest, whatever the others allow.
    EXPECT_FALSE(kChromiumFamily.read_manifest(manifest_with(R"("chrome-extension://*/", "chrome-extension://)" + id +
                                                             R"(/")")).valid);
}

TEST(DoctorRules, ManifestTextAsChromiumReadsIt) {
    const std::string good = manifest_with(R"("chrome-extension://kembcdlbgbcnnchcnbdhbmbhbejnedjf/")");
    const auto deep = [&good](int levels) {
        return good.substr(0, good.size() - 1) + R"(, "x": )" + std::string(levels - 1, '[') +
               std::string(levels - 1, ']') + "}";
    };
    const std::vector<std::pair<std::string, bool>> cases = {
        {good, true},
        {"\xEF\xBB\xBF" + good, true},
        {"\xEF\xBB\xBF\xEF\xBB\xBF" + good, false},
        {" \xEF\xBB\xBF" + good, false},
        {"// made by hand\n/* x */" + good + "// end", true},
        {good + "/* open", false},
        {"# note\n" + good, false},
        {good.substr(0, good.size() - 1) + ",}", false},
        {good + "\0"s, false},
        {good + " x", false},
        {R"({"path": "/nowhere", )" + good.substr(1), true},  // the later member wins
        {good.substr(0, good.size() - 1) + R"(, "path": 5})", false},
        {good.substr(0, good.size() - 1) + ", \"d\": \"a\nb\rc\"}", true},
        {good.substr(0, good.size() - 1) + ", \"d\": \"a\tb\"}", false},
        {good.substr(0, good.size() - 1) + R"(, "d": "\x41\u0000\/"})", true},
        {good.substr(0, good.size() - 1) + R"(, "d": "\v"})", false},
        {good.substr(0, good.size() - 1) + R"(, "d": "\ud800"})", false},
        {good.substr(0, good.size() - 1) + ", \"d\": \"\xC0\xAF\"}", false},
        {good.substr(0, good.size() - 1) + R"(, "n": [18446744073709551616, -0, 1e308]})", true},
        {good.substr(0, good.size() - 1) + R"(, "n": 1e400})", false},
        {good.substr(0, good.size() - 1) + R"(, "n": 01})", false},
        {good.substr(0, good.size() - 1) + R"(, "n": NaN})", false},
        {deep(199), true},
        {deep(200), false},
        {"[" + good + "]", false},
        {R"({"name": "com.velisto.nimbr\x61", "description": "d", "path": "/h", "type": "stdio", "allowed_origins": []})",
         true},
        {R"({"name": "com.Velisto.nimbra", "description": "d", "path": "/h", "type": "stdio", "allowed_origins": []})",
         false},
        {R"({"name": "com.velisto.nimbra", "description": "", "path": "/h", "type": "stdio", "allowed_origins": []})",
         false},
        {R"({"name": "com.velisto.nimbra", "description": "d", "path": "/h", "type": "STDIO", "allowed_origins": []})",
         false},
        {R"({"name": "com.velisto.nimbra", "description": "d", "path": "/h", "type": "stdio", "allowed_origins": "x"})",
         false},
        {R"({"name": "com.velisto.nimbra", "description": "d", "path": "/h", "type": "stdio", "allowed_origins": [5]})",
         false},
    };
    for (const auto& [text, valid] : cases) {
        const Manifest manifest = kChromiumFamily.read_manifest(text);
        EXPECT_EQ(manifest.valid, valid) << text.substr(0, 160) << ": " << manifest.problem;
    }
    EXPECT_EQ(kChromiumFamily.read_manifest(R"({"path": "/nowhere", )" + good.substr(1)).path, "/h");
}

TEST(DoctorRules, RepliesAsTheExtensionsSideParsesThem) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"{}", true},
        {R"( {"a": [1, -0.5e+3, true, false, null, "x"]} )", true},
        {"\"\"", true},
        {"null", true},
        {"{\"a\":\"\xFF\"}", true},  // read with a replacement character
        {R"("\ud800")", true},
        {"1e400", true},
        {std::string(200, '[') + std::string(200, ']'), true},
        {"", false},
        {"\xEF\xBB\xBF{}", false},
        {"{} x", false},
        {"{}\0"s, false},
        {"{\"a\":\"x\ny\"}", false},
        {R"({"a":"\x41"})", false},
        {R"({"a":"\u12"})", false},
        {"[1,]", false},
        {R"({"a":1,})", false},
        {R"({"a" 1})", false},
        {"{1:2}", false},
        {"01", false},
        {"1.", false},
        {"1e", false},
        {"-", false},
        {"tru", false},
        {"[1", false},
        {"// c\n{}", false},
    };
    for (const auto& [body, json] : cases) EXPECT_EQ(is_reply_json(body), json) << body.substr(0, 80);
}

TEST(DoctorRules, PoliciesBlockByNameOrStarUnlessAllowed) {
    using List = std::optional<std::vector<std::string>>;
    const std::string host = "com.velisto.nimbra";
    struct Case {
        List blocklist, allowlist;
        bool blocks;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, false},
        {std::vector<std::string>{}, std::nullopt, false},
        {List{{"*"}}, std::nullopt, true},
        {List{{host}}, std::nullopt, true},
        {List{{"COM.velisto.nimbra"}}, std::nullopt, false},
        {List{{"*"}}, List{{host}}, false},
        {List{{"*"}}, List{{"*"}}, true},
        {List{{"other.host"}}, std::vector<std::string>{}, false},
    };
    for (const Case& c : cases) {
        Policy policy;
        policy.blocklist = c.blocklist;
        policy.allowlist = c.allowlist;
        EXPECT_EQ(policy_blocks(policy, host), c.blocks);
    }
}

TEST(DoctorRules, ManifestAsFirefoxReadsIt) {
    constexpr std::string_view kAddOn = "nimbra-e2e@velisto.example";
    const nlohmann::json manifest = {{"name", "com.velisto.nimbra"}, {"description", "d"}, {"path", "/h"},
                                     {"type", "stdio"}, {"allowed_extensions", {kAddOn}}};
    const std::string good = manifest.dump();
    const auto with = [&manifest](std::string_view key, nlohmann::json value) {  // null: without the member
        nlohmann::json changed = manifest;
        value.is_null() ? (void)changed.erase(key) : (void)(changed[key] = std::move(value));
        return changed.dump();
    };
    const auto ids = [&with](nlohmann::json list) { return with("allowed_extensions", std::move(list)); };
    struct Case {
        std::string text;
        bool valid;
        bool allows;
    };
    const std::vector<Case> cases = {
        {good, true, true},
        {"\xEF\xBB\xBF" + good, true, true},
        {"\xEF\xBB\xBF\xEF\xBB\xBF" + good, false, false},
        {"// by hand\n" + good, false, false},
        {good.substr(0, good.size() - 1) + ",}", false, false},
        {good + "\0"s, false, false},
        {with("$schema", "x"), false, false},
        {with("allowed_origins", nlohmann::json::array()), false, false},
        {std::string(good).replace(good.find(R"("d")"), 3, "\"\xFF\""), false, false},
        {with("description", nullptr), false, false},
        {with("description", ""), true, true},
        {with("type", "STDIO"), false, false},
        {with("name", "com.velisto.other"), false, false},
        {ids(nullptr), false, false},
        {ids(nlohmann::json::array()), false, false},
        {ids({5, kAddOn}), false, false},
        {ids({"not an id", kAddOn}), false, false},
        {ids({"x@y", kAddOn, kAddOn}), true, true},
        {ids({"{0B4A2F30-1C5E-4D6F-8A9B-0C1D2E3F4A5B}", kAddOn}), true, true},
        {ids({"NIMBRA-E2E@VELISTO.EXAMPLE"}), true, false},
    };
    for (const Case& c : cases) {
        const Manifest manifest = kFirefoxFamily.read_manifest(c.text);
        EXPECT_EQ(manifest.valid, c.valid) << c.text.substr(0, 160) << ": " << manifest.problem;
        EXPECT_EQ(manifest.valid && kFirefoxFamily.allows(manifest, kAddOn), c.allows) << c.text.substr(0, 160);
    }
    EXPECT_EQ(kFirefoxFamily.read_manifest(R"({"path": "/nowhere", )" + good.substr(1)).path, "/h");
    // Firefox's replies: strict UTF-8, a byte-order mark dropped, then JSON.
    const std::vector<std::pair<std::string, bool>> replies = {
        {"{}", true}, {" {} ", true}, {"\xEF\xBB\xBF{}", true}, {"{\"a\":\"\xFF\"}", false}, {"{}\0"s, false}, {"", false},
    };
    for (const auto& [body, taken] : replies) EXPECT_EQ(kFirefoxFamily.reply_ok(body), taken) << body;
    EXPECT_EQ(verdict_text(kFirefoxFamily, Outcome::bad_frame, 1048577),
              "Native application tried to send a message of 1048577 bytes, which exceeds the limit of 1048576 bytes.");
}

}  // namespace
}  // namespace nimbra::registration::doctor
