// Files, folders, paths and standard streams on POSIX.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nimbra::platform {

namespace {

OsError last_error() { return OsError{static_cast<std::uint32_t>(errno)}; }

// Seconds between 1601-01-01 and 1970-01-01, so POSIX times share the
// Windows file-time scale and the code above this layer has one rule.
constexpr std::uint64_t kEpochDifference100ns = 116444736000000000ULL;

std::uint64_t to_file_time(const timespec& ts) {
    if (ts.tv_sec < 0) return 0;
    return kEpochDifference100ns + static_cast<std::uint64_t>(ts.tv_sec) * 10000000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec) / 100ULL;
}

int open_retrying(const char* path, int flags, mode_t mode = 0666) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
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

bool stdout_usable = true;

}  // namespace

std::string describe(OsError error) {
    std::string text = std::strerror(static_cast<int>(error.code));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r' ||
                             text.back() == '\t')) {
        text.pop_back();
    }
    return text + " (os error " + std::to_string(error.code) + ")";
}

bool is_not_found(OsError error) { return error.code == ENOENT || error.code == ENOTDIR; }
bool is_already_exists(OsError error) { return error.code == EEXIST; }
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
    info.last_write = to_file_time(st.st_mtim);
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
    if (::mkdir(path.c_str(), 0777) == 0) return Status::success();
    int saved = errno;
    // Another process may have created it at the same moment.
    if (saved == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return Status::success();
    }
    return OsError{static_cast<std::uint32_t>(saved)};
}

Status write_file(const Path& path, std::string_view bytes) {
    // Written from offset 0 and then cut to length instead of opened with
    // O_TRUNC: the result is the same bytes in the same file, but ext4 flushes
    // a truncated-and-rewritten file at close, which costs twenty times more.
    int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT);
    if (fd < 0) return last_error();
    Status written = write_all(fd, bytes);
    if (written && ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) written = last_error();
    Status closed = close_fd(fd);
    return written ? closed : written;
}

Result<bool> create_exclusive(const Path& path, std::string_view bytes) {
    int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0) return last_error();
    bool complete = static_cast<bool>(write_all(fd, bytes));
    static_cast<void>(close_fd(fd));
    return complete;
}

Status append_to_file(const Path& path, std::string_view bytes) {
    int fd = open_retrying(path.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0) return last_error();
    Status written = write_all(fd, bytes);
    Status closed = close_fd(fd);
    return written ? closed : written;
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

Status update_file(const Path& path,
                   const std::function<std::string(std::optional<std::string_view>)>& update) {
    int fd = open_retrying(path.c_str(), O_RDWR | O_CREAT);
    if (fd < 0) return last_error();
    Result<std::string> old = read_all(fd);
    std::string next = old ? update(std::string_view(*old)) : update(std::nullopt);
    Status written = pwrite_all(fd, next);
    // Cutting is needed only where the old content was longer.
    const bool longer_before = !old || old->size() > next.size();
    if (written && longer_before && ::ftruncate(fd, static_cast<off_t>(next.size())) != 0) {
        written = last_error();
    }
    Status closed = close_fd(fd);
    return written ? closed : written;
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
    std::size_t i = 0;
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    while (i < bytes.size()) {
        unsigned char c = byte(i);
        std::size_t length = 0;
        std::uint32_t lowest = 0;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            lowest = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            lowest = 0x10000;
        }
        // Take the longest valid prefix of a sequence; what follows it is
        // judged afresh, so one bad byte costs one replacement character.
        std::size_t good = 1;
        bool valid = length != 0;
        std::uint32_t code = length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
        for (std::size_t k = 1; valid && k < length; ++k) {
            if (i + k >= bytes.size() || (byte(i + k) & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            code = (code << 6) | (byte(i + k) & 0x3F);
            // Reject overlong forms, surrogates and values past U+10FFFF as
            // early as the second byte shows them.
            if (k == 1) {
                unsigned char second = byte(i + 1);
                if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
                    (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F)) {
                    valid = false;
                    break;
                }
            }
            good = k + 1;
        }
        if (valid && code >= lowest) {
            out.append(bytes, i, length);
            i += length;
        } else {
            out.append("\xEF\xBF\xBD");
            i += good;
        }
    }
    return out;
}

}  // namespace nimbra::platform
