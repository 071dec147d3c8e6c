// Files, folders, paths and standard streams on Windows.
//
// Paths stay UTF-16 from the caller to the file call: a narrow conversion
// on the way would lose what the ANSI code page cannot hold.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/locked_rewrite.h"
#include "platform/win32/unicode.h"

namespace nimbra::platform {

namespace {

OsError last_error() { return OsError{static_cast<std::uint32_t>(::GetLastError())}; }

// The largest count one ReadFile or WriteFile call takes.
constexpr std::size_t kMaxChunk = std::numeric_limits<DWORD>::max() / 2 + 1;

DWORD chunk_size(std::size_t remaining) { return static_cast<DWORD>(std::min(remaining, kMaxChunk)); }

bool usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// What a standard handle that cannot carry the stream fails with: closed,
// opened the other way round, or (wine, for a Unix descriptor that was
// closed) of a kind that does not read or write at all.
bool means_unusable(DWORD code) {
    return code == ERROR_INVALID_HANDLE || code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_FUNCTION;
}

// Owns a handle from CreateFileW; the destructor covers early returns.
class File {
public:
    File(const Path& path, DWORD access, DWORD disposition)
        : handle_(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    explicit File(HANDLE handle) : handle_(handle) {}
    ~File() {
        if (usable(handle_)) ::CloseHandle(handle_);
    }
    File(File&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    File& operator=(File&&) = delete;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool is_open() const { return usable(handle_); }
    HANDLE get() const { return handle_; }

    // Closing is where a deferred write error would show, so it is reported.
    Status close() {
        HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        if (!::CloseHandle(handle)) return last_error();
        return Status::success();
    }

private:
    HANDLE handle_;
};

Status write_all(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data(), chunk_size(bytes.size()), &written, nullptr)) return last_error();
        // A successful write of nothing would otherwise loop for ever.
        if (written == 0) return OsError{ERROR_WRITE_FAULT};
        bytes.remove_prefix(written);
    }
    return Status::success();
}

std::uint64_t to_u64(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

// Consecutive aborted reads tolerated before the error is passed on, so a
// source that aborts every read cannot keep the host spinning.
constexpr int kAbortRetries = 100;

HANDLE stdin_handle = nullptr;
HANDLE stdout_handle = nullptr;
bool streams_prepared = false;

HANDLE standard_handle(HANDLE cached, DWORD which) {
    return streams_prepared ? cached : ::GetStdHandle(which);
}

}  // namespace

// ---------------------------------------------------------------- errors

std::string system_message(OsError error) {
    wchar_t* buffer = nullptr;
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        error.code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length != 0 && buffer != nullptr) text = win32::to_utf8(std::wstring_view(buffer, length));
    if (buffer != nullptr) ::LocalFree(buffer);
    return text;
}

bool is_not_found(OsError error) {
    return error.code == ERROR_FILE_NOT_FOUND || error.code == ERROR_PATH_NOT_FOUND;
}
bool is_already_exists(OsError error) {
    return error.code == ERROR_FILE_EXISTS || error.code == ERROR_ALREADY_EXISTS;
}
bool is_busy(OsError error) {
    return error.code == ERROR_SHARING_VIOLATION || error.code == ERROR_LOCK_VIOLATION;
}
OsError not_found_error() { return OsError{ERROR_FILE_NOT_FOUND}; }

// ---------------------------------------------------------------- standard streams

void prepare_process() {
    // Taken once, before anything could call SetStdHandle, so the replies
    // always go to the pipe the browser handed over.
    stdin_handle = ::GetStdHandle(STD_INPUT_HANDLE);
    stdout_handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
    streams_prepared = true;
}

Result<std::size_t> read_stdin(std::span<char> buffer) {
    HANDLE handle = standard_handle(stdin_handle, STD_INPUT_HANDLE);
    if (!usable(handle) || buffer.empty()) return std::size_t{0};
    for (int aborted = 0;;) {
        DWORD got = 0;
        if (::ReadFile(handle, buffer.data(), chunk_size(buffer.size()), &got, nullptr)) return std::size_t{got};
        DWORD code = ::GetLastError();
        if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF || means_unusable(code)) return std::size_t{0};
        // CancelSynchronousIo from another thread; the stream itself is fine.
        if (code == ERROR_OPERATION_ABORTED && ++aborted < kAbortRetries) continue;
        return OsError{static_cast<std::uint32_t>(code)};
    }
}

Status write_stdout(std::string_view bytes) {
    HANDLE handle = standard_handle(stdout_handle, STD_OUTPUT_HANDLE);
    if (!usable(handle)) return Status::success();
    // No FlushFileBuffers: nothing is buffered here, and on a pipe it would
    // block until the browser has read everything.
    Status written = write_all(handle, bytes);
    if (!written && means_unusable(written.error().code)) return Status::success();
    return written;
}

// ---------------------------------------------------------------- files and folders

Result<FileInfo> file_info(const Path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return last_error();
    FileInfo info;
    info.size = to_u64(data.nFileSizeHigh, data.nFileSizeLow);
    info.last_write = to_u64(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
    info.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return info;
}

Status create_directories(const Path& path) {
    if (path.empty()) return OsError{ERROR_PATH_NOT_FOUND};

    // Walk up to the nearest ancestor that exists, then create downwards.
    std::vector<Path> missing;
    Path current = path;
    for (;;) {
        DWORD attributes = ::GetFileAttributesW(current.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (missing.empty() && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                return OsError{ERROR_ALREADY_EXISTS};
            }
            // A file further up: CreateDirectoryW below reports it as the OS sees it.
            break;
        }
        if (!is_not_found(last_error())) break;
        missing.push_back(current);
        Path parent = current.parent_path();
        if (parent.empty() || parent == current) break;
        current = std::move(parent);
    }

    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::CreateDirectoryW(it->c_str(), nullptr)) continue;
        OsError error = last_error();
        if (!is_already_exists(error)) return error;
        // Another process created it meanwhile, or a file is in the way.
        DWORD attributes = ::GetFileAttributesW(it->c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return error;
    }
    return Status::success();
}

namespace {

// Marks the open file for deletion, so that it goes when the handle closes
// and nobody opens it in between; false when the handle may not delete.
bool delete_on_close(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

}  // namespace

Status write_file_or_remove(const Path& path, std::string_view bytes) {
    // Rewritten from offset 0 and then cut to length rather than truncated
    // on open (CREATE_ALWAYS): the bytes on disk are the same, but emptying a
    // file first makes ext4 flush it at close when wine runs the host, about
    // ten times the cost of this for the small files rewritten all the time.
    const auto open = [&path](DWORD access) {
        return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE handle = open(GENERIC_WRITE | DELETE);
    // A process that holds the file without letting it be deleted still
    // lets it be written; a failed write then removes it by name.
    bool deletable = usable(handle);
    File file(deletable ? handle : open(GENERIC_WRITE));
    if (!file.is_open()) return last_error();
    Status written = write_all(file.get(), bytes);
    if (written && !::SetEndOfFile(file.get())) written = last_error();
    // Cut short (a full disk), the file would pass for whole with whoever
    // reads it: it is deleted through the handle, before the close.
    if (!written) deletable = deletable && delete_on_close(file.get());
    Status closed = file.close();
    if (written && closed) return Status::success();
    if (written || !deletable) ::DeleteFileW(path.c_str());
    return written ? closed : written;
}

Result<bool> create_exclusive(const Path& path, std::string_view bytes) {
    File file(path, GENERIC_WRITE, CREATE_NEW);
    if (!file.is_open()) return last_error();
    bool complete = static_cast<bool>(write_all(file.get(), bytes));
    return static_cast<bool>(file.close()) && complete;
}

Appended append_to_file(const Path& path, std::string_view bytes) {
    // Append access alone makes every write land at the current end, even
    // when another process appends at the same time.
    File file(path, FILE_APPEND_DATA, OPEN_EXISTING);
    if (!file.is_open()) return {last_error(), false};
    Status written = write_all(file.get(), bytes);
    Status closed = file.close();
    return {written ? closed : written, true};
}

namespace {

// Reads from the current position to the end of the file. A read of a disk
// file that comes back short of the room given has reached the end, so a
// small file takes one call, without asking its size first.
Result<std::string> read_all(HANDLE handle) {
    std::string content;
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle, chunk, sizeof chunk, &got, nullptr)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) break;
            return last_error();
        }
        content.append(chunk, got);
        if (got < sizeof chunk) break;
    }
    return content;
}

}  // namespace

Result<std::string> read_file(const Path& path) {
    File file(path, GENERIC_READ, OPEN_EXISTING);
    if (!file.is_open()) return last_error();
    return read_all(file.get());
}

namespace {

Result<FILE_STANDARD_INFO> standard_info(HANDLE handle) {
    FILE_STANDARD_INFO info{};
    if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &info, sizeof info)) return last_error();
    return info;
}

Status seek(HANDLE handle, std::uint64_t offset) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(handle, to, nullptr, FILE_BEGIN)) return last_error();
    return Status::success();
}

// Renaming by handle with flags (FileRenameInfoEx, Windows 10 1607 on), which
// these headers declare only past the usual _WIN32_WINNT values. Its flags
// take the place of FILE_RENAME_INFO's ReplaceIfExists.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;

// The primitives of the locked rewrite. The lock is the open itself: a
// writer opens for writing and shares reading and deletion, not writing, so
// a second writer's open fails with a sharing violation until the first
// closes, while readers, who open for reading only, are never kept out. This
// costs no call beyond the open (under wine a lock and its release are two
// wineserver round trips), ends with the close, and a writer of an earlier
// build, which opens for writing and locks bytes, is kept out as well as it
// keeps this one out.
struct WindowsRewrite {
    using File = platform::File;

    static Result<File> open_existing(const Path& path) {
        return open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    }

    // One process at a time holds the temporary file: it may rename or
    // delete it, and nobody else may, so that nobody ever holds it open
    // under another name. A second opener fails with a sharing violation.
    static Result<File> open_temporary(const Path& path) {
        return open(path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    }

    // Taken with the open.
    static Result<bool> try_lock(File&) { return true; }

    static Result<detail::FileState> state(File& file) {
        Result<FILE_STANDARD_INFO> info = standard_info(file.get());
        if (!info) return info.error();
        return detail::FileState{info->NumberOfLinks, static_cast<std::uint64_t>(info->EndOfFile.QuadPart)};
    }

    // An open file that nobody renames away (the heartbeat files are never
    // renamed, and the temporary file is held by one process alone) loses
    // its name only by being deleted or replaced with POSIX semantics, and
    // both leave it without a link or with its deletion pending; a classic
    // rename never replaces a file that is open. So the handle itself tells,
    // without opening the name again: that, and the file index with the
    // volume's serial number, cost over half a millisecond under wine, three
    // times a whole rewrite.
    static Result<bool> names(File& file, const Path&) {
        Result<FILE_STANDARD_INFO> info = standard_info(file.get());
        if (!info) return info.error();
        return info->NumberOfLinks > 0 && !info->DeletePending;
    }

    static Result<std::string> read(File& file) {
        if (Status at = seek(file.get(), 0); !at) return at.error();
        return read_all(file.get());
    }
    static Status write(File& file, std::string_view bytes) {
        if (Status at = seek(file.get(), 0); !at) return at;
        return write_all(file.get(), bytes);
    }
    static Status cut(File& file, std::uint64_t length) {
        if (Status at = seek(file.get(), length); !at) return at;
        if (!::SetEndOfFile(file.get())) return last_error();
        return Status::success();
    }

    // Renamed over the file with POSIX semantics (Windows 10 and later, on
    // NTFS), which replace a file that others hold open as long as each lets
    // it be deleted; else the classic way, which wine always takes and which
    // is refused while anyone holds the file. Every refusal is met by the
    // caller, so any failure counts as one.
    static Result<bool> replace(File& temp, const Path&, const Path& path) {
        return rename_by_handle(temp, path, kFileRenameInfoEx, kRenamePosixSemantics | kRenameReplaceIfExists) ||
               rename_by_handle(temp, path, FileRenameInfo, kRenameReplaceIfExists);
    }

    static Result<bool> claim(File& temp, const Path&, const Path& path) {
        if (rename_by_handle(temp, path, FileRenameInfo, 0)) return true;
        if (is_already_exists(last_error())) return false;
        return last_error();
    }

    static Status remove(File& file, const Path& path) {
        if (delete_on_close(file.get())) return Status::success();
        if (!::DeleteFileW(path.c_str())) return last_error();
        return Status::success();
    }

private:
    static Result<File> open(const Path& path, DWORD access, DWORD share, DWORD disposition) {
        File file(::CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.is_open()) return last_error();
        return Result<File>(std::move(file));
    }

    // The flags take the place of ReplaceIfExists, in its first byte for
    // the classic kind.
    static bool rename_by_handle(File& file, const Path& path, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags) {
        const std::wstring& name = path.native();
        const DWORD name_bytes = static_cast<DWORD>(name.size() * sizeof(wchar_t));
        std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        std::memcpy(buffer.data(), &flags, sizeof flags);
        info->RootDirectory = nullptr;
        info->FileNameLength = name_bytes;
        std::memcpy(info->FileName, name.data(), name_bytes);
        return ::SetFileInformationByHandle(file.get(), kind, info, static_cast<DWORD>(buffer.size())) != 0;
    }
};

}  // namespace

Result<Rewritten> rewrite_file(const Path& path, const LockWait& wait, const Update& update) {
    return detail::LockedRewrite<WindowsRewrite>(path, wait, update).run();
}

Status remove_file(const Path& path) {
    if (!::DeleteFileW(path.c_str())) return last_error();
    return Status::success();
}

// ---------------------------------------------------------------- paths

Path join(const Path& folder, std::string_view name) {
    // Built by hand: operator/ would drop the folder for a name that looks
    // rooted and treats "C:" specially.
    std::wstring joined = folder.native();
    if (!joined.empty() && joined.back() != L'\\' && joined.back() != L'/') joined.push_back(L'\\');
    joined.append(win32::to_wide(name));
    return Path(std::move(joined));
}

std::string path_to_utf8(const Path& path) { return win32::to_utf8(path.native()); }

}  // namespace nimbra::platform
