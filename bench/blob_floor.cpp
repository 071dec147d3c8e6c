// The least a host can do for a blob transfer, as a floor for the benchmark:
// per request read the frame, rewrite the two heartbeat files, and for a
// chunk find the base64 text, decode it (with the host's own decoder, so the
// comparison is about everything around it), append it to the data file and
// reply. No JSON parser, no checks beyond what finding the text needs.
//
//   blob-floor <data dir>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

#include "bench_support.h"

#include "handlers/base64.h"

namespace {

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// As the host writes files in place: from offset 0, then cut to length.
void rewrite(const std::string& path, std::string_view text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    write_all(fd, text);
    if (::ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
    }
    ::close(fd);
}

void reply(std::string_view body) {
    std::string frame(4, '\0');
    auto n = static_cast<std::uint32_t>(body.size());
    std::memcpy(frame.data(), &n, 4);
    frame.append(body);
    write_all(1, frame);
}

// The string value after `"key":"`, up to the next quote (base64 and the ids
// used here hold no escapes).
std::string_view member(std::string_view body, std::string_view key) {
    const std::string pattern = "\"" + std::string(key) + "\":\"";
    std::size_t at = body.find(pattern);
    if (at == std::string_view::npos) return {};
    at += pattern.size();
    const std::size_t end = body.find('"', at);
    return end == std::string_view::npos ? std::string_view() : body.substr(at, end - at);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <data dir>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string transfers = dir + "/browser-transfers/";
    std::string body;
    for (;;) {
        unsigned char header[4];
        if (!bench::read_exact(0, reinterpret_cast<char*>(header), 4)) return 0;
        const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                                     static_cast<std::uint32_t>(header[3]) << 24;
        if (length > 2097152) return 0;
        body.resize(length);
        if (!bench::read_exact(0, body.data(), length)) return 0;

        rewrite(dir + "/extension-heartbeat.json",
                "{\n  \"browser_id\": \"chrome\",\n  \"extension_id\": \"kembcdlbgbcnnchcnbdhbmbhbejnedjf\",\n"
                "  \"extension_version\": null,\n  \"source\": null,\n  \"timestamp_ms\": 1765000000000\n}");
        rewrite(dir + "/extension-heartbeats-v2.json",
                "{\n  \"chrome\": {\n    \"timestamp_ms\": 1765000000000,\n    \"extension_id\": "
                "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\",\n    \"extension_version\": \"legacy\"\n  }\n}");

        const std::string_view type = member(body, "type");
        const std::string path = transfers + std::string(member(body, "transfer_id")) + ".part";
        if (type == "blob_chunk") {
            const nimbra::handlers::Base64Decoded decoded = nimbra::handlers::decode_base64(member(body, "data_base64"));
            int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd >= 0) {
                write_all(fd, decoded.bytes);
                ::close(fd);
            }
            reply("{\"ok\":true,\"received\":" + std::to_string(decoded.bytes.size()) + "}");
        } else if (type == "blob_begin") {
            rewrite(path, "");
            reply("{\"ok\":true}");
        } else {
            reply("{\"ok\":true}");
        }
    }
}
