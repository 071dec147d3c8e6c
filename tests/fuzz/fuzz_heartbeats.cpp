// libFuzzer target for the per-browser heartbeat file as the host reads it:
// the input is whatever the file holds before a request from Chrome. The
// host must always leave a file that parses, holds only well-formed records,
// keeps every record it could read, and reads back the same way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

#include "browser/heartbeat.h"
#include "host/json.h"
#include "support/fake_system.h"

namespace {

namespace fs = std::filesystem;
using nimbra::host::Json;

void check(bool condition) {
    if (!condition) std::abort();
}

// Memory-backed where the system has it: every run writes and reads files.
const fs::path& app_data() {
    static const fs::path path = [] {
        fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path dir = base / ("nimbra-fuzz-heartbeats-" + std::to_string(::getpid()));
        fs::create_directories(dir / "Velisto" / "Nimbra");
        std::atexit([] { std::error_code ignored; fs::remove_all(app_data(), ignored); });
        return dir;
    }();
    return path;
}

fs::path heartbeats_file() { return app_data() / "Velisto" / "Nimbra" / "extension-heartbeats-v2.json"; }

void write_bytes(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A record as the host writes it: exactly the three members, in their types.
bool is_record(const Json& record) {
    return record.is_object() && record.size() == 3 && record.contains("timestamp_ms") &&
           record["timestamp_ms"].is_number_unsigned() && record.contains("extension_id") &&
           record["extension_id"].is_string() && record.contains("extension_version") &&
           record["extension_version"].is_string();
}

Json refresh_over(std::string_view before, nimbra::testing::FakeSystem& system) {
    write_bytes(heartbeats_file(), before);
    const Json request = Json{{"extension_id", "fuzz"}, {"extension_version", "9.9"}};
    nimbra::browser::refresh_heartbeats(system, nimbra::browser::BrowserId::chrome, request);
    const nimbra::host::JsonParse after = nimbra::host::parse_json(read_bytes(heartbeats_file()));
    check(after.value.has_value() && after.value->is_object());
    return *after.value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view before(reinterpret_cast<const char*>(data), size);
    nimbra::testing::FakeSystem system;
    system.app_data = app_data();

    const Json after = refresh_over(before, system);
    for (const auto& [browser, record] : after.items()) check(is_record(record));
    check(after.contains("chrome") && after["chrome"]["extension_id"] == "fuzz" &&
          after["chrome"]["extension_version"] == "9.9");

    // Records of other browsers that the host kept are kept as they were,
    // and the file the host wrote reads back to the same records.
    const nimbra::host::JsonParse parsed = nimbra::host::parse_json(before);
    if (parsed.value && parsed.value->is_object()) {
        for (const auto& [browser, record] : after.items()) {
            if (browser != "chrome") check(parsed.value->contains(browser));
        }
    }
    const Json again = refresh_over(read_bytes(heartbeats_file()), system);
    check(again == after);
    return 0;
}
