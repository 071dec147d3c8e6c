// Processes, clock, folder lookup, spawning and random bytes on POSIX (Linux).
#include "platform/platform.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/random.h>
#include <unistd.h>

extern char** environ;

namespace nimbra::platform {

namespace {

constexpr std::string_view kAppProcessNames[] = {"velisto-download-manager",
                                                 "velisto download manager"};
constexpr std::string_view kAppCandidates[] = {"velisto-download-manager",
                                               "Velisto Download Manager"};
// Vivaldi's Linux binary carries a suffix that no Windows build has.
constexpr std::pair<std::string_view, std::string_view> kExtraBrowsers[] = {
    {"vivaldi-bin", "vivaldi"}};

// Reads a small /proc file whole; empty on any failure.
std::string read_small(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string content;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(chunk, static_cast<std::size_t>(n));
        if (content.size() > (1u << 20)) break;  // /proc files are small; never loop on a huge one
    }
    ::close(fd);
    return content;
}

std::string file_name_of(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The name a process runs under: its executable's file name (without the
// marker the kernel adds when the file was replaced), else argv[0]'s file
// name, else the kernel's 15-byte comm.
std::string process_name(const std::string& dir) {
    std::array<char, 4096> target;  // readlink fills what it returns; no need to clear
    ssize_t n = ::readlink((dir + "/exe").c_str(), target.data(), target.size() - 1);
    if (n > 0) {
        std::string_view link(target.data(), static_cast<std::size_t>(n));
        constexpr std::string_view kDeleted = " (deleted)";
        if (link.size() > kDeleted.size() && link.substr(link.size() - kDeleted.size()) == kDeleted) {
            link.remove_suffix(kDeleted.size());
        }
        std::string name = file_name_of(link);
        if (!name.empty()) return name;
    }
    std::string cmdline = read_small(dir + "/cmdline");
    std::string argv0 = file_name_of(std::string_view(cmdline.c_str()));
    if (!argv0.empty()) return argv0;
    std::string comm = read_small(dir + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return comm;
}

// The parent id is the fourth field of stat, after the process name, which
// may itself hold spaces and parentheses: so look after the last ')'.
std::optional<std::uint32_t> parent_of(const std::string& dir) {
    std::string stat = read_small(dir + "/stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    const char* p = stat.c_str() + close + 1;
    while (*p == ' ') ++p;
    if (*p == '\0') return std::nullopt;
    ++p;  // state letter
    char* end = nullptr;
    unsigned long parent = std::strtoul(p, &end, 10);
    if (end == p) return std::nullopt;
    return static_cast<std::uint32_t>(parent);
}

std::optional<Path> absolute_env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return Path(value);
}

class PosixSystem final : public System {
public:
    std::optional<std::vector<ProcessEntry>> snapshot_processes() override {
        DIR* proc = ::opendir("/proc");
        if (proc == nullptr) return std::nullopt;
        std::vector<ProcessEntry> entries;
        while (dirent* entry = ::readdir(proc)) {
            char* end = nullptr;
            unsigned long pid = std::strtoul(entry->d_name, &end, 10);
            if (end == entry->d_name || *end != '\0') continue;
            std::string dir = std::string("/proc/") + entry->d_name;
            std::optional<std::uint32_t> parent = parent_of(dir);
            if (!parent) continue;  // gone meanwhile
            entries.push_back({static_cast<std::uint32_t>(pid), *parent, process_name(dir)});
        }
        ::closedir(proc);
        return entries;
    }

    std::optional<std::vector<ProcessEntry>> snapshot_ancestry() override {
        // Walking up from this process reads a handful of /proc entries
        // instead of every process on the machine; the walk sees the same
        // chain either way. It stops where a full walk would stop too.
        std::vector<ProcessEntry> chain;
        std::uint32_t pid = static_cast<std::uint32_t>(::getpid());
        for (int depth = 0; depth < 64; ++depth) {
            std::string dir = "/proc/" + std::to_string(pid);
            std::optional<std::uint32_t> parent = parent_of(dir);
            if (!parent) break;
            chain.push_back({pid, *parent, process_name(dir)});
            if (*parent == 0 || *parent == pid) break;
            pid = *parent;
        }
        if (chain.empty()) return std::nullopt;
        return chain;
    }

    std::uint32_t current_process_id() override { return static_cast<std::uint32_t>(::getpid()); }

    bool is_own_process(std::uint32_t pid) override {
        // The real user id, the first of the Uid: line. Not the owner of
        // /proc/<pid>: that is root for a process that is not dumpable (one
        // that changed its ids, say), whoever runs it.
        const std::string status = read_small("/proc/" + std::to_string(pid) + "/status");
        const std::size_t line = status.find("\nUid:");
        if (line == std::string::npos) return false;
        const char* p = status.c_str() + line + 5;
        char* end = nullptr;
        const unsigned long uid = std::strtoul(p, &end, 10);
        return end != p && uid == ::getuid();
    }

    std::optional<Path> local_app_data() override {
        if (auto xdg = absolute_env("XDG_DATA_HOME")) return xdg;
        if (auto home = absolute_env("HOME")) return join(join(*home, ".local"), "share");
        return std::nullopt;
    }

    std::optional<Path> own_executable() override {
        std::array<char, 4096> target;  // readlink fills what it returns; no need to clear
        ssize_t n = ::readlink("/proc/self/exe", target.data(), target.size() - 1);
        if (n <= 0) return std::nullopt;
        return Path(std::string(target.data(), static_cast<std::size_t>(n)));
    }

    Status start_program(const Path& program) override {
        // The host never waits for what it starts; let the kernel reap it so
        // no zombie lingers for the life of the connection.
        std::signal(SIGCHLD, SIG_IGN);

        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        // The browser's pipes are the host's own: the application gets
        // /dev/null instead, and a session of its own so that it survives
        // the browser ending the host's process group.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGCHLD);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t no_mask;
        sigemptyset(&no_mask);
        posix_spawnattr_setsigmask(&attributes, &no_mask);
        posix_spawnattr_setflags(&attributes,
                                 POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

        std::string path = program.native();
        char* argv[] = {path.data(), nullptr};
        pid_t child = 0;
        int error = ::posix_spawn(&child, path.c_str(), &actions, &attributes, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (error != 0) return OsError{static_cast<std::uint32_t>(error)};
        return Status::success();
    }

    std::uint64_t now_file_time() override {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return file_time_from_unix(ts.tv_sec, ts.tv_nsec);
    }

    void sleep_ms(std::uint32_t milliseconds) override {
        timespec remaining{static_cast<time_t>(milliseconds / 1000),
                           static_cast<long>(milliseconds % 1000) * 1000000L};
        while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
        }
    }

    Status random_bytes(std::span<std::uint8_t> buffer) override {
        std::size_t filled = 0;
        while (filled < buffer.size()) {
            ssize_t n = ::getrandom(buffer.data() + filled, buffer.size() - filled, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                return OsError{static_cast<std::uint32_t>(errno)};
            }
            filled += static_cast<std::size_t>(n);
        }
        return Status::success();
    }
};

}  // namespace

std::span<const std::string_view> desktop_app_process_names() { return kAppProcessNames; }
std::span<const std::string_view> desktop_app_candidates() { return kAppCandidates; }
std::span<const std::pair<std::string_view, std::string_view>> extra_browser_executables() {
    return kExtraBrowsers;
}

System& real_system() {
    static PosixSystem system;
    return system;
}

}  // namespace nimbra::platform
