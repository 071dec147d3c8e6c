// The built host finds the browser that started it: a launcher copied under a
// browser's executable name plays the browser, and the heartbeat files in the
// data directory show what the host made of it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "host/host_process.h"
#include "host/json.h"

namespace nimbra::hosttest {
namespace {

const std::string kPingReply = R"({"host":"com.velisto.nimbra","ok":true,"version":"1.0.4"})";

std::uint64_t unix_ms_now() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// The host as the launcher's argument: under wine a Windows path, since the
// launcher hands it to CreateProcessW.
std::string host_argument() {
    const Target& target = Target::get();
    if (!target.wine()) return target.host_exe().string();
    std::string path = "Z:" + fs::absolute(target.host_exe()).string();
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

class BrowserIdentification : public ::testing::Test {
protected:
    void SetUp() override { Target::get().reset(); }

    fs::path legacy_file() const { return Target::get().data_dir() / "extension-heartbeat.json"; }
    fs::path heartbeats_file() const { return Target::get().data_dir() / "extension-heartbeats-v2.json"; }

    // A copy of the launcher under `name`, in the scratch folder.
    fs::path launcher_named(const std::string& name) const {
        const fs::path copy = Target::get().scratch() / name;
        fs::copy_file(Target::get().tool("launcher"), copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms::owner_all, fs::perm_options::add);
        return copy;
    }

    // Sends one request and expects the ping reply; returns the host's exit code.
    void ping(const std::vector<std::string>& command, const std::string& request) {
        Process host(command);
        host.send(frame(request));
        std::optional<std::string> reply = host.read_reply();
        Finished end = host.finish();
        ASSERT_TRUE(reply.has_value()) << request;
        EXPECT_EQ(*reply, kPingReply);
        EXPECT_FALSE(end.timed_out);
        EXPECT_EQ(end.exit_code, 0);
    }
    void ping_through(const std::string& launcher_name, const std::string& request) {
        ping(Target::get().command(launcher_named(launcher_name), {host_argument()}), request);
    }
    void ping_directly(const std::string& request) { ping(Target::get().command(Target::get().host_exe()), request); }

    // The time stamp both files were written with, after checking that the
    // legacy file holds exactly the expected browser, id, version and source
    // (JSON texts) for it.
    std::uint64_t legacy_timestamp(const std::string& browser, const std::string& id, const std::string& version,
                                   const std::string& source) {
        const std::string text = read_text(legacy_file());
        host::JsonParse parsed = host::parse_json(text);
        if (!parsed.value || !parsed.value->is_object() || !parsed.value->contains("timestamp_ms") ||
            !(*parsed.value)["timestamp_ms"].is_number_unsigned()) {
            ADD_FAILURE() << "legacy file: " << text;
            return 0;
        }
        const auto timestamp = (*parsed.value)["timestamp_ms"].get<std::uint64_t>();
        EXPECT_EQ(text, "{\n  \"browser_id\": " + browser + ",\n  \"extension_id\": " + id +
                            ",\n  \"extension_version\": " + version + ",\n  \"source\": " + source +
                            ",\n  \"timestamp_ms\": " + std::to_string(timestamp) + "\n}");
        return timestamp;
    }
};

std::string entry(const std::string& key, std::uint64_t timestamp, const std::string& id, const std::string& version) {
    return "  \"" + key + "\": {\n    \"timestamp_ms\": " + std::to_string(timestamp) +
           ",\n    \"extension_id\": \"" + id + "\",\n    \"extension_version\": \"" + version + "\"\n  }";
}

struct Launch {
    std::string executable;
    std::string browser;
};

// Names a browser really runs under on this system.
std::vector<Launch> browser_launches() {
    if (Target::get().wine()) {
        return {{"chrome.exe", "chrome"}, {"MSEDGE.EXE", "edge"}, {"opera_gx.exe", "opera"}, {"Brave.exe", "brave"}};
    }
    return {{"chromium", "chrome"}, {"msedge", "edge"}, {"vivaldi-bin", "vivaldi"}, {"brave", "brave"}};
}

TEST_F(BrowserIdentification, AHostStartedByABrowserRecordsThatBrowser) {
    for (const Launch& launch : browser_launches()) {
        Target::get().reset();
        const std::uint64_t before = unix_ms_now();
        // The request names another browser: the ancestry wins over hints.
        ping_through(launch.executable,
                     R"({"type":"ping","browser_id":"opera","source":"Edg/1","extension_version":"2.0.1"})");
        const std::uint64_t after = unix_ms_now();
        const std::uint64_t timestamp = legacy_timestamp("\"" + launch.browser + "\"",
                                                         "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "\"2.0.1\"",
                                                         "\"Edg/1\"");
        EXPECT_GE(timestamp, before) << launch.executable;
        EXPECT_LE(timestamp, after) << launch.executable;
        EXPECT_EQ(read_text(heartbeats_file()),
                  "{\n" + entry(launch.browser, timestamp, "kembcdlbgbcnnchcnbdhbmbhbejnedjf", "2.0.1") + "\n}")
            << launch.executable;
    }
}

TEST_F(BrowserIdentification, HostsOfTwoBrowsersShareThePerBrowserFile) {
    const std::vector<Launch> launches = browser_launches();
    ping_through(launches[0].executable, R"({"type":"ping","extension_id":"first"})");
    const std::uint64_t first = legacy_timestamp("\"" + launches[0].browser + "\"", "\"first\"", "null", "null");
    ping_through(launches[1].executable, R"({"type":"ping","extension_id":"second","extension_version":"3"})");
    const std::uint64_t second = legacy_timestamp("\"" + launches[1].browser + "\"", "\"second\"", "\"3\"", "null");

    const std::string a = entry(launches[0].browser, first, "first", "legacy");
    const std::string b = entry(launches[1].browser, second, "second", "3");
    const std::string file = read_text(heartbeats_file());
    EXPECT_TRUE(file == "{\n" + a + ",\n" + b + "\n}" || file == "{\n" + b + ",\n" + a + "\n}") << file;
}

TEST_F(BrowserIdentification, AHostStartedDirectlyGoesByTheRequest) {
    ping_directly(R"({"type":"ping","browser_id":" Vivaldi "})");
    std::uint64_t timestamp = legacy_timestamp("\"vivaldi\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "null");
    EXPECT_EQ(read_text(heartbeats_file()),
              "{\n" + entry("vivaldi", timestamp, "kembcdlbgbcnnchcnbdhbmbhbejnedjf", "legacy") + "\n}");

    Target::get().reset();
    ping_directly(R"({"type":"ping","source":"Mozilla/5.0 Chrome/120.0 OPR/106.0","extension_id":"x"})");
    timestamp = legacy_timestamp("\"opera\"", "\"x\"", "null", "\"Mozilla/5.0 Chrome/120.0 OPR/106.0\"");
    EXPECT_EQ(read_text(heartbeats_file()), "{\n" + entry("opera", timestamp, "x", "legacy") + "\n}");

    Target::get().reset();
    ping_directly(R"({"type":"ping","source":"brave/1.0"})");
    legacy_timestamp("null", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "\"brave/1.0\"");
    EXPECT_EQ(read_text(heartbeats_file()), "<missing>");
}

TEST_F(BrowserIdentification, ALauncherThatIsNoBrowserLeavesItToTheRequest) {
    // Names outside the browser table; "opera_gx" lacks the extension the table wants.
    const std::vector<std::string> names = Target::get().wine()
                                               ? std::vector<std::string>{"launcher.exe", "chrome_proxy.exe"}
                                               : std::vector<std::string>{"opera_gx", "launcher", "chrome_proxy"};
    for (const std::string& name : names) {
        Target::get().reset();
        ping_through(name, R"({"type":"ping","browser_id":"BRAVE","source":"Edg/1"})");
        const std::uint64_t timestamp =
            legacy_timestamp("\"brave\"", "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\"", "null", "\"Edg/1\"");
        EXPECT_EQ(read_text(heartbeats_file()),
                  "{\n" + entry("brave", timestamp, "kembcdlbgbcnnchcnbdhbmbhbejnedjf", "legacy") + "\n}")
            << name;
    }
}

TEST_F(BrowserIdentification, ABlockedDataDirectoryCostsNoReply) {
    write_text(Target::get().app_data() / "Velisto", "a file where a folder must be");
    ping_through(browser_launches()[0].executable, R"({"type":"ping"})");
    EXPECT_EQ(read_text(Target::get().app_data() / "Velisto"), "a file where a folder must be");
}

// Where the shell records LocalAppData (wine only): the host asks the shell
// for the folder, which reads this entry.
void set_local_app_data(const std::string& value) {
    Process reg({"wine", "reg", "add", R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders)",
                 "/v", "Local AppData", "/t", "REG_EXPAND_SZ", "/d", value, "/f"});
    reg.close_input();
    EXPECT_EQ(reg.finish().exit_code, 0) << value;
}

TEST(DataDirectory, AFolderMovedWhileTheHostRunsIsFollowedFromTheNextRequest) {
    Target& target = Target::get();
    if (!target.wine()) GTEST_SKIP() << "natively the folder comes from the environment, fixed for the process";
    target.reset();
    const fs::path moved = target.app_data().parent_path() / "Moved";
    fs::remove_all(moved);
    // The shell finds only a folder that exists.
    fs::create_directories(moved);
    Process host(target.command(target.host_exe()));
    const auto ping = [&] {
        host.send(frame(R"({"type":"ping"})"));
        EXPECT_EQ(host.read_reply(), kPingReply);
    };
    ping();
    const fs::path legacy = fs::path("Velisto") / "Nimbra" / "extension-heartbeat.json";
    ASSERT_TRUE(fs::exists(target.app_data() / legacy));
    fs::remove(target.app_data() / legacy);

    set_local_app_data(R"(%USERPROFILE%\AppData\Moved)");
    ping();
    set_local_app_data(R"(%USERPROFILE%\AppData\Local)");
    EXPECT_TRUE(fs::exists(moved / legacy));
    EXPECT_FALSE(fs::exists(target.app_data() / legacy));
    fs::remove_all(moved);
    ping();
    EXPECT_TRUE(fs::exists(target.app_data() / legacy));
    EXPECT_FALSE(fs::exists(moved));
    host.close_input();
    EXPECT_EQ(host.finish().exit_code, 0);
}

}  // namespace
}  // namespace nimbra::hosttest
