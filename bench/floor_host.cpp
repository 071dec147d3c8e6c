// The least a native messaging host can do, as a floor for the benchmark:
// read a frame, write a fixed reply; with --heartbeat also rewrite two small
// files per request, the unavoidable work of recording the extension, in
// place; with --heartbeat-truncate create or truncate them instead.
//
//   floor-host [--heartbeat | --heartbeat-truncate]
#include <cstdint>
#include <cstring>
#include <string>

#include "floor_os.h"

int main(int argc, char** argv) {
    const bool truncating = argc > 1 && std::strcmp(argv[1], "--heartbeat-truncate") == 0;
    const bool heartbeat = truncating || (argc > 1 && std::strcmp(argv[1], "--heartbeat") == 0);
    const std::string dir = heartbeat ? floor_os::data_dir() : "";
    static const char kReply[] = "{\"host\":\"com.velisto.nimbra\",\"ok\":true,\"version\":\"1.0.4\"}";
    std::string frame(4, '\0');
    std::uint32_t n = sizeof kReply - 1;
    std::memcpy(frame.data(), &n, 4);
    frame.append(kReply, n);
    std::string body;
    for (;;) {
        unsigned char header[4];
        if (!floor_os::read_input(reinterpret_cast<char*>(header), 4)) return 0;
        std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                               static_cast<std::uint32_t>(header[3]) << 24;
        if (length > 2097152) return 0;
        body.resize(length);
        if (!floor_os::read_input(body.data(), length)) return 0;
        if (heartbeat) floor_os::rewrite_heartbeats(dir, truncating);
        if (!floor_os::write_output(frame)) return 0;
    }
}
