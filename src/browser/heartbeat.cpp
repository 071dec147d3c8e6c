#include "browser/heartbeat.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/data_dir.h"
#include "host/json_events.h"

namespace nimbra::browser {

namespace {

// The companion extension's id, recorded when a request does not name one.
constexpr std::string_view kDefaultExtensionId = "kembcdlbgbcnnchcnbdhbmbhbejnedjf";
// Recorded as the version when the extension predates sending one.
constexpr std::string_view kLegacyVersion = "legacy";

// A host holds a heartbeat file's lock for the microseconds of one rewrite;
// one that holds it for this long is stalled (stopped, swapped out, held up
// by a filter driver), and must not stall the hosts of every other browser.
// Counted in pauses, as every wait of the host is.
constexpr std::uint32_t kLockPatienceMs = 2000;
// The first pauses are short, since the holder is nearly always done at once.
constexpr std::uint32_t kFirstLockPauseMs = 1;
constexpr std::uint32_t kLongestLockPauseMs = 50;

constexpr std::string_view kTimestampKey = "timestamp_ms";
constexpr std::string_view kExtensionIdKey = "extension_id";
constexpr std::string_view kExtensionVersionKey = "extension_version";

struct RequestIdentity {
    const std::string* source = nullptr;
    std::optional<BrowserId> browser;
    std::string_view extension_id;
    const std::string* extension_version = nullptr;
};

RequestIdentity identify(std::optional<BrowserId> ancestry, const host::Json& request) {
    RequestIdentity identity;
    identity.source = host::string_member(request, "source");
    identity.browser = browser_for_request(ancestry, request);
    const std::string* extension_id = host::string_member(request, "extension_id");
    identity.extension_id = extension_id != nullptr ? std::string_view(*extension_id)
                                                    : kDefaultExtensionId;
    identity.extension_version = host::string_member(request, "extension_version");
    return identity;
}

struct HeartbeatV2 {
    std::uint64_t timestamp_ms = 0;
    std::string extension_id;
    std::string extension_version;
};

// Keyed by browser id, plus whatever other keys the file held: the reader on
// the other side may know browsers this host does not. In the order of the
// file, new browsers last, so that a refresh that only moves a time stamp
// leaves every other byte where it was and can be written in place.
using HeartbeatMap = std::vector<std::pair<std::string, HeartbeatV2>>;

HeartbeatV2& entry_of(HeartbeatMap& heartbeats, std::string_view key) {
    for (auto& [name, record] : heartbeats) {
        if (name == key) return record;
    }
    return heartbeats.emplace_back(std::string(key), HeartbeatV2{}).second;
}

// Both files are small and fixed in shape, so they are written by hand in the
// indented layout every file of the data directory uses; this also keeps the
// record's members in their own order rather than sorted.
void append_member_start(std::string& out, int indent, std::string_view key) {
    out.append(static_cast<std::size_t>(indent), ' ');
    host::append_json_string(out, key);
    out.append(": ");
}

void append_optional_string(std::string& out, const std::string* text) {
    if (text != nullptr) {
        host::append_json_string(out, *text);
    } else {
        out.append("null");
    }
}

// Members in ascending key order, as in every file but the per-browser one.
std::string legacy_text(const RequestIdentity& identity, std::uint64_t timestamp_ms) {
    std::string out;
    out.reserve(256 + (identity.source != nullptr ? identity.source->size() : 0));
    out.append("{\n");
    append_member_start(out, 2, "browser_id");
    if (identity.browser) {
        host::append_json_string(out, to_string(*identity.browser));
    } else {
        out.append("null");
    }
    out.append(",\n");
    append_member_start(out, 2, kExtensionIdKey);
    host::append_json_string(out, identity.extension_id);
    out.append(",\n");
    append_member_start(out, 2, kExtensionVersionKey);
    append_optional_string(out, identity.extension_version);
    out.append(",\n");
    append_member_start(out, 2, "source");
    append_optional_string(out, identity.source);
    out.append(",\n");
    append_member_start(out, 2, kTimestampKey);
    out.append(std::to_string(timestamp_ms));
    out.append("\n}");
    return out;
}

std::string heartbeats_text(const HeartbeatMap& heartbeats) {
    if (heartbeats.empty()) return "{}";
    std::string out;
    out.reserve(160 * heartbeats.size());
    out.append("{\n");
    bool first = true;
    for (const auto& [key, record] : heartbeats) {
        if (!first) out.append(",\n");
        first = false;
        append_member_start(out, 2, key);
        out.append("{\n");
        append_member_start(out, 4, kTimestampKey);
        out.append(std::to_string(record.timestamp_ms));
        out.append(",\n");
        append_member_start(out, 4, kExtensionIdKey);
        host::append_json_string(out, record.extension_id);
        out.append(",\n");
        append_member_start(out, 4, kExtensionVersionKey);
        host::append_json_string(out, record.extension_version);
        out.append("\n  }");
    }
    out.append("\n}");
    return out;
}

// Reads the per-browser file as written: one object of records, each record
// an object with the three members (others ignored, none of the three twice)
// or an array of exactly those three values in order. Seeing the members as
// they come, duplicates included, is why this is not read as a value tree.
class HeartbeatReader final : public host::JsonEvents {
public:
    explicit HeartbeatReader(HeartbeatMap& out) : out_(out) {}

    bool begin_object() override {
        if (skip_depth_ > 0) return open_skipped();
        switch (state_) {
            case State::start: state_ = State::top; return true;
            case State::record_start: begin_record(State::in_object); return true;
            case State::member_value: return skip_value_open();
            default: return false;
        }
    }
    bool begin_array() override {
        if (skip_depth_ > 0) return open_skipped();
        switch (state_) {
            case State::record_start: begin_record(State::in_array); return true;
            case State::member_value: return skip_value_open();
            default: return false;
        }
    }
    bool end_object() override {
        if (skip_depth_ > 0) return close_skipped();
        if (state_ == State::top) {
            state_ = State::done;
            return true;
        }
        if (state_ != State::in_object) return false;
        if (!(seen_timestamp_ && seen_id_ && seen_version_)) return false;
        return finish_record();
    }
    bool end_array() override {
        if (skip_depth_ > 0) return close_skipped();
        if (state_ != State::in_array || array_index_ != 3) return false;
        return finish_record();
    }
    bool key(std::string_view name) override {
        if (skip_depth_ > 0) return true;
        if (state_ == State::top) {
            key_.assign(name);
            state_ = State::record_start;
            return true;
        }
        if (state_ != State::in_object) return false;
        member_ = Member::other;
        if (name == kTimestampKey) {
            if (seen_timestamp_) return false;
            seen_timestamp_ = true;
            member_ = Member::timestamp;
        } else if (name == kExtensionIdKey) {
            if (seen_id_) return false;
            seen_id_ = true;
            member_ = Member::id;
        } else if (name == kExtensionVersionKey) {
            if (seen_version_) return false;
            seen_version_ = true;
            member_ = Member::version;
        }
        state_ = State::member_value;
        return true;
    }
    bool string(std::string_view value) override {
        if (skip_depth_ > 0) return true;
        switch (expected()) {
            case Member::id: record_.extension_id.assign(value); return value_taken();
            case Member::version: record_.extension_version.assign(value); return value_taken();
            case Member::other: return value_taken();
            default: return false;
        }
    }
    bool number_unsigned(std::uint64_t value) override {
        if (skip_depth_ > 0) return true;
        switch (expected()) {
            case Member::timestamp: record_.timestamp_ms = value; return value_taken();
            case Member::other: return value_taken();
            default: return false;
        }
    }
    bool number_integer(std::int64_t) override { return scalar(); }
    bool number_float(double) override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool null() override { return scalar(); }

private:
    enum class State { start, top, record_start, in_object, member_value, in_array, done };
    enum class Member { none, timestamp, id, version, other };

    void begin_record(State kind) {
        state_ = kind;
        record_ = HeartbeatV2{};
        seen_timestamp_ = seen_id_ = seen_version_ = false;
        array_index_ = 0;
    }

    // The member a value in the current position fills, if any.
    Member expected() const {
        if (state_ == State::member_value) return member_;
        if (state_ == State::in_array) {
            switch (array_index_) {
                case 0: return Member::timestamp;
                case 1: return Member::id;
                case 2: return Member::version;
                default: return Member::none;
            }
        }
        return Member::none;
    }

    bool value_taken() {
        if (state_ == State::member_value) {
            state_ = State::in_object;
        } else {
            ++array_index_;
        }
        return true;
    }

    // A value that fills none of the three members: fine only where ignored.
    bool scalar() {
        if (skip_depth_ > 0) return true;
        return expected() == Member::other && value_taken();
    }

    bool skip_value_open() {
        if (member_ != Member::other) return false;
        skip_depth_ = 1;
        return true;
    }
    bool open_skipped() {
        ++skip_depth_;
        return true;
    }
    bool close_skipped() {
        if (--skip_depth_ == 0) state_ = State::in_object;
        return true;
    }

    bool finish_record() {
        // A key given twice keeps its first place and takes the later record.
        entry_of(out_, key_) = std::move(record_);
        key_.clear();
        state_ = State::top;
        return true;
    }

    HeartbeatMap& out_;
    State state_ = State::start;
    std::string key_;
    HeartbeatV2 record_;
    Member member_ = Member::none;
    bool seen_timestamp_ = false;
    bool seen_id_ = false;
    bool seen_version_ = false;
    int array_index_ = 0;
    std::size_t skip_depth_ = 0;
};

// Whatever cannot be read whole counts as no entries at all: a half-trusted
// file is not merged into.
HeartbeatMap parse_heartbeats(std::string_view text) {
    HeartbeatMap heartbeats;
    HeartbeatReader reader(heartbeats);
    if (host::parse_json_events(text, reader)) heartbeats.clear();
    return heartbeats;
}

// Whether `next` may be written over `old` in place: of one length, and
// differing only in the digits of time stamps, so that a reader who catches
// the write half done sees at worst a time stamp half rewritten. A time
// stamp is the number after the key "timestamp_ms" with its quotation marks,
// which text inside a string cannot imitate: there they are escaped.
bool only_time_stamps_differ(std::string_view old, std::string_view next) {
    if (old.size() != next.size()) return false;
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    constexpr std::string_view kKey = "\"timestamp_ms\": ";
    for (std::size_t i = 0; i < next.size(); ++i) {
        if (old[i] == next[i]) continue;
        if (!is_digit(old[i]) || !is_digit(next[i])) return false;
        std::size_t start = i;
        while (start > 0 && is_digit(next[start - 1])) --start;
        if (start < kKey.size() || next.substr(start - kKey.size(), kKey.size()) != kKey) return false;
    }
    return true;
}

// Waits for one heartbeat file's lock with growing pauses, for a patience
// of its own each request, unless it gave up on that file before.
class LockPatience {
public:
    LockPatience(platform::System& system, bool& gave_up) : system_(system), gave_up_(gave_up) {}

    bool operator()(int) {
        if (gave_up_ || waited_ms_ >= kLockPatienceMs) {
            gave_up_ = true;
            return false;
        }
        system_.sleep_ms(pause_ms_);
        waited_ms_ += pause_ms_;
        pause_ms_ = std::min(pause_ms_ * 2, kLongestLockPauseMs);
        return true;
    }

private:
    platform::System& system_;
    bool& gave_up_;
    std::uint32_t waited_ms_ = 0;
    std::uint32_t pause_ms_ = kFirstLockPauseMs;
};

// Rewrites one heartbeat file under its lock. Its patience ends its wait only
// once the lock is had again; a file left for this request is taken up by
// the next. The data directory is made only when the rewrite finds it
// missing: nearly every request finds it there, and is spared the look.
// False when the file could not be written.
bool rewrite_heartbeat_file(platform::System& system, const platform::Path& data_dir, const platform::Path& path,
                            bool& gave_up, const platform::Update& update) {
    LockPatience patience(system, gave_up);
    platform::Result<platform::Rewritten> rewritten = platform::rewrite_file(path, std::ref(patience), update);
    if (!rewritten && platform::is_not_found(rewritten.error()) && platform::create_directories(data_dir)) {
        rewritten = platform::rewrite_file(path, std::ref(patience), update);
    }
    if (rewritten && *rewritten != platform::Rewritten::not_locked) gave_up = false;
    return rewritten.ok();
}

void refresh(platform::System& system, const bridge::PathResult& data_dir, HeartbeatLocks& locks,
             std::optional<BrowserId> ancestry, const host::Json& request) {
    const RequestIdentity identity = identify(ancestry, request);

    if (!data_dir) return;

    // One reading for both files, so they agree on the moment, taken once
    // the first lock is held, so that a host that waited for it does not
    // write a moment older than the one it replaces.
    std::optional<std::uint64_t> now_ms;
    const auto timestamp_ms = [&] {
        if (!now_ms) now_ms = platform::unix_ms_from_file_time(system.now_file_time());
        return *now_ms;
    };

    // Each file is rewritten under a lock of its own, so that hosts of other
    // browsers neither interleave their bytes nor merge from a stale read.
    const platform::Path legacy_path = platform::join(*data_dir, bridge::kLegacyHeartbeatFile);
    const bool legacy_written =
        rewrite_heartbeat_file(system, *data_dir, legacy_path, locks.legacy_gave_up, [&](std::string_view old) {
            std::string text = legacy_text(identity, timestamp_ms());
            const bool in_place = only_time_stamps_differ(old, text);
            return platform::Rewrite{std::move(text), in_place};
        });
    if (!legacy_written) return;

    if (!identity.browser) return;
    const platform::Path heartbeats_path = platform::join(*data_dir, bridge::kHeartbeatsFile);
    const std::string browser(to_string(*identity.browser));
    const std::string_view version = identity.extension_version != nullptr
                                         ? std::string_view(*identity.extension_version)
                                         : kLegacyVersion;
    // A file that exists but cannot be read (on Windows, one that a scanner
    // holds for a moment) is left as it is: starting it afresh would drop
    // every other browser's entry. A missing file reads as empty, which
    // parses as no entries.
    static_cast<void>(
        rewrite_heartbeat_file(system, *data_dir, heartbeats_path, locks.heartbeats_gave_up, [&](std::string_view old) {
            std::string text = record_heartbeat(old, browser, {timestamp_ms(), identity.extension_id, version});
            const bool in_place = only_time_stamps_differ(old, text);
            return platform::Rewrite{std::move(text), in_place};
        }));
}

}  // namespace

std::string record_heartbeat(std::string_view old_content, std::string_view browser,
                             const HeartbeatRecord& record) {
    HeartbeatMap heartbeats = parse_heartbeats(old_content);
    HeartbeatV2& entry = entry_of(heartbeats, browser);
    entry.timestamp_ms = record.timestamp_ms;
    entry.extension_id.assign(record.extension_id);
    entry.extension_version.assign(record.extension_version);
    return heartbeats_text(heartbeats);
}

void refresh_heartbeats(platform::System& system, const bridge::PathResult& data_dir, HeartbeatLocks& locks,
                        std::optional<BrowserId> ancestry, const host::Json& request) noexcept {
    // The heartbeat is a courtesy to the desktop application; the request is
    // served whatever happens to it.
    try {
        refresh(system, data_dir, locks, ancestry, request);
    } catch (...) {
    }
}

}  // namespace nimbra::browser
