// Soak: one host process serves a long session over one connection, first
// pings from an identified browser (each rewriting both heartbeat files),
// then a blob transfer in 900,000-character chunks that ends in an import the
// stand-in desktop application confirms. The driver samples the host's
// resident set (VmRSS) along the way: memory kept per request shows as a
// column that grows within a phase. Exits 1 when a phase grew by more than
// 1 MiB (see growth below), when a reply is wrong, or when the data file
// differs from what was sent.
//
//   soak-bench [--wine] <host> <standin> [--pings N] [--mib N]
//
// Defaults: 1,000,000 pings and 4096 MiB, which need that much free space
// where the data directory lives (the data file is removed at the end).
// --wine runs Windows builds under wine in $WINEPREFIX, whose server should
// be kept running (wineserver -p).
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunkBytes = 675000;  // 900,000 characters of base64
constexpr std::size_t kPatterns = 8;
constexpr std::string_view kTransferId = "soak_Transfer-0001";
constexpr std::uint64_t kPingsPerSample = 100000;
constexpr std::uint64_t kChunksPerSample = 500;
constexpr long kFlatKib = 1024;
constexpr std::string_view kPingReply = R"({"host":"com.velisto.nimbra","ok":true,"version":"1.0.4"})";

std::string blob_request(std::string_view type, std::string_view rest = {}) {
    return bench::frame(R"({"browser_id":"chrome","transfer_id":")" + std::string(kTransferId) + R"(","type":")" +
                 std::string(type) + "\"" + std::string(rest) + "}");
}

class Session {
public:
    explicit Session(bench::Child child) : child_(child) {}

    // The reply body; empty when the host ended or cut it short.
    std::string ask(std::string_view request) {
        while (!request.empty()) {
            const ssize_t n = ::write(child_.in, request.data(), request.size());
            if (n <= 0) return {};
            request.remove_prefix(static_cast<std::size_t>(n));
        }
        unsigned char header[4];
        if (!bench::read_exact(child_.out, reinterpret_cast<char*>(header), 4)) return {};
        const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                                     static_cast<std::uint32_t>(header[3]) << 24;
        std::string body(length, '\0');
        if (!bench::read_exact(child_.out, body.data(), length)) return {};
        return body;
    }

    // A line of /proc/<pid>/status in KiB, read while the host waits for input.
    long status_kib(std::string_view key) const {
        std::ifstream status("/proc/" + std::to_string(child_.pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':') {
                return std::atol(line.c_str() + key.size() + 1);
            }
        }
        return -1;
    }

    void finish() {
        ::close(child_.in);
        int status = 0;
        ::waitpid(child_.pid, &status, 0);
        ::close(child_.out);
    }

private:
    bench::Child child_;
};

struct Sample {
    std::string phase;
    std::uint64_t requests = 0;  // served so far
    long rss_kib = 0;
};

// Where the run lives, as the driver and as the programs see it.
struct Layout {
    fs::path root, host, standin, data_dir, run_while;
    std::vector<std::string> env;
    std::vector<std::string> command;
};

// The host runs from a folder of its own with the stand-in beside it under
// the desktop application's name, which it starts for the import.
Layout prepare(bool wine, const fs::path& host, const fs::path& standin) {
    Layout t;
    const std::string name = "nimbra-soak-bench-" + std::to_string(::getpid());
    const std::string exe = wine ? ".exe" : "";
    const fs::path prefix = bench::wine_prefix();
    t.root = wine ? prefix / "drive_c" / name : fs::temp_directory_path() / name;
    fs::create_directories(t.root / "bin");
    t.host = t.root / "bin" / ("nimbra-native-host" + exe);
    t.standin = t.root / "bin" / ("velisto-download-manager" + exe);
    fs::copy_file(host, t.host);
    fs::copy_file(standin, t.standin);
    t.run_while = t.root / "standin.run";
    std::ofstream(t.run_while).put('\n');
    if (wine) {
        t.data_dir = bench::wine_local_app_data() / "Velisto" / "Nimbra";
        t.env = {R"(NIMBRA_STANDIN_RUN_WHILE=C:\)" + name + R"(\standin.run)"};
        t.command = {"/usr/bin/wine", t.host.string()};
    } else {
        t.data_dir = t.root / "data" / "Velisto" / "Nimbra";
        t.env = {"XDG_DATA_HOME=" + (t.root / "data").string(), "NIMBRA_STANDIN_RUN_WHILE=" + t.run_while.string()};
        t.command = {t.host.string()};
    }
    fs::create_directories(t.data_dir / "browser-transfers");
    return t;
}

// True once no process runs our stand-in's executable (natively).
bool standin_gone(const fs::path& program) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        std::error_code ignored;
        if (fs::read_symlink(entry.path() / "exe", ignored) == program) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool wine = false;
    std::uint64_t pings = 1000000;
    std::uint64_t total_mib = 4096;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--wine") {
            wine = true;
        } else if (arg == "--pings" && i + 1 < argc) {
            pings = std::stoull(argv[++i]);
        } else if (arg == "--mib" && i + 1 < argc) {
            total_mib = std::stoull(argv[++i]);
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 2) {
        std::fprintf(stderr, "usage: %s [--wine] <host> <standin> [--pings N] [--mib N]\n", argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const std::uint64_t total = total_mib * 1024 * 1024;
    const Layout t = prepare(wine, fs::absolute(positional[0]), fs::absolute(positional[1]));
    const fs::path part = t.data_dir / "browser-transfers" / (std::string(kTransferId) + ".part");
    bool ok = true;
    const auto fail = [&](const char* what, const std::string& detail) {
        std::fprintf(stderr, "soak-bench: %s: %s\n", what, detail.c_str());
        ok = false;
    };

    struct statvfs space {};
    if (::statvfs(t.data_dir.c_str(), &space) == 0 &&
        static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize < total + (256ULL << 20)) {
        std::fprintf(stderr, "soak-bench: %s has less than %llu MiB free for the data file\n",
                     t.data_dir.c_str(), static_cast<unsigned long long>(total_mib + 256));
        fs::remove_all(t.root);
        return 2;
    }

    std::vector<std::string> patterns;
    std::vector<std::string> chunk_frames;
    std::mt19937_64 random(1);
    for (std::size_t p = 0; p < kPatterns; ++p) {
        std::string bytes(kChunkBytes, '\0');
        for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
        chunk_frames.push_back(blob_request("blob_chunk", R"(,"data_base64":")" + bench::encode_base64(bytes) + "\""));
        patterns.push_back(std::move(bytes));
    }

    std::vector<Sample> samples;
    Session host(bench::start_child(t.command, t.env));
    std::uint64_t requests = 0;
    const auto ask = [&](std::string_view request) {
        ++requests;
        return host.ask(request);
    };
    const auto sample = [&](const char* phase) { samples.push_back({phase, requests, host.status_kib("VmRSS")}); };

    // Pings as an identified browser sends them: both heartbeat files rewritten.
    const std::string ping = bench::frame(R"({"browser_id":"chrome","extension_version":"3.1.0","type":"ping"})");
    if (ask(ping) != kPingReply) fail("first ping", "wrong reply");
    sample("start");
    const auto ping_start = Clock::now();
    for (std::uint64_t i = 1; i <= pings && ok; ++i) {
        const std::string reply = ask(ping);
        if (reply != kPingReply) fail("ping", std::to_string(i) + " answered " + reply);
        if (i % kPingsPerSample == 0 || i == pings) sample("pings");
    }
    const double ping_seconds = std::chrono::duration<double>(Clock::now() - ping_start).count();

    // Whole chunks cycling through the patterns, then a shorter last one.
    const std::uint64_t whole = total / kChunkBytes;
    const std::size_t tail = static_cast<std::size_t>(total % kChunkBytes);
    if (ok && ask(blob_request("blob_begin", ",\"size\":" + std::to_string(total))).find("\"ok\":true") ==
                  std::string::npos) {
        fail("blob_begin", "refused");
    }
    const auto blob_start = Clock::now();
    for (std::uint64_t i = 1; i <= whole && ok; ++i) {
        const std::string reply = ask(chunk_frames[(i - 1) % kPatterns]);
        if (reply != R"({"ok":true,"received":675000})") fail("blob_chunk", std::to_string(i) + " answered " + reply);
        if (i % kChunksPerSample == 0) sample("chunks");
    }
    if (tail != 0 && ok) {
        const std::string_view bytes = std::string_view(patterns[whole % kPatterns]).substr(0, tail);
        const std::string last = blob_request("blob_chunk", R"(,"data_base64":")" + bench::encode_base64(bytes) + "\"");
        if (ask(last).find("\"received\":" + std::to_string(tail)) == std::string::npos) fail("last chunk", "");
    }
    sample("chunks");
    const double blob_seconds = std::chrono::duration<double>(Clock::now() - blob_start).count();

    const int lock = wine ? -1 : bench::lock_desktop_app();
    const auto end_start = Clock::now();
    const std::string end = ok ? ask(blob_request("blob_end")) : "";
    const double end_ms = std::chrono::duration<double, std::milli>(Clock::now() - end_start).count();
    if (ok && end.find("\"bytes\":" + std::to_string(total) + ",\"launched\":true,\"ok\":true") == std::string::npos) {
        fail("blob_end", "answered " + end);
    }
    sample("after blob_end");
    const long peak_kib = host.status_kib("VmHWM");
    host.finish();
    fs::remove(t.run_while);
    if (wine) {
        ::usleep(500000);
    } else {
        for (int i = 0; i < 250 && !standin_gone(t.standin); ++i) ::usleep(20000);
        ::close(lock);
    }

    // The data file must hold exactly what was sent.
    std::ifstream in(part, std::ios::binary);
    std::string block(kChunkBytes, '\0');
    for (std::uint64_t i = 0; i <= whole && ok; ++i) {
        const std::size_t want = i < whole ? kChunkBytes : tail;
        if (want == 0) break;
        in.read(block.data(), static_cast<std::streamsize>(want));
        if (static_cast<std::size_t>(in.gcount()) != want ||
            std::memcmp(block.data(), patterns[i % kPatterns].data(), want) != 0) {
            fail("data file", "differs in chunk " + std::to_string(i));
        }
    }
    if (ok && in.peek() != std::char_traits<char>::eof()) fail("data file", "too long");
    in.close();
    std::error_code ignored;
    fs::remove_all(t.root, ignored);
    fs::remove(part, ignored);

    std::printf("%-16s %12s %12s\n", "phase", "requests", "VmRSS KiB");
    for (const Sample& s : samples) {
        std::printf("%-16s %12llu %12ld\n", s.phase.c_str(), static_cast<unsigned long long>(s.requests), s.rss_kib);
    }
    // Growth within a phase: the largest sample of its second half over the
    // largest of its first. Largest, because a heap that hands big blocks
    // back to the system and takes them again makes the samples swing.
    const auto growth = [&](std::string_view phase) {
        std::vector<long> rss;
        for (const Sample& s : samples) {
            if (s.phase == phase) rss.push_back(s.rss_kib);
        }
        if (rss.size() < 2) return 0L;
        const auto middle = rss.begin() + static_cast<std::ptrdiff_t>(rss.size() / 2);
        return *std::max_element(middle, rss.end()) - *std::max_element(rss.begin(), middle);
    };
    long largest = 0;
    for (const Sample& s : samples) largest = std::max(largest, s.rss_kib);
    const long ping_growth = growth("pings");
    const long chunk_growth = growth("chunks");
    std::printf("\n%llu pings in %.1f s (%.1f us each); %llu MiB in %.1f s (%.0f MB/s); blob_end %.0f ms\n",
                static_cast<unsigned long long>(pings), ping_seconds, ping_seconds * 1e6 / static_cast<double>(pings),
                static_cast<unsigned long long>(total_mib), blob_seconds,
                static_cast<double>(total) / 1e6 / blob_seconds, end_ms);
    std::printf("growth within the pings %+ld KiB, within the chunks %+ld KiB; largest sample %ld KiB, "
                "VmHWM %ld KiB\n",
                ping_growth, chunk_growth, largest, peak_kib);
    if (ping_growth > kFlatKib || chunk_growth > kFlatKib) fail("resident set", "grew within a phase");
    std::printf("%s\n", ok ? "flat: ok" : "FAILED: see above");
    return ok ? 0 : 1;
}
