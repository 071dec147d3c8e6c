// Cold start to the first ping reply, and the warm ping round trip over one
// connection, for a host command beside the floor program, as medians. The
// floor's variants rewrite the two heartbeat files per request, in place or
// created-or-truncated; the host's pings are anonymous, of an identified
// browser (both files written in place, only a time stamp changing), and of
// one whose records change with every ping (both files replaced).
// With --wine the three programs are the Windows build's, run under wine
// (WINEPREFIX set, its server kept running).
//
//   ping_bench [--wine] [--compare <host>] <host> <floor> [cold runs] [warm pings] [stand-in]
//
// --compare measures a second host (an earlier build, say) in the same
// rounds and prints its rows after the first one's.
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

const std::string kPing = bench::frame("{\"type\":\"ping\"}");
// A browser the host identifies updates the per-browser file as well.
const std::string kChromePing = bench::frame("{\"type\":\"ping\",\"browser_id\":\"chrome\"}");
// Pings whose records differ in more than the time stamp, taken in turns:
// the host replaces both files for each instead of writing them in place.
const std::vector<std::string> kChangingPings = {
    bench::frame("{\"type\":\"ping\",\"browser_id\":\"chrome\",\"extension_version\":\"3.0.1\"}"),
    bench::frame("{\"type\":\"ping\",\"browser_id\":\"chrome\",\"extension_version\":\"3.0.2\"}")};

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

using Command = std::vector<std::string>;

// Cold start to the first reply, for each command in turn, `runs` times: a
// busy moment of the machine hits every command alike. Medians.
std::vector<double> cold(const std::vector<Command>& commands, int runs) {
    std::vector<std::vector<double>> times(commands.size());
    for (int i = 0; i < runs; ++i) {
        for (std::size_t c = 0; c < commands.size(); ++c) {
            auto t0 = Clock::now();
            Child child = bench::start_child(commands[c]);
            if (!ping(child)) std::fprintf(stderr, "no reply from %s\n", commands[c].back().c_str());
            times[c].push_back(micros(Clock::now() - t0));
            stop(child);
        }
    }
    std::vector<double> medians;
    for (auto& t : times) medians.push_back(median(t));
    return medians;
}

struct Warm {
    Command command;
    // Sent in turns.
    std::vector<std::string> requests;
};

// Round trips over one connection per program. All programs run at once and
// take their pings in turns of ten, so a busy moment hits each alike. Medians.
std::vector<double> warm(const std::vector<Warm>& programs, int pings) {
    std::vector<Child> children;
    for (const Warm& program : programs) {
        children.push_back(bench::start_child(program.command));
        ping(children.back(), program.requests.back());
    }
    std::vector<std::vector<double>> times(programs.size());
    constexpr int kTurn = 10;
    for (int done = 0; done < pings; done += kTurn) {
        for (std::size_t p = 0; p < programs.size(); ++p) {
            for (int i = 0; i < kTurn; ++i) {
                const std::vector<std::string>& requests = programs[p].requests;
                auto t0 = Clock::now();
                if (!ping(children[p], requests[static_cast<std::size_t>(done + i) % requests.size()])) {
                    std::fprintf(stderr, "no reply from %s\n", programs[p].command.back().c_str());
                }
                times[p].push_back(micros(Clock::now() - t0));
            }
        }
    }
    std::vector<double> medians;
    for (std::size_t p = 0; p < programs.size(); ++p) {
        stop(children[p]);
        medians.push_back(median(times[p]));
    }
    return medians;
}

}  // namespace

int main(int argc, char** argv) {
    bool wine = false;
    std::string compare;  // a second host, measured in the same rounds
    for (;;) {
        if (argc > 1 && std::strcmp(argv[1], "--wine") == 0) {
            wine = true;
        } else if (argc > 2 && std::strcmp(argv[1], "--compare") == 0) {
            compare = argv[2];
            --argc;
            ++argv;
        } else {
            break;
        }
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s [--wine] [--compare <host>] <host> <floor> [cold runs] [warm pings] [stand-in]\n",
                     argv[0]);
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

    std::vector<Command> cold_commands = {command(host), command(floor)};
    // The floors first, then each host's three kinds of ping.
    std::vector<Warm> warm_programs = {{command(floor), {kPing}},
                                       {command(floor, {"--heartbeat"}), {kPing}},
                                       {command(floor, {"--heartbeat-truncate"}), {kPing}}};
    for (const std::string& measured : compare.empty() ? std::vector<std::string>{host} : std::vector<std::string>{host, compare}) {
        if (measured == compare) cold_commands.push_back(command(compare));
        warm_programs.push_back({command(measured), {kPing}});
        warm_programs.push_back({command(measured), {kChromePing}});
        warm_programs.push_back({command(measured), kChangingPings});
    }
    const std::vector<double> cold_us = cold(cold_commands, runs);
    const std::vector<double> warm_us = warm(warm_programs, pings);

    const double floor_us = warm_us[0], in_place_floor_us = warm_us[1], truncating_floor_us = warm_us[2];
    const auto row = [](const std::string& what, double host_us, double floor, const char* format) {
        std::printf(format, what.c_str(), host_us, floor, host_us / floor);
    };
    const auto rows = [&](const char* which, double cold_host, std::size_t first) {
        const double plain = warm_us[first], chrome = warm_us[first + 1], changing = warm_us[first + 2];
        const char* whole = "%-66s %10.0f us %10.0f us %8.2f\n";
        const char* tenths = "%-66s %10.1f us %10.1f us %8.2f\n";
        row(std::string("cold start to first ping reply") + which, cold_host, cold_us[1], whole);
        row(std::string("warm ping round trip") + which, plain, floor_us, tenths);
        row(std::string("warm ping vs floor rewriting two files in place") + which, plain, in_place_floor_us, tenths);
        row(std::string("  identified browser, vs that floor") + which, chrome, in_place_floor_us, tenths);
        row(std::string("warm ping vs floor creating-or-truncating two files") + which, plain, truncating_floor_us, tenths);
        row(std::string("  identified browser, vs that floor") + which, chrome, truncating_floor_us, tenths);
        row(std::string("  identified browser, both files replaced, vs that floor") + which, changing,
            truncating_floor_us, tenths);
    };
    std::printf("%-66s %12s %12s %8s\n", wine ? "Windows build under wine (median)" : "Linux build (median)", "host",
                "floor", "ratio");
    rows("", cold_us[0], 3);
    if (!compare.empty()) rows(" (compared)", cold_us[2], 6);
    if (argc > 5) {
        // The stand-in watches the same data directory; it is running before
        // the first request, so the host never starts it.
        const int lock = wine ? -1 : bench::lock_desktop_app();
        Child app = bench::start_child(command(argv[5], {"--exit-after", "300"}));
        ::usleep(wine ? 1000000 : 300000);
        const std::string download =
            bench::frame("{\"type\":\"add_download\",\"url\":\"https://example.invalid/f.zip\"}");
        const std::string open_app = bench::frame("{\"type\":\"open_app\"}");
        double add = warm({{command(host), {download}}}, 40)[0];
        double open = warm({{command(host), {open_app}}}, 200)[0];
        std::printf("%-60s %10.0f us\n", "add_download round trip, application running", add);
        std::printf("%-60s %10.0f us\n", "open_app round trip, application running", open);
        ::kill(app.pid, SIGTERM);
        stop(app);
        if (lock >= 0) ::close(lock);
    }
    std::filesystem::remove_all(data);
    return 0;
}
