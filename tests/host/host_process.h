// Drives a built host as a browser does: a child process with pipes on its
// standard input and output, frames in, frames out, files inspected after.
//
// The same tests run against the native host and against the Windows build
// under wine: NIMBRA_HOST_TARGET=wine (with WINEPREFIX set) picks the latter.
// NIMBRA_HOST_EXE and NIMBRA_TOOLS_DIR override the built paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace nimbra::hosttest {

namespace fs = std::filesystem;

// A frame: 4-byte little-endian length, then the body.
std::string frame(std::string_view body);

// Splits a host's output into frame bodies; `rest` gets bytes of an
// incomplete trailing frame.
std::vector<std::string> split_frames(std::string_view output, std::string* rest = nullptr);

// Where and how this run starts programs.
class Target {
public:
    static Target& get();

    bool wine() const { return wine_; }
    const fs::path& host_exe() const { return host_exe_; }
    const fs::path& tools_dir() const { return tools_dir_; }
    // A tool built beside the host ("standin" gives tools/standin or standin.exe).
    fs::path tool(const std::string& name) const;
    // ".exe" under wine, "" natively.
    std::string exe_suffix() const { return wine_ ? ".exe" : ""; }

    // The per-user data root the host will use (XDG_DATA_HOME natively,
    // LocalAppData in the wine prefix) and its Velisto/Nimbra folder. The
    // root is emptied of Velisto/ by reset().
    const fs::path& app_data() const { return app_data_; }
    fs::path data_dir() const { return app_data_ / "Velisto" / "Nimbra"; }
    void reset();

    // A scratch folder for copies of programs, emptied by reset(). Under
    // wine it lies inside the prefix's C: drive.
    const fs::path& scratch() const { return scratch_; }

    // The command line that runs `program` with `args` on this target.
    std::vector<std::string> command(const fs::path& program,
                                     const std::vector<std::string>& args = {}) const;

private:
    Target();
    bool wine_ = false;
    fs::path host_exe_;
    fs::path tools_dir_;
    fs::path app_data_;
    fs::path scratch_;
};

struct Finished {
    std::string output;       // everything written to standard output
    int exit_code = -1;       // -1 when killed or not exited
    bool timed_out = false;
};

class Process {
public:
    // Starts `command`; its standard input and output are pipes, standard
    // error is discarded.
    explicit Process(const std::vector<std::string>& command,
                     const std::vector<std::string>& extra_env = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void send(std::string_view bytes);
    void close_input();

    // Reads the next whole reply frame; nullopt when the output ended or the
    // wait ran out.
    std::optional<std::string> read_reply(double timeout_seconds = 60);

    // Closes the input (if open) and collects the rest of the output and
    // the exit status.
    Finished finish(double timeout_seconds = 60);

    int pid() const { return pid_; }

private:
    bool fill(double timeout_seconds);
    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string pending_;
    bool eof_ = false;
};

// Runs the host with `input` on its standard input and collects everything.
Finished run_host(std::string_view input, double timeout_seconds = 60);

// Writes and reads files in the test's data directory.
std::string read_text(const fs::path& path);
void write_text(const fs::path& path, std::string_view text);

}  // namespace nimbra::hosttest
