// The least a native messaging host can do, as a floor for the benchmark:
// read a frame, write a fixed reply; with --heartbeat also rewrite two small
// files per request, the unavoidable work of recording the extension.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "bench_support.h"

namespace {

void rewrite(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    if (::write(fd, text.data(), text.size()) < 0) {
    }
    if (::ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    bool heartbeat = argc > 1 && std::strcmp(argv[1], "--heartbeat") == 0;
    std::string dir = heartbeat && argc > 2 ? argv[2] : "";
    static const char kReply[] = "{\"host\":\"com.velisto.nimbra\",\"ok\":true,\"version\":\"1.0.4\"}";
    std::string frame(4, '\0');
    std::uint32_t n = sizeof kReply - 1;
    std::memcpy(frame.data(), &n, 4);
    frame.append(kReply, n);
    std::string body;
    for (;;) {
        unsigned char header[4];
        if (!bench::read_exact(0, reinterpret_cast<char*>(header), 4)) return 0;
        std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                               static_cast<std::uint32_t>(header[3]) << 24;
        if (length > 2097152) return 0;
        body.resize(length);
        if (!bench::read_exact(0, body.data(), length)) return 0;
        if (heartbeat) {
            rewrite(dir + "/extension-heartbeat.json",
                    "{\n  \"browser_id\": \"chrome\",\n  \"extension_id\": \"kembcdlbgbcnnchcnbdhbmbhbejnedjf\",\n"
                    "  \"extension_version\": null,\n  \"source\": null,\n  \"timestamp_ms\": 1765000000000\n}");
            rewrite(dir + "/extension-heartbeats-v2.json",
                    "{\n  \"chrome\": {\n    \"timestamp_ms\": 1765000000000,\n    \"extension_id\": "
                    "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\",\n    \"extension_version\": \"legacy\"\n  }\n}");
        }
        if (::write(1, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return 0;
    }
}
