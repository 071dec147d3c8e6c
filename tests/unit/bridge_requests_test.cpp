// add_download and open_app through the request handlers: the URL rule,
// refusals that leave the data directory alone, and the wake flag written
// before the application is started.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge_fixture.h"
#include "handlers/download.h"
#include "handlers/open_app.h"
#include "host/json.h"

namespace nimbra::bridgetest {
namespace {

using host::Json;
using host::to_compact_json;

const char* const kRefused = R"({"error":"Only HTTP/HTTPS URLs are allowed","ok":false})";

class Requests : public BridgeTest {
protected:
    // The application runs and answers every job with {"ok":true}.
    void running_app_answers() {
        app_appears();
        system.on_snapshot = [this] {
            for (const std::string& name : names_in(inbox())) {
                if (!fs::exists(results() / name) && !answered(name)) {
                    jobs.push_back(read_bytes(inbox() / name));
                    handled.push_back(name);
                    write_bytes(results() / name, R"({"ok":true})");
                }
            }
        };
    }
    bool answered(const std::string& name) const {
        return std::find(handled.begin(), handled.end(), name) != handled.end();
    }

    std::vector<std::string> jobs;
    std::vector<std::string> handled;
};

TEST_F(Requests, OnlyExactHttpAndHttpsPrefixesAreAccepted) {
    const char* const accepted[] = {
        "http://", "https://", "http://example.com/a b", "https://\xE2\x82\xAC/\xF0\x9F\x98\x80",
        "http://x\n\t", "https://  "};
    for (const char* url : accepted) EXPECT_TRUE(handlers::is_accepted_download_url(url)) << url;

    const char* const refused[] = {"", "http:/", "http:", "https:/", "HTTP://x", "Http://x",
                                   "hTTps://x", " http://x", "http:/x", "https:/x", "ftp://x",
                                   "file:///c:/x", "blob:https://x/1", "data:text/plain,x",
                                   "httpx://x", "http:\\\\x"};
    for (const char* url : refused) EXPECT_FALSE(handlers::is_accepted_download_url(url)) << url;
}

TEST_F(Requests, RefusedDownloadsAreAnsweredWithoutTouchingAnything) {
    std::vector<Json> requests;
    for (const char* url : {"", "HTTPS://x", "ftp://x", " http://x", "https:/x"}) {
        requests.push_back(Json{{"type", "add_download"}, {"url", url}});
    }
    requests.push_back(Json{{"type", "add_download"}});
    requests.push_back(Json::parse(R"({"type":"add_download","url":null})"));
    requests.push_back(Json::parse(R"({"type":"add_download","url":7})"));
    requests.push_back(Json::parse(R"({"type":"add_download","url":["http://x"]})"));
    requests.push_back(Json::parse(R"({"type":"add_download","url":{"href":"http://x"}})"));
    requests.push_back(Json::parse(R"({"type":"add_download","url":true})"));
    for (const Json& request : requests) {
        EXPECT_EQ(to_compact_json(handlers::handle_add_download(request, system, found())), kRefused)
            << to_compact_json(request);
    }
    EXPECT_TRUE(names_in(temp.path() / "AppData").empty());
    EXPECT_EQ(system.snapshots, 0);
    EXPECT_EQ(system.random_counter, 0u);
    EXPECT_TRUE(system.started.empty());
}

TEST_F(Requests, AcceptedDownloadsCarryTheWholeRequestIntoTheJob) {
    running_app_answers();
    for (const char* url : {"http://", "https://", "https://h/\xC3\xA9 x"}) {
        Json request{{"type", "add_download"}, {"url", url}, {"source", "chrome"},
                     {"browser_id", 3}, {"filename", "a.zip"}};
        EXPECT_EQ(to_compact_json(handlers::handle_add_download(request, system, found())),
                  R"({"launched":true,"ok":true})");
        ASSERT_FALSE(jobs.empty());
        EXPECT_EQ(jobs.back(), host::to_indented_json(request));
        EXPECT_NE(jobs.back().find("\"browser_id\": 3,\n  \"filename\""), std::string::npos);
    }
    EXPECT_EQ(jobs.size(), 3u);
}

TEST_F(Requests, OpenAppWakesARunningApplicationWithoutStartingIt) {
    app_appears();
    place_candidates(true, true);
    write_bytes(data_dir() / "wake-main.flag", "something else, and longer");
    Json request{{"type", "open_app"}, {"url", "ftp://ignored"}};
    EXPECT_EQ(to_compact_json(handlers::handle_open_app(request, system, found())), R"({"launched":true,"ok":true})");
    EXPECT_EQ(read_bytes(data_dir() / "wake-main.flag"), "focus\n");
    EXPECT_TRUE(system.started.empty());
    EXPECT_TRUE(system.sleeps.empty());
}

TEST_F(Requests, OpenAppWritesTheFlagBeforeStartingTheApplication) {
    place_candidates(true, true);
    std::string flag_at_start;
    system.on_start = [&](const platform::Path&) {
        flag_at_start = read_bytes(data_dir() / "wake-main.flag");
        app_appears();
        return platform::Status::success();
    };
    EXPECT_EQ(to_compact_json(handlers::handle_open_app(Json{{"type", "open_app"}}, system, found())),
              R"({"launched":true,"ok":true})");
    EXPECT_EQ(flag_at_start, "focus\n");
    EXPECT_EQ(system.started.size(), 1u);
}

TEST_F(Requests, OpenAppWithNothingToStartSaysSoWithoutAnError) {
    EXPECT_EQ(to_compact_json(handlers::handle_open_app(Json{{"type", "open_app"}}, system, found())),
              R"({"launched":false,"ok":false})");
    EXPECT_EQ(read_bytes(data_dir() / "wake-main.flag"), "focus\n");
    EXPECT_FALSE(fs::exists(lock()));
}

TEST_F(Requests, OpenAppWithoutAUsableDataDirectoryStillAnswers) {
    place_candidates(true, true);
    // Unknown: nothing written, no lock, nothing started; the wait decides.
    system.app_data = std::nullopt;
    EXPECT_EQ(to_compact_json(handlers::handle_open_app(Json{{"type", "open_app"}}, system, found())),
              R"({"launched":false,"ok":false})");
    EXPECT_TRUE(system.started.empty());
    EXPECT_EQ(system.sleeps.size(), 30u);
    EXPECT_TRUE(names_in(temp.path() / "AppData").empty());

    system.sleeps.clear();
    system.on_sleep = [this] {
        if (system.sleeps.size() == 4) app_appears();
    };
    EXPECT_EQ(to_compact_json(handlers::handle_open_app(Json{{"type", "open_app"}}, system, found())),
              R"({"launched":true,"ok":true})");
    EXPECT_TRUE(system.started.empty());

    // A file where the Velisto folder belongs: no flag, same answer rules.
    system.processes->clear();
    system.on_sleep = nullptr;
    system.app_data = temp.path() / "AppData";
    write_bytes(temp.path() / "AppData" / "Velisto", "in the way");
    EXPECT_EQ(to_compact_json(handlers::handle_open_app(Json{{"type", "open_app"}}, system, found())),
              R"({"launched":false,"ok":false})");
    EXPECT_EQ(read_bytes(temp.path() / "AppData" / "Velisto"), "in the way");
    EXPECT_TRUE(system.started.empty());

    // A folder where the flag belongs: the flag is lost, the request is not.
    fs::remove(temp.path() / "AppData" / "Velisto");
    fs::create_directories(data_dir() / "wake-main.flag");
    app_appears();
    EXPECT_EQ(to_compact_json(handlers::handle_open_app(Json{{"type", "open_app"}}, system, found())),
              R"({"launched":true,"ok":true})");
    EXPECT_TRUE(fs::is_directory(data_dir() / "wake-main.flag"));
}

}  // namespace
}  // namespace nimbra::bridgetest
