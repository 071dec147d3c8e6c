// Windows: each browser finds the manifest through the default value of a
// registry key named after the host: Chromium under HKCU then HKLM, each in
// the 32-bit view and then the 64-bit one, Firefox in HKCU's 64-bit view,
// then HKLM's 32-bit and 64-bit views. Chromium reads its policies from
// Software\Policies and starts the host through cmd.exe, with the host's
// standard input and output redirected to named pipes; Firefox starts the
// host itself, with the manifest's path and the add-on id as arguments.
#include <windows.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <utility>

#include "doctor.h"
#include "platform/platform.h"
#include "platform/win32/unicode.h"

namespace nimbra::registration::doctor {

struct OsBrowser {
    // Under Software\, in the order the browser reads them within one view.
    std::array<const wchar_t*, 2> keys;
    const wchar_t* policy_key;  // under the root keys; nullptr when not read here
    const wchar_t* profile;     // its profile folder under LocalAppData
    const wchar_t* program;     // its name under App Paths
    bool firefox;               // Firefox's views and value types
};

namespace {

constexpr const wchar_t* kChromeKey = L"Software\\Google\\Chrome\\NativeMessagingHosts";

// Brave, Vivaldi and Opera read Chrome's key; Chromium reads its own first,
// then Chrome's.
constexpr OsBrowser kChrome{{kChromeKey}, L"Software\\Policies\\Google\\Chrome", L"Google\\Chrome\\User Data", L"chrome.exe",
                            false};
constexpr OsBrowser kChromium{{L"Software\\Chromium\\NativeMessagingHosts", kChromeKey}, L"Software\\Policies\\Chromium",
                              L"Chromium\\User Data", nullptr, false};
constexpr OsBrowser kEdge{{L"Software\\Microsoft\\Edge\\NativeMessagingHosts"}, L"Software\\Policies\\Microsoft\\Edge",
                          L"Microsoft\\Edge\\User Data", L"msedge.exe", false};
constexpr OsBrowser kBrave{{kChromeKey}, nullptr, L"BraveSoftware\\Brave-Browser\\User Data", L"brave.exe", false};
constexpr OsBrowser kVivaldi{{kChromeKey}, nullptr, L"Vivaldi\\User Data", L"vivaldi.exe", false};
constexpr OsBrowser kOpera{{kChromeKey}, nullptr, L"Programs\\Opera", L"opera.exe", false};
constexpr OsBrowser kFirefox{{L"Software\\Mozilla\\NativeMessagingHosts"}, nullptr, L"Mozilla\\Firefox", L"firefox.exe", true};

const std::array<Browser, 7> kBrowsers{{
    {"chrome", "Google Chrome", &kChromiumFamily, &kChrome},
    {"chromium", "Chromium", &kChromiumFamily, &kChromium},
    {"edge", "Microsoft Edge", &kChromiumFamily, &kEdge},
    {"brave", "Brave", &kChromiumFamily, &kBrave},
    {"vivaldi", "Vivaldi", &kChromiumFamily, &kVivaldi},
    {"opera", "Opera", &kChromiumFamily, &kOpera},
    {"firefox", "Firefox", &kFirefoxFamily, &kFirefox},
}};

struct Scope {
    HKEY root;
    DWORD view;
};
const Scope kChromiumScopes[] = {{HKEY_CURRENT_USER, KEY_WOW64_32KEY}, {HKEY_CURRENT_USER, KEY_WOW64_64KEY},
                                     {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY}, {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY}};
const Scope kFirefoxScopes[] = {{HKEY_CURRENT_USER, KEY_WOW64_64KEY}, {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY},
                                    {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY}};
// How long cmd.exe may take to open the host's pipes.
constexpr DWORD kConnectMs = 10'000;

std::string utf8(std::wstring_view text) { return platform::win32::to_utf8(text); }

std::string root_name(HKEY root) { return root == HKEY_CURRENT_USER ? "HKCU\\" : "HKLM\\"; }

// A string value as the browser reads one: REG_SZ, or (Chromium) REG_EXPAND_SZ
// with the environment expanded; nothing for any other type.
std::optional<std::wstring> string_value(HKEY key, const wchar_t* name, bool expand = true) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && (type != REG_EXPAND_SZ || !expand))) {
        return std::nullopt;
    }
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    if (type == REG_EXPAND_SZ) {
        std::wstring expanded(ExpandEnvironmentStringsW(value.c_str(), nullptr, 0), L'\0');
        ExpandEnvironmentStringsW(value.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
        expanded.resize(wcsnlen(expanded.c_str(), expanded.size()));
        return expanded;
    }
    return value;
}

// C:\ or C:/, or a UNC path: what the browser takes as absolute.
bool is_absolute(std::wstring_view path) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 3 && path[1] == L':' && separator(path[2])) return true;
    return path.size() >= 2 && separator(path[0]) && separator(path[1]);
}

bool file_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// As the browser quotes each part of a command line for CommandLineToArgvW.
std::wstring quoted(const std::wstring& arg) {
    if (arg.find_first_of(L" \\\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    for (std::size_t i = 0; i < arg.size(); ++i) {
        if (arg[i] == L'\\') {
            std::size_t end = i;
            while (end < arg.size() && arg[end] == L'\\') ++end;
            // Backslashes escape only before a quotation mark, the final one included.
            const std::size_t count = (end - i) * ((end == arg.size() || arg[end] == L'"') ? 2 : 1);
            out.append(count, L'\\');
            i = end - 1;
        } else if (arg[i] == L'"') {
            out += L"\\\"";
        } else {
            out += arg[i];
        }
    }
    return out + L"\"";
}

struct Closer {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, Closer>;

Handle owned(HANDLE handle) { return Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle); }

// Waits for an overlapped operation up to `timeout_ms`; a late one is
// cancelled. The bytes moved, or nothing when it failed or was cancelled
// empty-handed (`error` says which).
std::optional<DWORD> finish(HANDLE file, OVERLAPPED& overlapped, BOOL started, DWORD timeout_ms, DWORD& error) {
    error = started ? ERROR_SUCCESS : GetLastError();
    if (!started && error != ERROR_IO_PENDING) return std::nullopt;
    if (WaitForSingleObject(overlapped.hEvent, timeout_ms) != WAIT_OBJECT_0) CancelIoEx(file, &overlapped);
    DWORD moved = 0;
    if (!GetOverlappedResult(file, &overlapped, &moved, TRUE)) {
        error = GetLastError();
        return moved > 0 ? std::optional<DWORD>(moved) : std::nullopt;
    }
    error = ERROR_SUCCESS;
    return moved;
}

class WindowsHost final : public RunningHost {
public:
    WindowsHost(Handle job, Handle process, Handle input, Handle output, Handle errors)
        : job_(std::move(job)), process_(std::move(process)), input_(std::move(input)), output_(std::move(output)),
          errors_(std::move(errors)), event_(owned(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

    ~WindowsHost() override {
        // As the browser does: close the pipes, give the host 2 s, then end
        // cmd.exe and everything started from it.
        input_.reset();
        output_.reset();
        WaitForSingleObject(process_.get(), 2000);
        TerminateJobObject(job_.get(), 1);
    }

    bool send(std::string_view bytes) override {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        ResetEvent(event_.get());
        DWORD error = 0;
        const BOOL started = WriteFile(input_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
        const auto written = finish(input_.get(), overlapped, started, 5000, error);
        return written && *written == bytes.size();
    }

    Read receive(std::string& into, std::size_t most, int timeout_ms) override {
        std::string buffer(std::max<std::size_t>(most, 1), '\0');
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        ResetEvent(event_.get());
        DWORD error = 0;
        const BOOL started = ReadFile(output_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped);
        const auto got = finish(output_.get(), overlapped, started, static_cast<DWORD>(timeout_ms), error);
        if (got && *got > 0) {
            into.append(buffer, 0, *got);
            return Read::data;
        }
        return error == ERROR_OPERATION_ABORTED ? Read::waiting : Read::ended;
    }

    std::string error_output() override {
        std::string out(4096, '\0');
        OVERLAPPED at_start{};  // reads from offset 0, whatever cmd.exe's position
        DWORD got = 0;
        if (!ReadFile(errors_.get(), out.data(), static_cast<DWORD>(out.size()), &got, &at_start)) got = 0;
        out.resize(got);
        return out;
    }

private:
    Handle job_, process_, input_, output_, errors_, event_;
};

std::wstring pipe_name(const wchar_t* direction) {
    static unsigned counter = 0;
    return L"\\\\.\\pipe\\nimbra.doctor." + std::wstring(direction) + L"." + std::to_wstring(GetCurrentProcessId()) +
           L"." + std::to_wstring(++counter);
}

// Waits until cmd.exe has opened the pipe; false when it never does.
bool connected(HANDLE pipe, HANDLE process) {
    const Handle event = owned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    if (ConnectNamedPipe(pipe, &overlapped)) return true;
    const DWORD error = GetLastError();
    // A client that came and went already leaves the pipe readable to its end.
    if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) return true;
    if (error != ERROR_IO_PENDING) return false;
    const HANDLE waits[] = {event.get(), process};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kConnectMs);
    if (woke != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        DWORD ignored = 0;
        return GetOverlappedResult(pipe, &overlapped, &ignored, TRUE) != FALSE;
    }
    return true;
}

Launch failure(Launch launch, std::string reason, bool browser_starts) {
    launch.failure = std::move(reason);
    launch.browser_starts = browser_starts;
    return launch;
}

std::string error_text(DWORD error) { return platform::describe(platform::OsError{error}); }

}  // namespace

std::span<const Browser> known_browsers() { return kBrowsers; }

Lookup find_manifest(const Browser& browser, const Options&, bool user_level_allowed) {
    Lookup lookup;
    const std::wstring host(kHostName.begin(), kHostName.end());
    const std::span<const Scope> scopes = browser.os->firefox ? std::span<const Scope>(kFirefoxScopes)
                                                              : std::span<const Scope>(kChromiumScopes);
    for (const auto [root, view] : scopes) {
        {
            for (const wchar_t* key_name : browser.os->keys) {
                if (key_name == nullptr) continue;
                const std::wstring subkey = std::wstring(key_name) + L"\\" + host;
                Place place{root_name(root) + utf8(subkey) + (view == KEY_WOW64_32KEY ? " (32-bit view)" : " (64-bit view)"),
                            root == HKEY_CURRENT_USER, std::string(kAbsent), std::nullopt};
                HKEY key = nullptr;
                if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, &key) == ERROR_SUCCESS) {
                    auto value = string_value(key, nullptr, !browser.os->firefox);
                    // Firefox takes / for \ in the value.
                    if (value && browser.os->firefox) std::replace(value->begin(), value->end(), L'/', L'\\');
                    RegCloseKey(key);
                    if (!value) {
                        place.state = "the key has no default value of string type, so the browser reads on";
                    } else if (place.user_level && !user_level_allowed) {
                        lookup.registered = true;
                        place.state = kIgnored;
                    } else if (lookup.chosen) {
                        lookup.registered = true;
                        place.state = kUnread;
                    } else {
                        lookup.registered = true;
                        place.state = std::string(kRead) + ": " + utf8(*value);
                        lookup.chosen = lookup.places.size();
                        if (is_absolute(*value)) {
                            lookup.manifest = fs::path(*value);
                            place.file = lookup.manifest;
                        } else {
                            lookup.problem = "the default value of " + place.where + ", \"" + utf8(*value) +
                                             "\", is not an absolute path, which the browser needs";
                        }
                    }
                }
                lookup.places.push_back(std::move(place));
            }
        }
    }
    return lookup;
}

// Policies of the machine win over the user's, each policy on its own.
Policy read_policy(const Browser& browser, const Options&) {
    Policy policy;
    if (browser.os->policy_key == nullptr) return policy;
    for (const HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, browser.os->policy_key, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) continue;
        const std::string where = root_name(root) + utf8(browser.os->policy_key) + "\\";
        DWORD value = 0, type = 0, bytes = sizeof value;
        if (!policy.user_level_hosts &&
            RegQueryValueExW(key, L"NativeMessagingUserLevelHosts", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                             &bytes) == ERROR_SUCCESS &&
            type == REG_DWORD) {
            policy.user_level_hosts = value != 0;
            policy.user_level_source = where + "NativeMessagingUserLevelHosts";
        }
        const auto list = [&](const wchar_t* name, std::optional<std::vector<std::string>>& out, std::string& source) {
            HKEY list_key = nullptr;
            if (out || RegOpenKeyExW(key, name, 0, KEY_READ, &list_key) != ERROR_SUCCESS) return;
            out.emplace();
            source = where + utf8(name);
            wchar_t value_name[256];
            for (DWORD i = 0;; ++i) {
                DWORD length = 256;
                if (RegEnumValueW(list_key, i, value_name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                    break;
                }
                if (const auto item = string_value(list_key, value_name)) out->push_back(utf8(*item));
            }
            RegCloseKey(list_key);
        };
        list(L"NativeMessagingBlocklist", policy.blocklist, policy.blocklist_source);
        list(L"NativeMessagingAllowlist", policy.allowlist, policy.allowlist_source);
        RegCloseKey(key);
    }
    return policy;
}

bool is_installed(const Browser& browser, const Options&) {
    if (const auto local = platform::real_system().local_app_data()) {
        if (file_exists((*local / browser.os->profile).native())) return true;
    }
    if (browser.os->program == nullptr) return false;
    const std::wstring app_path = std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") +
                                  browser.os->program;
    for (const HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, app_path.c_str(), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
            RegCloseKey(key);
            return true;
        }
    }
    return false;
}

// A relative path is taken from the manifest's folder, joined as written.
HostFile host_file(const fs::path& manifest, const std::string& path, const Place&, const Options&) {
    HostFile out;
    const std::wstring wide = platform::win32::to_wide(path);
    const std::wstring host = is_absolute(wide) ? wide : manifest.parent_path().native() + L"\\" + wide;
    if (!file_exists(host)) {
        out.problem = "there is no file at " + utf8(host) + ", where the manifest's path points";
        return out;
    }
    out.path = fs::path(host);
    return out;
}

std::string install_command(const Browser& browser, bool user_level, const Options& options) {
    const std::string ids = extension_arguments(*browser.family, options);
    return user_level ? "nimbra-register install" + ids : "nimbra-register install --system" + ids + " (as administrator)";
}

namespace {

// The browser's side of a host: the pipes for its input and output, a file
// for its error output, and a job that ends everything it starts.
struct Plumbing {
    std::wstring in_name = pipe_name(L"in"), out_name = pipe_name(L"out");
    Handle input, output, errors, job;
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
};

bool prepare(Plumbing& p) {
    const DWORD flags = FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;
    p.output = owned(CreateNamedPipeW(p.out_name.c_str(), PIPE_ACCESS_INBOUND | flags, PIPE_TYPE_BYTE, 1, 4096, 4096, 5000, nullptr));
    p.input = owned(CreateNamedPipeW(p.in_name.c_str(), PIPE_ACCESS_OUTBOUND | flags, PIPE_TYPE_BYTE, 1, 4096, 4096, 5000, nullptr));
    wchar_t temp_folder[MAX_PATH + 1], temp_file[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, temp_folder) != 0 && GetTempFileNameW(temp_folder, L"nim", 0, temp_file) != 0) {
        p.errors = owned(CreateFileW(temp_file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      &p.inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    }
    p.job = owned(CreateJobObjectW(nullptr, nullptr));
    if (!p.output || !p.input || !p.errors || !p.job) return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(p.job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return true;
}

// Starts `line` in `folder` inside the job, with the given standard input
// and output; nothing when it cannot start (GetLastError says why).
Handle spawn(Plumbing& p, const wchar_t* application, std::wstring line, const std::wstring& folder, HANDLE in,
             HANDLE out) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = p.errors.get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                        folder.c_str(), &startup, &process)) {
        return nullptr;
    }
    Handle started = owned(process.hProcess);
    const Handle thread = owned(process.hThread);
    AssignProcessToJobObject(p.job.get(), started.get());
    ResumeThread(thread.get());
    return started;
}

std::unique_ptr<RunningHost> running(Plumbing& p, Handle process) {
    return std::make_unique<WindowsHost>(std::move(p.job), std::move(process), std::move(p.input), std::move(p.output),
                                         std::move(p.errors));
}

// Chromium: through cmd.exe, which opens the named pipes for the host's
// input and output.
Launch start_through_cmd(const fs::path& host, std::string_view caller) {
    Launch launch;
    const DWORD comspec_size = GetEnvironmentVariableW(L"COMSPEC", nullptr, 0);
    if (comspec_size == 0) return failure(std::move(launch), "COMSPEC is not set, so cmd.exe cannot be found", false);
    std::wstring comspec(comspec_size, L'\0');
    comspec.resize(GetEnvironmentVariableW(L"COMSPEC", comspec.data(), comspec_size));

    Plumbing plumbing;
    // The browser's arguments: the extension's origin, then its window,
    // which a background page or service worker does not have. cmd.exe
    // takes off the outer quotation marks, so the host's own survive even a
    // folder such as "Program Files (x86)".
    const std::wstring command = comspec + L" /d /c \"" + quoted(host.native()) + L" " +
                                 platform::win32::to_wide(caller) + L" --parent-window=0 < " + plumbing.in_name +
                                 L" > " + plumbing.out_name + L"\"";
    launch.command = utf8(command);
    const Handle nothing = owned(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             &plumbing.inherited, OPEN_EXISTING, 0, nullptr));
    if (!prepare(plumbing) || !nothing) {
        return failure(std::move(launch), "cannot prepare the pipes: " + error_text(GetLastError()), false);
    }
    Handle cmd = spawn(plumbing, comspec.c_str(), command, host.parent_path().native(), nothing.get(), nothing.get());
    if (!cmd) return failure(std::move(launch), "cannot start " + utf8(comspec) + ": " + error_text(GetLastError()), false);
    const bool opened = connected(plumbing.output.get(), cmd.get()) && connected(plumbing.input.get(), cmd.get());
    launch.host = running(plumbing, std::move(cmd));
    if (!opened) {
        const std::string said = visible(launch.host->error_output());
        launch.host.reset();
        return failure(std::move(launch), "cmd.exe never opened the host's pipes" +
                                              (said.empty() ? std::string() : ": it said \"" + said + "\""),
                       false);
    }
    return launch;
}

// Firefox: the host itself, in its own folder, its input and output the
// pipes' other ends. (Windows runs a .bat or .cmd file through cmd.exe.)
Launch start_directly(const fs::path& host, const std::vector<std::string>& arguments) {
    Launch launch;
    std::wstring command = quoted(host.native());
    for (const auto& argument : arguments) command += L" " + quoted(platform::win32::to_wide(argument));
    launch.command = utf8(command);
    Plumbing plumbing;
    const bool prepared = prepare(plumbing);
    Handle child_out = owned(CreateFileW(plumbing.out_name.c_str(), GENERIC_WRITE, 0, &plumbing.inherited, OPEN_EXISTING, 0, nullptr));
    Handle child_in = owned(CreateFileW(plumbing.in_name.c_str(), GENERIC_READ, 0, &plumbing.inherited, OPEN_EXISTING, 0, nullptr));
    if (!prepared || !child_out || !child_in) {
        return failure(std::move(launch), "cannot prepare the pipes: " + error_text(GetLastError()), false);
    }
    Handle child = spawn(plumbing, nullptr, command, host.parent_path().native(), child_in.get(), child_out.get());
    if (!child) {
        return failure(std::move(launch), "the browser cannot start " + utf8(host.native()) + ": " +
                                              error_text(GetLastError()), true);
    }
    // Only the host holds these ends now, so its end is the pipes' end.
    child_in.reset();
    child_out.reset();
    launch.host = running(plumbing, std::move(child));
    return launch;
}

}  // namespace

Launch start_host(const fs::path& host, const std::vector<std::string>& arguments, Launcher launcher) {
    return launcher == Launcher::firefox ? start_directly(host, arguments) : start_through_cmd(host, arguments.front());
}

}  // namespace nimbra::registration::doctor
