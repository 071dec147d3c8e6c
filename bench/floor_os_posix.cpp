#include "floor_os.h"

#include <fcntl.h>

#include <cstdlib>
#include <unistd.h>

namespace floor_os {

namespace {

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

const char kSeparator = '/';

std::string data_dir() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && *data == '/') return std::string(data) + "/Velisto/Nimbra";
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::string(home) + "/.local/share/Velisto/Nimbra" : "";
}

bool read_input(char* out, std::size_t n) {
    while (n > 0) {
        ssize_t got = ::read(0, out, n);
        if (got <= 0) return false;
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool write_output(std::string_view bytes) { return write_all(1, bytes); }

void rewrite(const std::string& path, std::string_view text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    static_cast<void>(write_all(fd, text));
    static_cast<void>(::ftruncate(fd, static_cast<off_t>(text.size())));
    ::close(fd);
}

void create_or_truncate(const std::string& path, std::string_view text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return;
    static_cast<void>(write_all(fd, text));
    ::close(fd);
}

void append(const std::string& path, std::string_view bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return;
    static_cast<void>(write_all(fd, bytes));
    ::close(fd);
}

}  // namespace floor_os
