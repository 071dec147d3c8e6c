// add_download and open_app end to end: the built host, copied beside the
// stand-in desktop application, started over pipes as a browser starts it,
// natively and as the Windows build under wine.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

#include "host/desktop_app_fixture.h"

namespace nimbra::hosttest {
namespace {

const std::string kDownload = R"({"type":"add_download","url":"https://example.com/file.zip","source":"chrome"})";
const std::string kOpenApp = R"({"type":"open_app"})";
const std::string kLaunched = R"({"launched":true,"ok":true})";
const std::string kNotLaunched = R"({"launched":false,"ok":false})";
const std::string kTimeout =
    R"({"error":"Nimbra did not confirm the download within 35 seconds. The browser download was left untouched.","launched":true,"ok":false})";

class Bridge : public DesktopAppTest {
protected:
    fs::path lock() const { return data_dir() / "desktop-launch.lock"; }
    std::vector<std::string> names_in(const fs::path& folder) const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    static bool has_line(const std::string& log, const std::string& start) {
        return log.rfind(start, 0) == 0 || log.find("\n" + start) != std::string::npos;
    }
    static int count_lines(const std::string& log, const std::string& start) {
        int count = log.rfind(start, 0) == 0 ? 1 : 0;
        for (std::size_t at = log.find("\n" + start); at != std::string::npos;
             at = log.find("\n" + start, at + 1)) {
            ++count;
        }
        return count;
    }
};

TEST_F(Bridge, ADownloadStartsTheApplicationBesideTheHostAndRelaysItsAnswer) {
    const fs::path host = place_host();
    place_app(kAppNames[0]);
    Process& browser = start_host(host);

    // A refused address first: answered without the application, no inbox made.
    browser.send(frame(R"({"type":"add_download","url":"HTTPS://example.com/"})"));
    EXPECT_EQ(browser.read_reply(), R"({"error":"Only HTTP/HTTPS URLs are allowed","ok":false})");
    EXPECT_FALSE(fs::exists(data_dir() / "inbox"));
    EXPECT_TRUE(starts().empty());

    browser.send(frame(kDownload));
    EXPECT_EQ(browser.read_reply(), kLaunched);
    std::vector<std::string> logs = starts();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(count_lines(logs[0], "job "), 1) << logs[0];
    EXPECT_TRUE(has_line(logs[0], "job ")) << logs[0];
    EXPECT_NE(logs[0].find(".json type=add_download {\"ok\":true}"), std::string::npos) << logs[0];
    EXPECT_TRUE(names_in(data_dir() / "inbox").empty());
    EXPECT_TRUE(names_in(data_dir() / "inbox-results").empty());
    EXPECT_FALSE(fs::exists(lock()));

    // Now it runs: the next download finds it without a second start.
    browser.send(frame(R"({"type":"add_download","url":"http://example.com/2"})"));
    EXPECT_EQ(browser.read_reply(), kLaunched);
    logs = starts();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(count_lines(logs[0], "job "), 2) << logs[0];

    Finished end = browser.finish();
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_EQ(end.output, "");
}

TEST_F(Bridge, OpenAppWritesTheWakeFlagBeforeStartingTheSecondCandidate) {
    const fs::path host = place_host();
    place_app(kAppNames[1]);  // only "Velisto Download Manager"
    Process& browser = start_host(host);
    browser.send(frame(kOpenApp));
    EXPECT_EQ(browser.read_reply(), kLaunched);
    // The host answers once the program shows up, which can be before the
    // program has run a single instruction, or written its first line.
    ASSERT_TRUE(wait_until([&] { return !starts().empty() && has_line(starts()[0], "start "); }, 30));
    EXPECT_EQ(standin_processes().size(), 1u);
    std::vector<std::string> logs = starts();
    ASSERT_EQ(logs.size(), 1u);
    // The stand-in looked for the flag before anything else.
    EXPECT_TRUE(has_line(logs[0], "start ")) << logs[0];
    EXPECT_NE(logs[0].find(" flag=focus"), std::string::npos) << logs[0];
    EXPECT_FALSE(fs::exists(lock()));
}

TEST_F(Bridge, ARunningApplicationIsWokenAndUsedWithoutALockOrASecondStart) {
    const fs::path host = place_host();
    const fs::path app = place_app(kAppNames[0]);
    start_app_directly(app);

    // Watches for the lock for as long as the host works.
    std::atomic<bool> watching{true};
    std::atomic<bool> lock_seen{false};
    std::thread watcher([&] {
        while (watching) {
            if (fs::exists(lock())) lock_seen = true;
        }
    });
    Process& browser = start_host(host);
    browser.send(frame(kOpenApp));
    const auto open_reply = browser.read_reply();
    browser.send(frame(kDownload));
    const auto download_reply = browser.read_reply();
    watching = false;
    watcher.join();

    EXPECT_EQ(open_reply, kLaunched);
    EXPECT_EQ(download_reply, kLaunched);
    EXPECT_FALSE(lock_seen);
    const std::vector<std::string> logs = starts();
    ASSERT_EQ(logs.size(), 1u);
    // The flag was there for the stand-in to see (and remove).
    EXPECT_TRUE(wait_until([&] { return has_line(starts()[0], "wake"); }, 10)) << starts()[0];
    EXPECT_NE(starts()[0].find("type=add_download {\"ok\":true}"), std::string::npos);
}

TEST_F(Bridge, WithNoApplicationBesideTheHostOpenAppSaysSoAndLeavesNoLock) {
    const fs::path host = place_host();
    Process& browser = start_host(host);
    browser.send(frame(kOpenApp));
    EXPECT_EQ(browser.read_reply(), kNotLaunched);
    EXPECT_FALSE(fs::exists(lock()));
    EXPECT_EQ(read_text(data_dir() / "wake-main.flag"), "focus\n");
    EXPECT_TRUE(starts().empty());
}

TEST_F(Bridge, SeveralHostsAtOnceStartTheApplicationExactlyOnce) {
    const fs::path host = place_host();
    place_app(kAppNames[0]);
    constexpr int kHosts = 4;
    std::vector<Process*> browsers;
    for (int i = 0; i < kHosts; ++i) browsers.push_back(&start_host(host));
    for (int i = 0; i < kHosts; ++i) browsers[static_cast<std::size_t>(i)]->send(frame(i % 2 ? kOpenApp : kDownload));
    for (Process* browser : browsers) EXPECT_EQ(browser->read_reply(), kLaunched);
    // A second start would be in the process table by the time its host answered.
    EXPECT_EQ(standin_processes().size(), 1u);
    ASSERT_TRUE(wait_until([&] { return !starts().empty(); }, 30));
    EXPECT_EQ(starts().size(), 1u);
    EXPECT_FALSE(fs::exists(lock()));
}

// The one long case: nobody answers, so both hosts wait out their 35 s side
// by side and take their jobs back.
TEST_F(Bridge, ASilentApplicationGivesTheTimeoutReplyAndTheJobIsTakenBack) {
    const fs::path host = place_host();
    place_app(kAppNames[0]);
    Process& first = start_host(host, /*silent_app=*/true);
    Process& second = start_host(host, /*silent_app=*/true);
    first.send(frame(kDownload));
    second.send(frame(R"({"type":"add_download","url":"http://example.com/other"})"));
    EXPECT_EQ(first.read_reply(90), kTimeout);
    EXPECT_EQ(second.read_reply(90), kTimeout);
    const std::vector<std::string> logs = starts();
    ASSERT_EQ(logs.size(), 1u);
    // The stand-in saw both jobs, and left them where they were.
    EXPECT_EQ(count_lines(logs[0], "job "), 2) << logs[0];
    EXPECT_TRUE(names_in(data_dir() / "inbox").empty());
    EXPECT_TRUE(names_in(data_dir() / "inbox-results").empty());
}

// The browser sees the host end when the host ends, even though the
// application it started lives on: the application got none of its pipes,
// and a session of its own. Wine hands its own descriptors to every child,
// so this holds only natively.
TEST_F(Bridge, TheStartedApplicationHoldsNoneOfTheHostsPipes) {
    if (Target::get().wine()) GTEST_SKIP() << "wine passes its descriptors to every child";
    const fs::path host = place_host();
    place_app(kAppNames[0]);

    int to_host[2];
    int from_host[2];
    ASSERT_EQ(::pipe2(to_host, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(from_host, O_CLOEXEC), 0);
    std::vector<std::string> env = standin_env();
    env.push_back("XDG_DATA_HOME=" + Target::get().app_data().string());
    const std::string host_path = host.string();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(to_host[0], 0);
        ::dup2(from_host[1], 1);
        for (const std::string& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
        ::execl(host_path.c_str(), host_path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(to_host[0]);
    ::close(from_host[1]);
    const std::string request = frame(kOpenApp);
    ASSERT_EQ(::write(to_host[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
    ::close(to_host[1]);

    std::string output;
    bool end_of_output = false;
    for (int waited = 0; waited < 200 && !end_of_output; ++waited) {
        pollfd fd{from_host[0], POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0) continue;
        char chunk[4096];
        const ssize_t n = ::read(from_host[0], chunk, sizeof chunk);
        if (n <= 0) {
            end_of_output = true;
        } else {
            output.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(from_host[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);

    EXPECT_TRUE(end_of_output) << "the host's standard output stayed open after it ended";
    EXPECT_EQ(split_frames(output), std::vector<std::string>{kLaunched});
    const std::vector<int> running = standin_processes();
    ASSERT_EQ(running.size(), 1u) << "the stand-in must still run";
    const fs::path proc = fs::path("/proc") / std::to_string(running[0]);
    for (const char* fd : {"0", "1", "2"}) {
        EXPECT_EQ(fs::read_symlink(proc / "fd" / fd).string(), "/dev/null") << fd;
    }
    // The session id is the sixth field of stat, after the name in parentheses.
    const std::string stat = read_small_file(proc / "stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string state, parent, group, session;
    fields >> state >> parent >> group >> session;
    EXPECT_EQ(session, std::to_string(running[0])) << "the stand-in leads a session of its own";
}

// Firefox on Windows runs the host in a job object that kills what is left
// in it when the connection closes (the launcher's --job plays that part).
// The application leaves the job and lives on; where the job forbids leaving
// it, the application still starts, inside the job, and ends with it.
TEST_F(Bridge, TheApplicationOutlivesAJobThatEndsWithTheHostWhereTheJobAllowsIt) {
    if (!Target::get().wine()) GTEST_SKIP() << "job objects are Windows's";
    const fs::path host = place_host();
    place_app(kAppNames[0]);
    struct Case {
        const char* job;
        bool survives;
    };
    // The strict job first, so that its application is gone before the next starts.
    for (const Case& test : {Case{"--job-no-breakaway", false}, Case{"--job", true}}) {
        SCOPED_TRACE(test.job);
        const std::size_t started = starts().size();
        Process browser(Target::get().command(Target::get().tool("launcher"), {test.job, target_path(host)}),
                        standin_env());
        browser.send(frame(kOpenApp));
        EXPECT_EQ(browser.read_reply(), kLaunched);
        ASSERT_TRUE(wait_until([&] { return starts().size() == started + 1; }, 30));
        // The port closes: the host ends, then the launcher closes the job.
        EXPECT_EQ(browser.finish().exit_code, 0);
        if (test.survives) {
            EXPECT_EQ(standin_processes().size(), 1u);
        } else {
            EXPECT_TRUE(wait_until([&] { return standin_processes().empty(); }, 10)) << "the job left it running";
        }
    }
    // The survivor still works: a host outside any job hands it a download
    // without starting a second one.
    Process& browser = start_host(host);
    browser.send(frame(kDownload));
    EXPECT_EQ(browser.read_reply(), kLaunched);
    EXPECT_EQ(starts().size(), 2u);
}

TEST_F(Bridge, AnotherUsersApplicationDoesNotCountAsThisUsersOne) {
    if (Target::get().wine()) GTEST_SKIP() << "under wine every process runs as the one user";
    if (::getuid() != 0) GTEST_SKIP() << "running a program as another user needs root";
    // The application of another user on the same machine (a terminal
    // server, fast user switching): a stand-in run as nobody.
    const fs::path other = Target::get().scratch() / "other-user" / kAppNames[0];
    fs::create_directories(other.parent_path());
    fs::copy_file(Target::get().tool("standin"), other);
    const std::string keepalive = keepalive_.string();
    const pid_t nobody = ::fork();
    ASSERT_GE(nobody, 0);
    if (nobody == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
        ::execl(other.c_str(), other.c_str(), "--data-dir", "/nonexistent", "--run-while", keepalive.c_str(),
                "--exit-after", "60", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_TRUE(wait_until([&] { return standin_processes().size() == 1; }, 30));

    // This user's application is started all the same.
    const fs::path host = place_host();
    place_app(kAppNames[0]);
    Process& browser = start_host(host);
    browser.send(frame(kOpenApp));
    EXPECT_EQ(browser.read_reply(), kLaunched);
    EXPECT_TRUE(wait_until([&] { return starts().size() == 1; }, 30)) << "this user's application was not started";
    EXPECT_EQ(browser.finish().exit_code, 0);

    fs::remove(keepalive_);
    int status = 0;
    ::waitpid(nobody, &status, 0);
}

}  // namespace
}  // namespace nimbra::hosttest
