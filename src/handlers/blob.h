// Browser blob transfers: the extension streams a file that exists only in
// the browser into browser-transfers/ ("blob_begin", any number of
// "blob_chunk", "blob_end"), and the finished file is handed to the desktop
// application as an import job.
//
// A transfer lives entirely in its two files, "<id>.part" (the bytes) and
// "<id>.json" (its description), so nothing is kept between requests and a
// transfer does not depend on the host process that began it. Every failure
// here is fatal: the handlers throw host::FatalError.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "bridge/data_dir.h"
#include "host/json.h"
#include "platform/platform.h"

namespace nimbra::handlers {

// Longest `data_base64` text a chunk may carry, in bytes (675,000 decoded).
inline constexpr std::size_t kMaxChunkTextBytes = 900000;

// The id becomes a file name stem, so only 8 to 80 ASCII letters, digits,
// "-" and "_" pass; anything else throws FatalError("invalid browser
// transfer id"). Callers pass "" for a missing or non-string member.
std::string validate_transfer_id(std::string_view text);

// Each handler works in `data_dir`, the data directory as the request found it.

// Starts (or restarts) a transfer: an empty data file and a fresh
// description. Replies {"ok":true,"transfer_id":<id>}.
host::Json handle_blob_begin(const host::Json& request, const bridge::PathResult& data_dir);

// Decodes `data_base64` (its text given apart from the request, "" when it is
// absent or not a string, as the request loop has it) whole into `decoded`,
// the caller's buffer, then appends it to the data file, which must exist.
// Replies {"ok":true,"received":<bytes decoded from this chunk>}.
host::Json handle_blob_chunk(const host::Json& request, std::string_view data_base64,
                             const bridge::PathResult& data_dir, std::string& decoded);

// Ends the request's transfer for good when a chunk's outcome is in doubt
// (its append failed after the file was opened, or its reply never reached
// the extension): the data file can no longer come out right, so blob_end
// must not take it as whole. Never fails.
void abandon_blob_transfer(const host::Json& request, const bridge::PathResult& data_dir) noexcept;

// Checks that the transfer is complete, then hands the data file to the
// desktop application and returns its answer as the reply.
host::Json handle_blob_end(const host::Json& request, platform::System& system, const bridge::PathResult& data_dir);

}  // namespace nimbra::handlers
