// pe-check: checks a built nimbra-native-host.exe the way Windows will see it.
//
//   pe-check <path of nimbra-native-host.exe>
//
// Version resource (fixed and string values) and icon group through the
// Windows resource APIs; architecture, subsystem and imported DLLs by reading
// the PE file itself. A host that needs a DLL Windows does not ship (the
// mingw runtime, for one) starts on the build machine and nowhere else, so
// every import must be a system DLL. Prints each check; exits 0 only if all hold.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#ifndef NIMBRA_EXPECTED_VERSION
#error "NIMBRA_EXPECTED_VERSION must be the project version, e.g. \"1.0.4\""
#endif

namespace {

int failures = 0;

void report(bool ok, const std::string& what) {
    std::printf("%s  %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) ++failures;
}

std::string narrow(std::wstring_view text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring widen(std::string_view text) {
    std::wstring out;
    for (char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

// "1.0.4" as the four 16-bit parts of a fixed version: 1, 0, 4, 0.
std::optional<std::vector<unsigned>> version_parts(std::string_view text) {
    std::vector<unsigned> parts;
    unsigned current = 0;
    bool digits = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            current = current * 10 + static_cast<unsigned>(c - '0');
            digits = true;
        } else if (c == '.' && digits) {
            parts.push_back(current);
            current = 0;
            digits = false;
        } else {
            return std::nullopt;
        }
    }
    if (!digits) return std::nullopt;
    parts.push_back(current);
    if (parts.size() > 4) return std::nullopt;
    parts.resize(4, 0);
    return parts;
}

std::string fixed_text(DWORD ms, DWORD ls) {
    return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." + std::to_string(HIWORD(ls)) + "." +
           std::to_string(LOWORD(ls));
}

// ---------------------------------------------------------------- version resource

void check_version(const std::wstring& exe) {
    const std::string expected = NIMBRA_EXPECTED_VERSION;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    if (size == 0) {
        report(false, "version resource present (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(exe.c_str(), 0, size, block.data())) {
        report(false, "version resource readable (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    report(true, "version resource present");

    std::optional<std::vector<unsigned>> parts = version_parts(expected);
    void* value = nullptr;
    UINT length = 0;
    if (!parts) {
        report(false, "project version \"" + expected + "\" is a dotted version");
    } else if (VerQueryValueW(block.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        std::string want = std::to_string((*parts)[0]) + "." + std::to_string((*parts)[1]) + "." +
                           std::to_string((*parts)[2]) + "." + std::to_string((*parts)[3]);
        std::string file = fixed_text(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
        std::string product = fixed_text(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
        report(fixed->dwSignature == VS_FFI_SIGNATURE, "fixed version information has its signature");
        report(file == want, "fixed FILEVERSION " + file + " (want " + want + ")");
        report(product == want, "fixed PRODUCTVERSION " + product + " (want " + want + ")");
        report(fixed->dwFileType == VFT_APP, "file type is an application");
    } else {
        report(false, "fixed version information present");
    }

    // The string table of the first translation, as Explorer reads it.
    struct Translation {
        WORD language;
        WORD code_page;
    };
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) ||
        length < sizeof(Translation)) {
        report(false, "translation table present");
        return;
    }
    const auto* translation = static_cast<const Translation*>(value);
    wchar_t table[32];
    std::swprintf(table, 32, L"\\StringFileInfo\\%04x%04x\\", translation->language, translation->code_page);
    report(true, "string table " + narrow(std::wstring_view(table + 16, 8)));

    const std::pair<const char*, std::string> strings[] = {
        {"FileVersion", expected},
        {"ProductVersion", expected},
        {"CompanyName", "Velisto"},
        {"ProductName", "Velisto Download Manager"},
        {"FileDescription", "Velisto Download Manager browser connector"},
        {"OriginalFilename", "nimbra-native-host.exe"},
        {"InternalName", "nimbra-native-host"},
        {"LegalCopyright", "Copyright (C) 2026 Velisto"},
    };
    for (const auto& [name, want] : strings) {
        std::wstring query = table + widen(name);
        std::string got;
        bool found = VerQueryValueW(block.data(), query.c_str(), &value, &length) && value != nullptr;
        if (found) {
            std::wstring_view text(static_cast<const wchar_t*>(value), length);
            while (!text.empty() && text.back() == L'\0') text.remove_suffix(1);
            got = narrow(text);
        }
        report(found && got == want,
               std::string(name) + " \"" + got + "\"" + (got == want ? "" : " (want \"" + want + "\")"));
    }
}

// ---------------------------------------------------------------- icon

#pragma pack(push, 2)
struct IconGroupHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct IconGroupEntry {
    BYTE width;
    BYTE height;
    BYTE colour_count;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

BOOL CALLBACK first_group(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
    auto* result = reinterpret_cast<std::optional<std::wstring>*>(found);
    // Ids are kept as "#n" so the name can outlive the enumeration.
    *result = IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name)) : std::wstring(name);
    return FALSE;
}

void check_icon(const std::wstring& exe) {
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        report(false, "loads as a resource module (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    // Explorer shows the first icon group, so that is the one checked.
    std::optional<std::wstring> group_name;
    EnumResourceNamesW(module, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, first_group,
                       reinterpret_cast<LONG_PTR>(&group_name));
    HRSRC group = group_name ? FindResourceW(module, group_name->c_str(), MAKEINTRESOURCEW(14)) : nullptr;
    report(group != nullptr, "icon group " + (group_name ? narrow(*group_name) : std::string("missing")));
    if (group == nullptr) {
        FreeLibrary(module);
        return;
    }
    DWORD size = SizeofResource(module, group);
    const auto* data = static_cast<const unsigned char*>(LockResource(LoadResource(module, group)));
    IconGroupHeader header{};
    if (data == nullptr || size < sizeof header) {
        report(false, "icon group readable");
        FreeLibrary(module);
        return;
    }
    std::memcpy(&header, data, sizeof header);
    bool complete = header.type == 1 && size >= sizeof header + header.count * sizeof(IconGroupEntry);
    report(complete, "icon group holds " + std::to_string(header.count) + " images");
    std::set<int> sizes;
    for (WORD i = 0; complete && i < header.count; ++i) {
        IconGroupEntry entry{};
        std::memcpy(&entry, data + sizeof header + i * sizeof entry, sizeof entry);
        int side = entry.width == 0 ? 256 : entry.width;
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3) /* RT_ICON */);
        bool present = image != nullptr && SizeofResource(module, image) == entry.bytes;
        report(present && entry.bit_count == 32,
               "icon image " + std::to_string(side) + " px, " + std::to_string(entry.bit_count) + "-bit, id " +
                   std::to_string(entry.id) + (present ? "" : " (image missing or of another size)"));
        if (present) sizes.insert(side);
    }
    for (int want : {16, 32, 48, 256}) {
        report(sizes.count(want) == 1, "icon has a " + std::to_string(want) + " px image");
    }
    FreeLibrary(module);
}

// ---------------------------------------------------------------- PE headers and imports

class Image {
public:
    explicit Image(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

    template <class T>
    std::optional<T> at(std::size_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return std::nullopt;
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }

    std::optional<std::string> string_at(std::size_t offset) const {
        if (offset >= bytes_.size()) return std::nullopt;
        const auto* start = reinterpret_cast<const char*>(bytes_.data() + offset);
        std::size_t limit = std::min<std::size_t>(bytes_.size() - offset, 512);
        std::size_t length = strnlen(start, limit);
        if (length == limit) return std::nullopt;
        return std::string(start, length);
    }

    void set_sections(std::vector<IMAGE_SECTION_HEADER> sections) { sections_ = std::move(sections); }

    std::optional<std::size_t> offset_of(DWORD rva) const {
        for (const auto& section : sections_) {
            DWORD extent = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
            if (rva >= section.VirtualAddress && rva - section.VirtualAddress < extent) {
                DWORD within = rva - section.VirtualAddress;
                if (within >= section.SizeOfRawData) return std::nullopt;
                return static_cast<std::size_t>(section.PointerToRawData) + within;
            }
        }
        return std::nullopt;
    }

private:
    std::vector<unsigned char> bytes_;
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

std::optional<std::vector<unsigned char>> read_whole(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    CloseHandle(file);
    return bytes;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

// DLLs every supported Windows has in System32; the mingw runtime's own
// DLLs (libstdc++-6, libgcc_s_seh-1, libwinpthread-1) are the ones to catch.
bool is_system_dll(const std::string& name) {
    static const std::set<std::string> known = {
        "advapi32.dll", "bcrypt.dll",   "bcryptprimitives.dll", "comctl32.dll", "comdlg32.dll",
        "crypt32.dll",  "dbghelp.dll",  "gdi32.dll",            "imm32.dll",    "iphlpapi.dll",
        "kernel32.dll", "kernelbase.dll", "msvcrt.dll",         "ntdll.dll",    "ole32.dll",
        "oleaut32.dll", "psapi.dll",    "rpcrt4.dll",           "secur32.dll",  "shell32.dll",
        "shlwapi.dll",  "ucrtbase.dll", "user32.dll",           "userenv.dll",  "uxtheme.dll",
        "version.dll",  "winmm.dll",    "ws2_32.dll",
    };
    std::string lowered = lower(name);
    if (lowered.rfind("api-ms-win-", 0) == 0 || lowered.rfind("ext-ms-win-", 0) == 0) return true;
    return known.count(lowered) == 1;
}

void check_imports(const Image& image, const IMAGE_DATA_DIRECTORY& directory, bool delayed) {
    const char* kind = delayed ? "delay-loaded DLL" : "imported DLL";
    if (directory.VirtualAddress == 0) return;
    std::optional<std::size_t> offset = image.offset_of(directory.VirtualAddress);
    if (!offset) {
        report(false, std::string(kind) + " table inside the file");
        return;
    }
    // Both tables end with an all-zero descriptor; the name's RVA sits at
    // offset 12 of an import descriptor and offset 4 of a delay-load one.
    std::size_t entry_size = delayed ? 32 : sizeof(IMAGE_IMPORT_DESCRIPTOR);
    std::size_t name_field = delayed ? 4 : 12;
    for (std::size_t i = 0;; ++i) {
        std::size_t at = *offset + i * entry_size;
        auto name_rva = image.at<DWORD>(at + name_field);
        if (!name_rva) {
            report(false, std::string(kind) + " table ends inside the file");
            return;
        }
        if (*name_rva == 0) break;
        std::optional<std::size_t> name_offset = image.offset_of(*name_rva);
        std::optional<std::string> name = name_offset ? image.string_at(*name_offset) : std::nullopt;
        if (!name) {
            report(false, std::string(kind) + " name readable");
            return;
        }
        report(is_system_dll(*name), std::string(kind) + " " + *name + (is_system_dll(*name) ? "" : " is not a system DLL"));
    }
}

void check_headers(const std::wstring& exe) {
    std::optional<std::vector<unsigned char>> bytes = read_whole(exe);
    if (!bytes) {
        report(false, "executable readable (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    Image image(std::move(*bytes));
    auto dos = image.at<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) {
        report(false, "MZ header");
        return;
    }
    std::size_t nt = static_cast<std::size_t>(dos->e_lfanew);
    auto signature = image.at<DWORD>(nt);
    auto file_header = image.at<IMAGE_FILE_HEADER>(nt + 4);
    if (!signature || *signature != IMAGE_NT_SIGNATURE || !file_header) {
        report(false, "PE signature");
        return;
    }
    report(file_header->Machine == IMAGE_FILE_MACHINE_AMD64,
           "machine AMD64 (0x" + [&] {
               char hex[8];
               std::snprintf(hex, sizeof hex, "%04x", file_header->Machine);
               return std::string(hex);
           }() + ")");

    std::size_t optional_at = nt + 4 + sizeof(IMAGE_FILE_HEADER);
    auto magic = image.at<WORD>(optional_at);
    bool pe32_plus = magic && *magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    report(pe32_plus, "PE32+ optional header (magic 0x20b)");
    auto optional = image.at<IMAGE_OPTIONAL_HEADER64>(optional_at);
    if (!pe32_plus || !optional) return;
    report(optional->Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI,
           "subsystem Windows GUI (" + std::to_string(optional->Subsystem) + "), so no console window opens");

    std::vector<IMAGE_SECTION_HEADER> sections;
    std::size_t sections_at = optional_at + file_header->SizeOfOptionalHeader;
    for (WORD i = 0; i < file_header->NumberOfSections; ++i) {
        auto section = image.at<IMAGE_SECTION_HEADER>(sections_at + i * sizeof(IMAGE_SECTION_HEADER));
        if (!section) {
            report(false, "section table inside the file");
            return;
        }
        sections.push_back(*section);
    }
    image.set_sections(std::move(sections));

    if (optional->NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT ||
        optional->DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress == 0) {
        report(false, "import table present");
        return;
    }
    check_imports(image, optional->DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT], false);
    if (optional->NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT) {
        check_imports(image, optional->DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT], true);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pe-check <path of nimbra-native-host.exe>\n");
        return 2;
    }
    // Full and with backslashes: the resource loader wants a Windows path,
    // and under wine the argument is often a Unix one.
    std::wstring exe = argv[1];
    DWORD needed = GetFullPathNameW(argv[1], 0, nullptr, nullptr);
    if (needed != 0) {
        std::wstring full(needed, L'\0');
        DWORD length = GetFullPathNameW(argv[1], needed, full.data(), nullptr);
        if (length != 0 && length < needed) exe.assign(full.data(), length);
    }
    std::printf("checking %s\n", narrow(exe).c_str());
    check_headers(exe);
    check_version(exe);
    check_icon(exe);
    std::printf("%s\n", failures == 0 ? "all checks passed" : (std::to_string(failures) + " check(s) failed").c_str());
    return failures == 0 ? 0 : 1;
}
