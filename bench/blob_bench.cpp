// Browser blob transfer throughput: a driver streams a file through a host in
// 900,000-character chunks, one request at a time as the extension does, and
// measures the decoded bytes per second of the chunk phase and the program's
// peak resident set. The floor program (blob-floor) of the same target runs
// the same stream in the same run: plain, rewriting both heartbeat files in
// place as the host does, creating or truncating them instead, also finding
// the data directory for every request as the host does, and taking fresh
// buffers per request. The host's transfer ends in
// an import that the stand-in desktop application, started by the host from
// its own folder, confirms.
//
// A target is the Linux build (--native) or the Windows build run under wine
// (--wine, with WINEPREFIX set and its server kept running); each names its
// host, floor and stand-in. Every ratio compares programs of one target
// measured in the same run, interleaved. --compare after a target adds a
// second host of that target (an earlier build, say) to the same rounds.
//
//   blob-bench [--runs N] [--sizes MiB,...] {--native|--wine} LABEL HOST FLOOR STANDIN [--compare HOST] ...
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
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
using bench::Child;
using bench::read_exact;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunkBytes = 675000;  // 900,000 characters of base64
constexpr std::size_t kPatterns = 8;
constexpr std::string_view kTransferId = "bench_Transfer-0001";

std::string request(std::string_view type, std::string_view rest = {}) {
    // browser_id makes the host keep both heartbeat files, as the floor does.
    return bench::frame("{\"browser_id\":\"chrome\",\"transfer_id\":\"" + std::string(kTransferId) + "\",\"type\":\"" +
                 std::string(type) + "\"" + std::string(rest) + "}");
}

std::string chunk_request(std::string_view bytes) {
    return request("blob_chunk", ",\"data_base64\":\"" + bench::encode_base64(bytes) + "\"");
}

bool send(const Child& child, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(child.in, bytes.data(), bytes.size());
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string reply(const Child& child) {
    unsigned char header[4];
    if (!read_exact(child.out, reinterpret_cast<char*>(header), 4)) return "<no reply>";
    const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                                 static_cast<std::uint32_t>(header[3]) << 24;
    std::string body(length, '\0');
    if (!read_exact(child.out, body.data(), length)) return "<cut short>";
    return body;
}

// Peak resident set of the program in KiB, read while it waits for input.
// Not from wait4: a forked child's maximum includes the driver's own pages
// from before the exec.
long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

void finish(Child& child) {
    ::close(child.in);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ::close(child.out);
}

struct Workload {
    std::vector<std::string> chunk_frames;  // one per pattern, each a whole chunk
    std::vector<std::string> patterns;
};

struct Result {
    double mb_per_s = 0;
    double rss_mib = 0;
    double end_ms = 0;
    bool ok = true;
};

// Streams `total` bytes: whole chunks cycling through the patterns, then a
// shorter last one.
Result stream(const std::vector<std::string>& command, const std::vector<std::string>& env,
              const fs::path& part, const Workload& work, std::uint64_t total, bool expect_import) {
    Result result;
    Child child = bench::start_child(command, env);
    send(child, request("blob_begin", ",\"size\":" + std::to_string(total)));
    if (reply(child).find("\"ok\":true") == std::string::npos) {
        std::fprintf(stderr, "%s: blob_begin failed\n", command[0].c_str());
        result.ok = false;
    }
    const std::uint64_t whole = total / kChunkBytes;
    const std::size_t tail = static_cast<std::size_t>(total % kChunkBytes);
    const std::string last = tail != 0 ? chunk_request(std::string_view(work.patterns[whole % kPatterns]).substr(0, tail)) : "";

    const auto t0 = Clock::now();
    for (std::uint64_t i = 0; i < whole && result.ok; ++i) {
        send(child, work.chunk_frames[i % kPatterns]);
        if (reply(child).find("\"received\":675000") == std::string::npos) result.ok = false;
    }
    if (tail != 0 && result.ok) {
        send(child, last);
        if (reply(child).find("\"received\":" + std::to_string(tail)) == std::string::npos) result.ok = false;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    result.mb_per_s = static_cast<double>(total) / 1e6 / seconds;

    const auto t1 = Clock::now();
    send(child, request("blob_end"));
    const std::string end = reply(child);
    result.end_ms = std::chrono::duration<double, std::milli>(Clock::now() - t1).count();
    if (expect_import && end.find("\"bytes\":" + std::to_string(total) + ",\"launched\":true,\"ok\":true") ==
                             std::string::npos) {
        std::fprintf(stderr, "%s: blob_end answered %s\n", command[0].c_str(), end.c_str());
        result.ok = false;
    }
    result.rss_mib = static_cast<double>(peak_rss_kib(child.pid)) / 1024.0;
    finish(child);

    // The data file must hold exactly what was sent.
    std::ifstream in(part, std::ios::binary);
    std::string block(kChunkBytes, '\0');
    for (std::uint64_t i = 0; i <= whole && result.ok; ++i) {
        const std::size_t want = i < whole ? kChunkBytes : tail;
        if (want == 0) break;
        in.read(block.data(), static_cast<std::streamsize>(want));
        if (static_cast<std::size_t>(in.gcount()) != want ||
            std::memcmp(block.data(), work.patterns[i % kPatterns].data(), want) != 0) {
            std::fprintf(stderr, "%s: the data file differs in chunk %llu\n", command[0].c_str(),
                         static_cast<unsigned long long>(i));
            result.ok = false;
        }
    }
    if (result.ok && in.peek() != std::char_traits<char>::eof()) {
        std::fprintf(stderr, "%s: the data file is too long\n", command[0].c_str());
        result.ok = false;
    }
    std::error_code ignored;
    fs::remove(part, ignored);
    return result;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Target {
    std::string label;
    bool wine = false;
    fs::path host, floor, standin;
    fs::path compare;  // empty when there is none

    fs::path root;      // the host's folder and the stand-in's run-while file
    fs::path data_dir;  // as the driver sees it
    std::vector<std::string> env;
};

// The host runs from a folder of its own with the stand-in beside it under
// the desktop application's name. Under wine the data directory is the
// prefix's LocalAppData one; host and floor find it themselves.
void prepare(Target& t) {
    const std::string exe = t.wine ? ".exe" : "";
    const std::string name = "nimbra-blob-bench-" + std::to_string(::getpid()) + "-" + t.label;
    t.root = t.wine ? bench::wine_prefix() / "drive_c" / name : fs::temp_directory_path() / name;
    const fs::path bin = t.root / "bin";
    fs::create_directories(bin);
    fs::copy_file(t.host, bin / ("nimbra-native-host" + exe));
    fs::copy_file(t.standin, bin / ("velisto-download-manager" + exe));
    const fs::path run_while = t.root / "standin.run";
    std::ofstream(run_while).put('\n');
    t.host = bin / ("nimbra-native-host" + exe);
    if (!t.compare.empty()) {
        // Beside the host, so that it starts the same stand-in.
        fs::copy_file(t.compare, bin / ("nimbra-compared-host" + exe));
        t.compare = bin / ("nimbra-compared-host" + exe);
    }
    if (t.wine) {
        t.data_dir = bench::wine_local_app_data() / "Velisto" / "Nimbra";
        t.env = {"NIMBRA_STANDIN_RUN_WHILE=" + bench::wine_path(run_while)};
    } else {
        t.data_dir = t.root / "data" / "Velisto" / "Nimbra";
        t.env = {"XDG_DATA_HOME=" + (t.root / "data").string(), "NIMBRA_STANDIN_RUN_WHILE=" + run_while.string()};
    }
    fs::create_directories(t.data_dir / "browser-transfers");
}

enum Program { kHost, kFloor, kFloorHeartbeat, kFloorTruncating, kFloorLookups, kFloorFresh, kCompared, kPrograms };
constexpr const char* kProgramNames[kPrograms] = {"host", "floor", "floor + heartbeats", "floor + truncating hb",
                                                  "floor + hb + lookups", "floor, fresh buffers", "compared host"};

std::vector<std::string> command(const Target& t, Program program) {
    switch (program) {
        case kHost: return bench::program_command(t.wine, t.host);
        case kFloor: return bench::program_command(t.wine, t.floor);
        case kFloorHeartbeat: return bench::program_command(t.wine, t.floor, {"--heartbeat"});
        case kFloorTruncating: return bench::program_command(t.wine, t.floor, {"--heartbeat", "--truncate"});
        case kFloorLookups: return bench::program_command(t.wine, t.floor, {"--heartbeat", "--lookups"});
        case kCompared: return bench::program_command(t.wine, t.compare);
        default: return bench::program_command(t.wine, t.floor, {"--fresh-buffers"});
    }
}

bool take_target(int& i, int argc, char** argv, std::vector<Target>& targets) {
    const bool wine = std::strcmp(argv[i], "--wine") == 0;
    if (!wine && std::strcmp(argv[i], "--native") != 0) return false;
    if (i + 4 >= argc) return false;
    Target t;
    t.wine = wine;
    t.label = argv[++i];
    t.host = fs::absolute(argv[++i]);
    t.floor = fs::absolute(argv[++i]);
    t.standin = fs::absolute(argv[++i]);
    if (i + 2 < argc && std::strcmp(argv[i + 1], "--compare") == 0) {
        t.compare = fs::absolute(argv[i + 2]);
        i += 2;
    }
    targets.push_back(std::move(t));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    std::vector<std::uint64_t> sizes;
    std::vector<Target> targets;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--sizes") == 0 && i + 1 < argc) {
            std::string list = argv[++i];
            for (std::size_t at = 0; at < list.size();) {
                std::size_t comma = std::min(list.find(',', at), list.size());
                sizes.push_back(std::stoull(list.substr(at, comma - at)));
                at = comma + 1;
            }
        } else if (!take_target(i, argc, argv, targets)) {
            targets.clear();
            break;
        }
    }
    if (targets.empty()) {
        std::fprintf(stderr,
                     "usage: %s [--runs N] [--sizes MiB,...] {--native|--wine} LABEL HOST FLOOR STANDIN [--compare HOST] ...\n",
                     argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    if (sizes.empty()) sizes = {64, 256};
    for (Target& t : targets) prepare(t);

    Workload work;
    std::mt19937_64 random(1);
    for (std::size_t p = 0; p < kPatterns; ++p) {
        std::string bytes(kChunkBytes, '\0');
        for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
        work.chunk_frames.push_back(chunk_request(bytes));
        work.patterns.push_back(std::move(bytes));
    }

    bool all_ok = true;
    std::printf("%-10s %5s  %-21s %8s %8s %9s %12s %12s %10s %9s %12s\n", "target", "MiB", "program", "MB/s", "median",
                "vs floor", "vs floor+hb", "vs trunc hb", "peak RSS", "vs floor", "blob_end ms");
    for (const Target& t : targets) {
        const int lock = t.wine ? -1 : bench::lock_desktop_app();
        const fs::path part = t.data_dir / "browser-transfers" / (std::string(kTransferId) + ".part");
        for (std::uint64_t mib : sizes) {
            const std::uint64_t total = mib * 1024 * 1024;
            const int programs = t.compare.empty() ? kCompared : kPrograms;
            std::vector<double> speed[kPrograms], rss[kPrograms], end_ms[kPrograms];
            // Interleaved, so that a slow patch of the machine hits every
            // program, and each run starts with the next program, so that
            // none always follows the clean-up of the last one's file.
            for (int r = 0; r < runs; ++r) {
                for (int k = 0; k < programs; ++k) {
                    const int p = (k + r) % programs;
                    const auto program = static_cast<Program>(p);
                    const bool host = program == kHost || program == kCompared;
                    Result result = stream(command(t, program), t.env, part, work, total, host);
                    all_ok = all_ok && result.ok;
                    speed[p].push_back(result.mb_per_s);
                    rss[p].push_back(result.rss_mib);
                    end_ms[p].push_back(result.end_ms);
                }
            }
            // Ratios compare runs of the same round, and the median of those
            // is what counts. Interference does not only slow a run down: a
            // core kept busy by something else wakes faster, which can
            // double wine's throughput, so the best run of a program is as
            // much a matter of chance as its worst.
            const auto ratio = [&](int p, int floor) {
                std::vector<double> each;
                for (int r = 0; r < runs; ++r) each.push_back(speed[p][r] / speed[floor][r]);
                return median(each);
            };
            const auto best = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
            const double floor_rss = best(rss[kFloor]);
            for (int p = 0; p < programs; ++p) {
                const double peak = best(rss[p]);
                char end_text[32] = "-";
                if (p == kHost || p == kCompared) std::snprintf(end_text, sizeof end_text, "%.0f", median(end_ms[p]));
                std::printf("%-10s %5llu  %-21s %8.0f %8.0f %9.2f %12.2f %12.2f %10.1f %9.2f %12s\n", t.label.c_str(),
                            static_cast<unsigned long long>(mib), kProgramNames[p], best(speed[p]), median(speed[p]),
                            ratio(p, kFloor), ratio(p, kFloorHeartbeat), ratio(p, kFloorTruncating), peak,
                            peak / floor_rss, end_text);
            }
            std::fflush(stdout);
        }
        // The stand-in ends once its file is gone; give it a moment.
        fs::remove(t.root / "standin.run");
        ::usleep(500000);
        if (lock >= 0) ::close(lock);
    }
    std::printf("MB/s: decoded bytes per second of the chunk phase, the best and the median of %d interleaved\n"
                "rounds; each ratio is the median over the rounds of the ratio within a round. Peak RSS\n"
                "(MiB): the largest VmHWM over the runs, of the program's own process (under wine the wine64\n"
                "process that runs the .exe: wine's loader, ntdll, heap and the libraries each program loads\n"
                "included, the wineserver not). Floors: plain; + heartbeats rewrites both heartbeat files per\n"
                "request in place; + truncating hb creates or truncates them instead; + lookups also finds the\n"
                "data directory afresh for each request, as the host does; fresh buffers takes new frame and\n"
                "decode buffers per request.\n",
                runs);
    std::error_code ignored;
    for (Target& t : targets) fs::remove_all(t.root, ignored);
    if (!all_ok) std::fprintf(stderr, "some runs failed; see above\n");
    return all_ok ? 0 : 1;
}
