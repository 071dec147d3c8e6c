// The one seam between the host and the operating system.
//
// Everything the host needs from the OS is declared here; src/platform/win32/
// and src/platform/posix/ implement it and the build picks one. Nothing in
// this layer throws: operations return a value or an OS error code, and the
// caller decides whether a failure is fatal or ignored.
//
// The non-deterministic parts (process table, clock, sleep, folder lookup,
// spawning, random bytes) sit behind `System`, so tests can replace them.
// Files are real everywhere: tests use temporary folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbra::platform {

// An error code as the OS reported it (GetLastError on Windows, errno on POSIX).
struct OsError {
    std::uint32_t code = 0;
};

// The system's own message for the code as the OS words it; empty when it
// has none.
std::string system_message(OsError error);

// "<system message, trailing white space removed> (os error <code>)": the one
// form in which an OS failure reaches a reply.
inline std::string describe(OsError error) {
    std::string text = system_message(error);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' ||
                             text.back() == '\t')) {
        text.pop_back();
    }
    if (text.empty()) text = "Unknown error";
    return text + " (os error " + std::to_string(error.code) + ")";
}

// The file or one of its folders does not exist.
bool is_not_found(OsError error);
// An exclusive create found the file already there.
bool is_already_exists(OsError error);
// Another process holds the file open without sharing it, or has locked its
// bytes (Windows: a sharing or lock violation), so it may well be free a
// moment later. Never on POSIX, where files are always shared.
bool is_busy(OsError error);

// The code a test can use for "no such file" on this OS.
OsError not_found_error();

// A value or the OS error that prevented it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    Result(OsError error) : error_(error) {}       // NOLINT(google-explicit-constructor)

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    OsError error() const { return error_; }

private:
    std::optional<T> value_;
    OsError error_{};
};

// Success, or the OS error of a failed operation.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(OsError error) : failed_(true), error_(error) {}  // NOLINT(google-explicit-constructor)
    static Status success() { return {}; }

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    OsError error() const { return error_; }

private:
    bool failed_ = false;
    OsError error_{};
};

using Path = std::filesystem::path;

// ---------------------------------------------------------------- file times
// Times cross this seam on one scale, the Windows file time: 100-ns ticks
// since 1601-01-01 UTC.

// 1970-01-01 00:00:00 UTC as a file time.
inline constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ULL;

// A POSIX time (seconds and nanoseconds since 1970) as a file time; 0 before 1970.
constexpr std::uint64_t file_time_from_unix(std::int64_t seconds, std::int64_t nanoseconds) {
    if (seconds < 0) return 0;
    return kUnixEpochFileTime + static_cast<std::uint64_t>(seconds) * 10000000ULL +
           static_cast<std::uint64_t>(nanoseconds) / 100ULL;
}

// Whole milliseconds since 1970 of a file time; 0 before 1970.
constexpr std::uint64_t unix_ms_from_file_time(std::uint64_t file_time) {
    if (file_time < kUnixEpochFileTime) return 0;
    return (file_time - kUnixEpochFileTime) / 10000;
}

// ---------------------------------------------------------------- standard streams

// Called first thing in main: makes the standard handles safe to use (POSIX:
// SIGPIPE ignored, closed descriptors 0 to 2 reopened on /dev/null before any
// file can take their number).
void prepare_process();

// Reads up to `buffer.size()` bytes from standard input. Returns the count
// read; 0 means the input has ended (end of file, a broken pipe, or no usable
// standard input). Interrupted reads are retried here.
Result<std::size_t> read_stdin(std::span<char> buffer);

// Writes all of `bytes` to standard output, repeating short writes. Without a
// usable standard output the bytes are discarded and the write succeeds.
Status write_stdout(std::string_view bytes);

// ---------------------------------------------------------------- files and folders
// Every open shares read, write and delete with other processes. On POSIX,
// what the host creates is private: folders 0700 and files 0600, whatever the
// umask; what exists keeps its mode.

struct FileInfo {
    std::uint64_t size = 0;
    std::uint64_t last_write = 0;  // file time
    bool is_directory = false;
};

Result<FileInfo> file_info(const Path& path);

// Creates the folder and every missing ancestor; an existing folder is success.
Status create_directories(const Path& path);

// Writes the file in place: creates it or replaces its content, then closes
// it. A file that could not be written whole is removed, before it is closed,
// so that no reader ever takes a cut-off file for a complete one.
Status write_file_or_remove(const Path& path, std::string_view bytes);

// Creates the file only if it does not exist yet (fails with an error for which
// is_already_exists() holds otherwise), writes `bytes` and closes it. The value
// tells whether the content was written completely.
Result<bool> create_exclusive(const Path& path, std::string_view bytes);

// What came of appending to a file.
struct [[nodiscard]] Appended {
    Status status;
    // Whether the file was opened. A failure before that changed nothing; one
    // after it (the write or the close) may have left part of the bytes in.
    bool opened = false;
};

// Opens an existing file for appending (never creates it), writes all of
// `bytes` in one go, closes it.
Appended append_to_file(const Path& path, std::string_view bytes);

Result<std::string> read_file(const Path& path);

// How a locked rewrite waits for a lock. Called after each try that found
// the lock held by another process, with the number of such tries so far:
// returns true once it has paused, to try again, or false to give up.
using LockWait = std::function<bool(int failed_tries)>;

// What an update makes of a file's old content.
struct Rewrite {
    std::string bytes;
    // The caller allows `bytes` to be written over the old content in place:
    // the two are of one length, and a reader that catches the write half
    // done sees nothing the caller minds (a time stamp half rewritten, say).
    bool in_place = false;
};
using Update = std::function<Rewrite(std::string_view old)>;

// How a locked rewrite ended, when it did not fail.
enum class Rewritten {
    // A new file, written whole beside the old one, took its name: every
    // reader found the old content or the new, never a mix.
    replaced,
    // Written over the old content, as the update allowed.
    in_place,
    // The replacement was refused because another process holds the file
    // without letting it be deleted (Windows only): written over the old
    // content instead, a shorter text padded with spaces up to the old
    // length before the cut, so the file held valid text throughout.
    padded,
    // The lock stayed with another process for as long as `wait` allowed:
    // the file is as it was. Nothing is ever written without the lock.
    not_locked,
};

// Rewrites a file that several processes rewrite, creating it when missing.
// The read-modify-write runs under an exclusive lock on the file itself
// (POSIX: flock on the open descriptor; Windows: the open itself, which
// shares the file with readers but not with other writers, so that readers
// who open it for reading are never blocked); a lock that
// turns out to guard a file another process has replaced meanwhile is let
// go and the rewrite starts over. `update` gets the old content (empty for a
// missing file) and may be called more than once. Unless it allows a write
// in place, the new content is written to "<file>.tmp" and renamed over the
// file, so that readers without the lock, and a crash at any moment, find
// the old content or the new. A crash leaves at most that one temporary
// file, which the next rewrite reuses or removes. A file that exists but
// cannot be read is left untouched, and the read's error returned.
// Exceptions of `update` pass through; every file is closed either way.
Result<Rewritten> rewrite_file(const Path& path, const LockWait& wait, const Update& update);

Status remove_file(const Path& path);

// ---------------------------------------------------------------- paths

// Joins a plain relative name to a folder with this OS's separator, adding no
// separator where the folder already ends in one.
Path join(const Path& folder, std::string_view name);

// A path as UTF-8 text for JSON: whatever cannot be represented (unpaired
// UTF-16 surrogates on Windows, invalid UTF-8 on POSIX) becomes U+FFFD.
std::string path_to_utf8(const Path& path);

// ---------------------------------------------------------------- names this OS uses

// Process names (ASCII lower case) under which the desktop application runs.
std::span<const std::string_view> desktop_app_process_names();

// Executable names of the desktop application, tried in order in the folder
// that holds the host's own executable.
std::span<const std::string_view> desktop_app_candidates();

// Browser executable names that only this OS uses, as {name, browser id}.
std::span<const std::pair<std::string_view, std::string_view>> extra_browser_executables();

// ---------------------------------------------------------------- the replaceable parts

struct ProcessEntry {
    std::uint32_t pid = 0;
    std::uint32_t parent_pid = 0;
    std::string name;  // executable file name, UTF-8
};

class System {
public:
    virtual ~System() = default;

    // One snapshot of all processes. nullopt when no snapshot could be taken;
    // an empty list when not even the first entry could be read.
    virtual std::optional<std::vector<ProcessEntry>> snapshot_processes() = 0;

    // A snapshot that holds at least this process and its chain of ancestors
    // as snapshot_processes() would record them; enough to walk the ancestry.
    // Where listing every process is costly (POSIX reads /proc file by file)
    // the chain alone is read.
    virtual std::optional<std::vector<ProcessEntry>> snapshot_ancestry() {
        return snapshot_processes();
    }

    virtual std::uint32_t current_process_id() = 0;

    // Whether the process runs as this process's user (Windows: the user SID
    // of its token; POSIX: its real user id, from the Uid: line of its
    // /proc status, is ours).
    // False whenever that cannot be told, as for a process that has gone.
    virtual bool is_own_process(std::uint32_t pid) = 0;

    // The current user's local application data folder (Windows: the known
    // folder LocalAppData; POSIX: the XDG data home). nullopt when unknown.
    virtual std::optional<Path> local_app_data() = 0;

    // Full path of the running executable; nullopt when unavailable.
    virtual std::optional<Path> own_executable() = 0;

    // Starts the program with no arguments and does not wait for it. The child
    // gets none of the host's standard handles.
    virtual Status start_program(const Path& program) = 0;

    // The precise system clock: 100-ns ticks since 1601-01-01 UTC.
    virtual std::uint64_t now_file_time() = 0;

    virtual void sleep_ms(std::uint32_t milliseconds) = 0;

    // Fills `buffer` from the system's cryptographic random source.
    virtual Status random_bytes(std::span<std::uint8_t> buffer) = 0;
};

// The real operating system.
System& real_system();

}  // namespace nimbra::platform
