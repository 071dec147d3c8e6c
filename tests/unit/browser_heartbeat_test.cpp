// The heartbeat files on real disk, with a faked clock and process table:
// their exact bytes, the merge into the per-browser file, what happens to a
// file that cannot be read as written, and that nothing here can cost a
// request its reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "bin/nimbra-native-host/run_host.h"
#include "bridge/data_dir.h"
#include "browser/heartbeat.h"
#include "host/framing.h"
#include "support/fake_system.h"
#include "support/held_file.h"
#include "support/streams.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace nimbra::browser {
namespace {

namespace fs = std::filesystem;
using host::Json;
using testing::FakeSystem;
using testing::TempDir;

constexpr std::uint64_t kEpoch = 116444736000000000ULL;
// 2023-11-14 22:13:20.123 UTC and 456.7 microseconds on top.
constexpr std::uint64_t kNow = kEpoch + 17000000001234567ULL;
constexpr const char* kNowMs = "1700000000123";
constexpr const char* kDefaultId = "kembcdlbgbcnnchcnbdhbmbhbejnedjf";

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// One record of the per-browser file as the host lays it out.
std::string entry(const std::string& key, const std::string& timestamp, const std::string& id,
                  const std::string& version) {
    return "  \"" + key + "\": {\n    \"timestamp_ms\": " + timestamp + ",\n    \"extension_id\": \"" + id +
           "\",\n    \"extension_version\": \"" + version + "\"\n  }";
}

class Heartbeat : public ::testing::Test {
protected:
    Heartbeat() {
        system.app_data = temp.path() / "AppData" / "Local";
        system.clock = kNow;
    }

    fs::path data_dir() const { return *system.app_data / "Velisto" / "Nimbra"; }
    // The time stamp of the fake clock as it reads now.
    std::string now_ms() const { return std::to_string(platform::unix_ms_from_file_time(system.clock)); }
    fs::path legacy_file() const { return data_dir() / "extension-heartbeat.json"; }
    fs::path heartbeats_file() const { return data_dir() / "extension-heartbeats-v2.json"; }

    void refresh(const Json& request, std::optional<BrowserId> ancestry = BrowserId::chrome) {
        refresh_heartbeats(system, bridge::local_data_dir(system), locks, ancestry, request);
    }
    void refresh(const char* request_json, std::optional<BrowserId> ancestry = BrowserId::chrome) {
        refresh(Json::parse(request_json), ancestry);
    }

    // The per-browser file holds exactly these entries, in some order.
    ::testing::AssertionResult heartbeats_are(std::vector<std::string> entries) const {
        const std::string actual = read_bytes(heartbeats_file());
        std::sort(entries.begin(), entries.end());
        do {
            std::string expected = "{\n";
            for (std::size_t i = 0; i < entries.size(); ++i) {
                if (i > 0) expected += ",\n";
                expected += entries[i];
            }
            expected += "\n}";
            if (actual == expected) return ::testing::AssertionSuccess();
        } while (std::next_permutation(entries.begin(), entries.end()));
        std::string wanted;
        for (const std::string& e : entries) wanted += e + "\n";
        return ::testing::AssertionFailure() << "file:\n" << actual << "\nwanted these entries in any order:\n"
                                             << wanted;
    }

    TempDir temp;
    FakeSystem system;
    // What the request loop keeps of the locks from one request to the next.
    HeartbeatLocks locks;
};

std::string legacy(const char* browser, const char* id, const char* version, const char* source,
                   const std::string& timestamp = kNowMs) {
    return std::string("{\n  \"browser_id\": ") + browser + ",\n  \"extension_id\": " + id +
           ",\n  \"extension_version\": " + version + ",\n  \"source\": " + source +
           ",\n  \"timestamp_ms\": " + timestamp + "\n}";
}

// ---------------------------------------------------------------- contents

TEST_F(Heartbeat, AnIdentifiedRequestWritesBothFilesExactly) {
    refresh(R"({"type":"ping","extension_id":"abc","extension_version":"2.1.0","source":"Edg/120"})",
            BrowserId::edge);
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"edge\"", "\"abc\"", "\"2.1.0\"", "\"Edg/120\""));
    EXPECT_EQ(read_bytes(heartbeats_file()),
              "{\n  \"edge\": {\n    \"timestamp_ms\": 1700000000123,\n    \"extension_id\": \"abc\",\n"
              "    \"extension_version\": \"2.1.0\"\n  }\n}");
}

TEST_F(Heartbeat, MissingMembersGiveDefaultsAndNulls) {
    refresh(R"({"type":"ping"})", BrowserId::brave);
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"brave\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "null"));
    EXPECT_TRUE(heartbeats_are({entry("brave", kNowMs, kDefaultId, "legacy")}));
}

TEST_F(Heartbeat, AnEmptyExtensionIdStaysEmpty) {
    refresh(R"({"extension_id":"","extension_version":""})", BrowserId::opera);
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"opera\"", "\"\"", "\"\"", "null"));
    EXPECT_TRUE(heartbeats_are({entry("opera", kNowMs, "", "")}));
}

TEST_F(Heartbeat, MembersOfAnotherTypeCountAsAbsent) {
    refresh(R"({"extension_id":5,"extension_version":{"v":1},"source":null})", BrowserId::vivaldi);
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"vivaldi\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "null"));
    EXPECT_TRUE(heartbeats_are({entry("vivaldi", kNowMs, kDefaultId, "legacy")}));
}

TEST_F(Heartbeat, ARequestThatIsNotAnObjectStillLeavesAHeartbeat) {
    refresh(R"(["extension_id","x"])", BrowserId::chrome);
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"chrome\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "null"));
    EXPECT_TRUE(heartbeats_are({entry("chrome", kNowMs, kDefaultId, "legacy")}));
}

TEST_F(Heartbeat, TextIsCopiedUnchangedWithTheHostsEscaping) {
    Json request = {{"source", " Mixed\tCase \"q\" \\ \x01 \x7f \xC3\xA9 \xF0\x9F\x98\x80 "},
                    {"extension_id", "id\n"},
                    {"extension_version", "1.0/\xE2\x80\xA8"}};
    refresh(request, BrowserId::chrome);
    EXPECT_EQ(read_bytes(legacy_file()),
              legacy("\"chrome\"", "\"id\\n\"", "\"1.0/\xE2\x80\xA8\"",
                     "\" Mixed\\tCase \\\"q\\\" \\\\ \\u0001 \x7f \xC3\xA9 \xF0\x9F\x98\x80 \""));
    EXPECT_TRUE(heartbeats_are({entry("chrome", kNowMs, "id\\n", "1.0/\xE2\x80\xA8")}));
}

TEST_F(Heartbeat, AnUnidentifiedRequestRewritesOnlyTheLegacyFile) {
    refresh(R"({"source":"Firefox/120","browser_id":"chromium"})", std::nullopt);
    EXPECT_EQ(read_bytes(legacy_file()),
              legacy("null", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "\"Firefox/120\""));
    EXPECT_FALSE(fs::exists(heartbeats_file()));

    const std::string before = entry("brave", "5", "b", "1");
    write_bytes(heartbeats_file(), "{\n" + before + "\n}");
    refresh(R"({})", std::nullopt);
    EXPECT_TRUE(heartbeats_are({before}));
}

TEST_F(Heartbeat, RequestHintsIdentifyWhenTheAncestryCannot) {
    refresh(R"({"browser_id":" Edge ","source":"Chrome/1"})", std::nullopt);
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"edge\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "\"Chrome/1\""));
    system.advance(10000);
    refresh(R"({"source":"Chrome/1 OPR/9","extension_version":"3"})", std::nullopt);
    EXPECT_TRUE(heartbeats_are({entry("edge", kNowMs, kDefaultId, "legacy"),
                                entry("opera", "1700000000124", kDefaultId, "3")}));
}

TEST_F(Heartbeat, TheTimeStampIsMillisecondsSince1970AndZeroBefore) {
    const std::pair<std::uint64_t, std::string> readings[] = {
        {0, "0"},
        {kEpoch - 1, "0"},
        {kEpoch, "0"},
        {kEpoch + 9999, "0"},
        {kEpoch + 10000, "1"},
        {kEpoch + 10000000, "1000"},
        {kEpoch + 10009999, "1000"},
        {~std::uint64_t{0}, "1833029933770955"},
    };
    for (const auto& [file_time, expected] : readings) {
        system.clock = file_time;
        refresh(R"({})", BrowserId::edge);
        EXPECT_EQ(read_bytes(legacy_file()),
                  legacy("\"edge\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "null", expected))
            << file_time;
        EXPECT_TRUE(heartbeats_are({entry("edge", expected, kDefaultId, "legacy")})) << file_time;
    }
}

// A clock that moves on every reading, by more than a millisecond.
class TickingSystem : public FakeSystem {
public:
    std::uint64_t now_file_time() override {
        ++readings;
        clock += 123456;
        return clock;
    }
    int readings = 0;
};

TEST_F(Heartbeat, BothFilesGetTheSameReadingOfTheClock) {
    TickingSystem ticking;
    ticking.app_data = system.app_data;
    ticking.clock = kEpoch;
    refresh_heartbeats(ticking, bridge::local_data_dir(ticking), locks, BrowserId::brave, Json::parse(R"({})"));
    EXPECT_EQ(ticking.readings, 1);
    EXPECT_EQ(read_bytes(legacy_file()),
              legacy("\"brave\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "null", "12"));
    EXPECT_TRUE(heartbeats_are({entry("brave", "12", kDefaultId, "legacy")}));
}

#ifndef _WIN32
ino_t inode_of(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(Heartbeat, OnlyARefreshThatMovesNothingButTimeStampsIsWrittenInPlace) {
    struct Step {
        const char* what;
        const char* version;  // as the request sends it, or none
        const char* source;   // as the legacy file holds it
        std::uint64_t file_time;
        bool legacy_in_place;
        bool heartbeats_in_place;
    };
    // 10 digits of milliseconds, then 11.
    constexpr std::uint64_t kLate = kEpoch + 9999999998ULL * 10000;
    const char* const kLookalike5 = R"("\"timestamp_ms\": 5")";
    const char* const kLookalike6 = R"("\"timestamp_ms\": 6")";
    const Step steps[] = {
        {"a later time stamp", nullptr, "null", kNow + 10000, true, true},
        {"another version", "2", "null", kNow + 20000, false, false},
        {"a version differing in a digit", "3", "null", kNow + 30000, false, false},
        {"the same again", "3", "null", kNow + 40000, true, true},
        {"digits in a string that look like a time stamp", "3", kLookalike5, kNow + 50000, false, true},
        {"those digits changed", "3", kLookalike6, kNow + 60000, false, true},
        {"a time stamp of fewer digits", "3", kLookalike6, kLate, false, false},
        {"and one gaining a digit", "3", kLookalike6, kLate + 20000, false, false},
    };
    write_bytes(heartbeats_file(), "{\n" + entry("brave", "5", "b", "1") + "\n}");
    refresh(R"({})", BrowserId::chrome);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const ino_t legacy_before = inode_of(legacy_file());
        const ino_t heartbeats_before = inode_of(heartbeats_file());
        system.clock = step.file_time;
        Json request = Json::object();
        if (step.version != nullptr) request["extension_version"] = step.version;
        if (std::string_view(step.source) != "null") request["source"] = Json::parse(step.source);
        refresh(request, BrowserId::chrome);
        EXPECT_EQ(inode_of(legacy_file()) == legacy_before, step.legacy_in_place);
        EXPECT_EQ(inode_of(heartbeats_file()) == heartbeats_before, step.heartbeats_in_place);
        const std::string version = step.version != nullptr ? step.version : "legacy";
        EXPECT_TRUE(heartbeats_are({entry("brave", "5", "b", "1"), entry("chrome", now_ms(), kDefaultId, version)}));
        const std::string quoted = step.version != nullptr ? "\"" + version + "\"" : "null";
        EXPECT_EQ(read_bytes(legacy_file()), legacy("\"chrome\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"",
                                                     quoted.c_str(), step.source, now_ms()));
    }
}
#endif

// ---------------------------------------------------------------- merging

TEST_F(Heartbeat, OtherBrowsersAndUnknownKeysAreKept) {
    write_bytes(heartbeats_file(), R"( {"brave": {"timestamp_ms": 17, "extension_id": "b\"id", "extension_version": "0.9"},
        "chrome": {"timestamp_ms": 1, "extension_id": "old", "extension_version": "0.1"},
        "firefox": {"extension_version": "5", "extra": [1, {"deep": [null]}], "timestamp_ms": 18446744073709551615,
                    "extension_id": "f", "more": true},
        "": {"timestamp_ms": 0, "extension_id": "", "extension_version": ""}} )");
    refresh(R"({"extension_id":"new","extension_version":"1.0"})", BrowserId::chrome);
    EXPECT_TRUE(heartbeats_are({
        entry("brave", "17", "b\\\"id", "0.9"),
        entry("chrome", kNowMs, "new", "1.0"),
        entry("firefox", "18446744073709551615", "f", "5"),
        entry("", "0", "", ""),
    }));
}

TEST_F(Heartbeat, AThreeElementRecordIsReadAndWrittenBackAsAnObject) {
    write_bytes(heartbeats_file(), R"({"edge":[42,"e","7.0"],"vivaldi":{"timestamp_ms":3,"extension_id":"v","extension_version":"1"}})");
    refresh(R"({})", BrowserId::vivaldi);
    EXPECT_TRUE(heartbeats_are({entry("edge", "42", "e", "7.0"), entry("vivaldi", kNowMs, kDefaultId, "legacy")}));
}

TEST_F(Heartbeat, OfAKeyGivenTwiceTheLaterEntryWins) {
    write_bytes(heartbeats_file(), R"({"brave":[1,"first","1"],"opera":[2,"o","2"],"brave":{"timestamp_ms":3,"extension_id":"second","extension_version":"3"}})");
    refresh(R"({})", BrowserId::edge);
    EXPECT_TRUE(heartbeats_are({entry("brave", "3", "second", "3"), entry("opera", "2", "o", "2"),
                                entry("edge", kNowMs, kDefaultId, "legacy")}));
}

TEST_F(Heartbeat, TheRefreshedBrowsersEntryIsReplacedWhole) {
    write_bytes(heartbeats_file(), R"({"chrome":{"timestamp_ms":9,"extension_id":"x","extension_version":"8"}})");
    refresh(R"({"extension_id":"y"})", BrowserId::chrome);
    EXPECT_TRUE(heartbeats_are({entry("chrome", kNowMs, "y", "legacy")}));
}

TEST_F(Heartbeat, AFileThatCannotBeReadAsWrittenIsReplaced) {
    const char* bad_files[] = {
        "",
        "   ",
        "[]",
        "null",
        "5",
        "{",
        "not json",
        "\xEF\xBB\xBF{}",
        R"({"brave":{"timestamp_ms":1,"extension_id":"b","extension_version":"1"}} [])",
        R"({"brave":{"timestamp_ms":1,"extension_id":"b","extension_version":"1"},})",
        // a record without one of its members
        R"({"brave":{"timestamp_ms":1,"extension_id":"b"}})",
        R"({"brave":{"extension_id":"b","extension_version":"1"}})",
        R"({"brave":{}})",
        // a time stamp that is not a non-negative integer within 64 bits
        R"({"brave":{"timestamp_ms":-1,"extension_id":"b","extension_version":"1"}})",
        R"({"brave":{"timestamp_ms":-0,"extension_id":"b","extension_version":"1"}})",
        R"({"brave":{"timestamp_ms":1.5,"extension_id":"b","extension_version":"1"}})",
        R"({"brave":{"timestamp_ms":1.0,"extension_id":"b","extension_version":"1"}})",
        R"({"brave":{"timestamp_ms":1e3,"extension_id":"b","extension_version":"1"}})",
        R"({"brave":{"timestamp_ms":18446744073709551616,"extension_id":"b","extension_version":"1"}})",
        R"({"brave":{"timestamp_ms":"1","extension_id":"b","extension_version":"1"}})",
        R"({"brave":{"timestamp_ms":null,"extension_id":"b","extension_version":"1"}})",
        // other members of the wrong type
        R"({"brave":{"timestamp_ms":1,"extension_id":2,"extension_version":"1"}})",
        R"({"brave":{"timestamp_ms":1,"extension_id":"b","extension_version":null}})",
        R"({"brave":{"timestamp_ms":1,"extension_id":"b","extension_version":["1"]}})",
        // a member given twice
        R"({"brave":{"timestamp_ms":1,"extension_id":"b","extension_version":"1","timestamp_ms":2}})",
        R"({"brave":{"extension_id":"a","timestamp_ms":1,"extension_id":"b","extension_version":"1"}})",
        // records that are neither form
        R"({"brave":null})",
        R"({"brave":"b"})",
        R"({"brave":17})",
        R"({"brave":[1,"b"]})",
        R"({"brave":[1,"b","1","x"]})",
        R"({"brave":[1,"b","1",[]]})",
        R"({"brave":[1,"b","1",2]})",
        R"({"brave":["b",1,"1"]})",
        R"({"brave":[-1,"b","1"]})",
        R"({"brave":[[1],"b","1"]})",
        R"({"brave":[]})",
        // a bad record under a key that a later entry replaces
        R"({"brave":{"timestamp_ms":-1,"extension_id":"b","extension_version":"1"},"brave":[1,"b","1"]})",
        R"({"brave":[1,"b"],"brave":[1,"b","1"]})",
    };
    for (const char* bad : bad_files) {
        write_bytes(heartbeats_file(), bad);
        refresh(R"({"extension_version":"4"})", BrowserId::chrome);
        EXPECT_TRUE(heartbeats_are({entry("chrome", kNowMs, kDefaultId, "4")})) << bad;
    }
}

TEST_F(Heartbeat, ExtraMembersOfARecordAreIgnoredWhateverTheirShape) {
    write_bytes(heartbeats_file(),
                R"({"brave":{"note":{"timestamp_ms":-5,"a":[{"b":{}}],"extension_id":1},"timestamp_ms":7,)"
                R"("x":-1,"x":2.5,"extension_id":"b","y":null,"extension_version":"1","z":[[[]]]}})");
    refresh(R"({})", BrowserId::edge);
    EXPECT_TRUE(heartbeats_are({entry("brave", "7", "b", "1"), entry("edge", kNowMs, kDefaultId, "legacy")}));
}

// ---------------------------------------------------------------- failures

TEST_F(Heartbeat, NoDataDirectoryMeansNoFiles) {
    system.app_data = std::nullopt;
    refresh(R"({})", BrowserId::chrome);
    EXPECT_TRUE(fs::is_empty(temp.path()));
}

TEST_F(Heartbeat, ADataDirectoryThatCannotBeCreatedMeansNoFiles) {
    write_bytes(*system.app_data / "Velisto", "a file where a folder must be");
    refresh(R"({})", BrowserId::chrome);
    EXPECT_EQ(read_bytes(*system.app_data / "Velisto"), "a file where a folder must be");
    EXPECT_FALSE(fs::exists(data_dir()));
}

TEST_F(Heartbeat, WithoutTheLegacyFileThePerBrowserFileIsLeftAlone) {
    fs::create_directories(legacy_file());
    const std::string before = entry("brave", "5", "b", "1");
    write_bytes(heartbeats_file(), "{\n" + before + "\n}");
    refresh(R"({})", BrowserId::chrome);
    EXPECT_TRUE(fs::is_directory(legacy_file()));
    EXPECT_TRUE(heartbeats_are({before}));
}

TEST_F(Heartbeat, APerBrowserFileThatCannotBeWrittenIsSkipped) {
    fs::create_directories(heartbeats_file());
    refresh(R"({})", BrowserId::chrome);
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"chrome\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "null"));
    EXPECT_TRUE(fs::is_directory(heartbeats_file()));
}

// ---------------------------------------------------------------- other hosts and faults

// Pauses of a host that waits out the whole patience for a lock: growing
// from 1 ms to 50 ms, about 2 s in all.
std::vector<std::uint32_t> full_patience() {
    std::vector<std::uint32_t> pauses = {1, 2, 4, 8, 16, 32};
    pauses.insert(pauses.end(), 39, 50);
    return pauses;
}

const platform::LockWait kNoWait = [](int) { return false; };

// Another host holds `file` while `during` runs, then writes `then` over
// what it read, in place as a refresh of its own browser does.
void held_by_another_host(const fs::path& file, const std::string& then, const std::function<void()>& during) {
    ASSERT_TRUE(platform::rewrite_file(file, kNoWait, [&](std::string_view held) {
        during();
        // Nothing was written without the lock.
        EXPECT_EQ(read_bytes(file), held);
        return platform::Rewrite{then, then.size() == held.size()};
    }));
}

TEST_F(Heartbeat, AStalledHolderIsWaitedForOnceAndItsFileLeftWhole) {
    write_bytes(heartbeats_file(), "{\n" + entry("brave", "5", "b", "1") + "\n}");
    const std::string holders = "{\n" + entry("brave", "6", "b", "1") + "\n}";
    held_by_another_host(heartbeats_file(), holders, [&] { refresh(R"({})", BrowserId::chrome); });
    EXPECT_EQ(system.sleeps, full_patience());
    EXPECT_EQ(std::accumulate(system.sleeps.begin(), system.sleeps.end(), 0u), 2013u);
    // The holder's write stands whole; this host's heartbeat waits for its next request.
    EXPECT_EQ(read_bytes(heartbeats_file()), holders);

    // Given up once, the lock is only tried while it stays held, and the
    // legacy file, with a patience of its own, is written all the same.
    system.sleeps.clear();
    held_by_another_host(heartbeats_file(), holders, [&] { refresh(R"({"source":"s"})", BrowserId::edge); });
    EXPECT_TRUE(system.sleeps.empty());
    EXPECT_EQ(read_bytes(legacy_file()),
              legacy("\"edge\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "\"s\"", now_ms()));

    // Had again, the lock is waited for again the next time it is held.
    refresh(R"({})", BrowserId::chrome);
    const std::string chrome = entry("chrome", now_ms(), kDefaultId, "legacy");
    EXPECT_TRUE(heartbeats_are({entry("brave", "6", "b", "1"), chrome}));
    held_by_another_host(heartbeats_file(), read_bytes(heartbeats_file()), [&] { refresh(R"({})", BrowserId::edge); });
    EXPECT_EQ(system.sleeps, full_patience());

    // A held legacy file costs the per-browser file nothing, and the time
    // stamp is read once its lock is had.
    system.sleeps.clear();
    held_by_another_host(legacy_file(), read_bytes(legacy_file()), [&] { refresh(R"({})", BrowserId::opera); });
    EXPECT_EQ(system.sleeps, full_patience());
    EXPECT_TRUE(heartbeats_are({entry("brave", "6", "b", "1"), chrome, entry("opera", now_ms(), kDefaultId, "legacy")}));

    // Nobody holding it, nobody waits.
    system.sleeps.clear();
    refresh(R"({})", BrowserId::edge);
    EXPECT_TRUE(system.sleeps.empty());
}

#ifdef _WIN32
TEST_F(Heartbeat, APerBrowserFileThatCannotBeReadIsLeftAsItIs) {
    // A scanner holds the file for a moment without sharing it.
    const std::string other = entry("brave", "5", "b", "1");
    write_bytes(heartbeats_file(), "{\n" + other + "\n}");
    testing::HeldFile scanner(heartbeats_file());
    ASSERT_TRUE(scanner.held());
    refresh(R"({"extension_version":"2"})", BrowserId::chrome);
    scanner.release();
    EXPECT_TRUE(heartbeats_are({other}));
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"chrome\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "\"2\"", "null"));
}
#else
TEST_F(Heartbeat, ARewriteThatFindsTheDiskFullLeavesEachFileWhole) {
    {
        // Files that never got their content are not left behind.
        testing::FileSizeLimit full(10);
        refresh(R"({})", BrowserId::chrome);
    }
    EXPECT_TRUE(fs::is_empty(data_dir()));
    const std::vector<std::string> others = {entry("brave", "5", "b", "1"), entry("edge", "6", "e", "2"),
                                             entry("opera", "7", "o", "3"), entry("vivaldi", "8", "v", "4")};
    write_bytes(heartbeats_file(), "{\n" + others[0] + ",\n" + others[1] + ",\n" + others[2] + ",\n" + others[3] + "\n}");
    refresh(R"({"source":"s"})", std::nullopt);
    const std::string legacy_before = read_bytes(legacy_file());
    {
        // Room for what the files hold now, not for one more entry.
        testing::FileSizeLimit full(fs::file_size(heartbeats_file()) + 20);
        // The legacy file cannot grow: neither file changes.
        refresh(Json{{"source", std::string(1000, 'x')}}, BrowserId::chrome);
        EXPECT_EQ(read_bytes(legacy_file()), legacy_before);
        EXPECT_TRUE(heartbeats_are(others));
        // The legacy file fits, the per-browser file cannot grow.
        refresh(Json{{"source", "t"}}, BrowserId::chrome);
        EXPECT_EQ(read_bytes(legacy_file()), legacy("\"chrome\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "\"t\""));
        EXPECT_TRUE(heartbeats_are(others));
    }
}
#endif

TEST_F(Heartbeat, AnExistingDataDirectoryIsLeftAsItIs) {
    write_bytes(data_dir() / "inbox" / "job.json", "{}");
    refresh(R"({})", BrowserId::chrome);
    EXPECT_EQ(read_bytes(data_dir() / "inbox" / "job.json"), "{}");
    EXPECT_NE(read_bytes(legacy_file()), "<missing>");
}

// ---------------------------------------------------------------- in the request loop

class HeartbeatInLoop : public Heartbeat {
protected:
    // Runs the request loop over `requests` and returns the replies it wrote.
    std::string serve(const std::vector<std::string>& requests) {
        testing::MemorySource source(testing::frames(requests));
        host::MessageReader reader(source);
        testing::MemorySink sink;
        run_host(system, reader, sink);
        return sink.out;
    }

    // A host started by `browser` through a command interpreter.
    void started_by(const std::string& browser) {
        const std::uint32_t parent = system.add_process(browser, 7);
        const std::uint32_t shell = system.add_process("cmd.exe", parent);
        system.pid = system.add_process("nimbra-native-host.exe", shell);
    }
};

const std::string kPingReply = testing::frame(R"({"host":"com.velisto.nimbra","ok":true,"version":"1.0.4"})");
const std::string kUnknownReply = testing::frame(R"({"error":"Unknown message type","ok":false})");

TEST_F(HeartbeatInLoop, EveryRequestRefreshesTheFilesWithTheAncestrysBrowser) {
    started_by("MSEdge.exe");
    EXPECT_EQ(serve({R"({"type":"ping","browser_id":"brave","extension_version":"6.1"})"}), kPingReply);
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"edge\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "\"6.1\"", "null"));
    EXPECT_TRUE(heartbeats_are({entry("edge", kNowMs, kDefaultId, "6.1")}));
}

TEST_F(HeartbeatInLoop, RequestsOfUnknownTypeAndNonObjectsRefreshToo) {
    started_by("chrome.exe");
    EXPECT_EQ(serve({R"({"type":"nope","extension_version":"1"})"}), kUnknownReply);
    EXPECT_TRUE(heartbeats_are({entry("chrome", kNowMs, kDefaultId, "1")}));

    system.advance(20000);
    EXPECT_EQ(serve({R"([1])"}), kUnknownReply);
    EXPECT_EQ(read_bytes(legacy_file()),
              legacy("\"chrome\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "null", "1700000000125"));
    EXPECT_TRUE(heartbeats_are({entry("chrome", "1700000000125", kDefaultId, "legacy")}));
}

TEST_F(HeartbeatInLoop, TheProcessTableIsReadOncePerRun) {
    started_by("brave");
    EXPECT_EQ(serve({R"({"type":"ping"})", R"({"type":"ping"})", R"({"type":"ping"})"}),
              kPingReply + kPingReply + kPingReply);
    EXPECT_EQ(system.snapshots, 1);
}

TEST_F(HeartbeatInLoop, FailuresLeaveTheRepliesAsTheyWere) {
    started_by("chrome.exe");
    system.app_data = std::nullopt;
    EXPECT_EQ(serve({R"({"type":"ping"})", R"({"type":"other"})"}), kPingReply + kUnknownReply);

    system.app_data = temp.path() / "AppData" / "Local";
    write_bytes(*system.app_data / "Velisto", "");
    EXPECT_EQ(serve({R"({"type":"ping"})"}), kPingReply);
    fs::remove(*system.app_data / "Velisto");

    fs::create_directories(legacy_file());
    fs::create_directories(heartbeats_file());
    EXPECT_EQ(serve({R"({"type":"ping"})", R"("x")"}), kPingReply + kUnknownReply);

    fs::remove(legacy_file());
    EXPECT_EQ(serve({R"({"type":"ping"})"}), kPingReply);
    EXPECT_EQ(read_bytes(legacy_file()), legacy("\"chrome\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "null"));
}

}  // namespace
}  // namespace nimbra::browser
