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

// "<system message, trailing white space removed> (os error <code>)"
std::string describe(OsError error);

// The file or one of its folders does not exist.
bool is_not_found(OsError error);
// An exclusive create found the file already there.
bool is_already_exists(OsError error);

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
// Every open shares read, write and delete with other processes.

struct FileInfo {
    std::uint64_t size = 0;
    std::uint64_t last_write = 0;  // 100-ns ticks since 1601-01-01 UTC
    bool is_directory = false;
};

Result<FileInfo> file_info(const Path& path);

// Creates the folder and every missing ancestor; an existing folder is success.
Status create_directories(const Path& path);

// Writes the file in place: creates it or replaces its content, then closes it.
Status write_file(const Path& path, std::string_view bytes);

// Creates the file only if it does not exist yet (fails with an error for which
// is_already_exists() holds otherwise), writes `bytes` and closes it. The value
// tells whether the content was written completely.
Result<bool> create_exclusive(const Path& path, std::string_view bytes);

// Opens an existing file for appending (never creates it), writes all of
// `bytes` in one go, closes it.
Status append_to_file(const Path& path, std::string_view bytes);

Result<std::string> read_file(const Path& path);

// Reads the file and rewrites it in place through one open handle, creating
// it when missing: `update` gets the old content (nullopt when it could not
// be read) and returns the new. The same outcome as reading, then writing,
// with half the system calls. `update` must not throw.
Status update_file(const Path& path,
                   const std::function<std::string(std::optional<std::string_view>)>& update);

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
