// standin: a stand-in for the Velisto Download Manager desktop application,
// for tests and demonstrations. It is not the real application: it downloads
// and imports nothing. It only plays the application's part of the file
// exchange in the data directory, so the host can be seen working end to end.
//
// The host starts it without arguments, so every option can also come from
// the environment, which the started program inherits from the host.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "bridge/data_dir.h"
#include "host/json.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using nimbra::host::Json;
using nimbra::platform::Path;

constexpr std::string_view kUsage =
    "usage: standin [--data-dir DIR] [--silent] [--exit-after SECONDS]\n"
    "               [--run-while FILE] [--record DIR]\n"
    "\n"
    "A stand-in for the Velisto Download Manager desktop application, for tests\n"
    "and demonstrations. It is NOT the real application: it downloads nothing\n"
    "and imports nothing.\n"
    "\n"
    "It watches the host's data directory: it takes each job from inbox, removes\n"
    "it, and answers it in inbox-results under the same name ({\"ok\":true} for a\n"
    "download; {\"bytes\":N,\"ok\":true} for a browser file, which it leaves at\n"
    "temp_path; {\"error\":...,\"ok\":false} for a job it cannot take). It removes\n"
    "the wake flag when it sees it. It runs until it is killed, unless an option\n"
    "below ends it.\n"
    "\n"
    "Options (each also read from the environment variable named after it, for\n"
    "a stand-in that the host starts without arguments):\n"
    "  --data-dir DIR        NIMBRA_STANDIN_DATA_DIR    watch DIR instead of the\n"
    "                                                   data directory the host uses\n"
    "  --silent              NIMBRA_STANDIN_SILENT=1    never answer nor remove a job\n"
    "  --exit-after SECONDS  NIMBRA_STANDIN_EXIT_AFTER  end after this many seconds\n"
    "  --run-while FILE      NIMBRA_STANDIN_RUN_WHILE   end once FILE does not exist\n"
    "  --record DIR          NIMBRA_STANDIN_RECORD      log what it does to\n"
    "                                                   DIR/standin-<pid>.log\n"
    "  --help                show this text\n";

// How long a job may stay unparseable (the host may still be writing it)
// before it is answered as unreadable.
constexpr auto kUnreadableGrace = std::chrono::seconds(2);
constexpr auto kRound = std::chrono::milliseconds(20);

struct Options {
    std::optional<Path> data_dir;
    bool silent = false;
    std::optional<double> exit_after;
    std::optional<Path> run_while;
    std::optional<Path> record;
};

std::optional<std::string> env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::optional<double> seconds_from(const std::string& text) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(value >= 0)) return std::nullopt;
    return value;
}

// nullopt after printing the reason when the options are unusable.
std::optional<Options> parse_options(int argc, char** argv, int& exit_code) {
    Options options;
    if (auto dir = env("NIMBRA_STANDIN_DATA_DIR")) options.data_dir = Path(*dir);
    options.silent = env("NIMBRA_STANDIN_SILENT") == "1";
    if (auto seconds = env("NIMBRA_STANDIN_EXIT_AFTER")) options.exit_after = seconds_from(*seconds);
    if (auto file = env("NIMBRA_STANDIN_RUN_WHILE")) options.run_while = Path(*file);
    if (auto dir = env("NIMBRA_STANDIN_RECORD")) options.record = Path(*dir);

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            exit_code = 0;
            return std::nullopt;
        } else if (arg == "--silent") {
            options.silent = true;
        } else if (arg == "--data-dir" && has_value) {
            options.data_dir = Path(argv[++i]);
        } else if (arg == "--run-while" && has_value) {
            options.run_while = Path(argv[++i]);
        } else if (arg == "--record" && has_value) {
            options.record = Path(argv[++i]);
        } else if (arg == "--exit-after" && has_value) {
            options.exit_after = seconds_from(argv[++i]);
            if (!options.exit_after) {
                std::cerr << "standin: --exit-after needs a number of seconds\n";
                exit_code = 2;
                return std::nullopt;
            }
        } else {
            std::cerr << "standin: unknown option or missing value: " << arg << "\n\n" << kUsage;
            exit_code = 2;
            return std::nullopt;
        }
    }
    return options;
}

class Recorder {
public:
    explicit Recorder(const std::optional<Path>& folder, std::uint32_t pid) {
        if (!folder) return;
        std::error_code ignored;
        fs::create_directories(*folder, ignored);
        out_.open(*folder / ("standin-" + std::to_string(pid) + ".log"), std::ios::app);
    }
    void line(const std::string& text) {
        if (!out_) return;
        out_ << text << '\n';
        out_.flush();
    }

private:
    std::ofstream out_;
};

bool present(const Path& path) { return static_cast<bool>(nimbra::platform::file_info(path)); }

// The result appears whole under its final name: the host reads it the moment
// it exists.
bool publish(const Path& results, const std::string& name, const Json& answer) {
    if (!nimbra::platform::create_directories(results)) return false;
    const Path partial = nimbra::platform::join(results, name + ".partial");
    if (!nimbra::platform::write_file_or_remove(partial, nimbra::host::to_compact_json(answer))) return false;
    std::error_code error;
    fs::rename(partial, nimbra::platform::join(results, name), error);
    if (error) static_cast<void>(nimbra::platform::remove_file(partial));
    return !error;
}

Json answer_to(const Json& job) {
    const std::string* type = nimbra::host::string_member(job, "type");
    if (type != nullptr && *type == "add_download") return Json{{"ok", true}};
    if (type != nullptr && *type == "import_browser_file") {
        const std::string* temp_path = nimbra::host::string_member(job, "temp_path");
        if (temp_path == nullptr) return Json{{"error", "the job has no temp_path"}, {"ok", false}};
        // The job's text is UTF-8 whatever this system's narrow encoding is.
        const std::u8string utf8(temp_path->begin(), temp_path->end());
        auto info = nimbra::platform::file_info(Path(utf8));
        if (!info || info->is_directory) {
            return Json{{"error", "the browser file is not there"}, {"ok", false}};
        }
        return Json{{"bytes", info->size}, {"ok", true}};
    }
    return Json{{"error", "unsupported job"}, {"ok", false}};
}

class StandIn {
public:
    StandIn(Options options, Path data_dir, Recorder& recorder)
        : options_(std::move(options)),
          inbox_(nimbra::platform::join(data_dir, "inbox")),
          results_(nimbra::platform::join(data_dir, "inbox-results")),
          wake_flag_(nimbra::platform::join(data_dir, nimbra::bridge::kWakeFlagFile)),
          recorder_(recorder) {}

    void run() {
        const auto started = std::chrono::steady_clock::now();
        for (;;) {
            if (options_.run_while && !present(*options_.run_while)) break;
            if (options_.exit_after &&
                std::chrono::steady_clock::now() - started >=
                    std::chrono::duration<double>(*options_.exit_after)) {
                break;
            }
            notice_wake_flag();
            take_jobs();
            std::this_thread::sleep_for(kRound);
        }
    }

private:
    void notice_wake_flag() {
        if (!present(wake_flag_)) return;
        // A real application would bring its window to the front here.
        static_cast<void>(nimbra::platform::remove_file(wake_flag_));
        recorder_.line("wake");
    }

    void take_jobs() {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(inbox_, error)) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() != ".json" || done_.count(name) != 0) continue;
            take(name);
        }
    }

    void take(const std::string& name) {
        const Path job_path = nimbra::platform::join(inbox_, name);
        auto bytes = nimbra::platform::read_file(job_path);
        if (!bytes) return;  // gone meanwhile, or held open by its writer
        nimbra::host::JsonParse parsed = nimbra::host::parse_json(*bytes);
        const std::string* type = parsed.value ? nimbra::host::string_member(*parsed.value, "type") : nullptr;
        if (options_.silent) {
            done_[name] = true;
            recorder_.line("job " + name + " type=" + (type ? *type : "?") + " silent");
            return;
        }
        Json answer;
        if (parsed.value) {
            answer = answer_to(*parsed.value);
        } else {
            // The host writes a job in place; give it time to finish.
            auto first = first_unreadable_.try_emplace(name, std::chrono::steady_clock::now()).first;
            if (std::chrono::steady_clock::now() - first->second < kUnreadableGrace) return;
            answer = Json{{"error", "unreadable job"}, {"ok", false}};
        }
        // The job is gone before the answer exists, so whoever reads the
        // answer finds the inbox already tidied up.
        static_cast<void>(nimbra::platform::remove_file(job_path));
        const bool published = publish(results_, name, answer);
        done_[name] = true;
        recorder_.line("job " + name + " type=" + (type ? *type : "?") + " " +
                       (published ? nimbra::host::to_compact_json(answer) : std::string("not answered")));
    }

    Options options_;
    Path inbox_;
    Path results_;
    Path wake_flag_;
    Recorder& recorder_;
    std::map<std::string, bool> done_;
    std::map<std::string, std::chrono::steady_clock::time_point> first_unreadable_;
};

std::string flag_state(const Path& flag) {
    auto content = nimbra::platform::read_file(flag);
    if (!content) return "none";
    return *content == "focus\n" ? "focus" : "other";
}

}  // namespace

int main(int argc, char** argv) {
    int exit_code = 0;
    std::optional<Options> options = parse_options(argc, argv, exit_code);
    if (!options) return exit_code;

    nimbra::platform::System& system = nimbra::platform::real_system();
    std::optional<Path> data_dir = options->data_dir;
    if (!data_dir) data_dir = nimbra::bridge::local_data_dir(system);
    if (!data_dir) {
        std::cerr << "standin: " << nimbra::bridge::kNoDataDirMessage << "\n";
        return 1;
    }

    Recorder recorder(options->record, system.current_process_id());
    // First thing, so a test can tell what the host had left when it started us.
    recorder.line("start pid=" + std::to_string(system.current_process_id()) + " flag=" +
                  flag_state(nimbra::platform::join(*data_dir, nimbra::bridge::kWakeFlagFile)) +
                  (options->silent ? " silent" : ""));
    StandIn(*options, *data_dir, recorder).run();
    recorder.line("exit");
    return 0;
}
