// Browser blob transfer throughput: a driver streams a file through a host in
// 900,000-character chunks, one request at a time as the extension does, and
// measures the decoded bytes per second of the chunk phase and the host's
// peak resident set. The floor program (blob-floor) runs the same stream in
// the same run. The host's transfer ends in an import that the stand-in
// desktop application, started by the host from its own folder, confirms.
//
//   blob-bench <host> <floor> <standin> [MiB ...] [--runs N]
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

std::string encode(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0U);
        for (std::size_t k = 0; k < 4; ++k) out.push_back(k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=');
    }
    return out;
}

std::string frame(std::string_view body) {
    std::string out(4, '\0');
    auto n = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
    out.append(body);
    return out;
}

std::string request(std::string_view type, std::string_view rest = {}) {
    // browser_id makes the host keep both heartbeat files, as the floor does.
    return frame("{\"browser_id\":\"chrome\",\"transfer_id\":\"" + std::string(kTransferId) + "\",\"type\":\"" +
                 std::string(type) + "\"" + std::string(rest) + "}");
}

std::string chunk_request(std::string_view bytes) {
    return request("blob_chunk", ",\"data_base64\":\"" + encode(bytes) + "\"");
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

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            positional.emplace_back(argv[i]);
        }
    }
    if (positional.size() < 3) {
        std::fprintf(stderr, "usage: %s <host> <floor> <standin> [MiB ...] [--runs N]\n", argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::uint64_t> sizes;
    for (std::size_t i = 3; i < positional.size(); ++i) sizes.push_back(std::stoull(positional[i]));
    if (sizes.empty()) sizes = {64, 256};

    // The host runs from a folder of its own with the stand-in beside it
    // under the desktop application's name.
    const fs::path root = fs::temp_directory_path() / ("nimbra-blob-bench-" + std::to_string(::getpid()));
    const fs::path bin = root / "bin";
    const fs::path data_home = root / "data";
    const fs::path data_dir = data_home / "Velisto" / "Nimbra";
    fs::create_directories(bin);
    fs::create_directories(data_dir / "browser-transfers");
    fs::copy_file(positional[0], bin / "nimbra-native-host");
    fs::copy_file(positional[2], bin / "velisto-download-manager");
    const fs::path run_while = root / "standin.run";
    std::ofstream(run_while).put('\n');
    const std::vector<std::string> env = {"XDG_DATA_HOME=" + data_home.string(),
                                          "NIMBRA_STANDIN_RUN_WHILE=" + run_while.string()};
    const std::vector<std::string> host = {(bin / "nimbra-native-host").string()};
    const std::vector<std::string> floor = {positional[1], data_dir.string()};
    const fs::path part = data_dir / "browser-transfers" / (std::string(kTransferId) + ".part");

    Workload work;
    std::mt19937_64 random(1);
    for (std::size_t p = 0; p < kPatterns; ++p) {
        std::string bytes(kChunkBytes, '\0');
        for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
        work.chunk_frames.push_back(chunk_request(bytes));
        work.patterns.push_back(std::move(bytes));
    }

    bool all_ok = true;
    std::printf("%-8s %-7s %14s %14s %12s %14s\n", "MiB", "program", "decoded MB/s", "peak RSS MiB",
                "vs floor", "blob_end ms");
    for (std::uint64_t mib : sizes) {
        const std::uint64_t total = mib * 1024 * 1024;
        std::vector<double> host_speed, floor_speed, host_rss, floor_rss, host_end;
        for (int r = 0; r < runs; ++r) {
            Result h = stream(host, env, part, work, total, true);
            Result f = stream(floor, env, part, work, total, false);
            all_ok = all_ok && h.ok && f.ok;
            host_speed.push_back(h.mb_per_s);
            floor_speed.push_back(f.mb_per_s);
            host_rss.push_back(h.rss_mib);
            floor_rss.push_back(f.rss_mib);
            host_end.push_back(h.end_ms);
        }
        const double hs = median(host_speed);
        const double fs_ = median(floor_speed);
        std::printf("%-8llu %-7s %14.0f %14.1f %12.2f %14.0f\n", static_cast<unsigned long long>(mib), "host", hs,
                    *std::max_element(host_rss.begin(), host_rss.end()), hs / fs_, median(host_end));
        std::printf("%-8llu %-7s %14.0f %14.1f %12s %14s\n", static_cast<unsigned long long>(mib), "floor", fs_,
                    *std::max_element(floor_rss.begin(), floor_rss.end()), "1.00", "-");
    }
    fs::remove(run_while);
    std::error_code ignored;
    // Give the stand-in a moment to notice and end before its folder goes.
    ::usleep(200000);
    fs::remove_all(root, ignored);
    if (!all_ok) std::fprintf(stderr, "some runs failed; see above\n");
    return all_ok ? 0 : 1;
}
