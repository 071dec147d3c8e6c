// Handing a job to the desktop application through the inbox, and waiting a
// bounded time for its answer.
//
// A job is a JSON object written indented as inbox/<job id>.json in the data
// directory. The application answers with inbox-results/<job id>.json, any
// JSON value, which becomes the request's reply (with `launched` set when it
// is an object). Every kind of job goes through hand_off_job; what differs
// between kinds is a JobKind.
//
// Adding a kind:
//
//     JobKind kind{
//         .type_name = "import_browser_file",
//         .timeout_message = "...",
//         .unreadable_message = "...",
//         .clears_stale_result = false,
//         .launched_on_timeout = false,
//         .after_write = [&] { static_cast<void>(platform::remove_file(description)); },
//     };
//     return bridge::hand_off_job(system, data_dir, kind, job);
//
// The order of events is fixed: job id; inbox and inbox-results created;
// stale result deleted (if the kind says so); job written; after_write;
// ensure_desktop_app_running (its result is `launched`); polling.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "bridge/data_dir.h"
#include "host/json.h"
#include "platform/platform.h"

namespace nimbra::bridge {

// Polls for the result file; after every miss, the last one included, the
// host pauses kPollIntervalMs (launch.h): 700 x 50 ms = 35 s.
inline constexpr int kResultPolls = 700;
// A result that does not parse counts as unreadable once it has read the
// same at this many polls in a row after the first (0.5 s): until then the
// application may still be writing it.
inline constexpr int kSettlePolls = 10;

struct JobKind {
    // The job's `type` member; the job handed to hand_off_job carries it.
    std::string_view type_name;
    // `error` of the reply when no result came within the polls.
    std::string_view timeout_message;
    // `error` of the reply when the result file is not one JSON value.
    std::string_view unreadable_message;
    // Delete any file at the result path before the job is written.
    bool clears_stale_result = false;
    // Whether the timeout reply carries `launched`.
    bool launched_on_timeout = false;
    // Runs after the job file is written and before the application is
    // made to run; empty for none. May throw host::FatalError, which ends
    // the host like any other fatal error of the handoff.
    std::function<void()> after_write;
};

// What came of waiting for a result.
struct HandoffOutcome {
    enum class Kind { answered, unreadable, timed_out };
    Kind kind = Kind::timed_out;
    host::Json value;  // the parsed result when answered
};

// A fresh random version-4 UUID in lower-case hyphenated form (36 characters).
// Throws host::FatalError with the OS error's text when the random source fails.
std::string make_job_id(platform::System& system);

// Posts `job` (an object whose `type` is kind.type_name) into `data_dir` (the
// data directory as the request found it) and returns the reply for the request: the application's answer, or an `ok` false reply with the
// kind's unreadable or timeout message. Throws host::FatalError with "No local
// data directory" or the OS error's text when the data directory is unknown,
// a folder cannot be created, the job cannot be written (a job written in part
// is removed first) or an existing result cannot be read for another reason
// than that the application holds it open.
host::Json hand_off_job(platform::System& system, const PathResult& data_dir, const JobKind& kind,
                        const host::Json& job);

}  // namespace nimbra::bridge
