// Hosts of five browsers refresh both heartbeat files at the same time while
// a reader reads them without any lock, as the desktop application does:
// every read must find a whole, valid file, no entry that was once in the
// per-browser file may vanish from it or fall back to an older record, and
// at the end every browser's last heartbeat is there.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_process.h"
#include "host/json.h"

namespace nimbra::hosttest {
namespace {

const char* const kBrowsers[] = {"chrome", "edge", "brave", "vivaldi", "opera"};

// Each browser's extension_version counts its pings, so an older record is
// a smaller number. Nothing when the text is not a file as the host writes
// it: every record with exactly its three members, no key twice.
std::optional<std::map<std::string, long>> versions_in(const std::string& text) {
    host::JsonParse parsed = host::parse_json(text);
    if (!parsed.value || !parsed.value->is_object()) return std::nullopt;
    std::map<std::string, long> versions;
    for (const auto& [key, record] : parsed.value->items()) {
        if (!record.is_object() || record.size() != 3 || !record.contains("timestamp_ms") ||
            !record.contains("extension_id") || !record.contains("extension_version") ||
            !record["extension_version"].is_string()) {
            return std::nullopt;
        }
        const std::string version = record["extension_version"].get<std::string>();
        if (version.empty() || version.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        versions[key] = std::stol(version);
    }
    // The parser keeps the later of two equal keys; the host never writes two.
    std::size_t records = 0;
    for (std::size_t at = text.find("\"timestamp_ms\""); at != std::string::npos;
         at = text.find("\"timestamp_ms\"", at + 1)) {
        ++records;
    }
    if (records != versions.size()) return std::nullopt;
    return versions;
}

// The legacy file as the host writes it: one record of the five members,
// from one of the crowd's browsers.
bool legacy_is_whole(const std::string& text) {
    host::JsonParse parsed = host::parse_json(text);
    if (!parsed.value || !parsed.value->is_object() || parsed.value->size() != 5) return false;
    const std::string* browser = host::string_member(*parsed.value, "browser_id");
    return browser != nullptr && std::count(std::begin(kBrowsers), std::end(kBrowsers), *browser) == 1 &&
           parsed.value->contains("timestamp_ms") && parsed.value->contains("source");
}

TEST(HeartbeatCrowd, HostsOfFiveBrowsersRefreshingAtOnceLoseNoEntryAndTearNoFile) {
    Target& target = Target::get();
    target.reset();
    const fs::path heartbeats = target.data_dir() / "extension-heartbeats-v2.json";
    const fs::path legacy = target.data_dir() / "extension-heartbeat.json";
    const int pings = target.wine() ? 300 : 2000;

    // A host that finds a file's lock taken for longer than its patience
    // skips that heartbeat; its next request records it. So once the crowd
    // is through, each host pings once more, alone.
    std::atomic<int> running{static_cast<int>(std::size(kBrowsers))};
    std::atomic<int> unanswered{0};
    std::mutex alone;
    std::vector<std::thread> hosts;
    for (const char* browser : kBrowsers) {
        hosts.emplace_back([&, browser] {
            Process host(target.command(target.host_exe()));
            const auto ping = [&](int i) {
                host.send(frame(std::string(R"({"type":"ping","browser_id":")") + browser +
                                R"(","extension_version":")" + std::to_string(i) + "\"}"));
                return host.read_reply().has_value();
            };
            int i = 1;
            while (i <= pings && ping(i)) ++i;
            --running;
            while (running > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::lock_guard<std::mutex> one_at_a_time(alone);
            if (i <= pings || !ping(pings + 1)) ++unanswered;
            host.finish();
        });
    }

    // The highest version each browser was seen with so far. A file that
    // was once there must stay there: it is replaced, never removed.
    std::map<std::string, long> seen;
    long reads = 0, torn = 0, lost = 0;
    bool legacy_seen = false, heartbeats_seen = false;
    const auto tear = [&](const fs::path& file, const std::string& text) {
        if (++torn <= 3) ADD_FAILURE() << file.filename() << " read as:\n" << text;
    };
    while (running > 0) {
        const std::string legacy_text = read_text(legacy);
        const std::string text = read_text(heartbeats);
        ++reads;
        if (legacy_text != "<missing>" || legacy_seen) {
            legacy_seen = true;
            if (!legacy_is_whole(legacy_text)) tear(legacy, legacy_text);
        }
        if (text == "<missing>" && !heartbeats_seen) continue;
        heartbeats_seen = true;
        const auto versions = versions_in(text);
        if (!versions) {
            tear(heartbeats, text);
            continue;
        }
        bool vanished = false;
        for (auto& [browser, version] : seen) {
            const auto now = versions->find(browser);
            vanished = vanished || now == versions->end() || now->second < version;
        }
        if (vanished && ++lost <= 3) ADD_FAILURE() << "an entry vanished or went back:\n" << text;
        for (const auto& [browser, version] : *versions) seen[browser] = std::max(seen[browser], version);
    }
    for (std::thread& host : hosts) host.join();

    std::printf("%d hosts x %d pings: %ld reads of both files, %ld of a file not whole, %ld lost an entry\n",
                static_cast<int>(std::size(kBrowsers)), pings, reads, torn, lost);
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(lost, 0);
    const std::string final_text = read_text(heartbeats);
    const auto final_versions = versions_in(final_text);
    ASSERT_TRUE(final_versions) << final_text;
    for (const char* browser : kBrowsers) {
        const auto found = final_versions->find(browser);
        EXPECT_TRUE(found != final_versions->end() && found->second == pings + 1) << browser << "\n" << final_text;
    }
    EXPECT_TRUE(legacy_is_whole(read_text(legacy))) << read_text(legacy);
}

}  // namespace
}  // namespace nimbra::hosttest
