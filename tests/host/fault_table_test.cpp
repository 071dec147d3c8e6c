// The built host against the faults a data directory meets: a full disk, a
// read-only data directory, a folder where a file belongs. For every request
// type it records the reply, the exit status and what stays on disk, checks
// that the heartbeat files are valid or untouched, that no half-written job
// is left, and that a transfer whose chunk failed never passes blob_end with
// bytes nobody acknowledged, and prints the table.
//
// Natively the full disk is a small tmpfs over the data directory's parent
// and the read-only directory a tmpfs remounted read-only, both in a mount
// namespace of the test's own. wine cannot see such mounts (its server opens
// the files, outside the namespace), so there the full disk is a file size
// limit on the host, and the read-only directory carries the immutable flag.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "host/desktop_app_fixture.h"
#include "host/json.h"

namespace nimbra::hosttest {
namespace {

// Entries of browsers to come fill all but a little of a 4 KiB page, so
// that one more entry needs new room.
const std::string kHeartbeatsSeed = [] {
    std::string text = "{\n  \"brave\": {\n    \"timestamp_ms\": 5,\n    \"extension_id\": \"b\",\n    \"extension_version\": \"1\"\n  }";
    for (int i = 10; text.size() < 4000; ++i) {
        text += ",\n  \"later" + std::to_string(i) + "\": {\n    \"timestamp_ms\": 5,\n    \"extension_id\": \"l\",\n    \"extension_version\": \"1\"\n  }";
    }
    return text + "\n}";
}();
// Large enough that none of it fits on a full disk.
const std::string kLong(5000, 'x');

struct Request {
    std::string name;
    std::string body;
};

const Request kRequests[] = {
    {"ping", R"({"type":"ping","source":")" + kLong + "\"}"},
    {"ping (edge)", R"({"type":"ping","browser_id":"edge"})"},
    {"add_download", R"({"type":"add_download","url":"https://example.com/)" + kLong + "\"}"},
    {"open_app", R"({"type":"open_app"})"},
    {"blob_begin", R"({"type":"blob_begin","transfer_id":"t-begin-1","filename":")" + kLong + "\"}"},
    {"blob_chunk", R"({"type":"blob_chunk","transfer_id":"t-chunk-1","data_base64":")" + std::string(8000, 'Q') + "\"}"},
    {"blob_end", R"({"type":"blob_end","transfer_id":"t-end-01"})"},
};

enum class Fault { full_disk, read_only, folder };

class FaultTable : public DesktopAppTest {
protected:
    void SetUp() override {
        DesktopAppTest::SetUp();
        wine_ = Target::get().wine();
        parent_ = Target::get().app_data() / "Velisto";
    }
    void TearDown() override {
        answering_ = false;
        if (application_.joinable()) application_.join();
        lift();
        unmount();
        DesktopAppTest::TearDown();
    }

    fs::path data() const { return data_dir(); }
    fs::path transfers() const { return data() / "browser-transfers"; }

    // Runs one request in a host of its own, as a browser would after the
    // last one ended with a fatal error.
    Finished run(const std::string& body, rlim_t size_limit = RLIM_INFINITY) {
        rlimit previous{};
        ::getrlimit(RLIMIT_FSIZE, &previous);
        auto* const handler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limited{size_limit, previous.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limited);  // the host inherits it
        Process host(Target::get().command(Target::get().host_exe()));
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, handler);
        host.send(frame(body));
        return host.finish(120);
    }

    // The desktop application's part: answers every whole job, then removes it.
    void play_application() {
        answering_ = true;
        application_ = std::thread([this] {
            while (answering_) {
                std::error_code error;
                for (const auto& entry : fs::directory_iterator(data() / "inbox", error)) {
                    if (!host::parse_json(read_text(entry.path())).value) continue;
                    write_text(data() / "inbox-results" / entry.path().filename(), R"({"ok":true})");
                    fs::remove(entry.path(), error);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }

    // The data directory before the fault: both heartbeat files, and two
    // open transfers of one acknowledged chunk each.
    void seed() {
        write_text(data() / "extension-heartbeats-v2.json", kHeartbeatsSeed);
        fs::create_directories(data() / "inbox");
        fs::create_directories(data() / "inbox-results");
        for (const char* id : {"t-chunk-1", "t-end-01"}) {
            const std::string size = std::string(id) == "t-end-01" ? R"(,"size":3)" : "";
            ASSERT_EQ(run(R"({"type":"blob_begin","transfer_id":")" + std::string(id) + "\"" + size + "}").exit_code, 0);
            ASSERT_EQ(run(R"({"type":"blob_chunk","transfer_id":")" + std::string(id) + R"(","data_base64":"QUJD"})").exit_code, 0);
        }
        // The heartbeat files as the seeding hosts left them.
        legacy_before_ = read_text(data() / "extension-heartbeat.json");
        heartbeats_before_ = read_text(data() / "extension-heartbeats-v2.json");
    }

    // Brings the fault about; false (with the reason in `skipped_`) where
    // this system does not allow it.
    bool apply(Fault fault) {
        fault_ = fault;
        if (fault == Fault::folder) {
            seed();
            for (const char* name : {"extension-heartbeats-v2.json", "wake-main.flag", "browser-transfers/t-begin-1.part",
                                     "browser-transfers/t-end-01.json"}) {
                fs::remove(data() / name);
                fs::create_directories(data() / name);
            }
            fs::remove(transfers() / "t-chunk-1.part");
            fs::create_directories(transfers() / "t-chunk-1.part");
            return true;
        }
        if (wine_) {
            seed();
            if (fault == Fault::full_disk) return true;  // the size limit is set per host
            // Every entry, the folder last, so nothing in it can be written or made.
            std::vector<fs::path> paths;
            for (const auto& entry : fs::recursive_directory_iterator(data())) paths.push_back(entry.path());
            paths.push_back(data());
            for (const fs::path& path : paths) {
                if (!set_immutable(path, true)) {
                    skipped_ = "this file system keeps no immutable flag";
                    return false;
                }
                immutable_.push_back(path);
            }
            return true;
        }
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            skipped_ = std::string("no mount namespace of our own: ") + std::strerror(errno);
            return false;
        }
        fs::create_directories(parent_);
        if (::mount("tmpfs", parent_.c_str(), "tmpfs", 0, "size=256k") != 0) {
            skipped_ = std::string("mounting a tmpfs was refused: ") + std::strerror(errno);
            return false;
        }
        mounted_ = true;
        seed();
        if (fault == Fault::read_only) {
            return ::mount(nullptr, parent_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        }
        // Fill what is left.
        const int fd = ::open((parent_ / "filler").c_str(), O_WRONLY | O_CREAT, 0600);
        const std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
        return true;
    }

    // Ends the fault, so that a browser retrying finds the data directory usable again.
    void lift() {
        for (const fs::path& path : immutable_) set_immutable(path, false);
        immutable_.clear();
        if (mounted_ && fault_ == Fault::read_only) ::mount(nullptr, parent_.c_str(), nullptr, MS_REMOUNT, nullptr);
        std::error_code ignored;
        fs::remove(parent_ / "filler", ignored);
    }
    void unmount() {
        if (mounted_) ::umount2(parent_.c_str(), MNT_DETACH);
        mounted_ = false;
    }

    static bool set_immutable(const fs::path& path, bool on) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        return done;
    }

    // What a heartbeat file is now: as before, rewritten into a valid file,
    // or broken.
    static std::string heartbeat_state(const fs::path& path, const std::string& before) {
        if (fs::is_directory(path)) return "folder";
        const std::string now = read_text(path);
        if (now == before) return "untouched";
        host::JsonParse parsed = host::parse_json(now);
        return parsed.value && parsed.value->is_object() ? "rewritten" : "BROKEN";
    }

    // Everything the invariants say about the data directory after a request.
    std::string check_disk(const std::string& request) {
        std::string disk = "legacy " + heartbeat_state(data() / "extension-heartbeat.json", legacy_before_) + ", v2 " +
                           heartbeat_state(data() / "extension-heartbeats-v2.json", heartbeats_before_);
        EXPECT_EQ(disk.find("BROKEN"), std::string::npos) << request << ": " << disk;
        std::error_code error;
        int jobs = 0;
        for (const auto& entry : fs::directory_iterator(data() / "inbox", error)) {
            ++jobs;
            EXPECT_TRUE(host::parse_json(read_text(entry.path())).value) << request << ": half a job in the inbox";
        }
        if (jobs > 0) disk += ", " + std::to_string(jobs) + " job(s) in inbox";
        if (request == "open_app") {
            const fs::path flag = data() / "wake-main.flag";
            const std::string state = fs::is_directory(flag) ? "folder" : !fs::exists(flag) ? "absent"
                                      : read_text(flag) == "focus\n"                  ? "focus"
                                                                                     : "CUT SHORT";
            EXPECT_NE(state, "CUT SHORT");
            disk += ", wake flag " + state;
        }
        const auto transfer = [&](const std::string& id) {
            return std::string(", transfer ") + (fs::exists(transfers() / (id + ".json")) ? "open" : "not open");
        };
        if (request == "blob_begin") disk += transfer("t-begin-1");
        if (request == "blob_chunk") disk += transfer("t-chunk-1");
        if (request == "blob_end") disk += transfer("t-end-01");
        return disk;
    }

    void run_column(Fault fault, const char* column) {
        if (!apply(fault)) {
            std::printf("%s: skipped, %s\n", column, skipped_.c_str());
            GTEST_SKIP() << skipped_;
        }
        play_application();
        const rlim_t limit = wine_ && fault == Fault::full_disk ? 4096 : RLIM_INFINITY;
        std::printf("\n%s%s\n%-15s| %-5s| %s\n", column,
                    wine_ && fault == Fault::full_disk ? " (a 4 KiB file size limit stands in under wine)" : "",
                    "request", "exit", "reply / what stays on disk");
        for (const Request& request : kRequests) {
            const Finished end = run(request.body, limit);
            EXPECT_EQ(end.exit_code, 0) << request.name;
            const std::vector<std::string> replies = split_frames(end.output);
            EXPECT_EQ(replies.size(), 1u) << request.name;
            const std::string reply = replies.empty() ? "(none)" : replies[0];
            std::printf("%-15s| %-5d| %s\n%-15s|      | %s\n", request.name.c_str(), end.exit_code, reply.c_str(), "",
                        check_disk(request.name).c_str());
        }
        // The browser retries the transfer whose chunk failed, with the fault gone.
        lift();
        const Finished retry = run(R"({"type":"blob_end","transfer_id":"t-chunk-1"})");
        const std::string reply = split_frames(retry.output).empty() ? "(none)" : split_frames(retry.output)[0];
        const bool part_file = fs::is_regular_file(transfers() / "t-chunk-1.part");
        const std::string part = part_file ? read_text(transfers() / "t-chunk-1.part") : "";
        if (reply.find("\"ok\":true") != std::string::npos) {
            EXPECT_EQ(part, "ABC") << "handed over with bytes of a chunk that failed";
        }
        std::printf("%-15s| %-5d| %s\n%-15s|      | .part of the failed chunk's transfer: %zu bytes, 3 acknowledged\n",
                    "blob_end again", retry.exit_code, reply.c_str(), "", part.size());
        unmount();
    }

    bool wine_ = false;
    fs::path parent_;
    Fault fault_ = Fault::folder;
    bool mounted_ = false;
    std::vector<fs::path> immutable_;
    std::string skipped_;
    std::string legacy_before_;
    std::string heartbeats_before_;
    std::atomic<bool> answering_{false};
    std::thread application_;
};

TEST_F(FaultTable, AFullDisk) { run_column(Fault::full_disk, "a full disk"); }
TEST_F(FaultTable, AReadOnlyDataDirectory) { run_column(Fault::read_only, "a read-only data directory"); }
TEST_F(FaultTable, AFolderWhereAFileBelongs) { run_column(Fault::folder, "a folder where a file belongs"); }

}  // namespace
}  // namespace nimbra::hosttest
