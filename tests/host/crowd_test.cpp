// Hosts of five browsers refresh the per-browser heartbeat file at the same
// time while a reader polls it, as the desktop application does: no entry
// that was once in the file may vanish from it or fall back to an older
// record, and at the end every browser's last heartbeat is there.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cstdio>
#include <map>
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
        versions[key] = std::stol(record["extension_version"].get<std::string>());
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

// The file as a reader that shares the writers' lock sees it: never half
// rewritten. Under a host's exclusive lock (flock) only natively; wine locks
// a byte range of its own.
std::string read_shared(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "<missing>";
    ::flock(fd, LOCK_SH);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

TEST(HeartbeatCrowd, HostsOfFiveBrowsersRefreshingAtOnceLoseNoEntry) {
    Target& target = Target::get();
    target.reset();
    const fs::path file = target.data_dir() / "extension-heartbeats-v2.json";
    const int pings = target.wine() ? 300 : 10000;

    std::atomic<int> running{static_cast<int>(std::size(kBrowsers))};
    std::atomic<int> unanswered{0};
    std::vector<std::thread> hosts;
    for (const char* browser : kBrowsers) {
        hosts.emplace_back([&, browser] {
            Process host(target.command(target.host_exe()));
            for (int i = 1; i <= pings; ++i) {
                host.send(frame(std::string(R"({"type":"ping","browser_id":")") + browser +
                                R"(","extension_version":")" + std::to_string(i) + "\"}"));
                if (!host.read_reply()) {
                    ++unanswered;
                    break;
                }
            }
            host.finish();
            --running;
        });
    }

    // The highest version each browser was seen with so far.
    std::map<std::string, long> seen;
    long reads = 0, torn = 0, lost = 0;
    std::string previous;
    while (running > 0) {
        const std::string text = target.wine() ? read_text(file) : read_shared(file);
        // A reader without the lock may catch a rewrite half done, and since
        // the entries change places from one write to the next, such a mix
        // can even look whole. Then only content read twice running counts:
        // a torn read is gone by the next one, a lost entry is not.
        const bool stable = !target.wine() || text == previous;
        previous = text;
        if (!stable || text == "<missing>") continue;
        ++reads;
        const auto versions = versions_in(text);
        if (!versions) {
            ++torn;
            continue;
        }
        for (auto& [browser, version] : seen) {
            const auto now = versions->find(browser);
            if (now == versions->end() || now->second < version) ++lost;
        }
        for (const auto& [browser, version] : *versions) seen[browser] = std::max(seen[browser], version);
    }
    for (std::thread& host : hosts) host.join();

    std::printf("%d hosts x %d pings: %ld reads counted, %ld of them not whole, %ld entries lost\n",
                static_cast<int>(std::size(kBrowsers)), pings, reads, torn, lost);
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(lost, 0);
    // Sharing the lock, a reader never meets a rewrite half done.
    if (!target.wine()) EXPECT_EQ(torn, 0);
    const std::string final_text = read_text(file);
    const auto final_versions = versions_in(final_text);
    ASSERT_TRUE(final_versions) << final_text;
    for (const char* browser : kBrowsers) {
        const auto found = final_versions->find(browser);
        EXPECT_TRUE(found != final_versions->end() && found->second == pings) << browser << "\n" << final_text;
    }
    const std::string legacy = read_text(target.data_dir() / "extension-heartbeat.json");
    EXPECT_TRUE(host::parse_json(legacy).value) << legacy;
}

}  // namespace
}  // namespace nimbra::hosttest
