// What the benchmark drivers share: exact reads, a child process with pipes
// on its standard input and output, and how a Windows program under wine
// is started and names the files the driver sees.
#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// A native messaging frame: the 4-byte little-endian length, then the body.
inline std::string frame(std::string_view body) {
    std::string out(4, '\0');
    const auto n = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
    out.append(body);
    return out;
}

// Plain base64 with padding, as the extension sends chunks.
inline std::string encode_base64(std::string_view bytes) {
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

// False when the input ends before `n` bytes have arrived.
inline bool read_exact(int fd, char* out, std::size_t n) {
    while (n > 0) {
        ssize_t got = ::read(fd, out, n);
        if (got <= 0) return false;
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

struct Child {
    pid_t pid = -1;
    int in = -1;   // the child's standard input
    int out = -1;  // the child's standard output
};

// Starts `command` (a program found on PATH when not a path) with `env` entries added.
inline Child start_child(const std::vector<std::string>& command, const std::vector<std::string>& env = {}) {
    int to[2], from[2];
    // Close-on-exec, so that no child holds a pipe of another and keeps it open.
    if (::pipe2(to, O_CLOEXEC) != 0 || ::pipe2(from, O_CLOEXEC) != 0) std::exit(1);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(to[0], 0);
        ::dup2(from[1], 1);
        ::close(to[0]);
        ::close(to[1]);
        ::close(from[0]);
        ::close(from[1]);
        for (const std::string& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv;
        for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(to[0]);
    ::close(from[1]);
    return {pid, to[1], from[0]};
}

// Natively the host judges whether the desktop application runs from the
// whole machine's process table, so while a native stand-in may live nothing
// else may run one: this takes the lock the host-level tests take, until the
// descriptor it returns is closed.
inline int lock_desktop_app() {
    const int fd = ::open("/tmp/nimbra-desktop-app-tests.native.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) std::exit(1);
    return fd;
}

// The wine prefix of the run (WINEPREFIX, else ~/.wine); its server should be
// kept running (wineserver -p), or every start costs seconds.
inline std::filesystem::path wine_prefix() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix != nullptr && *prefix != '\0') return prefix;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "/root") / ".wine";
}

// The folder a Windows program under wine knows as %LOCALAPPDATA%.
inline std::filesystem::path wine_local_app_data() {
    const char* user = std::getenv("USER");
    std::string name = user != nullptr && *user != '\0' ? user : "";
    if (name.empty()) {
        const passwd* entry = ::getpwuid(::getuid());
        name = entry != nullptr ? entry->pw_name : "root";
    }
    return wine_prefix() / "drive_c" / "users" / name / "AppData" / "Local";
}

// How a program under wine names `path`: on C: inside the prefix, else on Z:.
inline std::string wine_path(const std::filesystem::path& path) {
    const std::string drive_c = (wine_prefix() / "drive_c").string();
    const std::string text = std::filesystem::absolute(path).string();
    std::string windows = text.rfind(drive_c + "/", 0) == 0 ? "C:" + text.substr(drive_c.size()) : "Z:" + text;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

// The command line that starts `program`, through wine for a Windows one.
inline std::vector<std::string> program_command(bool wine, const std::filesystem::path& program,
                                                std::vector<std::string> args = {}) {
    std::vector<std::string> command;
    if (wine) command.emplace_back("wine");
    command.push_back(std::filesystem::absolute(program).string());
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

}  // namespace bench
