#include "bridge/handoff.h"

#include <array>
#include <cstdint>
#include <optional>

#include "bridge/data_dir.h"
#include "bridge/launch.h"
#include "host/fatal_error.h"

namespace nimbra::bridge {

namespace {

using host::Json;
using platform::Path;
using platform::System;

HandoffOutcome read_outcome(const Path& result_path, HandoffOutcome::Kind kind, Json value = Json()) {
    static_cast<void>(platform::remove_file(result_path));
    return {kind, std::move(value)};
}

// The result's bytes; nullopt while there is none, while the application
// holds it open without read sharing (still writing it), or when it went
// between the look and the read (rewritten by deletion and creation). Any
// other failure to read an existing result is a fault of the system.
std::optional<std::string> read_if_there(const Path& result_path) {
    if (!platform::file_info(result_path)) return std::nullopt;
    platform::Result<std::string> bytes = platform::read_file(result_path);
    if (bytes) return std::move(*bytes);
    if (platform::is_busy(bytes.error()) || platform::is_not_found(bytes.error())) return std::nullopt;
    throw host::FatalError::from_os(bytes.error());
}

HandoffOutcome wait_for_result(System& system, const Path& result_path) {
    // The application may write its result in place, in several steps, so a
    // result that does not parse yet may still be on its way: it is read
    // again at the next polls, and only content that has stopped changing
    // and still does not parse is taken as unreadable.
    std::optional<std::string> last;  // what the last poll read, when it did not parse
    int unchanged = 0;                // polls in a row since that read the same again
    bool seen = false;
    for (int poll = 0; poll < kResultPolls; ++poll) {
        std::optional<std::string> bytes = read_if_there(result_path);
        if (bytes) {
            host::JsonParse parsed = host::parse_json(*bytes);
            if (parsed.value) {
                return read_outcome(result_path, HandoffOutcome::Kind::answered, std::move(*parsed.value));
            }
            unchanged = last == bytes ? unchanged + 1 : 0;
            if (unchanged == kSettlePolls) return read_outcome(result_path, HandoffOutcome::Kind::unreadable);
            seen = true;
        }
        last = std::move(bytes);
        system.sleep_ms(kPollIntervalMs);
    }
    // The application did answer, if unreadably: a timeout would delete a
    // job it has taken, and the extension would offer to download it again.
    if (seen) return read_outcome(result_path, HandoffOutcome::Kind::unreadable);
    return {HandoffOutcome::Kind::timed_out, Json()};
}

Json build_reply(const JobKind& kind, HandoffOutcome outcome, bool launched) {
    switch (outcome.kind) {
        case HandoffOutcome::Kind::answered:
            if (outcome.value.is_object()) outcome.value["launched"] = launched;
            return std::move(outcome.value);
        case HandoffOutcome::Kind::unreadable:
            return Json{{"error", kind.unreadable_message}, {"launched", launched}, {"ok", false}};
        case HandoffOutcome::Kind::timed_out:
            break;
    }
    Json reply{{"error", kind.timeout_message}, {"ok", false}};
    if (kind.launched_on_timeout) reply["launched"] = launched;
    return reply;
}

}  // namespace

std::string make_job_id(System& system) {
    std::array<std::uint8_t, 16> bytes{};
    host::ok_or_fatal(system.random_bytes(bytes));
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC variant
    constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    id.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) id.push_back('-');
        id.push_back(kHex[bytes[i] >> 4]);
        id.push_back(kHex[bytes[i] & 0x0F]);
    }
    return id;
}

Json hand_off_job(System& system, const PathResult& data_dir, const JobKind& kind, const Json& job) {
    const std::string file_name = make_job_id(system) + ".json";
    const Path inbox = required(inbox_dir(data_dir));
    const Path results = required(inbox_results_dir(data_dir));
    host::ok_or_fatal(platform::create_directories(inbox));
    host::ok_or_fatal(platform::create_directories(results));
    const Path job_path = platform::join(inbox, file_name);
    const Path result_path = platform::join(results, file_name);

    if (kind.clears_stale_result) static_cast<void>(platform::remove_file(result_path));
    // A job cut short by a full disk is removed, so the application never takes it.
    host::ok_or_fatal(platform::write_file_or_remove(job_path, host::to_indented_json(job)));
    if (kind.after_write) kind.after_write();

    const bool launched = ensure_desktop_app_running(system, data_dir);
    HandoffOutcome outcome = wait_for_result(system, result_path);
    // Nobody waits for this job any more: the application must not take it
    // up later and act on a download the extension was told had failed.
    if (outcome.kind == HandoffOutcome::Kind::timed_out) {
        static_cast<void>(platform::remove_file(job_path));
    }
    return build_reply(kind, std::move(outcome), launched);
}

}  // namespace nimbra::bridge
