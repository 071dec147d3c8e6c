#include "floor_os.h"

#include <windows.h>

#include <knownfolders.h>
#include <shtypes.h>

namespace floor_os {

namespace {

std::wstring wide(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                        static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

HANDLE open(const std::string& path, DWORD access, DWORD disposition) {
    return ::CreateFileW(wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool write_all(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

const char kSeparator = '\\';

// The shell's libraries are loaded only by a floor that needs the folder, as
// a host must; the plain ping floor stays without them.
std::string data_dir() {
    using GetKnownFolder = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
    using Free = void(WINAPI*)(void*);
    static const HMODULE shell = ::LoadLibraryW(L"shell32.dll");
    static const HMODULE ole = ::LoadLibraryW(L"ole32.dll");
    if (shell == nullptr || ole == nullptr) return "";
    static const auto get = reinterpret_cast<GetKnownFolder>(
        reinterpret_cast<void (*)()>(::GetProcAddress(shell, "SHGetKnownFolderPath")));
    static const auto free =
        reinterpret_cast<Free>(reinterpret_cast<void (*)()>(::GetProcAddress(ole, "CoTaskMemFree")));
    if (get == nullptr || free == nullptr) return "";
    PWSTR folder = nullptr;
    std::string path;
    if (get(FOLDERID_LocalAppData, 0, nullptr, &folder) == S_OK && folder != nullptr) {
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, folder, -1, nullptr, 0, nullptr, nullptr);
        if (n > 1) {
            path.resize(static_cast<std::size_t>(n));
            ::WideCharToMultiByte(CP_UTF8, 0, folder, -1, path.data(), n, nullptr, nullptr);
            path.resize(static_cast<std::size_t>(n - 1));
            path += "\\Velisto\\Nimbra";
        }
    }
    free(folder);
    return path;
}

bool read_input(char* out, std::size_t n) {
    static const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    while (n > 0) {
        DWORD got = 0;
        if (!::ReadFile(input, out, static_cast<DWORD>(n), &got, nullptr) || got == 0) return false;
        out += got;
        n -= got;
    }
    return true;
}

bool write_output(std::string_view bytes) {
    static const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    return write_all(output, bytes);
}

void rewrite(const std::string& path, std::string_view text) {
    HANDLE file = open(path, GENERIC_WRITE, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return;
    if (write_all(file, text)) static_cast<void>(::SetEndOfFile(file));
    ::CloseHandle(file);
}

void create_or_truncate(const std::string& path, std::string_view text) {
    HANDLE file = open(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return;
    static_cast<void>(write_all(file, text));
    ::CloseHandle(file);
}

void append(const std::string& path, std::string_view bytes) {
    HANDLE file = open(path, FILE_APPEND_DATA, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return;
    static_cast<void>(write_all(file, bytes));
    ::CloseHandle(file);
}

}  // namespace floor_os
