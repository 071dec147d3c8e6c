// The doctor's course for each browser, in the browser's own order, and the
// report: the verdict the extension would hear, the reason, the fix.
#include "doctor.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/data_dir.h"
#include "bridge/launch.h"
#include "platform/platform.h"

namespace nimbra::registration::doctor {

namespace {

using Clock = std::chrono::steady_clock;

// The browser refuses a reply announced longer than this.
constexpr std::uint32_t kLongestReply = 1024 * 1024;
// Shown of a reply the browser refuses, so a person sees what the host wrote.
constexpr std::size_t kShownBytes = 64;
// Enough for more of a refused reply to arrive, once its length is known.
constexpr int kShowWaitMs = 300;
// The extension's ping, framed as the browser frames it. The host answers a
// ping whatever else it holds, and records `source` in its heartbeat, so
// that the desktop application can tell these requests from a browser's.
constexpr std::string_view kDoctorSource = "nimbra-register doctor";
constexpr std::string_view kPing = R"({"source":"nimbra-register doctor","type":"ping"})";

struct Ping {
    Outcome outcome = Outcome::ok;
    std::string reason;
    std::string command;
    std::string reply;          // the reply's JSON text, when one arrived whole
    std::string first_bytes;    // what the host wrote, when the browser refuses it
    std::string error_output;   // the host's error output, when it failed
    std::uint32_t announced = 0;  // the length of a reply the browser refuses
    // The host ended before it took the ping. The browser then says it has
    // exited, or, when it was still writing the ping at that moment, that
    // the communication failed: which, the race decides.
    bool ended_unread = false;
};

struct Check {
    const Browser* browser = nullptr;
    bool installed = false;
    Policy policy;
    Lookup lookup;
    Outcome outcome = Outcome::ok;
    std::string reason;
    std::string fix;
    std::vector<std::string> notes;
    std::optional<fs::path> host;
    const Ping* ping = nullptr;
    std::string_view also_possible;  // what the browser says when it loses a race

    bool counts() const { return installed || lookup.registered; }
    std::string verdict() const { return verdict_text(*browser->family, outcome, ping ? ping->announced : 0); }
};

std::string text(const fs::path& path) { return platform::path_to_utf8(path); }

std::uint32_t little_endian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
    return value;
}

// Sends the ping as the browser does and reads until a whole reply, the end
// of the host's output, or `wait_ms`.
Ping ping(const fs::path& host_path, const std::vector<std::string>& arguments, const Family& family, int wait_ms) {
    Ping out;
    Launch launch = start_host(host_path, arguments, family.launcher);
    out.command = launch.command;
    if (!launch.host) {
        out.outcome = launch.browser_starts ? Outcome::exited : Outcome::failed_to_start;
        out.reason = launch.failure;
        out.ended_unread = launch.browser_starts;
        return out;
    }
    RunningHost& host = *launch.host;
    std::string got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    const auto left_ms = [&deadline] {
        return static_cast<int>(std::max<std::int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
    };
    // A host that never reads may not take the ping; what it writes still counts.
    const bool taken = host.send(std::string{static_cast<char>(kPing.size()), '\0', '\0', '\0'} + std::string(kPing));
    RunningHost::Read state = RunningHost::Read::data;
    std::size_t wanted = 4;
    while (got.size() < wanted && state != RunningHost::Read::ended && left_ms() > 0) {
        state = host.receive(got, wanted - got.size(), left_ms());
        if (got.size() >= 4 && wanted == 4) {
            const std::uint32_t length = little_endian(got);
            if (length > kLongestReply) break;
            wanted = 4 + std::size_t{length};
        }
    }
    const auto failed = [&](Outcome outcome, std::string reason) {
        out.outcome = outcome;
        out.reason = std::move(reason);
        out.first_bytes = visible(got.substr(0, kShownBytes));
        out.error_output = host.error_output();
    };
    if (got.size() >= 4 && little_endian(got) > kLongestReply) {
        const auto shown_by = Clock::now() + std::chrono::milliseconds(kShowWaitMs);
        while (state != RunningHost::Read::ended && got.size() < kShownBytes && Clock::now() < shown_by) {
            state = host.receive(got, kShownBytes - got.size(), kShowWaitMs / 10);
        }
        out.announced = little_endian(got);
        const std::string start = got.substr(0, 4);
        const bool text_like = std::all_of(start.begin(), start.end(), [](char c) { return c >= ' ' && c < 0x7F; });
        failed(Outcome::bad_frame, "the host's reply announces " + std::to_string(little_endian(got)) +
                                       " bytes, more than the browser takes (1 MiB); its first bytes, \"" +
                                       visible(start) + "\"" +
                                       (text_like ? ", look like text written to standard output" : ""));
    } else if (got.size() >= wanted) {
        const std::string_view body = std::string_view(got).substr(4);
        if (!family.reply_ok(body)) {
            failed(Outcome::invalid_json, "the host's reply is not JSON: " + visible(body.substr(0, kShownBytes)));
        } else {
            out.reply = body;
        }
    } else if (state == RunningHost::Read::ended) {
        failed(Outcome::exited, got.empty() ? "the host ended without writing anything"
                                            : "the host ended after writing " + std::to_string(got.size()) +
                                                  " bytes, less than a whole reply");
        out.ended_unread = !taken;
    } else {
        failed(Outcome::no_reply, "the host did not answer within " + std::to_string(wait_ms / 1000) +
                                      " s (" + std::to_string(got.size()) + " bytes came); the browser would keep "
                                      "waiting and the extension would hear nothing");
    }
    return out;
}

std::string fix_for(const Browser& browser, const Place& place, const Options& options) {
    const std::string command = install_command(browser, place.user_level, options);
    return command.empty() ? "remove or correct " + place.where : command;
}

std::string policy_text(std::string_view name, const std::string& source) {
    return "policy " + std::string(name) + " (" + source + ")";
}

class Doctor {
public:
    explicit Doctor(const Options& options) : options_(options) {}

    Check check(const Browser& browser) {
        Check c;
        c.browser = &browser;
        c.installed = is_installed(browser, options_);
        c.policy = read_policy(browser, options_);
        const bool user_level = c.policy.user_level_hosts.value_or(true);
        c.lookup = find_manifest(browser, options_, user_level);
        // The browser asks its policies before it looks for the manifest.
        if (policy_blocks(c.policy, kHostName)) {
            c.outcome = Outcome::blocked;
            c.reason = policy_text("NativeMessagingBlocklist", c.policy.blocklist_source) +
                       " blocks the host" +
                       (c.policy.allowlist ? " and " + policy_text("NativeMessagingAllowlist", c.policy.allowlist_source) +
                                                 " does not list it"
                                           : "");
            c.fix = "ask whoever manages this computer to add " + std::string(kHostName) +
                    " to the NativeMessagingAllowlist policy";
            return c;
        }
        if (!c.lookup.chosen) return not_registered(std::move(c), user_level);
        // Chromium reads the first manifest present; Firefox on Linux reads on
        // past each one it refuses, as if it were not there.
        const std::vector<std::size_t> order =
            c.lookup.read_on.empty() ? std::vector<std::size_t>{*c.lookup.chosen} : c.lookup.read_on;
        std::optional<Judgement> accepted;
        std::vector<Judgement> refused;
        for (const std::size_t index : order) {
            Judgement judged = judge(c, index);
            if (judged.accepted) {
                accepted = std::move(judged);
                c.lookup.chosen = index;
                c.lookup.manifest = c.lookup.places[index].file;
                c.lookup.places[index].state = kRead;
                break;
            }
            if (!c.lookup.read_on.empty()) c.lookup.places[index].state = kRefused;
            const bool last = judged.final;
            refused.push_back(std::move(judged));
            if (last) break;
        }
        if (!accepted) {
            // The browser's last word, with every reason that led there.
            c.outcome = refused.back().outcome;
            c.fix = refused.front().fix;
            for (const Judgement& j : refused) c.reason += (c.reason.empty() ? "" : "; then ") + j.reason;
            return c;
        }
        c.notes = accepted->notes;
        c.host = accepted->host;
        const Place& place = c.lookup.places[*c.lookup.chosen];
        std::vector<std::string> arguments = browser.family->arguments(
            text(*place.file), extensions_for(*browser.family, options_).front());
        c.ping = &ping_once(*c.host, arguments, *browser.family);
        c.outcome = c.ping->outcome;
        c.reason = c.ping->reason;
        if (c.ping->ended_unread && browser.family->write_failed != c.verdict()) {
            c.also_possible = browser.family->write_failed;
            c.reason += "; before it took the ping, so the browser may also say \"" + std::string(c.also_possible) +
                        "\", when it is still writing the ping at that moment";
        }
        if (c.outcome == Outcome::ok) {
            const auto reply = nlohmann::json::parse(c.ping->reply, nullptr, false);
            const bool ours = reply.is_object() && reply.contains("host") && reply["host"] == std::string(kHostName) &&
                              reply.contains("ok") && reply["ok"] == true;
            if (!ours) {
                c.notes.push_back("the host answered, but not as this host answers ping: " + visible(c.ping->reply));
            }
        } else {
            c.fix = host_fix(c);
        }
        return c;
    }

private:
    // One manifest as the browser judges it, up to the host it would start.
    struct Judgement {
        bool accepted = false;
        bool final = false;  // the browser stops here, whatever comes after
        Outcome outcome = Outcome::not_found;
        std::string reason, fix;
        std::vector<std::string> notes;
        std::optional<fs::path> host;
    };

    Judgement judge(const Check& c, std::size_t index) const {
        const Browser& browser = *c.browser;
        const Place& place = c.lookup.places[index];
        Judgement j;
        j.fix = fix_for(browser, place, options_);
        const auto refuse = [&j](std::string reason) {
            j.reason = std::move(reason);
            return std::move(j);
        };
        if (!place.file) return refuse(c.lookup.problem);
        const std::string manifest_name = text(*place.file);
        const auto content = platform::read_file(*place.file);
        if (!content) {
            return refuse(hidden_note(c, index, "cannot read " + manifest_name + ": " + platform::describe(content.error())));
        }
        const Manifest manifest = browser.family->read_manifest(*content);
        if (!manifest.valid) {
            return refuse(hidden_note(c, index, "the browser refuses " + manifest_name + ": " + manifest.problem));
        }
        j.notes = manifest.notes;
        std::vector<std::string> refused_ids;
        for (const auto& id : extensions_for(*browser.family, options_)) {
            if (!browser.family->allows(manifest, id)) refused_ids.push_back(id);
        }
        if (!refused_ids.empty()) {
            j.outcome = Outcome::forbidden;
            std::string allowed;
            for (const auto& host : manifest.allowed_hosts) allowed += (allowed.empty() ? "" : ", ") + host;
            const std::string entry = browser.family->firefox_ids ? refused_ids.front()
                                                                  : "chrome-extension://" + refused_ids.front() + "/";
            if (install_command(browser, place.user_level, options_).empty()) {
                j.fix = "add " + entry + " to " + std::string(browser.family->allow_list) + " in " + manifest_name;
            }
            return refuse(manifest_name + " does not allow the extension " + refused_ids.front() + " (it allows " +
                          (allowed.empty() ? "none" : allowed) + ")");
        }
        HostFile host = host_file(*place.file, manifest.path, place, options_);
        if (!host.path) {
            // Firefox has accepted the manifest by now: a host that is not
            // there is a failed start, and it reads no further.
            if (!host.refused && browser.family->launcher == Launcher::firefox) {
                j.outcome = Outcome::failed_to_start;
                j.final = true;
            }
            return refuse(host.problem);
        }
        j.accepted = true;
        j.host = host.path;
        return j;
    }

    Check not_registered(Check c, bool user_level) {
        c.outcome = Outcome::not_found;
        const auto ignored = std::find_if(c.lookup.places.begin(), c.lookup.places.end(),
                                          [](const Place& p) { return p.state == kIgnored; });
        if (!user_level && ignored != c.lookup.places.end()) {
            c.reason = policy_text("NativeMessagingUserLevelHosts", c.policy.user_level_source) +
                       " is false, so the browser ignores " + ignored->where;
            c.fix = install_command(*c.browser, false, options_);
            if (c.fix.empty()) c.fix = "ask whoever manages this computer to register the host for every user";
            return c;
        }
        c.reason = "no manifest in any place where " + std::string(c.browser->label) + " looks";
        const auto first_user = std::find_if(c.lookup.places.begin(), c.lookup.places.end(),
                                             [](const Place& p) { return p.user_level; });
        c.fix = first_user != c.lookup.places.end() ? fix_for(*c.browser, *first_user, options_) : "";
        return c;
    }

    // A manifest the browser refuses also hides one at the other level,
    // unless the browser reads on.
    static std::string hidden_note(const Check& c, std::size_t index, std::string reason) {
        if (!c.lookup.read_on.empty()) return reason;
        const bool user_level = c.lookup.places[index].user_level;
        for (std::size_t i = index + 1; i < c.lookup.places.size(); ++i) {
            if (c.lookup.places[i].state == kUnread && c.lookup.places[i].user_level != user_level) {
                reason += "; the browser stops there and never reads " + c.lookup.places[i].where;
                break;
            }
        }
        return reason;
    }

    std::string host_fix(const Check& c) const {
        const std::string host = text(*c.host);
        switch (c.outcome) {
            case Outcome::bad_frame:
            case Outcome::invalid_json:
                return "the file at " + host + " is not this host, or it writes text to its standard output: "
                       "reinstall the host";
            case Outcome::no_reply:
                return "run " + host + " by hand to see what it waits for, or reinstall the host";
            default:
                return "run " + host + " by hand to see why it ends; reinstall the host if it does not start";
        }
    }

    const Ping& ping_once(const fs::path& host, const std::vector<std::string>& arguments, const Family& family) {
        std::string key = text(host) + '\n' + std::string(family.name);
        for (const auto& argument : arguments) key += '\n' + argument;
        auto found = pings_.find(key);
        if (found == pings_.end()) {
            found = pings_.emplace(key, ping(host, arguments, family, options_.wait_seconds.value_or(10) * 1000)).first;
        }
        return found->second;
    }

    const Options& options_;
    std::map<std::string, Ping> pings_;
};

// ---------------------------------------------------------------- what the browser cannot see

std::string age_text(std::uint64_t then_ms, std::uint64_t now_ms) {
    if (then_ms > now_ms) return "in the future";
    const std::uint64_t s = (now_ms - then_ms) / 1000;
    if (s < 120) return std::to_string(s) + " s ago";
    if (s < 2 * 3600) return std::to_string(s / 60) + " min ago";
    if (s < 2 * 86400) return std::to_string(s / 3600) + " h ago";
    return std::to_string(s / 86400) + " days ago";
}

struct Finding {
    bool problem = false;
    std::string text;
    std::string fix = {};
};

// The heartbeat records as the desktop application reads them.
void check_heartbeats(const fs::path& dir, std::uint64_t now_ms, nlohmann::ordered_json& json,
                      std::vector<Finding>& findings) {
    const fs::path legacy = platform::join(dir, bridge::kLegacyHeartbeatFile);
    if (const auto content = platform::read_file(legacy)) {
        const auto value = nlohmann::json::parse(*content, nullptr, false, false);
        const bool valid = value.is_object() && value.contains("timestamp_ms") &&
                           value["timestamp_ms"].is_number_unsigned() && value.contains("extension_id") &&
                           value["extension_id"].is_string();
        if (!valid) {
            findings.push_back({true, text(legacy) + " is not a valid heartbeat; the next request rewrites it"});
        } else {
            const auto stamp = value["timestamp_ms"].get<std::uint64_t>();
            const auto browser = value.value("browser_id", nlohmann::json()).is_string()
                                     ? value["browser_id"].get<std::string>()
                                 : value.value("source", nlohmann::json()) == kDoctorSource
                                     ? std::string("a doctor's ping")
                                     : std::string("an unidentified browser");
            json["last_request"] = {{"browser", value["browser_id"]}, {"timestamp_ms", stamp}};
            findings.push_back({false, "last request: " + browser + ", " + age_text(stamp, now_ms)});
        }
    }
    const fs::path per_browser = platform::join(dir, bridge::kHeartbeatsFile);
    const auto content = platform::read_file(per_browser);
    if (!content) {
        findings.push_back({false, "no browser has reported yet"});
        return;
    }
    const auto value = nlohmann::json::parse(*content, nullptr, false, false);
    auto reports = nlohmann::ordered_json::array();
    bool valid = value.is_object();
    for (auto it = valid ? value.begin() : value.end(); it != value.end() && valid; ++it) {
        const auto& record = it.value();
        nlohmann::json stamp, id, version;
        if (record.is_array() && record.size() == 3) {
            stamp = record[0];
            id = record[1];
            version = record[2];
        } else if (record.is_object()) {
            stamp = record.value("timestamp_ms", nlohmann::json());
            id = record.value("extension_id", nlohmann::json());
            version = record.value("extension_version", nlohmann::json());
        }
        valid = stamp.is_number_unsigned() && id.is_string() && version.is_string();
        if (!valid) break;
        const auto ms = stamp.get<std::uint64_t>();
        reports.push_back({{"browser", it.key()}, {"timestamp_ms", ms}, {"extension_id", id}, {"extension_version", version}});
        findings.push_back({false, it.key() + " reported " + age_text(ms, now_ms) + " (extension " +
                                       id.get<std::string>() + ", version " + version.get<std::string>() + ")"});
    }
    if (!valid) {
        findings.push_back({true, text(per_browser) + " is not valid, so the desktop application cannot tell which "
                                  "browsers have the extension; the next request of a known browser replaces it"});
        return;
    }
    json["heartbeats"] = std::move(reports);
}

nlohmann::ordered_json check_data_dir(std::vector<Finding>& findings) {
    platform::System& system = platform::real_system();
    nlohmann::ordered_json json;
    const auto dir = bridge::local_data_dir(system);
    if (!dir) {
        findings.push_back({true, std::string(bridge::kNoDataDirMessage) + ": the host cannot hand anything to "
                                                                          "the desktop application"});
        json["problem"] = bridge::kNoDataDirMessage;
        return json;
    }
    json["path"] = text(*dir);
    const auto info = platform::file_info(*dir);
    if (!info) {
        findings.push_back({false, "not created yet: the host makes it on its first request"});
        json["exists"] = false;
        return json;
    }
    json["exists"] = true;
    if (!info->is_directory) {
        findings.push_back({true, "a file stands where the folder belongs: remove " + text(*dir)});
        json["problem"] = "not a folder";
        return json;
    }
    const fs::path probe = platform::join(*dir, ".nimbra-doctor-" + std::to_string(system.current_process_id()));
    const auto written = platform::create_exclusive(probe, "");
    json["writable"] = written.ok();
    if (written) {
        (void)platform::remove_file(probe);  // an empty leftover would harm nobody
    } else {
        findings.push_back({true, "cannot write into it (" + platform::describe(written.error()) +
                                      "): no download can reach the desktop application"});
    }
    const std::uint64_t now_ms = platform::unix_ms_from_file_time(system.now_file_time());
    check_heartbeats(*dir, now_ms, json, findings);

    const fs::path lock = platform::join(*dir, bridge::kLaunchLockFile);
    if (const auto lock_info = platform::file_info(lock)) {
        const std::uint64_t now = system.now_file_time();
        const std::uint64_t age = now > lock_info->last_write ? now - lock_info->last_write : 0;
        json["launch_lock"] = {{"path", text(lock)}, {"age_ms", age / 10000}};
        if (lock_info->last_write > now) {
            findings.push_back({true, "the launch lock " + text(lock) + " is dated in the future, so hosts wait "
                                      "5 s for it on every start of the application: delete it"});
        } else if (age > bridge::kStaleLockAge) {
            findings.push_back({false, "a launch lock is left over (" + age_text(lock_info->last_write / 10000, now / 10000) +
                                           "); the next host that starts the application deletes it"});
        } else {
            findings.push_back({false, "a host is starting the desktop application right now"});
        }
    }
    return json;
}

// Is the desktop application where a host that answers would start it?
Finding check_desktop_app(const fs::path& host, nlohmann::ordered_json& json) {
    const fs::path folder = host.parent_path();
    std::string names;
    for (const std::string_view candidate : platform::desktop_app_candidates()) {
        const fs::path path = platform::join(folder, candidate);
        const auto info = platform::file_info(path);
        if (info && !info->is_directory) {
            json = {{"host", text(host)}, {"application", text(path)}};
            return {false, text(path)};
        }
        names += (names.empty() ? "" : " or ") + std::string("\"") + std::string(candidate) + "\"";
    }
    json = {{"host", text(host)}, {"application", nullptr}};
    return {true, "no " + names + " beside " + text(host) + ": open_app cannot start the application, and "
                  "add_download fails after 35 s unless it runs already",
            "copy the host into the application's folder and register that copy: nimbra-register install --host "
            "<the copy>"};
}

// ---------------------------------------------------------------- the report

void print_text(const std::vector<Check>& checks, const std::vector<Finding>& app, const std::vector<Finding>& data,
                const nlohmann::ordered_json& data_json, bool running, const Options& options) {
    std::string out;
    for (const Check& c : checks) {
        if (!c.counts()) {
            out += std::string(c.browser->label) + ": not installed, nothing registered\n";
            continue;
        }
        out += std::string(c.browser->label) + ": " + std::string(c.verdict()) + "\n";
        if (c.outcome != Outcome::ok) {
            out += "    why: " + c.reason + "\n";
            if (c.ping && !c.ping->first_bytes.empty()) out += "    the host wrote: \"" + c.ping->first_bytes + "\"\n";
            if (c.ping && !c.ping->error_output.empty()) out += "    its error output: " + visible(c.ping->error_output) + "\n";
            if (!c.fix.empty()) out += "    fix: " + c.fix + "\n";
        }
        for (const auto& note : c.notes) out += "    note: " + note + "\n";
        if (options.verbose) {
            for (const Place& place : c.lookup.places) out += "    looked: " + place.where + ": " + place.state + "\n";
            if (c.host) out += "    host: " + text(*c.host) + "\n";
            if (c.ping) out += "    started: " + c.ping->command + "\n";
            if (c.ping && !c.ping->reply.empty()) out += "    reply: " + visible(c.ping->reply) + "\n";
        }
    }
    out += std::string("Desktop application: ") + (running ? "running" : "not running") + "\n";
    const auto findings = [&out](const std::vector<Finding>& list, std::string_view fine) {
        for (const auto& finding : list) {
            out += (finding.problem ? "    problem: " : "    " + std::string(fine)) + finding.text + "\n";
            if (!finding.fix.empty()) out += "    fix: " + finding.fix + "\n";
        }
    };
    findings(app, "beside the host: ");
    out += "Data directory: " + data_json.value("path", std::string("unknown")) + "\n";
    findings(data, "");
    print_out(out);
}

nlohmann::ordered_json browser_json(const Check& c) {
    nlohmann::ordered_json json;
    json["browser"] = c.browser->id;
    json["name"] = c.browser->label;
    json["family"] = c.browser->family->name;
    json["verdict"] = c.verdict();
    json["outcome"] = [&] {
        static constexpr std::array<std::string_view, kOutcomeCount> kNames{
            "ok", "not_found", "forbidden", "blocked", "failed_to_start", "exited", "bad_frame", "invalid_json", "no_reply"};
        return kNames[static_cast<std::size_t>(c.outcome)];
    }();
    json["installed"] = c.installed;
    json["registered"] = c.lookup.registered;
    if (!c.reason.empty()) json["reason"] = c.reason;
    if (!c.fix.empty()) json["fix"] = c.fix;
    if (!c.notes.empty()) json["notes"] = c.notes;
    auto places = nlohmann::ordered_json::array();
    for (const Place& p : c.lookup.places) {
        places.push_back({{"where", p.where}, {"level", p.user_level ? "user" : "system"}, {"state", p.state}});
    }
    json["looked"] = std::move(places);
    if (c.lookup.manifest) json["manifest"] = text(*c.lookup.manifest);
    if (c.host) json["host"] = text(*c.host);
    nlohmann::ordered_json policies = nlohmann::ordered_json::object();
    if (c.policy.user_level_hosts) {
        policies["NativeMessagingUserLevelHosts"] = {{"value", *c.policy.user_level_hosts}, {"source", c.policy.user_level_source}};
    }
    if (c.policy.blocklist) policies["NativeMessagingBlocklist"] = {{"value", *c.policy.blocklist}, {"source", c.policy.blocklist_source}};
    if (c.policy.allowlist) policies["NativeMessagingAllowlist"] = {{"value", *c.policy.allowlist}, {"source", c.policy.allowlist_source}};
    json["policies"] = std::move(policies);
    if (c.ping) {
        json["command"] = c.ping->command;
        if (!c.also_possible.empty()) json["also_possible"] = c.also_possible;
        if (!c.ping->reply.empty()) json["reply"] = c.ping->reply;
        if (!c.ping->first_bytes.empty()) json["first_bytes"] = c.ping->first_bytes;
        if (!c.ping->error_output.empty()) json["error_output"] = visible(c.ping->error_output);
    }
    return json;
}

}  // namespace

std::string extension_arguments(const Family& family, const Options& options) {
    const auto& ids = extensions_for(family, options);
    const std::string_view companion = family.firefox_ids ? kCompanionFirefoxExtensionId : kCompanionExtensionId;
    if (ids == std::vector<std::string>{std::string(companion)}) return {};
    std::string out;
    for (const auto& id : ids) out += " " + std::string(family.id_option) + " " + id;
    return out;
}

}  // namespace nimbra::registration::doctor

namespace nimbra::registration {

int run_doctor(const Options& options) {
    using namespace doctor;
    // The data directory first: the pings below are requests like any other,
    // and the host records them there.
    std::vector<Finding> data;
    nlohmann::ordered_json data_json = check_data_dir(data);
    const bool running = bridge::is_desktop_app_running(platform::real_system());

    Doctor course(options);
    std::vector<Check> checks;
    for (const Browser& browser : known_browsers()) checks.push_back(course.check(browser));

    std::vector<Finding> app;
    auto app_json = nlohmann::ordered_json::array();
    std::vector<std::string> seen;
    for (const Check& c : checks) {
        if (c.outcome != Outcome::ok || std::find(seen.begin(), seen.end(), text(*c.host)) != seen.end()) continue;
        seen.push_back(text(*c.host));
        nlohmann::ordered_json one;
        app.push_back(check_desktop_app(*c.host, one));
        app_json.push_back(std::move(one));
    }

    const bool all_ok = std::all_of(checks.begin(), checks.end(),
                                    [](const Check& c) { return !c.counts() || c.outcome == Outcome::ok; });
    if (options.json) {
        nlohmann::ordered_json report;
        auto browsers = nlohmann::ordered_json::array();
        for (const Check& c : checks) browsers.push_back(browser_json(c));
        report["browsers"] = std::move(browsers);
        report["extension_ids"] = options.extension_ids;
        report["desktop_app"] = {{"running", running}, {"beside_hosts", std::move(app_json)}};
        auto problems = nlohmann::ordered_json::array();
        for (const auto& finding : data) {
            if (finding.problem) problems.push_back(finding.text);
        }
        data_json["problems"] = std::move(problems);
        report["data_dir"] = std::move(data_json);
        report["ok"] = all_ok;
        print_out(report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    } else {
        print_text(checks, app, data, data_json, running, options);
    }
    return all_ok ? kOk : kFailed;
}

}  // namespace nimbra::registration
