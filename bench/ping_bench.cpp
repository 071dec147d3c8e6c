// Cold start to the first ping reply, and the warm ping round trip over one
// connection, for a host command beside the floor program, as medians.
// With --wine the three programs are the Windows build's, run under wine
// (WINEPREFIX set, its server kept running).
//
//   ping_bench [--wine] <host> <floor> [cold runs] [warm pings] [stand-in]
//
// With the stand-in desktop application it also times add_download and
// open_app against an application that is already running.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::Child;

std::string frame(const std::string& body) {
    std::string out(4, '\0');
    auto n = static_cast<std::uint32_t>(body.size());
    std::memcpy(out.data(), &n, 4);
    return out + body;
}

const std::string kPing = frame("{\"type\":\"ping\"}");
// A browser the host identifies updates the per-browser file as well.
const std::string kChromePing = frame("{\"type\":\"ping\",\"browser_id\":\"chrome\"}");

bool ping(const Child& child, const std::string& request = kPing) {
    if (::write(child.in, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return false;
    unsigned char header[4];
    if (!bench::read_exact(child.out, reinterpret_cast<char*>(header), 4)) return false;
    std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                           static_cast<std::uint32_t>(header[3]) << 24;
    std::string body(length, '\0');
    if (!bench::read_exact(child.out, body.data(), length)) return false;
    return true;
}

void stop(const Child& child) {
    ::close(child.in);
    ::close(child.out);
    int status;
    ::waitpid(child.pid, &status, 0);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double cold(const std::vector<std::string>& command, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        Child child = bench::start_child(command);
        if (!ping(child)) std::fprintf(stderr, "no reply from %s\n", command[0].c_str());
        times.push_back(micros(Clock::now() - t0));
        stop(child);
    }
    return median(times);
}

double warm(const std::vector<std::string>& command, int pings, const std::string& request = kPing) {
    Child child = bench::start_child(command);
    ping(child, request);
    std::vector<double> times;
    for (int i = 0; i < pings; ++i) {
        auto t0 = Clock::now();
        if (!ping(child, request)) std::fprintf(stderr, "no reply from %s\n", command[0].c_str());
        times.push_back(micros(Clock::now() - t0));
    }
    stop(child);
    return median(times);
}

}  // namespace

int main(int argc, char** argv) {
    const bool wine = argc > 1 && std::strcmp(argv[1], "--wine") == 0;
    if (wine) {
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s [--wine] <host> <floor> [cold runs] [warm pings] [stand-in]\n", argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const std::string host = argv[1];
    const std::string floor = argv[2];
    int runs = argc > 3 ? std::atoi(argv[3]) : 200;
    int pings = argc > 4 ? std::atoi(argv[4]) : 2000;

    // Natively the programs write their heartbeat files into a scratch data
    // directory; under wine into the prefix's.
    std::filesystem::path data = std::filesystem::temp_directory_path() / ("nimbra-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(wine ? bench::wine_local_app_data() / "Velisto" / "Nimbra"
                                             : data / "Velisto" / "Nimbra");
    if (!wine) ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    const auto command = [wine](const std::string& program, std::vector<std::string> args = {}) {
        return bench::program_command(wine, program, std::move(args));
    };

    double host_cold = cold(command(host), runs);
    double floor_cold = cold(command(floor), runs);
    double host_warm = warm(command(host), pings);
    double floor_warm = warm(command(floor), pings);
    double floor_hb_warm = warm(command(floor, {"--heartbeat"}), pings);
    double host_chrome_warm = warm(command(host), pings, kChromePing);

    std::printf("%-50s %12s %12s %8s\n", wine ? "Windows build under wine (median)" : "Linux build (median)", "host",
                "floor", "ratio");
    std::printf("%-50s %10.0f us %10.0f us %8.2f\n", "cold start to first ping reply", host_cold, floor_cold,
                host_cold / floor_cold);
    std::printf("%-50s %10.1f us %10.1f us %8.2f\n", "warm ping round trip", host_warm, floor_warm,
                host_warm / floor_warm);
    std::printf("%-50s %10.1f us %10.1f us %8.2f\n", "warm ping vs floor with two file rewrites", host_warm,
                floor_hb_warm, host_warm / floor_hb_warm);
    std::printf("%-50s %10.1f us %10.1f us %8.2f\n", "warm ping of an identified browser vs that floor",
                host_chrome_warm, floor_hb_warm, host_chrome_warm / floor_hb_warm);
    if (argc > 5) {
        // The stand-in watches the same data directory; it is running before
        // the first request, so the host never starts it.
        const int lock = wine ? -1 : bench::lock_desktop_app();
        Child app = bench::start_child(command(argv[5], {"--exit-after", "300"}));
        ::usleep(wine ? 1000000 : 300000);
        const std::string download =
            frame("{\"type\":\"add_download\",\"url\":\"https://example.invalid/f.zip\"}");
        const std::string open_app = frame("{\"type\":\"open_app\"}");
        double add = warm(command(host), 40, download);
        double open = warm(command(host), 200, open_app);
        std::printf("%-50s %10.0f us\n", "add_download round trip, application running", add);
        std::printf("%-50s %10.0f us\n", "open_app round trip, application running", open);
        ::kill(app.pid, SIGTERM);
        stop(app);
        if (lock >= 0) ::close(lock);
    }
    std::filesystem::remove_all(data);
    return 0;
}
