// Windows: the manifest lives beside the host, and a browser finds it through
// a registry key named after the host whose default value is the manifest's
// full path. Paths stay UTF-16 from the command line to the registry; only
// the manifest's own text is UTF-8.
#include "register.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <string>
#include <vector>

namespace nimbra::registration {

namespace {

namespace fs = std::filesystem;

struct RegisteredKey {
    const char* label;
    ManifestForm form;
    const wchar_t* subkey;
};

// Chrome's key is also read by Brave, Vivaldi and Opera.
constexpr std::array<RegisteredKey, 4> kKeys{{
    {"Chrome, Brave, Vivaldi, Opera", ManifestForm::chromium,
     L"Software\\Google\\Chrome\\NativeMessagingHosts\\com.velisto.nimbra"},
    {"Microsoft Edge", ManifestForm::chromium, L"Software\\Microsoft\\Edge\\NativeMessagingHosts\\com.velisto.nimbra"},
    {"Chromium", ManifestForm::chromium, L"Software\\Chromium\\NativeMessagingHosts\\com.velisto.nimbra"},
    {"Firefox", ManifestForm::firefox, L"Software\\Mozilla\\NativeMessagingHosts\\com.velisto.nimbra"},
}};

// Both manifests live beside the host, so each form has a name of its own.
constexpr wchar_t kManifestName[] = L"com.velisto.nimbra.json";
constexpr wchar_t kFirefoxManifestName[] = L"com.velisto.nimbra.firefox.json";

const wchar_t* manifest_name(ManifestForm form) {
    return form == ManifestForm::firefox ? kFirefoxManifestName : kManifestName;
}
constexpr wchar_t kHostFileName[] = L"nimbra-native-host.exe";

// The tool is a 64-bit program, so under HKLM it sees the 64-bit view of
// the registry, which 64-bit browsers read.
HKEY root_key(bool system) { return system ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

// For messages only: unpaired surrogates show as U+FFFD.
std::string display(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

// For the manifest: a path that is not valid UTF-16 cannot be written into it.
std::optional<std::string> strict_utf8(std::wstring_view text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::nullopt;
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::optional<std::wstring> strict_wide(std::string_view text) {
    if (text.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
    if (size <= 0) return std::nullopt;
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string error_text(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(buffer, length) : std::wstring();
    if (buffer != nullptr) LocalFree(buffer);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                                message.back() == L'.')) {
        message.pop_back();
    }
    return "error " + std::to_string(error) + (message.empty() ? "" : " (" + display(message) + ")");
}

std::string key_name(bool system, const RegisteredKey& key) {
    return (system ? "HKLM\\" : "HKCU\\") + display(key.subkey);
}

void report(std::string_view state, std::string_view label, const std::string& detail) {
    std::string line(state);
    line.resize(std::max<std::size_t>(line.size() + 1, 10), ' ');
    line += label;
    line.resize(std::max<std::size_t>(line.size() + 1, 41), ' ');
    line += detail;
    line += '\n';
    print_out(line);
}

void fail(std::string_view what, const std::string& message) {
    print_error("nimbra-register: " + std::string(what) + ": " + message + "\n");
}

std::optional<std::wstring> own_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::nullopt;
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::optional<std::wstring> full_path(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::nullopt;
    std::wstring out(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, out.data(), nullptr);
    if (length == 0 || length >= size) return std::nullopt;
    out.resize(length);
    return out;
}

bool is_file(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool is_manifest_name(const std::wstring& path) {
    const std::wstring name = fs::path(path).filename().native();
    return same_path(name, kManifestName) || same_path(name, kFirefoxManifestName);
}

// The host a browser starts: like Chrome, a relative path in the manifest is
// taken from the manifest's folder, which is how an installed manifest stays
// valid wherever its folder lands.
std::wstring beside_manifest(const std::wstring& manifest, const std::wstring& host) {
    if (!fs::path(host).is_relative()) return host;
    return (fs::path(manifest).parent_path() / host).lexically_normal().native();
}

// A browser starting the host at the same moment reads either the old
// manifest or the new one, never half of one.
std::optional<std::string> write_atomically(const std::wstring& target, std::string_view text) {
    const std::wstring temporary = target + L".tmp-" + std::to_wstring(GetCurrentProcessId());
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return "cannot create " + display(temporary) + ": " + error_text(GetLastError());
    bool ok = true;
    DWORD error = ERROR_SUCCESS;
    while (ok && !text.empty()) {
        DWORD written = 0;
        if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
            ok = false;
            error = GetLastError();
        }
        text.remove_prefix(written);
    }
    if (ok && !FlushFileBuffers(file)) {
        ok = false;
        error = GetLastError();
    }
    CloseHandle(file);
    if (ok && !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        error = GetLastError();
    }
    if (!ok) {
        DeleteFileW(temporary.c_str());
        return "cannot write " + display(target) + ": " + error_text(error);
    }
    return std::nullopt;
}

std::optional<std::string> read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    if (!ok) return std::nullopt;
    return text;
}

// The key's default value; nothing when the key or the value is absent.
std::optional<std::wstring> registered_manifest(bool system, const RegisteredKey& key) {
    DWORD bytes = 0;
    if (RegGetValueW(root_key(system), key.subkey, nullptr, RRF_RT_REG_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(root_key(system), key.subkey, nullptr, RRF_RT_REG_SZ, nullptr,
                     value.data(), &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

void write_console_or_file(DWORD which, std::string_view utf8) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || utf8.empty()) return;
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        // A console shows UTF-16 correctly whatever its code page.
        const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(size), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    while (!utf8.empty()) {
        DWORD written = 0;
        if (!WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) || written == 0) return;
        utf8.remove_prefix(written);
    }
}

}  // namespace

std::string_view locations_help() {
    return "The manifests (com.velisto.nimbra.json, and com.velisto.nimbra.firefox.json for\n"
           "Firefox) are written beside the host and registered as the default value of\n"
           "these keys, under HKEY_CURRENT_USER or, with --system, HKEY_LOCAL_MACHINE:\n"
           "  Software\\Google\\Chrome\\NativeMessagingHosts\\com.velisto.nimbra\n"
           "      (also read by Brave, Vivaldi and Opera)\n"
           "  Software\\Microsoft\\Edge\\NativeMessagingHosts\\com.velisto.nimbra\n"
           "  Software\\Chromium\\NativeMessagingHosts\\com.velisto.nimbra\n"
           "  Software\\Mozilla\\NativeMessagingHosts\\com.velisto.nimbra   (Firefox)\n";
}

bool supports_root_option() { return false; }

std::optional<std::string> manifest_path_text(const fs::path& path) { return strict_utf8(path.native()); }

int install(const Options& options) {
    std::wstring host;
    if (options.host) {
        host = options.host->native();
    } else {
        const auto self = own_path();
        if (!self) {
            print_error("nimbra-register: cannot tell where this tool is; give --host\n");
            return kFailed;
        }
        host = (fs::path(*self).parent_path() / kHostFileName).native();
    }
    const auto absolute = full_path(host);
    if (!absolute) {
        print_error("nimbra-register: not a usable host path: " + display(host) + "\n");
        return kFailed;
    }
    host = *absolute;
    if (!is_file(host)) {
        print_error("nimbra-register: no host executable at " + display(host) +
                    (options.host ? "\n" : "; give --host\n"));
        return kFailed;
    }
    const auto host_utf8 = strict_utf8(host);
    const auto text = host_utf8 ? manifest_text(*host_utf8, options.extension_ids) : std::nullopt;
    const auto firefox_text =
        host_utf8 ? firefox_manifest_text(*host_utf8, options.firefox_extension_ids) : std::nullopt;
    if (!text || !firefox_text) {
        print_error("nimbra-register: the host path is not valid Unicode, so no manifest can name it: " +
                    display(host) + "\n");
        return kFailed;
    }
    const auto manifest_of = [&](ManifestForm form) {
        return (fs::path(host).parent_path() / manifest_name(form)).native();
    };
    for (const ManifestForm form : {ManifestForm::chromium, ManifestForm::firefox}) {
        const std::wstring manifest = manifest_of(form);
        if (const auto failure = write_atomically(manifest, form == ManifestForm::firefox ? *firefox_text : *text)) {
            fail("manifest", *failure);
            return kFailed;
        }
        report("written", "manifest", display(manifest));
    }

    int result = kOk;
    for (const RegisteredKey& key : kKeys) {
        const std::wstring manifest = manifest_of(key.form);
        const auto bytes = static_cast<DWORD>((manifest.size() + 1) * sizeof(wchar_t));
        HKEY handle = nullptr;
        LSTATUS code = RegCreateKeyExW(root_key(options.system), key.subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_SET_VALUE, nullptr, &handle, nullptr);
        if (code == ERROR_SUCCESS) {
            code = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(manifest.c_str()), bytes);
            RegCloseKey(handle);
        }
        if (code != ERROR_SUCCESS) {
            fail(key.label, "cannot set " + key_name(options.system, key) + ": " +
                                error_text(static_cast<DWORD>(code)));
            result = kFailed;
            continue;
        }
        report("installed", key.label, key_name(options.system, key));
    }
    return result;
}

int uninstall(const Options& options) {
    std::vector<std::wstring> manifests;
    int result = kOk;
    for (const RegisteredKey& key : kKeys) {
        const auto manifest = registered_manifest(options.system, key);
        const LSTATUS code = RegDeleteTreeW(root_key(options.system), key.subkey);
        if (code == ERROR_SUCCESS) {
            report("removed", key.label, key_name(options.system, key));
            if (manifest) manifests.push_back(*manifest);
        } else if (code == ERROR_FILE_NOT_FOUND) {
            report("absent", key.label, key_name(options.system, key));
        } else {
            fail(key.label, "cannot delete " + key_name(options.system, key) + ": " +
                                error_text(static_cast<DWORD>(code)));
            result = kFailed;
        }
    }

    // A manifest goes only when no key of either scope still names it: the
    // per-user and the system-wide registration may share one beside the host.
    std::vector<std::wstring> still_named;
    for (const bool system : {false, true}) {
        for (const RegisteredKey& key : kKeys) {
            if (auto manifest = registered_manifest(system, key)) still_named.push_back(std::move(*manifest));
        }
    }
    std::vector<std::wstring> handled;
    for (const std::wstring& manifest : manifests) {
        bool seen = false;
        for (const auto& other : handled) seen = seen || same_path(other, manifest);
        if (seen) continue;
        handled.push_back(manifest);
        // Only a file this tool would have written, whatever the key says.
        if (!is_manifest_name(manifest)) continue;
        bool named = false;
        for (const auto& other : still_named) named = named || same_path(other, manifest);
        if (named) {
            report("kept", "manifest", display(manifest) + " (still registered)");
        } else if (DeleteFileW(manifest.c_str())) {
            report("removed", "manifest", display(manifest));
        } else if (const DWORD error = GetLastError(); error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            fail("manifest", "cannot remove " + display(manifest) + ": " + error_text(error));
            result = kFailed;
        }
    }
    return result;
}

int status(const Options& options) {
    int result = kOk;
    for (const RegisteredKey& key : kKeys) {
        const std::string where = key_name(options.system, key);
        const auto manifest = registered_manifest(options.system, key);
        if (!manifest) {
            report("missing", key.label, where);
            result = kFailed;
            continue;
        }
        const auto text = read_file(*manifest);
        const auto host = !text                                ? std::nullopt
                          : key.form == ManifestForm::firefox ? firefox_manifest_host_path(*text)
                                                              : manifest_host_path(*text);
        const auto host_wide = host ? strict_wide(*host) : std::nullopt;
        if (!text) {
            report("broken", key.label, where + " (manifest " + display(*manifest) + " not found)");
            result = kFailed;
        } else if (!host_wide) {
            const char* what =
                key.form == ManifestForm::firefox ? " is not a Firefox manifest of " : " is not a manifest of ";
            report("invalid", key.label, where + " (" + display(*manifest) + what + std::string(kHostName) + ")");
            result = kFailed;
        } else if (const std::wstring host_file = beside_manifest(*manifest, *host_wide); !is_file(host_file)) {
            report("broken", key.label, where + " (host " + display(host_file) + " not found)");
            result = kFailed;
        } else {
            report("ok", key.label, where + " -> " + display(*manifest) + " -> " + display(host_file));
        }
    }
    return result;
}

void print_out(std::string_view utf8) { write_console_or_file(STD_OUTPUT_HANDLE, utf8); }

void print_error(std::string_view utf8) { write_console_or_file(STD_ERROR_HANDLE, utf8); }

}  // namespace nimbra::registration

int wmain(int argc, wchar_t** argv) {
    std::vector<nimbra::registration::NativeString> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return nimbra::registration::run(args);
}
