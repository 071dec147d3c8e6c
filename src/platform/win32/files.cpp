// Files, folders, paths and standard streams on Windows.
//
// Paths stay UTF-16 from the caller to the file call: a narrow conversion
// on the way would lose what the ANSI code page cannot hold.
#include <windows.h>

#include <algorithm>
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

// Reads from the current position to the end of the file.
Result<std::string> read_all(HANDLE handle) {
    std::string content;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(handle, &size) && size.QuadPart > 0 &&
        static_cast<std::uint64_t>(size.QuadPart) < content.max_size()) {
        content.reserve(static_cast<std::size_t>(size.QuadPart));
    }
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle, chunk, sizeof chunk, &got, nullptr)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) break;
            return last_error();
        }
        if (got == 0) break;
        content.append(chunk, got);
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

// The byte locked to serialise rewrites: far past any real content, so the
// lock keeps other writers out and never blocks anyone's reads.
constexpr std::uint64_t kLockOffset = std::uint64_t{1} << 62;

// A file of the data directory that several processes rewrite, opened for
// reading and writing and locked for as long as it is open.
class LockedFile {
public:
    LockedFile(const Path& path, const LockWait& wait)
        : path_(path), file_(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS) {
        if (!file_.is_open()) {
            error_ = last_error();
            return;
        }
        created_ = ::GetLastError() != ERROR_ALREADY_EXISTS;
        range_.Offset = static_cast<DWORD>(kLockOffset);
        range_.OffsetHigh = static_cast<DWORD>(kLockOffset >> 32);
        for (int failed = 0;;) {
            if (::LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range_)) {
                locked_ = true;
                break;
            }
            // Where locks are not to be had at all, waiting would not help.
            if (::GetLastError() != ERROR_LOCK_VIOLATION || !wait(++failed)) break;
        }
    }

    ~LockedFile() { unlock(); }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    bool is_open() const { return file_.is_open(); }
    bool is_locked() const { return locked_; }
    OsError error() const { return error_; }

    Result<std::string> read() { return read_all(file_.get()); }
    Result<std::uint64_t> size() {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file_.get(), &size)) return last_error();
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    // Writes `next` from the start and cuts the file to its length. Should
    // either fail, `old` goes back into the space it held, so that the file
    // is whole either way. Under the lock the length cannot have moved since
    // `old` was read, so where it is right already there is nothing to cut.
    Status replace(std::string_view old, std::string_view next) {
        Status written = write_from_start(next, !locked_ || old.size() != next.size());
        if (!written) static_cast<void>(write_from_start(old, true));
        // A file made here that never got its content was not there before;
        // deleted while still locked, it goes when the handle closes.
        if (!written && created_) ::DeleteFileW(path_.c_str());
        return close(written);
    }

    // Writes over content of the same length: no cut, and no new space.
    Status overwrite(std::string_view bytes) { return close(write_from_start(bytes, false)); }

private:
    // Closing would release the lock too, but only at some later moment.
    void unlock() {
        if (locked_) ::UnlockFileEx(file_.get(), 0, 1, 0, &range_);
        locked_ = false;
    }

    Status write_from_start(std::string_view bytes, bool cut) {
        LARGE_INTEGER start{};
        if (!::SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) return last_error();
        Status written = write_all(file_.get(), bytes);
        if (written && cut && !::SetEndOfFile(file_.get())) written = last_error();
        return written;
    }

    Status close(Status written) {
        unlock();
        Status closed = file_.close();
        return written ? closed : written;
    }

    const Path& path_;
    File file_;
    bool created_ = false;
    OVERLAPPED range_{};
    bool locked_ = false;
    OsError error_{};
};

}  // namespace

Status rewrite_file(const Path& path, const LockWait& wait, std::string_view bytes) {
    return detail::rewrite_locked<LockedFile>(path, wait, bytes);
}

Status update_file(const Path& path, const LockWait& wait,
                   const std::function<std::string(std::string_view)>& update) {
    return detail::update_locked<LockedFile>(path, wait, update);
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
