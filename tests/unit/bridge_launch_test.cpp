// The running test and the launch routine against a fake process table,
// clock and spawner, with the launch lock as a real file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/launch.h"
#include "bridge_fixture.h"

namespace nimbra::bridgetest {
namespace {

using bridge::ensure_desktop_app_running;
using bridge::is_desktop_app_running;

const std::vector<std::uint32_t> sleeps_of_50(std::size_t n) {
    return std::vector<std::uint32_t>(n, 50);
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

class Launch : public BridgeTest {
protected:
    // What the routine had left on disk and done when it started a program.
    struct AtStart {
        bool lock_present = false;
        std::string lock_content;
        std::size_t sleeps_before = 0;
    };

    // The started program shows up in the process table at once.
    void start_makes_app_appear() {
        system.on_start = [this](const platform::Path& program) {
            record_start();
            if (fs::is_directory(program)) return platform::Status(platform::not_found_error());
            app_appears();
            return platform::Status::success();
        };
    }
    // The started program never shows up.
    void start_does_nothing() {
        system.on_start = [this](const platform::Path& program) {
            record_start();
            if (fs::is_directory(program)) return platform::Status(platform::not_found_error());
            return platform::Status::success();
        };
    }
    void record_start() {
        at_start.push_back({fs::exists(lock()), read_bytes(lock()), system.sleeps.size()});
    }

    // A lock left by another host, and its last-write time.
    std::uint64_t place_foreign_lock() {
        fs::create_directories(data_dir());
        write_bytes(lock(), "pid=999\n");
        auto info = platform::file_info(lock());
        EXPECT_TRUE(info.ok());
        return info ? info->last_write : 0;
    }
    // Holds the clock at `time` however long the routine sleeps.
    void freeze_clock_at(std::uint64_t time) {
        system.clock = time;
        system.on_sleep = [this, time] { system.clock = time; };
    }

    std::vector<AtStart> at_start;
};

TEST_F(Launch, RecognisesOnlyTheWholeApplicationNamesInAnyAsciiCase) {
    const std::string dash = app_name(0);
    const std::string space = app_name(1);
    struct Case {
        std::string name;
        bool running;
    };
    const Case cases[] = {
        {dash, true},
        {space, true},
        {upper(dash), true},
        {candidate(1), true},  // "Velisto Download Manager" with its capitals
        {dash + ".old", false},
        {"my " + space, false},
        {dash.substr(1), false},
        {std::string(dash).replace(dash.find('-'), 1, "_"), false},
        // Non-ASCII letters are not folded: a dotted capital I is no "i".
        {std::string(dash).replace(dash.find('i'), 1, "\xC4\xB0"), false},
        {"", false},
    };
    for (const Case& c : cases) {
        system.processes = std::vector<platform::ProcessEntry>{{1, 0, "init"}, {77, 1, c.name}};
        EXPECT_EQ(is_desktop_app_running(system), c.running) << c.name;
    }
    system.processes = std::nullopt;  // no snapshot at all
    EXPECT_FALSE(is_desktop_app_running(system));
    system.processes = std::vector<platform::ProcessEntry>{};
    EXPECT_FALSE(is_desktop_app_running(system));
}

TEST_F(Launch, OnlyThisUsersApplicationCountsAndOnlyMatchingNamesAreAskedAbout) {
    system.processes = std::vector<platform::ProcessEntry>{};
    for (std::uint32_t pid = 100; pid < 200; ++pid) system.processes->push_back({pid, 1, "process"});
    const std::uint32_t theirs = system.add_process(app_name(0), 1);
    system.other_users = {theirs};
    EXPECT_FALSE(is_desktop_app_running(system));
    EXPECT_EQ(system.ownership_checks, 1);

    // Another user's application is not waited for: this user's is started.
    place_candidates(true, false);
    start_makes_app_appear();
    EXPECT_TRUE(ensure_desktop_app_running(system, found()));
    EXPECT_EQ(system.started, std::vector<platform::Path>{candidate_path(0)});
}

TEST_F(Launch, AlreadyRunningAnswersAtOnceAndTouchesNothing) {
    place_candidates(true, true);
    app_appears();
    EXPECT_TRUE(ensure_desktop_app_running(system, found()));
    EXPECT_EQ(system.snapshots, 1);
    EXPECT_TRUE(system.sleeps.empty());
    EXPECT_TRUE(system.started.empty());
    EXPECT_FALSE(fs::exists(temp.path() / "AppData" / "Velisto"));
}

TEST_F(Launch, StartsTheFirstCandidateUnderItsOwnLock) {
    place_candidates(true, true);
    start_makes_app_appear();
    EXPECT_TRUE(ensure_desktop_app_running(system, found()));
    ASSERT_EQ(system.started.size(), 1u);
    EXPECT_EQ(system.started[0], candidate_path(0));
    ASSERT_EQ(at_start.size(), 1u);
    EXPECT_TRUE(at_start[0].lock_present);
    EXPECT_EQ(at_start[0].lock_content, "pid=4312\n");
    // Seen at the first waiting poll: no pause at all.
    EXPECT_TRUE(system.sleeps.empty());
    EXPECT_FALSE(fs::exists(lock()));
}

TEST_F(Launch, AStartedProgramCountsEvenIfItNeverShowsUp) {
    place_candidates(true, false);
    start_does_nothing();
    bool lock_held_while_waiting = true;
    system.on_sleep = [&] { lock_held_while_waiting = lock_held_while_waiting && fs::exists(lock()); };
    EXPECT_TRUE(ensure_desktop_app_running(system, found()));
    EXPECT_EQ(system.started.size(), 1u);
    // Every miss is followed by its pause, the 30th included.
    EXPECT_EQ(system.sleeps, sleeps_of_50(30));
    // First look, the look after taking the lock, then the 30 waiting polls.
    EXPECT_EQ(system.snapshots, 32);
    EXPECT_TRUE(lock_held_while_waiting);
    EXPECT_FALSE(fs::exists(lock()));
}

TEST_F(Launch, CandidatesAreTriedInOrderAndSkippedWhenAbsentOrNotStartable) {
    struct Case {
        const char* what;
        bool first_file;
        bool first_folder;
        bool second_file;
        std::vector<std::size_t> tried;
        bool launched;
    };
    const Case cases[] = {
        {"both present", true, false, true, {0}, true},
        {"only the second", false, false, true, {1}, true},
        {"the first is a folder", false, true, true, {0, 1}, true},
        {"only a folder", false, true, false, {0}, false},
        {"none", false, false, false, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(bin());
        fs::create_directories(bin());
        place_candidates(c.first_file, c.second_file);
        if (c.first_folder) fs::create_directories(candidate_path(0));
        system.started.clear();
        system.sleeps.clear();
        system.processes->clear();
        start_makes_app_appear();

        EXPECT_EQ(ensure_desktop_app_running(system, found()), c.launched);
        std::vector<platform::Path> expected;
        for (std::size_t i : c.tried) expected.push_back(candidate_path(i));
        EXPECT_EQ(system.started, expected);
        EXPECT_TRUE(system.sleeps.empty());  // neither a wait for the lock nor for the program
        EXPECT_FALSE(fs::exists(lock()));
    }
}

TEST_F(Launch, UnknownOwnExecutableGivesFalseAndReleasesTheLock) {
    place_candidates(true, true);
    system.executable = std::nullopt;
    EXPECT_FALSE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    EXPECT_FALSE(fs::exists(lock()));
    EXPECT_TRUE(fs::is_directory(data_dir()));  // created before the lock was taken

    system.executable = platform::Path("nimbra-native-host");  // no folder part
    EXPECT_FALSE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    EXPECT_FALSE(fs::exists(lock()));
}

TEST_F(Launch, AnOwnLockThatCannotBeDeletedIsTriedAgainAfterEachPause) {
    // A folder under the lock's name: the one thing a deletion refuses
    // whoever runs it, on both systems.
    system.on_start = [this](const platform::Path&) {
        fs::remove(lock());
        fs::create_directory(lock());
        app_appears();
        return platform::Status::success();
    };
    struct Case {
        std::size_t cleared_at_pause;  // 0: never
        std::size_t pauses;
    };
    for (const Case c : {Case{1, 1}, Case{4, 4}, Case{0, bridge::kLockReleaseAttempts - 1}}) {
        SCOPED_TRACE(c.cleared_at_pause);
        place_candidates(true, true);
        system.processes->clear();
        system.sleeps.clear();
        system.on_sleep = [&] {
            if (system.sleeps.size() == c.cleared_at_pause) fs::remove(lock());
        };
        EXPECT_TRUE(ensure_desktop_app_running(system, found()));
        EXPECT_EQ(system.sleeps, sleeps_of_50(c.pauses));
        EXPECT_EQ(fs::exists(lock()), c.cleared_at_pause == 0);
        fs::remove(lock());
    }
}

TEST_F(Launch, AnApplicationStartedMeanwhileIsNotStartedAgainAfterTakingTheLock) {
    place_candidates(true, true);
    // Absent at the first look, present at the look after taking the lock.
    system.on_snapshot = [this] {
        if (system.snapshots == 2) app_appears();
    };
    EXPECT_TRUE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    EXPECT_FALSE(fs::exists(lock()));
}

TEST_F(Launch, AFreshLockHeldThroughAllAttemptsIsLeftAndTheWaitDecides) {
    place_candidates(true, true);
    // Exactly 8 s old at every attempt: still fresh.
    freeze_clock_at(place_foreign_lock() + bridge::kStaleLockAge);
    EXPECT_FALSE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    // 60 attempts and 30 waiting polls, each miss followed by 50 ms.
    EXPECT_EQ(system.sleeps, sleeps_of_50(90));
    EXPECT_EQ(system.snapshots, 1 + 60 + 30);
    EXPECT_EQ(read_bytes(lock()), "pid=999\n");
}

TEST_F(Launch, AStaleLockIsDeletedAndTakenWithoutAPause) {
    for (std::uint64_t age : {bridge::kStaleLockAge + 1, std::uint64_t{200'000'000}}) {
        SCOPED_TRACE(age);
        at_start.clear();
        system.started.clear();
        system.sleeps.clear();
        system.processes->clear();
        place_candidates(true, true);
        start_makes_app_appear();
        freeze_clock_at(place_foreign_lock() + age);

        EXPECT_TRUE(ensure_desktop_app_running(system, found()));
        ASSERT_EQ(at_start.size(), 1u);
        EXPECT_EQ(at_start[0].lock_content, "pid=4312\n");
        EXPECT_EQ(at_start[0].sleeps_before, 0u);
        EXPECT_FALSE(fs::exists(lock()));
    }
}

TEST_F(Launch, ALockFromTheFutureIsNeverStale) {
    place_candidates(true, true);
    freeze_clock_at(place_foreign_lock() - 1);
    EXPECT_FALSE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    EXPECT_EQ(system.sleeps, sleeps_of_50(90));
    EXPECT_EQ(read_bytes(lock()), "pid=999\n");

    // The application that the lock's holder starts is still found in the wait.
    system.sleeps.clear();
    system.snapshots = 0;
    system.on_snapshot = [this] {
        if (system.snapshots == 1 + 60 + 5) app_appears();
    };
    EXPECT_TRUE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    EXPECT_EQ(system.sleeps, sleeps_of_50(64));
}

TEST_F(Launch, ALockThatVanishesBeforeItsTimeIsReadCostsOneAttemptAndOnePause) {
    place_candidates(true, true);
    start_makes_app_appear();
    place_foreign_lock();
    // The look at the process table after the failed create is the last
    // moment before the routine reads the lock's time.
    system.on_snapshot = [this] {
        if (system.snapshots == 2) fs::remove(lock());
    };
    EXPECT_TRUE(ensure_desktop_app_running(system, found()));
    ASSERT_EQ(at_start.size(), 1u);
    EXPECT_EQ(at_start[0].sleeps_before, 1u);
    EXPECT_EQ(at_start[0].lock_content, "pid=4312\n");
    EXPECT_FALSE(fs::exists(lock()));
}

TEST_F(Launch, AnotherHostsStartEndsTheWaitWithoutALockOfOurOwn) {
    place_candidates(true, true);
    const std::uint64_t written = place_foreign_lock();
    freeze_clock_at(written + 10'000'000);
    system.on_sleep = [this, written] {
        system.clock = written + 10'000'000;
        if (system.sleeps.size() == 3) app_appears();
    };
    EXPECT_TRUE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    EXPECT_EQ(system.sleeps, sleeps_of_50(3));
    EXPECT_EQ(read_bytes(lock()), "pid=999\n");  // the other host's, left alone
}

TEST_F(Launch, WithoutADataDirectoryOnlyTheWaitDecides) {
    place_candidates(true, true);
    start_makes_app_appear();
    system.app_data = std::nullopt;
    EXPECT_FALSE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    EXPECT_EQ(system.sleeps, sleeps_of_50(30));
    EXPECT_EQ(system.snapshots, 31);

    // A file where the Velisto folder belongs: the folder cannot be made.
    system.app_data = temp.path() / "AppData";
    write_bytes(temp.path() / "AppData" / "Velisto", "in the way");
    system.sleeps.clear();
    system.on_snapshot = [this] {
        if (system.snapshots == 3) app_appears();
    };
    system.snapshots = 0;
    EXPECT_TRUE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    EXPECT_EQ(system.sleeps, sleeps_of_50(1));
}

#ifndef _WIN32
TEST_F(Launch, ALockThatCannotBeCreatedForAnotherReasonGoesStraightToTheWait) {
    // A data directory whose path leaves no room for the lock's name.
    // 4070 bytes: the data directory (15 more) still fits into PATH_MAX,
    // the lock (20 more again) no longer does.
    fs::path deep = temp.path() / "AppData";
    while (deep.native().size() + 250 < 4070) deep /= std::string(200, 'd');
    deep /= std::string(4070 - deep.native().size() - 1, 'e');
    fs::create_directories(deep);
    system.app_data = deep;
    place_candidates(true, true);
    start_makes_app_appear();
    ASSERT_TRUE(platform::create_directories(platform::join(platform::join(deep, "Velisto"), "Nimbra")));
    ASSERT_GT((deep / "Velisto" / "Nimbra" / "desktop-launch.lock").native().size(), 4095u);

    EXPECT_FALSE(ensure_desktop_app_running(system, found()));
    EXPECT_TRUE(system.started.empty());
    EXPECT_EQ(system.sleeps, sleeps_of_50(30));
}
#endif

}  // namespace
}  // namespace nimbra::bridgetest
