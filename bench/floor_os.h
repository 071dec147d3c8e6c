// The few OS calls the floor programs make, made the way the host makes them
// on each OS: POSIX calls on Linux, the Windows file calls (ReadFile,
// CreateFileW, WriteFile, SetEndOfFile) in the Windows build that runs under
// wine. Paths are UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace floor_os {

// The folder separator of this OS.
extern const char kSeparator;

// The host's data directory, found the way the host finds it (Windows: the
// known folder LocalAppData, which loads the shell's libraries; POSIX: the
// XDG data home), or "" when unknown.
std::string data_dir();

// Fills `out` from standard input; false when the input ends first.
bool read_input(char* out, std::size_t n);

// Writes all of `bytes` to standard output; false when it cannot.
bool write_output(std::string_view bytes);

// Rewrites the file in place, as the host writes its files: opened (created
// when missing), written from offset 0, then cut to length.
void rewrite(const std::string& path, std::string_view text);

// Creates the file or truncates it on opening, then writes it: the plainest
// rewrite of all, which leaves readers an empty or cut file meanwhile.
void create_or_truncate(const std::string& path, std::string_view text);

// Appends to an existing file, as the host appends a chunk.
void append(const std::string& path, std::string_view bytes);

// The two heartbeat files the host rewrites before every request, with
// content of their usual size, in place or created-or-truncated.
inline void rewrite_heartbeats(const std::string& dir, bool truncating = false) {
    const auto write = truncating ? create_or_truncate : rewrite;
    write(dir + kSeparator + "extension-heartbeat.json",
          "{\n  \"browser_id\": \"chrome\",\n  \"extension_id\": \"kembcdlbgbcnnchcnbdhbmbhbejnedjf\",\n"
          "  \"extension_version\": null,\n  \"source\": null,\n  \"timestamp_ms\": 1765000000000\n}");
    write(dir + kSeparator + "extension-heartbeats-v2.json",
          "{\n  \"chrome\": {\n    \"timestamp_ms\": 1765000000000,\n    \"extension_id\": "
          "\"kembcdlbgbcnnchcnbdhbmbhbejnedjf\",\n    \"extension_version\": \"legacy\"\n  }\n}");
}

}  // namespace floor_os
