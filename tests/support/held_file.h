// Ways to make file writes and reads fail as they do in the field, where root
// cannot be stopped by permission bits.
//
// POSIX: a file size limit fails every write past it, as a full disk fails
// writes that need new space. Windows: a second handle that holds a file as a
// scanner, an indexer or the desktop application may, without sharing it.
#pragma once

#include <filesystem>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#endif

namespace nimbra::testing {

#ifdef _WIN32

// Holds the file open, by default without sharing it. (Byte-range locks would
// make reads fail on Windows too, but wine does not enforce them on reads.)
class HeldFile {
public:
    explicit HeldFile(const std::filesystem::path& path, DWORD share = 0, DWORD access = GENERIC_READ | GENERIC_WRITE)
        : handle_(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldFile() { release(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void release() {
        if (held()) ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

#else

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        // Ignored, a write past the limit fails with EFBIG instead of ending the process.
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limited{bytes, previous_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previous_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previous_handler_)(int) = nullptr;
};

#endif

}  // namespace nimbra::testing
