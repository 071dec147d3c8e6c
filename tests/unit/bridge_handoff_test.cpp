// The inbox handoff on real folders with a fake OS: job ids, the job file's
// bytes, the poll budget counted in polls and pauses, how answers are relayed,
// what each JobKind setting changes, and which failures end the host.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "bridge/handoff.h"
#include "bridge_fixture.h"
#include "handlers/download.h"
#include "host/fatal_error.h"
#include "support/held_file.h"

namespace nimbra::bridgetest {
namespace {

using bridge::hand_off_job;
using bridge::JobKind;
using host::Json;

const JobKind kImportLike{
    .type_name = "import_browser_file",
    .timeout_message = "import timed out",
    .unreadable_message = "import unreadable",
    .clears_stale_result = false,
    .launched_on_timeout = false,
    .after_write = {},
};

const std::regex kVersion4Id("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");

std::string fatal_text_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const host::FatalError& error) {
        return error.what();
    }
    return "(no fatal error)";
}

class Handoff : public BridgeTest {
protected:
    Handoff() { app_appears(); }  // launched: true, with one snapshot

    // The one job file in the inbox.
    std::string job_name() {
        std::vector<std::string> names = names_in(inbox());
        EXPECT_EQ(names.size(), 1u);
        return names.empty() ? "" : names[0];
    }

    // The application answers with `content` as soon as the host has made
    // sure it runs, so the answer is there at the first poll.
    void answer_with(std::string content) {
        system.on_snapshot = [this, content] {
            answered_job = job_name();
            write_bytes(results() / answered_job, content);
        };
    }

    // The job id the next handoff will draw.
    std::string next_job_id() {
        testing::FakeSystem probe = system;
        return bridge::make_job_id(probe);
    }

    Json download(const Json& job) { return hand_off_job(system, found(), handlers::download_job_kind(), job); }

    const Json job{{"type", "add_download"}, {"url", "https://example.com/file.zip"}};
    std::string answered_job;
};

TEST_F(Handoff, JobIdsAreDistinctVersion4UuidsInLowerCase) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string fake = bridge::make_job_id(system);
        const std::string real = bridge::make_job_id(platform::real_system());
        EXPECT_TRUE(std::regex_match(fake, kVersion4Id)) << fake;
        EXPECT_TRUE(std::regex_match(real, kVersion4Id)) << real;
        seen.insert(fake);
        seen.insert(real);
    }
    EXPECT_EQ(seen.size(), 400u);

    // Only the version nibble and the two variant bits are forced.
    struct Constant : testing::FakeSystem {
        std::uint8_t fill = 0;
        platform::Status random_bytes(std::span<std::uint8_t> buffer) override {
            for (auto& byte : buffer) byte = fill;
            return platform::Status::success();
        }
    } constant;
    EXPECT_EQ(bridge::make_job_id(constant), "00000000-0000-4000-8000-000000000000");
    constant.fill = 0xFF;
    EXPECT_EQ(bridge::make_job_id(constant), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    constant.fill = 0x5A;
    EXPECT_EQ(bridge::make_job_id(constant), "5a5a5a5a-5a5a-4a5a-9a5a-5a5a5a5a5a5a");
}

TEST_F(Handoff, AFailingRandomSourceEndsTheHostBeforeAnythingIsWritten) {
    system.random_fails = true;
    EXPECT_EQ(fatal_text_of([&] { download(job); }), platform::describe(platform::not_found_error()));
    EXPECT_FALSE(fs::exists(temp.path() / "AppData" / "Velisto"));
    EXPECT_EQ(system.snapshots, 0);
}

TEST_F(Handoff, TheJobIsWrittenIndentedInKeyOrderUnderItsIdAndTheAnswerRelayed) {
    const std::string id = next_job_id();
    Json request = Json::parse(R"({"url":"http://x/\u00e9 y","type":"add_download","b":[1,{"z":null,"a":"\u0001\"\\"}],"e":{},"f":[],"n":1e3})");
    std::string job_at_launch;
    system.on_snapshot = [&] {
        job_at_launch = read_bytes(inbox() / (id + ".json"));
        write_bytes(results() / (id + ".json"), R"({"ok":true})");
    };
    EXPECT_EQ(download(request), Json::parse(R"({"launched":true,"ok":true})"));
    EXPECT_EQ(job_at_launch,
              "{\n"
              "  \"b\": [\n"
              "    1,\n"
              "    {\n"
              "      \"a\": \"\\u0001\\\"\\\\\",\n"
              "      \"z\": null\n"
              "    }\n"
              "  ],\n"
              "  \"e\": {},\n"
              "  \"f\": [],\n"
              "  \"n\": 1000.0,\n"
              "  \"type\": \"add_download\",\n"
              "  \"url\": \"http://x/\xC3\xA9 y\"\n"
              "}");
    EXPECT_EQ(id.size() + 5, 41u);
    // An answered job is the application's to remove; the result is the host's.
    EXPECT_EQ(names_in(inbox()), std::vector<std::string>{id + ".json"});
    EXPECT_TRUE(names_in(results()).empty());
    EXPECT_TRUE(system.sleeps.empty());
}

TEST_F(Handoff, AnswersAreRelayedByTheirKind) {
    struct Case {
        std::string content;
        std::string reply;  // compact, as the host writes it
    };
    const Case cases[] = {
        {R"({"ok":true})", R"({"launched":true,"ok":true})"},
        {R"({"ok":false,"error":"busy","launched":false})", R"({"error":"busy","launched":true,"ok":false})"},
        {"[1,{\"ok\":true}]", "[1,{\"ok\":true}]"},
        {"\"done\"", "\"done\""},
        {"12", "12"},
        {"null", "null"},
        {"false", "false"},
        {" \r\n\t{\"ok\":true} \n", R"({"launched":true,"ok":true})"},
        {"", R"({"error":"Nimbra returned an unreadable handoff result","launched":true,"ok":false})"},
        {"\xEF\xBB\xBF{\"ok\":true}", R"({"error":"Nimbra returned an unreadable handoff result","launched":true,"ok":false})"},
        {"{\"ok\":true} x", R"({"error":"Nimbra returned an unreadable handoff result","launched":true,"ok":false})"},
        {"{\"ok\":true}{}", R"({"error":"Nimbra returned an unreadable handoff result","launched":true,"ok":false})"},
        {"{\"ok\":tr", R"({"error":"Nimbra returned an unreadable handoff result","launched":true,"ok":false})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        answer_with(c.content);
        system.sleeps.clear();
        EXPECT_EQ(host::to_compact_json(download(job)), c.reply);
        EXPECT_TRUE(names_in(results()).empty()) << "the result file is deleted after reading";
        // Content that does not parse is read again until it has stayed the same for 0.5 s.
        const bool unreadable = c.reply.find("unreadable") != std::string::npos;
        EXPECT_EQ(system.sleeps.size(), unreadable ? 10u : 0u);
        fs::remove_all(inbox());
    }
}

TEST_F(Handoff, LaunchedIsWhatTheLaunchRoutineFound) {
    // Not running and nothing to start: false, and the answer still relayed.
    system.processes->clear();
    system.executable = std::nullopt;
    system.on_snapshot = [this] {
        if (system.snapshots == 1) write_bytes(results() / job_name(), R"({"ok":true,"launched":true})");
    };
    EXPECT_EQ(host::to_compact_json(download(job)), R"({"launched":false,"ok":true})");

    fs::remove_all(inbox());
    system.snapshots = 0;
    system.on_snapshot = [this] {
        if (system.snapshots == 1) write_bytes(results() / job_name(), "");
    };
    EXPECT_EQ(host::to_compact_json(download(job)),
              R"({"error":"Nimbra returned an unreadable handoff result","launched":false,"ok":false})");
}

TEST_F(Handoff, NoAnswerCosts700PollsAnd700PausesThenTheJobIsDeleted) {
    EXPECT_EQ(host::to_compact_json(download(job)),
              R"({"error":"Nimbra did not confirm the download within 35 seconds. The browser download was left untouched.","launched":true,"ok":false})");
    EXPECT_EQ(system.sleeps, std::vector<std::uint32_t>(700, 50));
    EXPECT_TRUE(names_in(inbox()).empty());
    EXPECT_TRUE(fs::is_directory(results()));
}

TEST_F(Handoff, TheLastPollComesBeforeTheLastPause) {
    // An answer written during the 699th pause is found by the 700th poll...
    system.on_sleep = [this] {
        if (system.sleeps.size() == 699) write_bytes(results() / job_name(), R"({"ok":true})");
    };
    EXPECT_EQ(host::to_compact_json(download(job)), R"({"launched":true,"ok":true})");
    EXPECT_EQ(system.sleeps.size(), 699u);
    EXPECT_EQ(names_in(inbox()).size(), 1u);

    // ...one written during the 700th pause is never looked at: it stays.
    fs::remove_all(inbox());
    system.sleeps.clear();
    std::string late;
    system.on_sleep = [&] {
        if (system.sleeps.size() == 700) {
            late = job_name();
            write_bytes(results() / late, R"({"ok":true})");
        }
    };
    EXPECT_EQ(download(job)["ok"], false);
    EXPECT_EQ(system.sleeps.size(), 700u);
    EXPECT_TRUE(names_in(inbox()).empty());
    EXPECT_EQ(names_in(results()), std::vector<std::string>{late});
}

TEST_F(Handoff, AResultStillBeingWrittenIsReadAgainUntilItParsesOrSettles) {
    struct Case {
        const char* what;
        std::map<std::size_t, std::string> writes;  // content written at the first poll (0) or during the n-th pause
        std::string reply;
        std::size_t pauses;
    };
    const std::string unreadable = R"({"error":"Nimbra returned an unreadable handoff result","launched":true,"ok":false})";
    const Case cases[] = {
        {"written in two steps", {{0, R"({"ok")"}, {4, R"({"ok":true})"}}, R"({"launched":true,"ok":true})", 4},
        {"never completed", {{0, R"({"ok")"}}, unreadable, 10},
        {"completed on the last chance", {{0, "{"}, {10, "{}"}}, R"({"launched":true})", 10},
        {"still changing", {{0, "{"}, {3, "{ "}, {6, "{  "}}, unreadable, 16},
        {"gone for a moment", {{0, "{"}, {5, ""}, {6, "{"}}, unreadable, 16},
        {"first seen when the polls run out", {{696, "{"}}, unreadable, 700},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        system.sleeps.clear();
        const auto write = [&](std::size_t at) {
            const auto found = c.writes.find(at);
            if (found == c.writes.end()) return;
            if (found->second.empty()) {
                fs::remove(results() / job_name());
            } else {
                write_bytes(results() / job_name(), found->second);
            }
        };
        system.on_snapshot = [&] { write(0); };
        system.on_sleep = [&] { write(system.sleeps.size()); };
        EXPECT_EQ(host::to_compact_json(download(job)), c.reply);
        EXPECT_EQ(system.sleeps.size(), c.pauses);
        EXPECT_TRUE(names_in(results()).empty()) << "deleted after the last read";
        EXPECT_EQ(names_in(inbox()).size(), 1u) << "an answered job is the application's";
        fs::remove_all(inbox());
    }
}

#ifdef _WIN32
TEST_F(Handoff, AResultHeldOpenWithoutSharingIsNotThereYet) {
    std::unique_ptr<testing::HeldFile> held;
    system.on_snapshot = [&] {
        write_bytes(results() / job_name(), R"({"ok":true})");
        held = std::make_unique<testing::HeldFile>(results() / job_name());
    };
    system.on_sleep = [&] {
        if (system.sleeps.size() == 3) held->release();
    };
    EXPECT_EQ(host::to_compact_json(download(job)), R"({"launched":true,"ok":true})");
    EXPECT_TRUE(held && !held->held());
    EXPECT_EQ(system.sleeps.size(), 3u);
}
#else
TEST_F(Handoff, AJobCutShortIsRemovedBeforeTheFatalError) {
    // The job outgrows what the disk can take.
    const Json long_job{{"type", "add_download"}, {"url", "https://example.com/" + std::string(4000, 'x')}};
    std::string text;
    {
        testing::FileSizeLimit full(1024);
        text = fatal_text_of([&] { download(long_job); });
    }
    EXPECT_NE(text.find("(os error "), std::string::npos) << text;
    EXPECT_TRUE(names_in(inbox()).empty());
    EXPECT_EQ(system.snapshots, 0) << "the application is not started for a job that is not there";
}
#endif

TEST_F(Handoff, KindSettingsDecideStaleResultsTimeoutMembersAndTheAfterWriteStep) {
    // The download kind deletes a leftover result of the job's name first...
    std::string id = next_job_id();
    write_bytes(results() / (id + ".json"), R"({"ok":true,"stale":true})");
    bool stale_gone_at_launch = false;
    system.on_snapshot = [&] { stale_gone_at_launch = !fs::exists(results() / (id + ".json")); };
    EXPECT_EQ(download(job)["ok"], false);  // timed out
    EXPECT_TRUE(stale_gone_at_launch);

    // ...an import-like kind takes it as its answer.
    fs::remove_all(inbox());
    system.sleeps.clear();
    system.on_snapshot = nullptr;
    id = next_job_id();
    write_bytes(results() / (id + ".json"), R"({"ok":true,"stale":true})");
    Json import_job{{"type", "import_browser_file"}};
    EXPECT_EQ(host::to_compact_json(hand_off_job(system, found(), kImportLike, import_job)),
              R"({"launched":true,"ok":true,"stale":true})");

    // Its timeout reply has no `launched`, and the job is gone all the same.
    fs::remove_all(inbox());
    EXPECT_EQ(host::to_compact_json(hand_off_job(system, found(), kImportLike, import_job)),
              R"({"error":"import timed out","ok":false})");
    EXPECT_TRUE(names_in(inbox()).empty());
    system.on_snapshot = [this] { write_bytes(results() / job_name(), "x"); };
    EXPECT_EQ(host::to_compact_json(hand_off_job(system, found(), kImportLike, import_job)),
              R"({"error":"import unreadable","launched":true,"ok":false})");

    // The after-write step runs once, with the job on disk and before the launch.
    fs::remove_all(inbox());
    JobKind with_step = kImportLike;
    std::vector<std::string> events;
    with_step.after_write = [&] {
        events.push_back("after-write, jobs: " + std::to_string(names_in(inbox()).size()) +
                         ", snapshots: " + std::to_string(system.snapshots));
    };
    system.snapshots = 0;
    system.on_snapshot = [&] {
        events.push_back("launch");
        write_bytes(results() / job_name(), R"({"ok":true})");
    };
    EXPECT_EQ(hand_off_job(system, found(), with_step, import_job)["ok"], true);
    EXPECT_EQ(events, (std::vector<std::string>{"after-write, jobs: 1, snapshots: 0", "launch"}));

    // A fatal error of the step ends the handoff before the launch.
    with_step.after_write = [] { throw host::FatalError("step failed"); };
    system.snapshots = 0;
    EXPECT_EQ(fatal_text_of([&] { hand_off_job(system, found(), with_step, import_job); }), "step failed");
    EXPECT_EQ(system.snapshots, 0);
}

TEST_F(Handoff, DownloadKindSettings) {
    const JobKind kind = handlers::download_job_kind();
    EXPECT_EQ(kind.type_name, "add_download");
    EXPECT_EQ(kind.timeout_message,
              "Nimbra did not confirm the download within 35 seconds. The browser download was left untouched.");
    EXPECT_EQ(kind.unreadable_message, "Nimbra returned an unreadable handoff result");
    EXPECT_TRUE(kind.clears_stale_result);
    EXPECT_TRUE(kind.launched_on_timeout);
    EXPECT_FALSE(kind.after_write);
}

TEST_F(Handoff, TwoJobsInARowUseTwoFiles) {
    std::vector<std::string> names;
    system.on_snapshot = [&] {
        std::vector<std::string> now = names_in(inbox());
        for (const std::string& name : now) {
            if (std::find(names.begin(), names.end(), name) == names.end()) {
                names.push_back(name);
                write_bytes(results() / name, R"({"ok":true})");
            }
        }
    };
    download(job);
    download(job);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_NE(names[0], names[1]);
}

TEST_F(Handoff, FailuresThatEndTheHost) {
    // No data directory: nothing is written, nothing started.
    system.app_data = std::nullopt;
    EXPECT_EQ(fatal_text_of([&] { download(job); }), "No local data directory");
    EXPECT_EQ(system.snapshots, 0);
    system.app_data = temp.path() / "AppData";

    // A file where the inbox belongs.
    write_bytes(inbox(), "not a folder");
    std::string text = fatal_text_of([&] { download(job); });
    EXPECT_NE(text.find("(os error "), std::string::npos) << text;
    EXPECT_EQ(system.snapshots, 0);
    fs::remove(inbox());

    // A file where the results folder belongs.
    write_bytes(results(), "not a folder");
    text = fatal_text_of([&] { download(job); });
    EXPECT_NE(text.find("(os error "), std::string::npos) << text;
    EXPECT_EQ(system.snapshots, 0);
    fs::remove(results());

    // The job cannot be written: a folder under its name.
    const std::string id = next_job_id();
    fs::create_directories(inbox() / (id + ".json"));
    text = fatal_text_of([&] { download(job); });
    EXPECT_NE(text.find("(os error "), std::string::npos) << text;
    EXPECT_EQ(system.snapshots, 0) << "the application is not started for a job that is not there";
    fs::remove_all(inbox());

    // A result that exists but cannot be read stays where it is.
    std::string blocked;
    system.on_snapshot = [&] {
        blocked = job_name();
        fs::create_directories(results() / blocked);
    };
    text = fatal_text_of([&] { download(job); });
    EXPECT_NE(text.find("(os error "), std::string::npos) << text;
    EXPECT_TRUE(fs::is_directory(results() / blocked));
    EXPECT_TRUE(system.sleeps.empty());
}

}  // namespace
}  // namespace nimbra::bridgetest
