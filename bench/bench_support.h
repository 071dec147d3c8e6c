// What the benchmark drivers and their floor programs share: exact reads,
// and a child process with pipes on its standard input and output.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace bench {

// False when the input ends before `n` bytes have arrived.
inline bool read_exact(int fd, char* out, std::size_t n) {
    while (n > 0) {
        ssize_t got = ::read(fd, out, n);
        if (got <= 0) return false;
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

struct Child {
    pid_t pid = -1;
    int in = -1;   // the child's standard input
    int out = -1;  // the child's standard output
};

// Starts `command` (an absolute path first) with `env` entries added.
inline Child start_child(const std::vector<std::string>& command, const std::vector<std::string>& env = {}) {
    int to[2], from[2];
    if (::pipe(to) != 0 || ::pipe(from) != 0) std::exit(1);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(to[0], 0);
        ::dup2(from[1], 1);
        ::close(to[0]);
        ::close(to[1]);
        ::close(from[0]);
        ::close(from[1]);
        for (const std::string& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv;
        for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(to[0]);
    ::close(from[1]);
    return {pid, to[1], from[0]};
}

}  // namespace bench
