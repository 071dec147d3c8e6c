// nimbra-register doctor: for each browser, what the extension would hear
// when it sends {"type":"ping"}, why, and what mends it.
//
// The browser is the judge of a registration, so the doctor retraces the
// browser's own steps: its policies, its lookup in its own order, its reading
// of the manifest, and a real launch and ping of the host. The rules live in
// doctor_rules.cpp, the report in doctor.cpp, and each OS's lookup and launch
// in doctor_posix.cpp and doctor_win32.cpp. Browsers are rows of a table, and
// each row names the family whose manifest rules and messages it follows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "register.h"

namespace nimbra::registration::doctor {

namespace fs = std::filesystem;

// How a ping ends, from the browser's side. Each family words them itself.
enum class Outcome {
    ok,
    not_found,        // no usable manifest, or no host where it points
    forbidden,        // the manifest does not allow the extension
    blocked,          // a policy forbids the host
    failed_to_start,  // the browser could not even start the process
    exited,           // the host ended without a whole reply
    bad_frame,        // a reply length the browser refuses
    invalid_json,     // a whole reply that is not JSON
    no_reply,         // the host kept silent; the browser would just wait
};
inline constexpr std::size_t kOutcomeCount = 9;

// What the manifest reading found, for the steps after it.
struct Manifest {
    bool valid = false;
    std::string problem;          // why the browser refuses it, when not valid
    std::string path;             // the host as the manifest names it
    std::vector<std::string> allowed_hosts;  // canonical origin hosts it allows; Firefox: add-on ids
    std::vector<std::string> notes;          // accepted, but worth saying
};

// How a browser family starts a host: Chromium through the shell on Windows
// (and the shell for a script it cannot run itself on Linux), Firefox the
// program itself.
enum class Launcher { chromium, firefox };

// A browser family: how its manifests are read, which extensions they allow,
// how it starts the host, which replies it takes, and the words its
// extensions hear.
struct Family {
    std::string_view name;
    // The bad_frame message may hold "{}" for the length the host announced.
    std::array<std::string_view, kOutcomeCount> messages;
    Manifest (*read_manifest)(std::string_view text);
    // The host's arguments for the extension, read from `manifest`.
    std::vector<std::string> (*arguments)(const std::string& manifest, std::string_view extension_id);
    bool (*allows)(const Manifest& manifest, std::string_view extension_id);
    bool (*reply_ok)(std::string_view body);
    Launcher launcher;
    // What the extension hears when the browser's write of the message fails.
    std::string_view write_failed;
    // The manifest member that lists the extensions, and the register option
    // that names them.
    std::string_view allow_list;
    std::string_view id_option;
    bool firefox_ids;  // asked about Options::firefox_extension_ids
};

extern const Family kChromiumFamily;
extern const Family kFirefoxFamily;

// The family's words for an outcome; `announced` fills a reply length in.
std::string verdict_text(const Family& family, Outcome outcome, std::uint32_t announced);
// The extensions the doctor asks about for this family.
const std::vector<std::string>& extensions_for(const Family& family, const Options& options);

// ---------------------------------------------------------------- rules

// A manifest or policy file read as Chromium reads it (a little more than
// JSON); nothing, with the reason in `problem`, where Chromium refuses it.
std::optional<nlohmann::json> chromium_json(std::string_view text, bool trailing_commas, std::string& problem);

// What Chromium's reply parser accepts: strict JSON, any depth, non-ASCII
// taken as it comes.
bool is_reply_json(std::string_view body);

// A manifest as Firefox reads it: UTF-8 JSON, a byte-order mark allowed,
// nothing else beyond JSON; then its schema, exactly the members
// name, description, type, path and allowed_extensions.
Manifest read_firefox_manifest(std::string_view text);
// What Firefox's reply reader takes: well-formed UTF-8, a byte-order mark
// skipped, then strict JSON.
bool is_firefox_reply(std::string_view body);

// The three policies that decide whether a browser may start the host, each
// with the file or registry value that set it.
struct Policy {
    std::optional<bool> user_level_hosts;
    std::optional<std::vector<std::string>> blocklist;
    std::optional<std::vector<std::string>> allowlist;
    std::string user_level_source, blocklist_source, allowlist_source;
};
bool policy_blocks(const Policy& policy, std::string_view host_name);

// The reply bytes as a person can read them: printable ASCII as it is, other
// bytes as \xHH.
std::string visible(std::string_view bytes);

// ---------------------------------------------------------------- what each OS provides

struct OsBrowser;  // the lookup data of one browser, in the OS's own file

struct Browser {
    std::string_view id;     // "chrome", "chromium", ...
    std::string_view label;  // "Google Chrome"
    const Family* family;
    const OsBrowser* os;
};

std::span<const Browser> known_browsers();

// One place the browser looks for the manifest, in the browser's order.
struct Place {
    std::string where;  // a file, or a registry key and view
    bool user_level = false;
    std::string state;  // one of the k... states below, or what the browser found wrong there
    std::optional<fs::path> file;  // the manifest the browser would read here
};
inline constexpr std::string_view kRead = "read by the browser";
inline constexpr std::string_view kAbsent = "absent";
inline constexpr std::string_view kUnread = "present, but the browser stops before it";
inline constexpr std::string_view kRefused = "read, refused: the browser reads on";
inline constexpr std::string_view kIgnored = "present, but ignored: user-level hosts are off by policy";

struct Lookup {
    std::vector<Place> places;
    std::optional<std::size_t> chosen;  // the place the browser reads
    // Every place that is present in the browser's order, when a refused
    // manifest makes the browser read on (Firefox on Linux); else empty.
    std::vector<std::size_t> read_on;
    std::optional<fs::path> manifest;   // the manifest file it reads there
    std::string problem;                // set when the chosen place is unusable
    bool registered = false;            // something is there, used or not
};

Lookup find_manifest(const Browser& browser, const Options& options, bool user_level_allowed);
Policy read_policy(const Browser& browser, const Options& options);
bool is_installed(const Browser& browser, const Options& options);

// The host file the browser would start, from the manifest's "path".
struct HostFile {
    std::optional<fs::path> path;  // nothing when the browser would not start one
    std::string problem;           // why not
    bool refused = false;          // the browser refuses the path as written, before it looks for a file
};
HostFile host_file(const fs::path& manifest, const std::string& path, const Place& place, const Options& options);

// The register command that writes this browser's manifest at that level
// for the extensions asked about; empty when nimbra-register does not write
// there.
std::string install_command(const Browser& browser, bool user_level, const Options& options);
// " --extension-id ID" (Firefox: " --firefox-extension-id ID") for each
// extension asked about, none for the default.
std::string extension_arguments(const Family& family, const Options& options);

// A host started as the browser starts it, with the ping still to be sent.
class RunningHost {
public:
    enum class Read { data, ended, waiting };
    virtual ~RunningHost() = default;  // ends the host and all it started
    virtual bool send(std::string_view bytes) = 0;
    // Appends to `into` what arrives within `timeout_ms`, at most `most` bytes.
    virtual Read receive(std::string& into, std::size_t most, int timeout_ms) = 0;
    // The first bytes of the host's error output so far.
    virtual std::string error_output() = 0;
};

struct Launch {
    std::unique_ptr<RunningHost> host;
    std::string command;        // as the OS was given it
    std::string failure;        // when no host runs
    bool browser_starts = true; // false: the browser could not start anything either
};
Launch start_host(const fs::path& host, const std::vector<std::string>& arguments, Launcher launcher);

}  // namespace nimbra::registration::doctor
