// Files, folders, paths and standard streams on POSIX.
#include "platform/platform.h"
#include "platform/locked_rewrite.h"
#include "platform/utf8.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace nimbra::platform {

namespace {

OsError last_error() { return OsError{static_cast<std::uint32_t>(errno)}; }

// What the host creates holds the user's downloads and what the browser
// made: nobody else's business.
constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kPrivateFolder = 0700;

int open_retrying(const char* path, int flags, mode_t mode = kPrivateFile) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Creates the file, which must not exist, private whatever the umask: the
// umask only takes bits away, and may take the owner's too.
int create_private(const char* path, int flags) {
    int fd = open_retrying(path, flags | O_CREAT | O_EXCL);
    if (fd >= 0) static_cast<void>(::fchmod(fd, kPrivateFile));
    return fd;
}

// Opens the file, creating it private when missing. An existing file, the
// usual case, costs the one open and keeps its mode.
int open_or_create(const char* path, int flags) {
    // Another process may create or delete it in between; a few rounds settle it.
    for (int round = 0;; ++round) {
        int fd = open_retrying(path, flags);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = create_private(path, flags);
        if (fd >= 0 || errno != EEXIST || round == 3) return fd;
    }
}

Status write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_error();
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return Status::success();
}

Status close_fd(int fd) {
    // A failed close after a write can mean lost data, so it is reported;
    // EINTR is not, since the descriptor is released either way on Linux.
    if (::close(fd) != 0 && errno != EINTR) return last_error();
    return Status::success();
}

// Owns a descriptor, so that it is closed on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&&) = delete;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    Status close() { return close_fd(std::exchange(fd_, -1)); }

private:
    int fd_;
};

bool stdout_usable = true;

}  // namespace

std::string system_message(OsError error) { return std::strerror(static_cast<int>(error.code)); }

bool is_not_found(OsError error) { return error.code == ENOENT || error.code == ENOTDIR; }
bool is_already_exists(OsError error) { return error.code == EEXIST; }
bool is_busy(OsError) { return false; }
OsError not_found_error() { return OsError{ENOENT}; }

void prepare_process() {
    // A reply written after the browser closed its end must come back as an
    // error (the exit status stays 0), not kill the host.
    std::signal(SIGPIPE, SIG_IGN);
    // A descriptor 0 to 2 that the parent closed would otherwise be handed to
    // the next file we open, and replies would land in a data file.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == 1) stdout_usable = false;
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

Result<std::size_t> read_stdin(std::span<char> buffer) {
    for (;;) {
        ssize_t n = ::read(0, buffer.data(), buffer.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EBADF || errno == EPIPE) return std::size_t{0};
        return last_error();
    }
}

Status write_stdout(std::string_view bytes) {
    if (!stdout_usable) return Status::success();
    return write_all(1, bytes);
}

Result<FileInfo> file_info(const Path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return last_error();
    FileInfo info;
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.last_write = file_time_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    info.is_directory = S_ISDIR(st.st_mode);
    return info;
}

Status create_directories(const Path& path) {
    if (path.empty()) return OsError{ENOENT};
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode) ? Status::success() : Status(OsError{ENOTDIR});
    }
    Path parent = path.parent_path();
    if (!parent.empty() && parent != path) {
        Status made = platform::create_directories(parent);
        if (!made) return made;
    }
    if (::mkdir(path.c_str(), kPrivateFolder) == 0) {
        // The umask may have taken bits away, the owner's among them.
        static_cast<void>(::chmod(path.c_str(), kPrivateFolder));
        return Status::success();
    }
    int saved = errno;
    // Another process may have created it at the same moment.
    if (saved == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return Status::success();
    }
    return OsError{static_cast<std::uint32_t>(saved)};
}

Status write_file_or_remove(const Path& path, std::string_view bytes) {
    // Written from offset 0 and then cut to length instead of opened with
    // O_TRUNC: the result is the same bytes in the same file, but ext4 flushes
    // a truncated-and-rewritten file at close, which costs twenty times more.
    Descriptor fd(open_or_create(path.c_str(), O_WRONLY));
    if (!fd.is_open()) return last_error();
    Status written = write_all(fd.get(), bytes);
    if (written && ::ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0) written = last_error();
    // Cut short (a full disk), the file would pass for whole with whoever
    // reads it: its name goes while it is still open, so nobody can open it
    // in between.
    if (!written) static_cast<void>(::unlink(path.c_str()));
    Status closed = fd.close();
    if (written && !closed) static_cast<void>(::unlink(path.c_str()));
    return written ? closed : written;
}

Result<bool> create_exclusive(const Path& path, std::string_view bytes) {
    int fd = create_private(path.c_str(), O_WRONLY);
    if (fd < 0) return last_error();
    bool complete = static_cast<bool>(write_all(fd, bytes));
    static_cast<void>(close_fd(fd));
    return complete;
}

Appended append_to_file(const Path& path, std::string_view bytes) {
    int fd = open_retrying(path.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0) return {last_error(), false};
    Status written = write_all(fd, bytes);
    Status closed = close_fd(fd);
    return {written ? closed : written, true};
}

namespace {

// Reads from the current offset to the end. Sized by fstat, so a small file
// takes one read: a read that comes back short of the room given is the end
// of a regular file.
Result<std::string> read_all(int fd) {
    struct stat st {};
    std::size_t room = 4096;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && st.st_size > 0) room = static_cast<std::size_t>(st.st_size) + 1;
    std::string content;
    for (;;) {
        std::size_t used = content.size();
        content.resize(used + room);
        ssize_t n = ::read(fd, content.data() + used, room);
        if (n < 0) {
            content.resize(used);
            if (errno == EINTR) continue;
            return last_error();
        }
        content.resize(used + static_cast<std::size_t>(n));
        if (n == 0 || (regular && static_cast<std::size_t>(n) < room)) return content;
        room = std::max<std::size_t>(room, 65536);
    }
}

Status pwrite_all(int fd, std::string_view bytes) {
    off_t offset = 0;
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_error();
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += n;
    }
    return Status::success();
}

}  // namespace

Result<std::string> read_file(const Path& path) {
    int fd = open_retrying(path.c_str(), O_RDONLY);
    if (fd < 0) return last_error();
    Result<std::string> content = read_all(fd);
    ::close(fd);
    return content;
}

namespace {

// The primitives of the locked rewrite, on descriptors.
struct PosixRewrite {
    using File = Descriptor;

    static Result<File> open_existing(const Path& path) {
        File file(open_retrying(path.c_str(), O_RDWR));
        if (!file.is_open()) return last_error();
        return file;
    }

    static Result<File> open_temporary(const Path& path) {
        File file(platform::open_or_create(path.c_str(), O_RDWR));
        if (!file.is_open()) return last_error();
        return file;
    }

    // Released when the descriptor closes; O_CLOEXEC keeps any child from
    // holding it on.
    static Result<bool> try_lock(File& file) {
        for (;;) {
            if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0) return true;
            if (errno == EWOULDBLOCK) return false;
            if (errno != EINTR) return last_error();
        }
    }

    static Result<detail::FileState> state(File& file) {
        struct stat st {};
        if (::fstat(file.get(), &st) != 0) return last_error();
        return detail::FileState{static_cast<std::uint64_t>(st.st_nlink), static_cast<std::uint64_t>(st.st_size)};
    }

    // The same inode as the name's.
    static Result<bool> names(File& file, const Path& path) {
        struct stat held {};
        struct stat named {};
        if (::fstat(file.get(), &held) != 0) return last_error();
        if (::stat(path.c_str(), &named) != 0) return errno == ENOENT ? Result<bool>(false) : Result<bool>(last_error());
        return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    }

    static Result<std::string> read(File& file) { return read_all(file.get()); }
    static Status write(File& file, std::string_view bytes) { return pwrite_all(file.get(), bytes); }
    static Status cut(File& file, std::uint64_t length) {
        if (::ftruncate(file.get(), static_cast<off_t>(length)) != 0) return last_error();
        return Status::success();
    }

    // A rename replaces a file whoever holds it open.
    static Result<bool> replace(File& temp, const Path& temp_path, const Path& path) {
        // What exists keeps its mode, as it would when rewritten in place.
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) static_cast<void>(::fchmod(temp.get(), st.st_mode & 07777));
        if (::rename(temp_path.c_str(), path.c_str()) != 0) return last_error();
        return true;
    }

    static Result<bool> claim(File&, const Path& temp_path, const Path& path) {
        if (::renameat2(AT_FDCWD, temp_path.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno == EEXIST) return false;
        if (errno != EINVAL && errno != ENOSYS) return last_error();
        // A file system that cannot rename without replacing: a second name
        // for the file, taken only where there is none, then the first goes.
        if (::link(temp_path.c_str(), path.c_str()) != 0) {
            return errno == EEXIST ? Result<bool>(false) : Result<bool>(last_error());
        }
        static_cast<void>(::unlink(temp_path.c_str()));
        return true;
    }

    static Status remove(File&, const Path& path) { return remove_file(path); }
};

}  // namespace

Result<Rewritten> rewrite_file(const Path& path, const LockWait& wait, const Update& update) {
    return detail::LockedRewrite<PosixRewrite>(path, wait, update).run();
}

Status remove_file(const Path& path) {
    if (::unlink(path.c_str()) != 0) return last_error();
    return Status::success();
}

Path join(const Path& folder, std::string_view name) {
    std::string joined = folder.native();
    if (!joined.empty() && joined.back() != '/') joined.push_back('/');
    joined.append(name);
    return Path(std::move(joined));
}

std::string path_to_utf8(const Path& path) {
    // Paths are bytes here; read them as UTF-8 and replace what is not.
    const std::string& bytes = path.native();
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const utf8::Sequence sequence = utf8::decode(bytes, i);
        if (sequence.valid) {
            out.append(bytes, i, sequence.length);
            i += sequence.length;
        } else {
            utf8::append(out, utf8::kReplacement);
            i += std::max<std::size_t>(sequence.length, 1);
        }
    }
    return out;
}

}  // namespace nimbra::platform
