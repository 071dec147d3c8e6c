#include "host/host_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace nimbra::hosttest {

namespace {

std::string env_or(const char* name, const std::string& fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : fallback;
}

std::string user_name() {
    std::string user = env_or("USER");
    if (!user.empty()) return user;
    if (passwd* entry = ::getpwuid(::getuid())) return entry->pw_name;
    return "root";
}

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string frame(std::string_view body) {
    auto n = static_cast<std::uint32_t>(body.size());
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    out.append(body);
    return out;
}

std::vector<std::string> split_frames(std::string_view output, std::string* rest) {
    std::vector<std::string> frames;
    while (output.size() >= 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(output[static_cast<std::size_t>(i)]);
        if (output.size() - 4 < n) break;
        frames.emplace_back(output.substr(4, n));
        output.remove_prefix(4 + n);
    }
    if (rest != nullptr) *rest = std::string(output);
    return frames;
}

Target& Target::get() {
    static Target target;
    return target;
}

Target::Target() {
    wine_ = env_or("NIMBRA_HOST_TARGET") == "wine";
    host_exe_ = env_or("NIMBRA_HOST_EXE", wine_ ? NIMBRA_WINDOWS_HOST_EXE : NIMBRA_NATIVE_HOST_EXE);
    tools_dir_ = env_or("NIMBRA_TOOLS_DIR", wine_ ? NIMBRA_WINDOWS_TOOLS_DIR : NIMBRA_NATIVE_TOOLS_DIR);
    if (wine_) {
        ::setenv("WINEDEBUG", "-all", 0);
        std::string prefix = env_or("WINEPREFIX", env_or("HOME") + "/.wine");
        fs::path drive = fs::path(prefix) / "drive_c";
        app_data_ = drive / "users" / user_name() / "AppData" / "Local";
        scratch_ = drive / "nimbra-scratch";
    } else {
        fs::path base = fs::temp_directory_path() / ("nimbra-host-tests-" + std::to_string(::getpid()));
        app_data_ = base / "data";
        scratch_ = base / "scratch";
    }
    reset();
}

fs::path Target::tool(const std::string& name) const { return tools_dir_ / (name + exe_suffix()); }

void Target::reset() {
    std::error_code ignored;
    fs::remove_all(app_data_ / "Velisto", ignored);
    fs::remove_all(scratch_, ignored);
    fs::create_directories(app_data_);
    fs::create_directories(scratch_);
}

std::vector<std::string> Target::command(const fs::path& program,
                                         const std::vector<std::string>& args) const {
    std::vector<std::string> command;
    if (wine_) command.push_back("wine");
    command.push_back(program.string());
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

Process::Process(const std::vector<std::string>& command, const std::vector<std::string>& extra_env) {
    int to_child[2];
    int from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> env_storage = extra_env;
    if (!Target::get().wine()) env_storage.push_back("XDG_DATA_HOME=" + Target::get().app_data().string());
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(to_child[0], 0);
        ::dup2(from_child[1], 1);
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, 2);
        ::signal(SIGPIPE, SIG_DFL);
        for (const std::string& entry : env_storage) ::putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv;
        for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    in_ = to_child[1];
    out_ = from_child[0];
}

Process::~Process() {
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
}

void Process::send(std::string_view bytes) {
    std::signal(SIGPIPE, SIG_IGN);
    while (!bytes.empty()) {
        ssize_t n = ::write(in_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // the host has gone; what it wrote is still readable
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Process::close_input() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

bool Process::fill(double timeout_seconds) {
    if (eof_) return false;
    pollfd fd{out_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(timeout_seconds * 1000));
    if (ready <= 0) return false;
    char chunk[65536];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    pending_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> Process::read_reply(double timeout_seconds) {
    double deadline = now_seconds() + timeout_seconds;
    for (;;) {
        std::string rest;
        std::vector<std::string> frames = split_frames(pending_, &rest);
        if (!frames.empty()) {
            std::string first = frames.front();
            pending_.erase(0, 4 + first.size());
            return first;
        }
        double left = deadline - now_seconds();
        if (left <= 0 || eof_) return std::nullopt;
        fill(std::min(left, 0.5));
    }
}

Finished Process::finish(double timeout_seconds) {
    close_input();
    Finished result;
    double deadline = now_seconds() + timeout_seconds;
    int status = 0;
    bool exited = false;
    // Wait for the process rather than for the end of its output: a program
    // it started may hold the pipe open (wine hands its descriptors on).
    while (!exited) {
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited = true;
            break;
        }
        if (now_seconds() > deadline) {
            result.timed_out = true;
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        fill(0.05);
    }
    pid_ = -1;
    while (fill(0.05)) {
    }
    result.output = pending_;
    pending_.clear();
    if (exited && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

Finished run_host(std::string_view input, double timeout_seconds) {
    const Target& target = Target::get();
    Process host(target.command(target.host_exe()));
    host.send(input);
    return host.finish(timeout_seconds);
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_text(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace nimbra::hosttest
