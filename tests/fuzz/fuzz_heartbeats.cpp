// libFuzzer target for the per-browser heartbeat merge, in memory: the input
// is whatever the file holds before a request. The new content must read
// back as exactly the entries a plain reference reader finds in the old
// content, with the requesting browser's record replaced, each written with
// its three members in order. The browser and the record vary with the
// input's length, so that the seeds stay plain file contents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "browser/heartbeat.h"
#include "browser/identification.h"
#include "host/json_events.h"

namespace {

using nimbra::browser::HeartbeatRecord;

void check(bool condition) {
    if (!condition) std::abort();
}

// A JSON value as written: members in document order, duplicates kept.
struct Node {
    enum class Kind { object, array, string, unsigned_number, other } kind = Kind::other;
    std::vector<Node> items;         // an array's values, an object's member values
    std::vector<std::string> keys;   // an object's member names, beside `items`
    std::string text;
    std::uint64_t number = 0;
};

class TreeBuilder final : public nimbra::host::JsonEvents {
public:
    bool begin_object() override { return open(Node::Kind::object); }
    bool begin_array() override { return open(Node::Kind::array); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(std::string_view name) override {
        key_.assign(name);
        return true;
    }
    bool string(std::string_view value) override {
        Node node{Node::Kind::string};
        node.text.assign(value);
        return add(std::move(node));
    }
    bool number_unsigned(std::uint64_t value) override {
        Node node{Node::Kind::unsigned_number};
        node.number = value;
        return add(std::move(node));
    }
    bool number_integer(std::int64_t) override { return add(Node{}); }
    bool number_float(double) override { return add(Node{}); }
    bool boolean(bool) override { return add(Node{}); }
    bool null() override { return add(Node{}); }

    Node root;

private:
    bool add(Node node) {
        if (open_.empty()) {
            root = std::move(node);
            return true;
        }
        if (open_.back()->kind == Node::Kind::object) open_.back()->keys.push_back(std::move(key_));
        open_.back()->items.push_back(std::move(node));
        return true;
    }
    bool open(Node::Kind kind) {
        add(Node{kind});
        open_.push_back(open_.empty() ? &root : &open_.back()->items.back());
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    std::vector<Node*> open_;
    std::string key_;
};

struct Record {
    std::uint64_t timestamp_ms = 0;
    std::string extension_id;
    std::string extension_version;
    bool operator==(const Record&) const = default;
};
using Entries = std::map<std::string, Record>;

std::optional<Node> parse_tree(std::string_view text) {
    TreeBuilder builder;
    if (nimbra::host::parse_json_events(text, builder)) return std::nullopt;
    return std::move(builder.root);
}

// A record is an object with each of the three members exactly once (others
// ignored), or an array of exactly the three values in order.
std::optional<Record> read_record(const Node& node) {
    const Node* timestamp = nullptr;
    const Node* id = nullptr;
    const Node* version = nullptr;
    if (node.kind == Node::Kind::array) {
        if (node.items.size() != 3) return std::nullopt;
        timestamp = &node.items[0];
        id = &node.items[1];
        version = &node.items[2];
    } else if (node.kind == Node::Kind::object) {
        for (std::size_t i = 0; i < node.items.size(); ++i) {
            const std::string& name = node.keys[i];
            const Node** slot = name == "timestamp_ms"        ? &timestamp
                                : name == "extension_id"      ? &id
                                : name == "extension_version" ? &version
                                                              : nullptr;
            if (slot == nullptr) continue;
            if (*slot != nullptr) return std::nullopt;
            *slot = &node.items[i];
        }
        if (timestamp == nullptr || id == nullptr || version == nullptr) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (timestamp->kind != Node::Kind::unsigned_number || id->kind != Node::Kind::string ||
        version->kind != Node::Kind::string) {
        return std::nullopt;
    }
    return Record{timestamp->number, id->text, version->text};
}

// The entries of a valid file (a later duplicate wins); nullopt for anything else.
std::optional<Entries> read_entries(const std::optional<Node>& root) {
    if (!root || root->kind != Node::Kind::object) return std::nullopt;
    Entries entries;
    for (std::size_t i = 0; i < root->items.size(); ++i) {
        const std::optional<Record> record = read_record(root->items[i]);
        if (!record) return std::nullopt;
        entries.insert_or_assign(root->keys[i], *record);
    }
    return entries;
}

// As the host writes a file: every browser once, members in their order.
void check_written(std::string_view text, const Entries& expected) {
    const std::optional<Node> root = parse_tree(text);
    check(root && root->kind == Node::Kind::object && root->items.size() == expected.size());
    for (const Node& record : root->items) {
        check(record.kind == Node::Kind::object && record.keys.size() == 3 && record.keys[0] == "timestamp_ms" &&
              record.keys[1] == "extension_id" && record.keys[2] == "extension_version");
    }
    check(read_entries(root) == expected);
}

constexpr std::uint64_t kTimestamps[] = {0, 1700000000000ULL, UINT64_MAX};
constexpr std::string_view kIds[] = {"kembcdlbgbcnnchcnbdhbmbhbejnedjf", "",
                                     "q\"\\/\x01\x1f\x7f \xc3\xa9 \xf0\x9f\x98\x80"};
constexpr std::string_view kVersions[] = {"legacy", "9.9", "\xe2\x80\xa8\"\n"};

std::string_view browser_name(std::size_t index) {
    return nimbra::browser::to_string(static_cast<nimbra::browser::BrowserId>(index % 5));
}

HeartbeatRecord record_for(std::size_t index) {
    return {kTimestamps[index % 3], kIds[index / 3 % 3], kVersions[index / 9 % 3]};
}

Record as_record(const HeartbeatRecord& record) {
    return {record.timestamp_ms, std::string(record.extension_id), std::string(record.extension_version)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view before(reinterpret_cast<const char*>(data), size);
    const std::string_view browser = browser_name(size);
    const HeartbeatRecord record = record_for(size / 5);

    Entries expected = read_entries(parse_tree(before)).value_or(Entries{});
    expected.insert_or_assign(std::string(browser), as_record(record));
    const std::string after = nimbra::browser::record_heartbeat(before, browser, record);
    check_written(after, expected);

    // The host reads its own file whole: another browser's refresh keeps it.
    const std::string_view next_browser = browser_name(size + 1);
    const HeartbeatRecord next_record = record_for(size / 5 + 1);
    expected.insert_or_assign(std::string(next_browser), as_record(next_record));
    check_written(nimbra::browser::record_heartbeat(after, next_browser, next_record), expected);
    return 0;
}
