// The least a host can do for a blob transfer, as a floor for the benchmark:
// per request read the frame, and for a chunk find the base64 text, decode it
// (with the host's own decoder, so the comparison is about everything around
// it), append it to the data file and reply. No JSON parser, no checks beyond
// what finding the text needs. It finds the data directory once, at start.
// With --heartbeat it also rewrites the two heartbeat files per request, as
// the host does, in place; with --truncate it creates or truncates them.
//
// --lookups also finds the data directory afresh for every request, as the
// host does, before the heartbeat files. --fresh-buffers takes new memory for
// the frame and the decoded bytes on every request instead of keeping it.
// Both show what that costs on each OS.
//
//   blob-floor [--heartbeat [--truncate]] [--lookups] [--fresh-buffers]
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "floor_os.h"

#include "handlers/base64.h"

namespace {

void reply(std::string_view body) {
    std::string frame(4, '\0');
    auto n = static_cast<std::uint32_t>(body.size());
    std::memcpy(frame.data(), &n, 4);
    frame.append(body);
    floor_os::write_output(frame);
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
    const std::string dir = floor_os::data_dir();
    if (dir.empty()) {
        std::fprintf(stderr, "%s: no data directory\n", argv[0]);
        return 2;
    }
    bool heartbeat = false;
    bool lookups = false;
    bool fresh = false;
    bool truncating = false;
    for (int i = 1; i < argc; ++i) {
        truncating = truncating || std::strcmp(argv[i], "--truncate") == 0;
        heartbeat = heartbeat || std::strcmp(argv[i], "--heartbeat") == 0;
        lookups = lookups || std::strcmp(argv[i], "--lookups") == 0;
        fresh = fresh || std::strcmp(argv[i], "--fresh-buffers") == 0;
    }
    std::string kept_body;
    std::string kept_bytes;
    for (;;) {
        unsigned char header[4];
        if (!floor_os::read_input(reinterpret_cast<char*>(header), 4)) return 0;
        const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                                     static_cast<std::uint32_t>(header[3]) << 24;
        if (length > 2097152) return 0;
        std::string fresh_body;
        std::string& body = fresh ? fresh_body : kept_body;
        body.resize(length);
        if (!floor_os::read_input(body.data(), length)) return 0;

        const std::string request_dir = lookups ? floor_os::data_dir() : dir;
        if (heartbeat) floor_os::rewrite_heartbeats(request_dir, truncating);

        const std::string_view type = member(body, "type");
        const std::string path = request_dir + floor_os::kSeparator + "browser-transfers" + floor_os::kSeparator +
                                 std::string(member(body, "transfer_id")) + ".part";
        if (type == "blob_chunk") {
            std::string fresh_bytes;
            std::string& bytes = fresh ? fresh_bytes : kept_bytes;
            static_cast<void>(nimbra::handlers::decode_base64_into(member(body, "data_base64"), bytes));
            floor_os::append(path, bytes);
            reply("{\"ok\":true,\"received\":" + std::to_string(bytes.size()) + "}");
        } else if (type == "blob_begin") {
            floor_os::rewrite(path, "");
            reply("{\"ok\":true}");
        } else {
            reply("{\"ok\":true}");
        }
    }
}
