// Linux: where each browser looks for manifests and policies, and how it
// starts a host: directly, in the host's own folder, with the extension's
// origin as the one argument (Chromium) or with the manifest's path and the
// add-on id (Firefox).
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "doctor.h"
#include "platform/platform.h"

namespace nimbra::registration::doctor {

struct OsBrowser {
    const char* user_folder;    // the browser's profile folder under its base folder
    const char* user_manifests; // its manifest folder under the base folder
    bool home_based;            // the base is the home folder, not $XDG_CONFIG_HOME
    bool reads_on;              // a refused manifest is skipped, not the end
    const char* system_folder;  // "" when it has none we know of
    const char* policy_folder;  // its managed policies; "" when not read here
    bool written_by_register;   // nimbra-register writes its manifests
    std::array<const char*, 3> programs;  // its executable, where packages put it
};

namespace {

constexpr OsBrowser kChrome{"google-chrome", "google-chrome/NativeMessagingHosts", false, false,
                            "/etc/opt/chrome/native-messaging-hosts", "/etc/opt/chrome/policies/managed", true,
                            {"/opt/google/chrome/chrome"}};
constexpr OsBrowser kChromium{"chromium", "chromium/NativeMessagingHosts", false, false,
                              "/etc/chromium/native-messaging-hosts", "/etc/chromium/policies/managed", true,
                              {"/usr/lib/chromium/chromium", "/usr/lib/chromium-browser/chromium-browser",
                               "/snap/bin/chromium"}};
constexpr OsBrowser kEdge{"microsoft-edge", "microsoft-edge/NativeMessagingHosts", false, false,
                          "/etc/opt/edge/native-messaging-hosts", "/etc/opt/edge/policies/managed", true,
                          {"/opt/microsoft/msedge/msedge"}};
constexpr OsBrowser kBrave{"BraveSoftware/Brave-Browser", "BraveSoftware/Brave-Browser/NativeMessagingHosts", false,
                           false, "/etc/opt/brave/native-messaging-hosts", "", true, {"/opt/brave.com/brave/brave"}};
constexpr OsBrowser kVivaldi{"vivaldi", "vivaldi/NativeMessagingHosts", false, false,
                             "/etc/opt/vivaldi/native-messaging-hosts", "", true, {"/opt/vivaldi/vivaldi"}};
constexpr OsBrowser kOpera{"opera", "opera/NativeMessagingHosts", false, false, "", "", false,
                           {"/usr/lib/x86_64-linux-gnu/opera/opera", "/snap/bin/opera"}};
// Firefox reads ~/.mozilla (from $HOME, whatever XDG_CONFIG_HOME says), then
// /usr/lib/mozilla; not /usr/lib64/mozilla. It has no policy on hosts.
constexpr OsBrowser kFirefox{".mozilla/firefox", ".mozilla/native-messaging-hosts", true, true,
                             "/usr/lib/mozilla/native-messaging-hosts", "", true,
                             {"/usr/lib/firefox-esr/firefox-esr", "/usr/lib/firefox/firefox", "/snap/bin/firefox"}};

const std::array<Browser, 7> kBrowsers{{
    {"chrome", "Google Chrome", &kChromiumFamily, &kChrome},
    {"chromium", "Chromium", &kChromiumFamily, &kChromium},
    {"edge", "Microsoft Edge", &kChromiumFamily, &kEdge},
    {"brave", "Brave", &kChromiumFamily, &kBrave},
    {"vivaldi", "Vivaldi", &kChromiumFamily, &kVivaldi},
    {"opera", "Opera", &kChromiumFamily, &kOpera},
    {"firefox", "Firefox", &kFirefoxFamily, &kFirefox},
}};

// As the browsers find it: $XDG_CONFIG_HOME when set, else ~/.config.
std::optional<fs::path> config_folder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return fs::path(xdg);
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return fs::path(home) / ".config";
    return std::nullopt;
}

std::optional<fs::path> base_folder(const OsBrowser& os) {
    if (!os.home_based) return config_folder();
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return fs::path(home);
    return std::nullopt;
}

fs::path under_root(const Options& options, const fs::path& path) {
    return options.root ? *options.root / path.relative_path() : path;
}

// What the browser asks before it reads a file: does the name lead anywhere.
bool path_exists(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string shell_quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The host as the browser runs it, in a process group of its own so that
// whatever it starts ends with it.
class PosixHost final : public RunningHost {
public:
    PosixHost(pid_t pid, int input, int output, std::FILE* errors)
        : pid_(pid), input_(input), output_(output), errors_(errors) {}

    ~PosixHost() override {
        // As the browser does: close the host's input, give it 2 s, then kill.
        ::close(input_);
        ::close(output_);
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            ended = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
            if (!ended) ::usleep(20'000);
        }
        ::kill(-pid_, SIGKILL);
        if (!ended) ::waitpid(pid_, nullptr, 0);
        std::fclose(errors_);
    }

    bool send(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t written = ::write(input_, bytes.data(), bytes.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(written));
        }
        return true;
    }

    Read receive(std::string& into, std::size_t most, int timeout_ms) override {
        pollfd ready{output_, POLLIN, 0};
        const int polled = ::poll(&ready, 1, timeout_ms);
        if (polled == 0) return Read::waiting;
        if (polled < 0) return errno == EINTR ? Read::waiting : Read::ended;
        std::string buffer(std::max<std::size_t>(most, 1), '\0');
        const ssize_t got = ::read(output_, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) return Read::waiting;
        if (got <= 0) return Read::ended;
        into.append(buffer, 0, static_cast<std::size_t>(got));
        return Read::data;
    }

    std::string error_output() override {
        std::string out(4096, '\0');
        const ssize_t got = ::pread(::fileno(errors_), out.data(), out.size(), 0);
        out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return out;
    }

private:
    pid_t pid_;
    int input_;
    int output_;
    std::FILE* errors_;
};

}  // namespace

std::span<const Browser> known_browsers() { return kBrowsers; }

Lookup find_manifest(const Browser& browser, const Options& options, bool user_level_allowed) {
    Lookup lookup;
    const std::string file_name(kManifestFileName);
    std::vector<std::pair<fs::path, bool>> candidates;  // path, user level
    if (const auto base = base_folder(*browser.os)) {
        candidates.emplace_back(*base / browser.os->user_manifests / file_name, true);
    }
    if (browser.os->system_folder[0] != '\0') {
        candidates.emplace_back(under_root(options, fs::path(browser.os->system_folder) / file_name), false);
    }
    // The first name that exists is read, even when the browser then refuses
    // it: a broken user-level manifest hides a good system-wide one.
    for (const auto& [path, user_level] : candidates) {
        Place place{platform::path_to_utf8(path), user_level, std::string(kAbsent), std::nullopt};
        if (path_exists(path)) {
            lookup.registered = true;
            if (user_level && !user_level_allowed) {
                place.state = kIgnored;
            } else if (lookup.chosen && !browser.os->reads_on) {
                place.state = kUnread;
            } else {
                place.state = kRead;
                place.file = path;
                if (browser.os->reads_on) lookup.read_on.push_back(lookup.places.size());
                if (!lookup.chosen) {
                    lookup.chosen = lookup.places.size();
                    lookup.manifest = path;
                }
            }
        }
        lookup.places.push_back(std::move(place));
    }
    return lookup;
}

// Every file in the folder, hidden ones too, in name order; a later file
// overrides an earlier one, and a value of the wrong type counts as unset.
Policy read_policy(const Browser& browser, const Options& options) {
    Policy policy;
    if (browser.os->policy_folder[0] == '\0') return policy;
    const fs::path folder = under_root(options, browser.os->policy_folder);
    std::error_code error;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file(error)) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::map<std::string, std::pair<nlohmann::json, std::string>> set;
    for (const auto& file : files) {
        const auto content = platform::read_file(file);
        std::string problem;
        const auto json = content ? chromium_json(*content, true, problem) : std::nullopt;
        if (!json || !json->is_object()) continue;
        for (const char* name : {"NativeMessagingUserLevelHosts", "NativeMessagingBlocklist", "NativeMessagingAllowlist"}) {
            if (json->contains(name)) set[name] = {(*json)[name], platform::path_to_utf8(file)};
        }
    }
    const auto list = [&set](const char* name, std::optional<std::vector<std::string>>& out, std::string& source) {
        const auto found = set.find(name);
        if (found == set.end() || !found->second.first.is_array()) return;
        out.emplace();
        for (const auto& item : found->second.first) {
            if (item.is_string()) out->push_back(item.get<std::string>());
        }
        source = found->second.second;
    };
    if (const auto found = set.find("NativeMessagingUserLevelHosts");
        found != set.end() && found->second.first.is_boolean()) {
        policy.user_level_hosts = found->second.first.get<bool>();
        policy.user_level_source = found->second.second;
    }
    list("NativeMessagingBlocklist", policy.blocklist, policy.blocklist_source);
    list("NativeMessagingAllowlist", policy.allowlist, policy.allowlist_source);
    return policy;
}

bool is_installed(const Browser& browser, const Options& options) {
    for (const char* program : browser.os->programs) {
        if (program != nullptr && path_exists(under_root(options, program))) return true;
    }
    const auto base = base_folder(*browser.os);
    return base && path_exists(*base / browser.os->user_folder);
}

HostFile host_file(const fs::path&, const std::string& path, const Place& place, const Options& options) {
    HostFile out;
    if (path.empty() || path.front() != '/') {
        out.problem = "the manifest's path \"" + path + "\" is not absolute, and on Linux the browser takes only "
                      "absolute paths";
        out.refused = true;
        return out;
    }
    const fs::path host = place.user_level ? fs::path(path) : under_root(options, path);
    if (!path_exists(host)) {
        out.problem = "there is no file at " + platform::path_to_utf8(host) + ", where the manifest's path points";
        return out;
    }
    out.path = host;
    return out;
}

std::string install_command(const Browser& browser, bool user_level, const Options& options) {
    if (!browser.os->written_by_register || (!user_level && browser.os->system_folder[0] == '\0')) return {};
    const std::string ids = extension_arguments(*browser.family, options);
    if (user_level) return "nimbra-register install" + ids;
    std::string command = "nimbra-register install --system";
    if (options.root) command += " --root " + platform::path_to_utf8(*options.root);
    return command + ids + " (as root)";
}

Launch start_host(const fs::path& host, const std::vector<std::string>& arguments, Launcher launcher) {
    Launch launch;
    const std::string program = host.string();
    const std::string folder = host.parent_path().string();
    launch.command = shell_quoted(program);
    for (const auto& argument : arguments) launch.command.append(" ").append(shell_quoted(argument));
    launch.command.append(" (in ").append(folder).append(")");
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> shell_argv{const_cast<char*>("sh")};
    shell_argv.insert(shell_argv.end(), argv.begin(), argv.end());
    // A host that ends early must not end the doctor with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);

    int input[2], output[2], report[2];
    std::FILE* errors = std::tmpfile();
    if (errors == nullptr || ::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0 ||
        ::pipe2(report, O_CLOEXEC) != 0) {
        launch.failure = std::string("cannot make pipes for the host: ") + std::strerror(errno);
        launch.browser_starts = false;
        return launch;
    }
    ::fcntl(::fileno(errors), F_SETFD, FD_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(input[0], 0);
        ::dup2(output[1], 1);
        ::dup2(::fileno(errors), 2);
        int failure = 0;
        if (::chdir(folder.c_str()) != 0) failure = errno;
        if (failure == 0) {
            ::execv(program.c_str(), argv.data());
            failure = errno;
            // As execvp does, Chromium's launcher gives a file of no known
            // format to the shell; Firefox's does not.
            if (failure == ENOEXEC && launcher == Launcher::chromium) {
                ::execv("/bin/sh", shell_argv.data());
                failure = errno;
            }
        }
        (void)!::write(report[1], &failure, sizeof failure);
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    ::close(report[1]);
    if (pid < 0) {
        launch.failure = std::string("cannot start a process: ") + std::strerror(errno);
        launch.browser_starts = false;
        for (const int fd : {input[1], output[0], report[0]}) ::close(fd);
        std::fclose(errors);
        return launch;
    }
    int failure = 0;
    const bool exec_failed = ::read(report[0], &failure, sizeof failure) == sizeof failure;
    ::close(report[0]);
    auto running = std::make_unique<PosixHost>(pid, input[1], output[0], errors);
    if (exec_failed) {
        running.reset();
        launch.failure = "the browser starts a process for " + program + ", but it cannot run the file: " +
                         std::strerror(failure) +
                         (failure == EACCES ? " (is it executable? chmod +x " + program + ")" : std::string());
        return launch;
    }
    launch.host = std::move(running);
    return launch;
}

}  // namespace nimbra::registration::doctor
