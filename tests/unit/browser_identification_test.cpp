// Which browser the host serves: the ancestry walk over a faked process
// table, and the request hints used when the ancestry names none.
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "browser/identification.h"
#include "support/fake_system.h"

namespace nimbra::browser {
namespace {

using host::Json;
using testing::FakeSystem;

// Text of an identification result, for readable failures.
std::string text(std::optional<BrowserId> id) {
    return id ? std::string(to_string(*id)) : std::string("none");
}

// A host process whose ancestors are `names`, the parent first. The root
// ancestor's parent is a process id that is not in the table.
FakeSystem with_ancestors(std::initializer_list<std::string> names) {
    FakeSystem system;
    std::vector<std::string> chain(names);
    std::uint32_t parent = 7;  // not in the table
    for (auto name = chain.rbegin(); name != chain.rend(); ++name) {
        parent = system.add_process(*name, parent);
    }
    system.pid = system.add_process("nimbra-native-host.exe", parent);
    return system;
}

std::string from_ancestry(std::initializer_list<std::string> names) {
    FakeSystem system = with_ancestors(names);
    return text(browser_from_ancestry(system));
}

TEST(BrowserFromAncestry, FindsTheParentAndLooksPastACommandInterpreter) {
    EXPECT_EQ(from_ancestry({"chrome.exe", "explorer.exe"}), "chrome");
    EXPECT_EQ(from_ancestry({"cmd.exe", "chrome.exe", "explorer.exe"}), "chrome");
    EXPECT_EQ(from_ancestry({"cmd.exe", "conhost.exe", "explorer.exe"}), "none");
}

TEST(BrowserFromAncestry, TheNearestBrowserDecides) {
    EXPECT_EQ(from_ancestry({"cmd.exe", "msedge.exe", "chrome.exe"}), "edge");
}

TEST(BrowserFromAncestry, EveryNameOfTheTableInAnyAsciiCase) {
    const std::pair<std::string, std::string> table[] = {
        {"brave", "brave"},     {"brave.exe", "brave"},     {"msedge", "edge"},
        {"msedge.exe", "edge"}, {"vivaldi", "vivaldi"},     {"vivaldi.exe", "vivaldi"},
        {"opera", "opera"},     {"opera.exe", "opera"},     {"opera_gx.exe", "opera"},
        {"chrome", "chrome"},   {"chrome.exe", "chrome"},   {"chromium", "chrome"},
        {"chromium.exe", "chrome"},
    };
    for (const auto& [name, id] : table) {
        std::string upper = name;
        for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        EXPECT_EQ(from_ancestry({name}), id) << name;
        EXPECT_EQ(from_ancestry({upper}), id) << upper;
    }
    EXPECT_EQ(from_ancestry({"MSEDGE.EXE"}), "edge");
    EXPECT_EQ(from_ancestry({"Opera_GX.Exe"}), "opera");
}

TEST(BrowserFromAncestry, NamesOutsideTheTableGiveNothing) {
    for (const char* name : {"opera_gx", "OPERA_GX", "chrome.exe.bak", "xchrome.exe", "chrome.com",
                             "google chrome", "edge.exe", "firefox.exe", "chrome .exe", "msedge_proxy.exe",
                             ""}) {
        EXPECT_EQ(from_ancestry({name}), "none") << name;
    }
}

TEST(BrowserFromAncestry, TrimsUnicodeWhiteSpaceFromBothEnds) {
    // All 25 White_Space code points, in UTF-8.
    const char* spaces[] = {
        "\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
        "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
        "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
        "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
        "\xE3\x80\x80",
    };
    for (const char* space : spaces) {
        EXPECT_EQ(from_ancestry({std::string(space) + "chrome.exe"}), "chrome") << space;
        EXPECT_EQ(from_ancestry({"msedge.exe" + std::string(space)}), "edge") << space;
    }
    std::string all;
    for (const char* space : spaces) all += space;
    EXPECT_EQ(from_ancestry({all + "Brave.EXE" + all}), "brave");
}

TEST(BrowserFromAncestry, KeepsWhatIsNotWhiteSpaceOrNotAtTheEnds) {
    const char* names[] = {
        "chrome.exe\xE2\x80\x8B",   // zero width space
        "\xEF\xBB\xBF" "chrome.exe",  // byte-order mark
        "\xE1\xA0\x8E" "chrome.exe",  // Mongolian vowel separator, no longer white space
        "chrome.exe\x1F",           // a control character that is not white space
        "chrome.exe\xC2",           // a cut-off sequence is not trimmed
        "\x85" "chrome.exe",        // nor a stray continuation byte
        "chrome .exe",
        "ch\xC2\xA0rome.exe",
    };
    for (const char* name : names) EXPECT_EQ(from_ancestry({name}), "none") << name;
}

TEST(BrowserFromAncestry, LowerCasesAsciiLettersOnly) {
    // Full-width and dotted capitals are not ASCII and stay as they are.
    EXPECT_EQ(from_ancestry({"\xEF\xBC\xA3hrome.exe"}), "none");
    EXPECT_EQ(from_ancestry({"chrom\xC4\xB0um.exe"}), "none");
    EXPECT_EQ(from_ancestry({"ChRoMiUm"}), "chrome");
}

TEST(BrowserFromAncestry, NamesOnlyThisSystemUses) {
    for (const auto& [name, id] : platform::extra_browser_executables()) {
        EXPECT_EQ(from_ancestry({std::string(name)}), std::string(id)) << name;
        EXPECT_EQ(from_ancestry({" " + std::string(name) + " "}), std::string(id)) << name;
    }
    bool vivaldi_bin_listed = false;
    for (const auto& entry : platform::extra_browser_executables()) {
        vivaldi_bin_listed = vivaldi_bin_listed || entry.first == "vivaldi-bin";
    }
    EXPECT_EQ(from_ancestry({"VIVALDI-BIN"}), vivaldi_bin_listed ? "vivaldi" : "none");
#ifdef _WIN32
    EXPECT_FALSE(vivaldi_bin_listed);
#else
    EXPECT_TRUE(vivaldi_bin_listed);
#endif
}

TEST(BrowserFromAncestry, LooksAtEightAncestorsAndNoMore) {
    EXPECT_EQ(from_ancestry({"a", "b", "c", "d", "e", "f", "g", "chrome.exe", "explorer.exe"}), "chrome");
    EXPECT_EQ(from_ancestry({"a", "b", "c", "d", "e", "f", "g", "h", "chrome.exe"}), "none");
}

TEST(BrowserFromAncestry, NeverLooksAtTheHostItself) {
    FakeSystem system;
    const std::uint32_t shell = system.add_process("explorer.exe", 7);
    system.pid = system.add_process("chrome.exe", shell);
    EXPECT_EQ(text(browser_from_ancestry(system)), "none");
}

TEST(BrowserFromAncestry, StopsAtASelfParentedProcess) {
    FakeSystem system;
    system.processes->push_back({78, 78, "loop"});
    system.pid = system.add_process("nimbra-native-host.exe", 78);
    EXPECT_EQ(text(browser_from_ancestry(system)), "none");

    // Its own name is still looked at before the walk stops.
    FakeSystem named;
    named.processes->push_back({78, 78, "opera.exe"});
    named.pid = named.add_process("nimbra-native-host.exe", 78);
    EXPECT_EQ(text(browser_from_ancestry(named)), "opera");
}

TEST(BrowserFromAncestry, StopsAtProcessZero) {
    FakeSystem system;
    const std::uint32_t browser = system.add_process("chrome.exe", 7);
    system.processes->push_back({0, browser, "System Idle Process"});
    const std::uint32_t service = system.add_process("services.exe", 0);
    system.pid = system.add_process("nimbra-native-host.exe", service);
    EXPECT_EQ(text(browser_from_ancestry(system)), "none");
}

TEST(BrowserFromAncestry, StopsAtTheFirstProcessMissingFromTheSnapshot) {
    FakeSystem gap;
    gap.add_process("chrome.exe", 7);
    const std::uint32_t orphan = gap.add_process("cmd.exe", 9999);  // parent already gone
    gap.pid = gap.add_process("nimbra-native-host.exe", orphan);
    EXPECT_EQ(text(browser_from_ancestry(gap)), "none");

    FakeSystem no_self = with_ancestors({"chrome.exe"});
    no_self.pid = 4242;  // the host is not in its own snapshot
    EXPECT_EQ(text(browser_from_ancestry(no_self)), "none");
}

TEST(BrowserFromAncestry, ALaterRecordOfTheSameProcessReplacesTheEarlier) {
    FakeSystem system = with_ancestors({"cmd.exe"});
    const std::uint32_t parent = system.processes->front().pid;
    system.processes->insert(system.processes->begin(), {parent, 7, "chrome.exe"});
    EXPECT_EQ(text(browser_from_ancestry(system)), "none");

    FakeSystem replaced = with_ancestors({"cmd.exe"});
    replaced.processes->push_back({replaced.processes->front().pid, 7, "brave.exe"});
    EXPECT_EQ(text(browser_from_ancestry(replaced)), "brave");
}

TEST(BrowserFromAncestry, NoSnapshotOrAnEmptyOneGivesNothing) {
    FakeSystem failed;
    failed.processes = std::nullopt;
    EXPECT_EQ(text(browser_from_ancestry(failed)), "none");

    FakeSystem empty;
    EXPECT_EQ(text(browser_from_ancestry(empty)), "none");
    EXPECT_EQ(empty.snapshots, 1);
}

// ---------------------------------------------------------------- request hints

std::string for_request(const char* request_json, std::optional<BrowserId> ancestry = std::nullopt) {
    return text(browser_for_request(ancestry, Json::parse(request_json)));
}

TEST(BrowserForRequest, TheAncestryWinsOverEveryHint) {
    EXPECT_EQ(for_request(R"({"browser_id":"brave","source":"edg/1"})", BrowserId::vivaldi), "vivaldi");
    EXPECT_EQ(for_request(R"([1,2])", BrowserId::opera), "opera");
    EXPECT_EQ(for_request(R"("chrome")", BrowserId::edge), "edge");
}

TEST(BrowserForRequest, BrowserIdIsNormalisedAndMustBeOneOfTheFive) {
    EXPECT_EQ(for_request(R"({"browser_id":"  Edge \t"})"), "edge");
    EXPECT_EQ(for_request(R"({"browser_id":"\u3000BRAVE\u00a0"})"), "brave");
    EXPECT_EQ(for_request(R"({"browser_id":"vivaldi","source":"Chrome/120"})"), "vivaldi");
    EXPECT_EQ(for_request(R"({"browser_id":"opera"})"), "opera");
    EXPECT_EQ(for_request(R"({"browser_id":"chrome"})"), "chrome");
    EXPECT_EQ(for_request(R"({"browser_id":"chromium"})"), "none");
    EXPECT_EQ(for_request(R"({"browser_id":"chromium","source":"nimbra-extension:brave:2.0"})"), "brave");
    EXPECT_EQ(for_request(R"({"browser_id":"e dge","source":"x"})"), "none");
    EXPECT_EQ(for_request(R"({"browser_id":"\uff45dge"})"), "none");
}

TEST(BrowserForRequest, MembersOfAnotherTypeCountAsAbsent) {
    EXPECT_EQ(for_request(R"({"browser_id":["edge"],"source":"OPR/100"})"), "opera");
    EXPECT_EQ(for_request(R"({"browser_id":null,"source":{"edg/":1}})"), "none");
    EXPECT_EQ(for_request(R"({"browser_id":7,"source":7})"), "none");
}

TEST(BrowserForRequest, SourceMatchesUserAgentTokensInAnyCase) {
    const char* edge_ua = R"({"source":"Mozilla/5.0 (Windows NT 10.0) AppleWebKit/537.36 CHROME/120.0 Safari/537.36 EDG/120.0"})";
    EXPECT_EQ(for_request(edge_ua), "edge");
    EXPECT_EQ(for_request(R"({"source":"Mozilla/5.0 Chrome/119.0 OPR/105.0"})"), "opera");
    EXPECT_EQ(for_request(R"({"source":"Mozilla/5.0 Chrome/119.0 Vivaldi/6.5"})"), "vivaldi");
    EXPECT_EQ(for_request(R"({"source":"Mozilla/5.0 Chrome/119.0 Brave/1.60"})"), "brave");
    EXPECT_EQ(for_request(R"({"source":"Mozilla/5.0 Chrome/119.0 Safari/537.36"})"), "chrome");
    EXPECT_EQ(for_request(R"({"source":"nimbra-extension:vivaldi:1.4.2"})"), "vivaldi");
    EXPECT_EQ(for_request(R"({"source":"NIMBRA-EXTENSION:Edge:"})"), "edge");
}

TEST(BrowserForRequest, SourceIsNotTrimmed) {
    // Brave's token needs the space before it, and the text is taken as it is.
    EXPECT_EQ(for_request(R"({"source":"brave/1.60"})"), "none");
    EXPECT_EQ(for_request(R"({"source":"Brave/1.60 Chrome/119"})"), "chrome");
    EXPECT_EQ(for_request(R"({"source":" Brave/1.60"})"), "brave");
    EXPECT_EQ(for_request(R"({"source":"\u00a0brave/1.60"})"), "none");
    EXPECT_EQ(for_request(R"({"source":"x\tbrave/1"})"), "none");
}

TEST(BrowserForRequest, TheFirstPatternInOrderDecides) {
    const std::pair<std::string, std::string> patterns[] = {
        {"nimbra-extension:brave:", "brave"},
        {" brave/", "brave"},
        {"nimbra-extension:edge:", "edge"},
        {"edg/", "edge"},
        {"nimbra-extension:vivaldi:", "vivaldi"},
        {"vivaldi/", "vivaldi"},
        {"nimbra-extension:opera:", "opera"},
        {"opr/", "opera"},
        {"nimbra-extension:chrome:", "chrome"},
        {"chrome/", "chrome"},
    };
    const std::size_t count = std::size(patterns);
    for (std::size_t i = 0; i < count; ++i) {
        // Pattern i together with every later one, the later ones first.
        std::string source = "x";
        for (std::size_t j = count; j-- > i + 1;) source += patterns[j].first + "1 ";
        source += patterns[i].first;
        Json request = {{"source", source}};
        EXPECT_EQ(text(browser_for_request(std::nullopt, request)), patterns[i].second) << source;
        // Only the patterns after it: pattern i no longer decides.
        if (i + 1 < count) {
            std::string without = source.substr(0, source.size() - patterns[i].first.size());
            Json rest = {{"source", without}};
            EXPECT_EQ(text(browser_for_request(std::nullopt, rest)), patterns[i + 1].second) << without;
        }
    }
}

TEST(BrowserForRequest, NothingToGoOnGivesNothing) {
    EXPECT_EQ(for_request(R"({"source":""})"), "none");
    EXPECT_EQ(for_request(R"({"type":"ping"})"), "none");
    EXPECT_EQ(for_request(R"(["edge"])"), "none");
    EXPECT_EQ(for_request(R"("nimbra-extension:edge:")"), "none");
    EXPECT_EQ(for_request(R"({"source":"firefox/120"})"), "none");
}

}  // namespace
}  // namespace nimbra::browser
