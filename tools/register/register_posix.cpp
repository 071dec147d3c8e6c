// Linux: a browser finds a host through a manifest file in a folder of its
// own, per user under the browser's configuration folder (Firefox: under the
// home folder) or system-wide under /etc (Firefox: /usr/lib/mozilla).
#include "register.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbra::registration {

namespace fs = std::filesystem;

namespace {

// Where a browser's per-user folder is rooted.
enum class UserBase { config, home };

struct Browser {
    const char* label;
    ManifestForm form;
    UserBase user_base;
    const char* user_folder;    // under user_base
    const char* system_folder;  // absolute
};

// Firefox reads neither XDG_CONFIG_HOME nor /usr/lib64 for these (seen with
// Debian's Firefox ESR): only ~/.mozilla and /usr/lib/mozilla.
constexpr std::array<Browser, 6> kBrowsers{{
    {"Google Chrome", ManifestForm::chromium, UserBase::config, "google-chrome/NativeMessagingHosts",
     "/etc/opt/chrome/native-messaging-hosts"},
    {"Chromium", ManifestForm::chromium, UserBase::config, "chromium/NativeMessagingHosts",
     "/etc/chromium/native-messaging-hosts"},
    {"Microsoft Edge", ManifestForm::chromium, UserBase::config, "microsoft-edge/NativeMessagingHosts",
     "/etc/opt/edge/native-messaging-hosts"},
    {"Brave", ManifestForm::chromium, UserBase::config, "BraveSoftware/Brave-Browser/NativeMessagingHosts",
     "/etc/opt/brave/native-messaging-hosts"},
    {"Vivaldi", ManifestForm::chromium, UserBase::config, "vivaldi/NativeMessagingHosts",
     "/etc/opt/vivaldi/native-messaging-hosts"},
    {"Firefox", ManifestForm::firefox, UserBase::home, ".mozilla/native-messaging-hosts",
     "/usr/lib/mozilla/native-messaging-hosts"},
}};

struct Location {
    const char* label;
    ManifestForm form;
    fs::path manifest;  // where this tool reads and writes it
};

std::string error_text(int error) { return std::strerror(error); }

void report(std::string_view state, std::string_view label, const std::string& detail) {
    std::string line(state);
    line.resize(std::max<std::size_t>(line.size() + 1, 10), ' ');
    line += label;
    line.resize(std::max<std::size_t>(line.size() + 1, 26), ' ');
    line += detail;
    line += '\n';
    print_out(line);
}

void fail(std::string_view label, const std::string& message) {
    print_error("nimbra-register: " + std::string(label) + ": " + message + "\n");
}

std::optional<fs::path> home_folder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return fs::path(home);
    return std::nullopt;
}

// The Chromium family reads $XDG_CONFIG_HOME when it is set, as it does for
// its profiles; otherwise ~/.config.
std::optional<fs::path> user_config_folder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return fs::path(xdg);
    if (const auto home = home_folder()) return *home / ".config";
    return std::nullopt;
}

// `path` as this tool must open it: under --root when one is given.
fs::path under_root(const Options& options, const fs::path& path) {
    return options.root ? *options.root / path.relative_path() : path;
}

std::optional<std::vector<Location>> locations(const Options& options) {
    std::vector<Location> out;
    if (options.system) {
        for (const Browser& browser : kBrowsers) {
            out.push_back({browser.label, browser.form,
                           under_root(options, fs::path(browser.system_folder) / kManifestFileName)});
        }
        return out;
    }
    const auto config = user_config_folder();
    const auto home = home_folder();
    for (const Browser& browser : kBrowsers) {
        const auto& base = browser.user_base == UserBase::home ? home : config;
        if (!base) {
            print_error(browser.user_base == UserBase::home
                            ? "nimbra-register: HOME does not name an absolute folder\n"
                            : "nimbra-register: neither HOME nor XDG_CONFIG_HOME names an absolute folder\n");
            return std::nullopt;
        }
        out.push_back({browser.label, browser.form, *base / browser.user_folder / kManifestFileName});
    }
    return out;
}

// The folder this tool's executable is in, symbolic links resolved, so that a
// link in /usr/bin still finds the host beside the real file.
std::optional<fs::path> own_folder() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    return self.parent_path();
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// A browser starting the host at the same moment reads either the old
// manifest or the new one, never half of one.
std::optional<std::string> write_atomically(const fs::path& target, std::string_view text) {
    const fs::path temporary = target.string() + ".tmp-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot create " + temporary.string() + ": " + error_text(errno);
    // Every user's browser reads a system-wide manifest, whatever the umask.
    bool ok = ::fchmod(fd, 0644) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return "cannot write " + target.string() + ": " + error_text(error);
    }
    return std::nullopt;
}

bool is_plain_file(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::string> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

}  // namespace

std::string_view locations_help() {
    return "Manifests (com.velisto.nimbra.json) go into, per user:\n"
           "  ~/.config/{google-chrome,chromium,microsoft-edge,BraveSoftware/Brave-Browser,vivaldi}\n"
           "      /NativeMessagingHosts/   ($XDG_CONFIG_HOME instead of ~/.config when set)\n"
           "  ~/.mozilla/native-messaging-hosts/   (Firefox)\n"
           "and with --system:\n"
           "  /etc/opt/chrome, /etc/chromium, /etc/opt/edge, /etc/opt/brave, /etc/opt/vivaldi\n"
           "      /native-messaging-hosts/\n"
           "  /usr/lib/mozilla/native-messaging-hosts/   (Firefox)\n";
}

bool supports_root_option() { return true; }

// Bytes as they are: manifest_text refuses what is not UTF-8.
std::optional<std::string> manifest_path_text(const fs::path& path) { return path.string(); }

int install(const Options& options) {
    fs::path host;
    if (options.host) {
        host = *options.host;
    } else {
        const auto folder = own_folder();
        if (!folder) {
            print_error("nimbra-register: cannot tell where this tool is; give --host\n");
            return kFailed;
        }
        host = *folder / "nimbra-native-host";
    }
    std::error_code error;
    host = fs::absolute(host, error).lexically_normal();
    if (error) {
        print_error("nimbra-register: cannot make the host path absolute: " + error.message() + "\n");
        return kFailed;
    }
    if (!is_plain_file(under_root(options, host))) {
        print_error("nimbra-register: no host executable at " + under_root(options, host).string() +
                    (options.host ? "\n" : "; give --host\n"));
        return kFailed;
    }
    const auto text = manifest_text(host.string(), options.extension_ids);
    const auto firefox_text = firefox_manifest_text(host.string(), options.firefox_extension_ids);
    if (!text || !firefox_text) {
        print_error("nimbra-register: the host path is not valid UTF-8, so no manifest can name it: " +
                    host.string() + "\n");
        return kFailed;
    }
    const auto targets = locations(options);
    if (!targets) return kFailed;

    if (options.system) ::umask(022);
    int result = kOk;
    for (const Location& location : *targets) {
        fs::create_directories(location.manifest.parent_path(), error);
        if (error) {
            fail(location.label, "cannot create " + location.manifest.parent_path().string() + ": " + error.message());
            result = kFailed;
            continue;
        }
        const std::string& content = location.form == ManifestForm::firefox ? *firefox_text : *text;
        if (const auto failure = write_atomically(location.manifest, content)) {
            fail(location.label, *failure);
            result = kFailed;
            continue;
        }
        report("installed", location.label, location.manifest.string());
    }
    return result;
}

int uninstall(const Options& options) {
    const auto targets = locations(options);
    if (!targets) return kFailed;
    int result = kOk;
    for (const Location& location : *targets) {
        if (::unlink(location.manifest.c_str()) == 0) {
            report("removed", location.label, location.manifest.string());
        } else if (errno == ENOENT || errno == ENOTDIR) {
            report("absent", location.label, location.manifest.string());
        } else {
            fail(location.label, "cannot remove " + location.manifest.string() + ": " + error_text(errno));
            result = kFailed;
        }
    }
    return result;
}

int status(const Options& options) {
    const auto targets = locations(options);
    if (!targets) return kFailed;
    int result = kOk;
    for (const Location& location : *targets) {
        const std::string where = location.manifest.string();
        const auto text = read_file(location.manifest);
        if (!text) {
            report("missing", location.label, where);
            result = kFailed;
            continue;
        }
        const auto host =
            location.form == ManifestForm::firefox ? firefox_manifest_host_path(*text) : manifest_host_path(*text);
        if (!host) {
            const char* what = location.form == ManifestForm::firefox ? " (not a Firefox manifest of "
                                                                       : " (not a manifest of ";
            report("invalid", location.label, where + what + std::string(kHostName) + ")");
            result = kFailed;
        } else if (!is_plain_file(under_root(options, fs::path(*host)))) {
            report("broken", location.label, where + " (host " + *host + " not found)");
            result = kFailed;
        } else {
            report("ok", location.label, where + " -> " + *host);
        }
    }
    return result;
}

void print_out(std::string_view utf8) {
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

void print_error(std::string_view utf8) {
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    std::fflush(stderr);
}

}  // namespace nimbra::registration

int main(int argc, char** argv) {
    std::vector<nimbra::registration::NativeString> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return nimbra::registration::run(args);
}
