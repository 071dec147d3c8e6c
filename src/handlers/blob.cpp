#include "handlers/blob.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "bridge/data_dir.h"
#include "bridge/handoff.h"
#include "handlers/base64.h"
#include "host/fatal_error.h"
#include "host/reply.h"

namespace nimbra::handlers {

namespace {

using host::FatalError;
using host::Json;

constexpr std::size_t kMinTransferIdBytes = 8;
constexpr std::size_t kMaxTransferIdBytes = 80;

constexpr std::string_view kInvalidTransferId = "invalid browser transfer id";
constexpr std::string_view kChunkTooLarge = "browser transfer chunk is too large";
constexpr std::string_view kInvalidChunk = "invalid browser transfer chunk: ";
constexpr std::string_view kNotStarted = "browser transfer was not started";

bool is_id_byte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_';
}

std::string_view string_or_empty(const Json& request, std::string_view key) {
    const std::string* text = host::string_member(request, key);
    return text != nullptr ? std::string_view(*text) : std::string_view();
}

Json string_or_null(const Json& object, std::string_view key) {
    const std::string* text = host::string_member(object, key);
    return text != nullptr ? Json(*text) : Json(nullptr);
}

// A JSON integer from 0 to 2^64-1. The parser gives non-negative integers an
// unsigned type and everything else (-1, 12.0, 1e3) another one; a value
// built in code may hold a non-negative integer as signed.
std::optional<std::uint64_t> byte_count(const Json& value) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    }
    return std::nullopt;
}

std::string request_transfer_id(const Json& request) {
    return validate_transfer_id(string_or_empty(request, "transfer_id"));
}

struct TransferFiles {
    platform::Path data;         // "<id>.part"
    platform::Path description;  // "<id>.json"
};

TransferFiles transfer_files(const platform::Path& folder, const std::string& id) {
    return {platform::join(folder, id + ".part"), platform::join(folder, id + ".json")};
}

// Five members, always present, so the file always has seven lines.
Json transfer_description(const Json& request) {
    Json size = nullptr;
    if (request.is_object()) {
        auto found = request.find("size");
        if (found != request.end()) {
            if (std::optional<std::uint64_t> count = byte_count(*found)) size = *count;
        }
    }
    return Json{
        {"content_type", string_or_null(request, "content_type")},
        {"expected_size", std::move(size)},
        {"filename", string_or_null(request, "filename")},
        {"referrer", string_or_null(request, "referrer")},
        {"source_url", string_or_null(request, "source_url")},
    };
}

// The job names the data file by its full path and carries the description
// that blob_begin recorded; only `source` comes from the blob_end request.
Json import_job(const platform::Path& data_file, const Json& description, const Json& request) {
    return Json{
        {"content_type", string_or_null(description, "content_type")},
        {"filename", string_or_null(description, "filename")},
        {"referrer", string_or_null(description, "referrer")},
        {"source", string_or_null(request, "source")},
        {"source_url", string_or_null(description, "source_url")},
        {"temp_path", platform::path_to_utf8(data_file)},
        {"type", "import_browser_file"},
    };
}

Json hand_over_transfer(const TransferFiles& files, const Json& description, const Json& request,
                        platform::System& system, const bridge::PathResult& data_dir) {
    const bridge::JobKind kind{
        .type_name = "import_browser_file",
        .timeout_message = "Nimbra did not confirm the browser-generated file within 35 seconds",
        .unreadable_message = "Nimbra returned an unreadable import result",
        // Result names are fresh random ids; there is nothing stale to clear.
        .clears_stale_result = false,
        .launched_on_timeout = false,
        // Once the job is written the transfer is the application's: without
        // its description a repeated blob_end cannot post a second job for
        // the same file. Should the deletion fail, the transfer stays open.
        .after_write = [&files] { static_cast<void>(platform::remove_file(files.description)); },
    };
    return bridge::hand_off_job(system, data_dir, kind, import_job(files.data, description, request));
}

}  // namespace

std::string validate_transfer_id(std::string_view text) {
    if (text.size() < kMinTransferIdBytes || text.size() > kMaxTransferIdBytes) {
        throw FatalError(std::string(kInvalidTransferId));
    }
    // Every byte of a non-ASCII character is >= 0x80 and fails here, so
    // counting bytes and judging bytes is the same as judging characters.
    for (char c : text) {
        if (!is_id_byte(c)) throw FatalError(std::string(kInvalidTransferId));
    }
    return std::string(text);
}

void abandon_blob_transfer(const Json& request, const bridge::PathResult& data_dir) noexcept {
    // Without its description the transfer is over: blob_end answers that it
    // was not started rather than hand the file over as complete.
    try {
        const bridge::PathResult folder = bridge::browser_transfers_dir(data_dir);
        if (!folder) return;
        static_cast<void>(platform::remove_file(transfer_files(*folder, request_transfer_id(request)).description));
    } catch (...) {
    }
}

Json handle_blob_begin(const Json& request, const bridge::PathResult& data_dir) {
    std::string id = request_transfer_id(request);
    const platform::Path folder = bridge::required(bridge::browser_transfers_dir(data_dir));
    host::ok_or_fatal(platform::create_directories(folder));
    const TransferFiles files = transfer_files(folder, id);

    // A begin for an id in use starts that transfer over.
    static_cast<void>(platform::remove_file(files.data));
    static_cast<void>(platform::remove_file(files.description));

    host::ok_or_fatal(platform::write_file_or_remove(files.data, {}));
    // One cut short is removed: it would still mark the transfer open.
    host::ok_or_fatal(
        platform::write_file_or_remove(files.description, host::to_indented_json(transfer_description(request))));

    return Json{{"ok", true}, {"transfer_id", std::move(id)}};
}

Json handle_blob_chunk(const Json& request, std::string_view text, const bridge::PathResult& data_dir,
                       std::string& decoded) {
    const std::string id = request_transfer_id(request);
    if (text.size() > kMaxChunkTextBytes) throw FatalError(std::string(kChunkTooLarge));

    // Decoded whole before any file is touched, so a bad chunk leaves the
    // data file as it was: at most 675,003 bytes, since the size was
    // checked first.
    const std::string error = decode_base64_into(text, decoded);
    if (!error.empty()) throw FatalError(std::string(kInvalidChunk) + error);

    const platform::Path folder = bridge::required(bridge::browser_transfers_dir(data_dir));
    // Opened for appending only: a chunk for a transfer that never began
    // fails with the system's not-found error rather than making a file.
    if (const platform::Appended appended = platform::append_to_file(transfer_files(folder, id).data, decoded);
        !appended.status) {
        // Part of the chunk may have gone in once the file was open; before
        // that nothing did, and the transfer can go on.
        if (appended.opened) abandon_blob_transfer(request, data_dir);
        throw host::FatalError::from_os(appended.status.error());
    }

    return Json{{"ok", true}, {"received", static_cast<std::uint64_t>(decoded.size())}};
}

Json handle_blob_end(const Json& request, platform::System& system, const bridge::PathResult& data_dir) {
    const std::string id = request_transfer_id(request);
    const platform::Path folder = bridge::required(bridge::browser_transfers_dir(data_dir));
    const TransferFiles files = transfer_files(folder, id);

    // A folder where the data file belongs is no file to hand over: a chunk
    // that met it could not even open it, and left the transfer open.
    const platform::Result<platform::FileInfo> data = platform::file_info(files.data);
    if (!data || data->is_directory || !platform::file_info(files.description)) {
        throw FatalError(std::string(kNotStarted));
    }
    const std::string text = host::value_or_fatal(platform::read_file(files.description));
    host::JsonParse parsed = host::parse_json(text);
    if (!parsed.value) throw FatalError(parsed.error);
    const Json& description = *parsed.value;

    if (description.is_object()) {
        auto expected = description.find("expected_size");
        const std::optional<std::uint64_t> want =
            expected != description.end() ? byte_count(*expected) : std::nullopt;
        if (want) {
            const std::uint64_t have = host::value_or_fatal(platform::file_info(files.data)).size;
            if (*want != have) {
                throw FatalError("browser transfer size mismatch: expected " + std::to_string(*want) +
                                 " bytes, received " + std::to_string(have));
            }
        }
    }

    return hand_over_transfer(files, description, request, system, data_dir);
}

}  // namespace nimbra::handlers
