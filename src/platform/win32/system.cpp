// Processes, clock, folder lookup, spawning and random bytes on Windows.
#include <windows.h>

#include <ntsecapi.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/unicode.h"

namespace nimbra::platform {

namespace {

constexpr std::string_view kAppProcessNames[] = {"velisto-download-manager.exe",
                                                 "velisto download manager.exe"};
constexpr std::string_view kAppCandidates[] = {"velisto-download-manager.exe",
                                               "Velisto Download Manager.exe"};

OsError last_error() { return OsError{static_cast<std::uint32_t>(::GetLastError())}; }

// The longest path Windows handles at all, in UTF-16 units.
constexpr DWORD kLongestPath = 32768;

using ProcessPrngFunction = BOOL(WINAPI*)(PBYTE, SIZE_T);

// ProcessPrng is the generator the system's random functions end in; it
// exists from Windows 10 on, not in older systems or wine.
ProcessPrngFunction load_process_prng() {
    HMODULE module = ::LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    // Kept loaded for the life of the process: the pointer is cached.
    return reinterpret_cast<ProcessPrngFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(module, "ProcessPrng")));
}

// The user SID of a process's token, copied out; empty when it cannot be read.
std::vector<std::uint8_t> token_user(HANDLE process) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    const bool read = size != 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    ::CloseHandle(token);
    if (!read) return {};
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (!::IsValidSid(sid)) return {};
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return std::vector<std::uint8_t>(bytes, bytes + ::GetLengthSid(sid));
}

class WindowsSystem final : public System {
public:
    std::optional<std::vector<ProcessEntry>> snapshot_processes() override {
        HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
        std::vector<ProcessEntry> entries;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        if (::Process32FirstW(snapshot, &entry)) {
            do {
                std::size_t length = 0;
                while (length < MAX_PATH && entry.szExeFile[length] != L'\0') ++length;
                entries.push_back({static_cast<std::uint32_t>(entry.th32ProcessID),
                                   static_cast<std::uint32_t>(entry.th32ParentProcessID),
                                   win32::to_utf8(std::wstring_view(entry.szExeFile, length))});
            } while (::Process32NextW(snapshot, &entry));
        }
        ::CloseHandle(snapshot);
        return entries;
    }

    std::uint32_t current_process_id() override { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

    bool is_own_process(std::uint32_t pid) override {
        // Asked only about processes whose name matched, so the four calls
        // are paid rarely; a process that cannot even be queried is not ours.
        static std::vector<std::uint8_t> own = token_user(::GetCurrentProcess());
        HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (process == nullptr) return false;
        std::vector<std::uint8_t> theirs = token_user(process);
        ::CloseHandle(process);
        return !own.empty() && !theirs.empty() && ::EqualSid(theirs.data(), own.data());
    }

    // The shell's answer is kept for as long as its record of where the
    // folder lies, the User Shell Folders key, stays as it was: a change
    // notification on the key tells. Under wine each lookup is nine
    // wineserver round trips, reading and rewriting registry keys (300 us);
    // the look at the notification is one. A folder moved while the host
    // runs is followed from the next request on, as when it was looked up
    // every time; whatever fails on the way means a lookup.
    std::optional<Path> local_app_data() override {
        const bool changed = shell_folders_changed();
        if (local_app_data_ && !changed) return local_app_data_;
        // A watch that has not fired yet (the last lookup failed) still holds.
        if (changed) watch_shell_folders();
        local_app_data_ = look_up_local_app_data();
        return local_app_data_;
    }

    std::optional<Path> own_executable() override {
        std::wstring buffer(MAX_PATH, L'\0');
        for (;;) {
            DWORD size = static_cast<DWORD>(buffer.size());
            DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
            if (length == 0) return std::nullopt;
            // A full buffer means the name was cut; systems before Vista say
            // so only by the length, later ones also by the error code.
            if (length < size) {
                buffer.resize(length);
                return Path(std::move(buffer));
            }
            if (size >= kLongestPath) return std::nullopt;
            buffer.resize(static_cast<std::size_t>(size) * 2);
        }
    }

    Status start_program(const Path& program) override {
        // Nothing is inherited: the browser's pipes must not stay open in a
        // long-lived application, or the browser would never see them close.
        // The standard handles are set to none, since otherwise the child's
        // are copies of the host's handle values: meaningless in the child on
        // Windows, and under wine the very pipes, open until the child exits.
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        PROCESS_INFORMATION process{};
        // A browser may run the host in a job object that it ends as a whole
        // when the connection closes (Firefox does), which would take the
        // application with it: so the application leaves the job. A job that
        // forbids leaving it refuses with access denied, and the application
        // then starts inside it, as it would without the flag.
        bool started = false;
        for (const DWORD flags : {DWORD{CREATE_BREAKAWAY_FROM_JOB}, DWORD{0}}) {
            // The command line is only argv[0] for the program; the program
            // path itself names the file, so no search order is involved.
            // Made afresh for each try, as CreateProcessW may write into it.
            std::wstring command_line = L"\"" + program.native() + L"\"";
            started = ::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, flags, nullptr,
                                       nullptr, &startup, &process) != FALSE;
            if (started || ::GetLastError() != ERROR_ACCESS_DENIED) break;
        }
        if (!started) return last_error();
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        return Status::success();
    }

    std::uint64_t now_file_time() override {
        FILETIME now{};
        ::GetSystemTimePreciseAsFileTime(&now);
        return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    }

    void sleep_ms(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

    Status random_bytes(std::span<std::uint8_t> buffer) override {
        static const ProcessPrngFunction process_prng = load_process_prng();
        // Both take a size per call no larger than their count type holds.
        constexpr std::size_t kChunk = 1u << 30;
        for (std::size_t offset = 0; offset < buffer.size(); offset += kChunk) {
            std::size_t count = std::min(kChunk, buffer.size() - offset);
            std::uint8_t* data = buffer.data() + offset;
            if (process_prng != nullptr && process_prng(data, count)) continue;
            // Without it, the system generator behind advapi32 rather than
            // BCryptGenRandom: importing bcrypt.dll makes wine load its TLS
            // libraries at start-up, over 3 MiB of resident memory.
            if (!::RtlGenRandom(data, static_cast<ULONG>(count))) return OsError{ERROR_GEN_FAILURE};
        }
        return Status::success();
    }

private:
    static std::optional<Path> look_up_local_app_data() {
        PWSTR folder = nullptr;
        HRESULT result = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
        std::optional<Path> path;
        if (result == S_OK && folder != nullptr) path = Path(std::wstring(folder));
        // The documentation asks for the free whether or not the call succeeded.
        ::CoTaskMemFree(folder);
        return path;
    }

    // Armed before each lookup, so that a change during it shows next time.
    // One change signals the event once; the next lookup arms it again.
    void watch_shell_folders() {
        watching_ = false;
        if (shell_folders_ == nullptr &&
            ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                            0, KEY_NOTIFY, &shell_folders_) != ERROR_SUCCESS) {
            shell_folders_ = nullptr;
            return;
        }
        if (changed_ == nullptr) changed_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (changed_ == nullptr || !::ResetEvent(changed_)) return;
        watching_ = ::RegNotifyChangeKeyValue(shell_folders_, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                              changed_, TRUE) == ERROR_SUCCESS;
    }

    bool shell_folders_changed() const { return !watching_ || ::WaitForSingleObject(changed_, 0) != WAIT_TIMEOUT; }

    std::optional<Path> local_app_data_;
    HKEY shell_folders_ = nullptr;
    HANDLE changed_ = nullptr;
    bool watching_ = false;
};

}  // namespace

std::span<const std::string_view> desktop_app_process_names() { return kAppProcessNames; }
std::span<const std::string_view> desktop_app_candidates() { return kAppCandidates; }
std::span<const std::pair<std::string_view, std::string_view>> extra_browser_executables() { return {}; }

System& real_system() {
    static WindowsSystem system;
    return system;
}

}  // namespace nimbra::platform
