// The real platform layer of the OS the tests run on, against real files in a
// temporary folder. Both builds run this file: the Windows one under wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/held_file.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace nimbra::platform {
namespace {

using namespace std::string_view_literals;

#ifdef _WIN32
constexpr Path::value_type kSeparator = L'\\';
#else
constexpr Path::value_type kSeparator = '/';
#endif

// A file name with a character outside the Basic Multilingual Plane (a
// surrogate pair in UTF-16) and one from inside it.
const std::u8string kWideName = u8"caf\u00e9 \U0001F4E6.txt";

std::string as_string(std::u8string_view text) { return std::string(text.begin(), text.end()); }

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// ---------------------------------------------------------------- errors

TEST(PlatformErrors, NotFoundIsDescribedWithItsCode) {
    OsError error = not_found_error();
    EXPECT_TRUE(is_not_found(error));
    EXPECT_FALSE(is_already_exists(error));

    std::string text = describe(error);
    // ENOENT and ERROR_FILE_NOT_FOUND are both 2.
    ASSERT_TRUE(ends_with(text, " (os error 2)")) << text;
    std::string message = text.substr(0, text.size() - std::string_view(" (os error 2)").size());
    ASSERT_FALSE(message.empty()) << text;
    EXPECT_FALSE(std::isspace(static_cast<unsigned char>(message.back()))) << '"' << text << '"';
    EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << text;
}

TEST(PlatformErrors, UnknownCodeStillGetsTextAndCode) {
    std::string text = describe(OsError{0x7ABCDEF1});
    EXPECT_TRUE(ends_with(text, " (os error 2059198193)")) << text;
    EXPECT_GT(text.size(), std::string_view(" (os error 2059198193)").size()) << text;
}

// ---------------------------------------------------------------- paths

TEST(PlatformPaths, JoinAddsExactlyOneSeparator) {
    Path folder = Path("data");
    EXPECT_EQ(join(folder, "x.json").native(), folder.native() + kSeparator + Path("x.json").native());

    Path with_separator = folder.native() + kSeparator;
    EXPECT_EQ(join(with_separator, "x.json").native(), with_separator.native() + Path("x.json").native());

    Path with_slash = folder.native() + Path::value_type('/');
    EXPECT_EQ(join(with_slash, "x.json").native(), with_slash.native() + Path("x.json").native());

    EXPECT_EQ(join(join(folder, "a"), "b").native(),
              folder.native() + kSeparator + Path("a").native() + kSeparator + Path("b").native());
}

#ifdef _WIN32
TEST(PlatformPaths, JoinKeepsDriveAndShareFoldersAsTheyAre) {
    // std::filesystem would make "C:" + "x" the drive-relative "C:x".
    EXPECT_EQ(join(Path(L"C:"), "x").native(), L"C:\\x");
    EXPECT_EQ(join(Path(L"C:\\"), "x").native(), L"C:\\x");
    EXPECT_EQ(join(Path(L"\\\\server\\share"), "x").native(), L"\\\\server\\share\\x");
}

TEST(PlatformPaths, UnpairedSurrogatesBecomeReplacementCharacters) {
    std::wstring name = L"a";
    name.push_back(static_cast<wchar_t>(0xD83D));  // high half without its low half
    name += L"b";
    name.push_back(static_cast<wchar_t>(0xDC00));  // low half alone
    name.push_back(static_cast<wchar_t>(0xD83D));  // a valid pair right after
    name.push_back(static_cast<wchar_t>(0xDCE6));
    name.push_back(static_cast<wchar_t>(0xD800));  // high half at the very end
    EXPECT_EQ(path_to_utf8(Path(name)),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\xF0\x9F\x93\xA6\xEF\xBF\xBD");
}
#else
TEST(PlatformPaths, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(path_to_utf8(Path(std::string("a\xFF" "b\xE2\x82" "c\xC0\xAF"))),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c\xEF\xBF\xBD\xEF\xBF\xBD");
}
#endif

TEST(PlatformPaths, NonAsciiNamesRoundTripThroughUtf8) {
    testing::TempDir dir;
    Path path = join(dir.path(), as_string(kWideName));
    EXPECT_EQ(path_to_utf8(path),
              path_to_utf8(dir.path()) + std::string(1, static_cast<char>(kSeparator)) + as_string(kWideName));

    // The joined name reaches the file system as the same characters that
    // std::filesystem builds from UTF-8, not as code-page guesses.
    ASSERT_TRUE(write_file_or_remove(path, "x"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / Path(kWideName)));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(path_to_utf8(entry.path().filename()));
    }
    EXPECT_EQ(names, std::vector<std::string>{as_string(kWideName)});
}

// ---------------------------------------------------------------- files and folders

TEST(PlatformFiles, CreateDirectoriesMakesEveryMissingLevel) {
    testing::TempDir dir;
    Path deep = join(join(join(dir.path(), "a"), "b"), "c");
    ASSERT_TRUE(platform::create_directories(deep));
    Result<FileInfo> info = file_info(deep);
    ASSERT_TRUE(info) << describe(info.error());
    EXPECT_TRUE(info->is_directory);

    // Again, and with a trailing separator: both already exist.
    EXPECT_TRUE(platform::create_directories(deep));
    EXPECT_TRUE(platform::create_directories(Path(deep.native() + kSeparator)));
}

TEST(PlatformFiles, CreateDirectoriesFailsWithAFileInTheWay) {
    testing::TempDir dir;
    Path file = join(dir.path(), "taken");
    ASSERT_TRUE(write_file_or_remove(file, "not a folder"));

    EXPECT_FALSE(platform::create_directories(file));
    EXPECT_FALSE(platform::create_directories(join(join(file, "below"), "deeper")));
    Result<std::string> content = read_file(file);
    ASSERT_TRUE(content);
    EXPECT_EQ(*content, "not a folder");
}

TEST(PlatformFiles, CreateDirectoriesRacingItselfAlwaysSucceeds) {
    // Another process creating the same folders at the same moment is normal
    // (two browsers starting hosts); neither may see that as a failure.
    testing::TempDir dir;
    for (int round = 0; round < 10; ++round) {
        Path deep = join(join(join(join(dir.path(), "r" + std::to_string(round)), "a"), "b"), "c");
        std::vector<int> ok(4, 0);
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < ok.size(); ++t) {
            threads.emplace_back([&, t] { ok[t] = platform::create_directories(deep).ok() ? 1 : 0; });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(std::count(ok.begin(), ok.end(), 1), 4) << "round " << round;
    }
}

TEST(PlatformFiles, WriteFileReplacesLongerContentExactly) {
    testing::TempDir dir;
    Path file = join(dir.path(), "state.json");
    ASSERT_TRUE(write_file_or_remove(file, "a much longer first content, with\r\nbinary \0 bytes"sv));
    ASSERT_TRUE(write_file_or_remove(file, "sh\0rt\n"sv));

    Result<std::string> content = read_file(file);
    ASSERT_TRUE(content) << describe(content.error());
    EXPECT_EQ(*content, std::string("sh\0rt\n", 6));
    Result<FileInfo> info = file_info(file);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->size, 6u);
    EXPECT_FALSE(info->is_directory);

    ASSERT_TRUE(write_file_or_remove(file, ""));
    content = read_file(file);
    ASSERT_TRUE(content);
    EXPECT_EQ(*content, "");
}

const LockWait kNoWait = [](int) { return false; };

std::string content_of(const Path& file) {
    Result<std::string> content = read_file(file);
    return content ? *content : "<unreadable>";
}

// An update that writes `next` and records the old content it was given.
Update writing(std::string next, bool in_place, std::vector<std::string>& seen) {
    return [next = std::move(next), in_place, &seen](std::string_view old) {
        seen.emplace_back(old);
        return Rewrite{next, in_place};
    };
}

TEST(PlatformFiles, LockedRewritesReplaceTheFileWholeUnlessAllowedInPlace) {
    testing::TempDir dir;
    const Path file = join(dir.path(), "heartbeats.json");
    const Path temp = join(dir.path(), "heartbeats.json.tmp");
    struct Step {
        const char* what;
        const char* stale_temp;  // left by a crash before the step, or none
        std::string next;
        bool in_place;
    };
    // A crash between linking a new file in (POSIX does so where it cannot
    // rename without replacing) and removing its temporary name leaves the
    // temporary name a second name of the file.
    const char* const kSecondName = "";
    const Step steps[] = {
        {"a missing file is made whole", nullptr, "first, rather long content", false},
        {"shorter", nullptr, "short", false},
        {"longer", nullptr, "longer than short", false},
        {"in place where allowed", nullptr, "longer than SHORT", true},
        {"allowed in place, but of another length", nullptr, "another length", true},
        {"a stale temporary file is reused", "stale, and longer than anything here", "next", false},
        {"or removed by a write in place", "stale", "NEXT", true},
#ifndef _WIN32
        {"a second name of the file is never written into", kSecondName, "last", false},
#endif
    };
    std::string old;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.stale_temp == kSecondName) {
            std::filesystem::create_hard_link(file, temp);
        } else if (step.stale_temp != nullptr) {
            ASSERT_TRUE(write_file_or_remove(temp, step.stale_temp));
        }
        std::vector<std::string> seen;
        Result<Rewritten> rewritten = rewrite_file(file, kNoWait, writing(step.next, step.in_place, seen));
        ASSERT_TRUE(rewritten) << describe(rewritten.error());
        EXPECT_EQ(seen, std::vector<std::string>{old});
        EXPECT_EQ(content_of(file), step.next);
        EXPECT_FALSE(file_info(temp));
        const bool in_place = step.in_place && step.next.size() == old.size();
        EXPECT_EQ(*rewritten, in_place ? Rewritten::in_place : Rewritten::replaced);
        old = step.next;
    }

    // The lock goes with the rewrite, even one whose update threw.
    std::vector<int> waits;
    const LockWait count_waits = [&](int failed) {
        waits.push_back(failed);
        return false;
    };
    EXPECT_THROW(static_cast<void>(rewrite_file(file, kNoWait, [](std::string_view) -> Rewrite {
                     throw std::runtime_error("update failed");
                 })),
                 std::runtime_error);
    std::vector<std::string> seen;
    ASSERT_TRUE(rewrite_file(file, count_waits, writing("cut", false, seen)));
    EXPECT_TRUE(waits.empty());
    EXPECT_EQ(content_of(file), "cut");

    // A folder in the file's place is an error, and nothing is written.
    const Path folder = join(dir.path(), "folder");
    ASSERT_TRUE(platform::create_directories(folder));
    seen.clear();
    EXPECT_FALSE(rewrite_file(folder, kNoWait, writing("x", false, seen)));
    EXPECT_TRUE(seen.empty());

    // Held by another writer for as long as the wait allows: not written.
    ASSERT_TRUE(rewrite_file(file, kNoWait, [&](std::string_view held) {
        Result<Rewritten> skipped = rewrite_file(file, count_waits, writing("never", false, seen));
        EXPECT_TRUE(skipped && *skipped == Rewritten::not_locked);
        return Rewrite{std::string(held), true};
    }));
    EXPECT_EQ(waits, std::vector<int>{1});
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(content_of(file), "cut");
}

#ifdef _WIN32
TEST(PlatformFiles, AReplacementRefusedForAHolderIsWrittenInPlace) {
    testing::TempDir dir;
    const Path file = join(dir.path(), "heartbeats.json");
    ASSERT_TRUE(write_file_or_remove(file, "{\"a\": \"long content of the old file\"}"));
    // The application reads it, letting others read and write, not delete.
    testing::HeldFile reader(file, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ);
    ASSERT_TRUE(reader.held());
    std::vector<std::string> seen;
    Result<Rewritten> rewritten = rewrite_file(file, kNoWait, writing("{\"b\": 1}", false, seen));
    ASSERT_TRUE(rewritten) << describe(rewritten.error());
    EXPECT_EQ(*rewritten, Rewritten::padded);
    reader.release();
    EXPECT_EQ(content_of(file), "{\"b\": 1}");
    EXPECT_FALSE(file_info(join(dir.path(), "heartbeats.json.tmp")));

    // A writer of an earlier build opens for writing, sharing everything, and
    // locks bytes: the open keeps this writer off all the same.
    testing::HeldFile writer(file, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ASSERT_TRUE(writer.held());
    rewritten = rewrite_file(file, kNoWait, writing("never", false, seen));
    ASSERT_TRUE(rewritten) << describe(rewritten.error());
    EXPECT_EQ(*rewritten, Rewritten::not_locked);
    writer.release();
    EXPECT_EQ(content_of(file), "{\"b\": 1}");
    EXPECT_EQ(seen.size(), 1u);
}
#else
TEST(PlatformFiles, ALockOnAFileReplacedMeanwhileIsLetGoAndTheRewriteStartsOver) {
    testing::TempDir dir;
    const Path file = join(dir.path(), "heartbeats.json");
    ASSERT_TRUE(write_file_or_remove(file, "old"));
    // Another writer holds the lock, replaces the file, and lets go.
    int holder = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    const LockWait replace_and_release = [&](int) {
        const Path next = join(dir.path(), "next");
        EXPECT_TRUE(write_file_or_remove(next, "the other writer's"));
        EXPECT_EQ(::rename(next.c_str(), file.c_str()), 0);
        ::close(std::exchange(holder, -1));
        return true;
    };
    std::vector<std::string> seen;
    Result<Rewritten> rewritten = rewrite_file(file, replace_and_release, writing("merged", false, seen));
    ASSERT_TRUE(rewritten) << describe(rewritten.error());
    EXPECT_EQ(seen, std::vector<std::string>{"the other writer's"});
    EXPECT_EQ(content_of(file), "merged");
    EXPECT_EQ(holder, -1);
}
#endif

#ifndef _WIN32
TEST(PlatformFiles, WhatTheHostCreatesIsPrivateWhateverTheUmask) {
    const auto mode_of = [](const Path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01000;
    };
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        testing::TempDir dir;
        const Path folder = join(join(dir.path(), "a"), "b");
        const mode_t previous = ::umask(mask);
        std::vector<std::string> seen;
        const bool made = platform::create_directories(folder).ok() && write_file_or_remove(join(folder, "f"), "x").ok() &&
                          create_exclusive(join(folder, "lock"), "x").ok() &&
                          rewrite_file(join(folder, "r"), kNoWait, writing("x", false, seen)).ok() &&
                          rewrite_file(join(folder, "u"), kNoWait, writing("x", true, seen)).ok();
        ::umask(previous);
        ASSERT_TRUE(made) << mask;
        EXPECT_EQ(mode_of(join(dir.path(), "a")), 0700u) << mask;
        EXPECT_EQ(mode_of(folder), 0700u) << mask;
        for (const char* name : {"f", "lock", "r", "u"}) EXPECT_EQ(mode_of(join(folder, name)), 0600u) << name << " " << mask;

        // What exists keeps its mode.
        ::chmod(folder.c_str(), 0755);
        for (const char* name : {"f", "r", "u"}) ::chmod(join(folder, name).c_str(), 0644);
        ASSERT_TRUE(platform::create_directories(folder));
        ASSERT_TRUE(write_file_or_remove(join(folder, "f"), "y"));
        // Whether replaced or written in place.
        ASSERT_TRUE(rewrite_file(join(folder, "r"), kNoWait, writing("yy", false, seen)));
        ASSERT_TRUE(rewrite_file(join(folder, "u"), kNoWait, writing("y", true, seen)));
        EXPECT_EQ(mode_of(folder), 0755u);
        for (const char* name : {"f", "r", "u"}) EXPECT_EQ(mode_of(join(folder, name)), 0644u) << name;
    }
}
#endif

TEST(PlatformFiles, WriteFileIntoAMissingFolderIsNotFound) {
    testing::TempDir dir;
    Status written = write_file_or_remove(join(join(dir.path(), "missing"), "f"), "x");
    ASSERT_FALSE(written);
    EXPECT_TRUE(is_not_found(written.error())) << describe(written.error());
}

TEST(PlatformFiles, CreateExclusiveNeverTouchesAnExistingFile) {
    testing::TempDir dir;
    Path file = join(dir.path(), "job.json");
    Result<bool> first = create_exclusive(file, "first");
    ASSERT_TRUE(first) << describe(first.error());
    EXPECT_TRUE(*first);

    Result<bool> second = create_exclusive(file, "second");
    ASSERT_FALSE(second);
    EXPECT_TRUE(is_already_exists(second.error())) << describe(second.error());
    EXPECT_FALSE(is_not_found(second.error()));
    Result<std::string> content = read_file(file);
    ASSERT_TRUE(content);
    EXPECT_EQ(*content, "first");
}

TEST(PlatformFiles, AppendToFileNeverCreatesAndAppendsAtTheEnd) {
    testing::TempDir dir;
    Path file = join(dir.path(), "log.txt");
    Appended missing = append_to_file(file, "lost");
    ASSERT_FALSE(missing.status);
    EXPECT_TRUE(is_not_found(missing.status.error())) << describe(missing.status.error());
    EXPECT_FALSE(missing.opened);
    EXPECT_FALSE(file_info(file));

    ASSERT_TRUE(write_file_or_remove(file, "one\n"));
    for (const char* line : {"two\n", "three\n"}) {
        Appended appended = append_to_file(file, line);
        EXPECT_TRUE(appended.status && appended.opened);
    }
    Result<std::string> content = read_file(file);
    ASSERT_TRUE(content);
    EXPECT_EQ(*content, "one\ntwo\nthree\n");
}

TEST(PlatformFiles, ReadFileReturnsLargeContentWhole) {
    testing::TempDir dir;
    Path file = join(dir.path(), "big.bin");
    std::string bytes(300000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) % 251);
    ASSERT_TRUE(write_file_or_remove(file, bytes));
    Result<std::string> content = read_file(file);
    ASSERT_TRUE(content);
    EXPECT_TRUE(*content == bytes);
}

TEST(PlatformFiles, RemovedFileIsNotFoundEverywhere) {
    testing::TempDir dir;
    Path file = join(dir.path(), "gone");
    ASSERT_TRUE(write_file_or_remove(file, "x"));
    ASSERT_TRUE(remove_file(file));

    Result<FileInfo> info = file_info(file);
    ASSERT_FALSE(info);
    EXPECT_TRUE(is_not_found(info.error()));
    Result<std::string> content = read_file(file);
    ASSERT_FALSE(content);
    EXPECT_TRUE(is_not_found(content.error()));
    Status removed = remove_file(file);
    ASSERT_FALSE(removed);
    EXPECT_TRUE(is_not_found(removed.error()));
}

TEST(PlatformFiles, LastWriteIsOnTheSystemClockScale) {
    // Both are 100-ns ticks since 1601; a wrong epoch or unit is off by years.
    testing::TempDir dir;
    Path file = join(dir.path(), "stamped");
    ASSERT_TRUE(write_file_or_remove(file, "x"));
    std::uint64_t now = real_system().now_file_time();
    Result<FileInfo> info = file_info(file);
    ASSERT_TRUE(info);
    constexpr std::uint64_t kDay = 24ULL * 3600 * 10000000;
    EXPECT_LT(info->last_write, now + kDay);
    EXPECT_GT(info->last_write + kDay, now);
}

// ---------------------------------------------------------------- the real system

TEST(PlatformSystem, SnapshotHoldsThisProcessUnderItsExecutableName) {
    System& system = real_system();
    std::optional<Path> exe = system.own_executable();
    ASSERT_TRUE(exe);
    Result<FileInfo> info = file_info(*exe);
    ASSERT_TRUE(info) << path_to_utf8(*exe) << ": " << describe(info.error());
    EXPECT_FALSE(info->is_directory);

    std::optional<std::vector<ProcessEntry>> processes = system.snapshot_processes();
    ASSERT_TRUE(processes);
    std::uint32_t me = system.current_process_id();
    auto found = std::find_if(processes->begin(), processes->end(),
                              [me](const ProcessEntry& entry) { return entry.pid == me; });
    ASSERT_NE(found, processes->end());
    EXPECT_EQ(found->name, path_to_utf8(exe->filename()));
}

TEST(PlatformSystem, StartingAMissingProgramIsNotFound) {
    testing::TempDir dir;
    Status started = real_system().start_program(join(dir.path(), "no-such-program"));
    ASSERT_FALSE(started);
    EXPECT_TRUE(is_not_found(started.error())) << describe(started.error());
}

TEST(PlatformSystem, RandomBytesFillTheWholeBuffer) {
    // 64 zero bytes, or two equal draws, from a working source: 2^-512.
    std::vector<std::uint8_t> first(64, 0);
    std::vector<std::uint8_t> second(64, 0);
    ASSERT_TRUE(real_system().random_bytes(first));
    ASSERT_TRUE(real_system().random_bytes(second));
    EXPECT_NE(first, std::vector<std::uint8_t>(64, 0));
    EXPECT_NE(first, second);
    // The tail too: a source that stops short leaves the last bytes as they were.
    std::vector<std::uint8_t> tail(first.end() - 16, first.end());
    EXPECT_NE(tail, std::vector<std::uint8_t>(16, 0));
}

TEST(PlatformSystem, OnlyAnExistingProcessOfThisUserIsOwn) {
    System& system = real_system();
    EXPECT_TRUE(system.is_own_process(system.current_process_id()));
    // Far above any process id either system hands out.
    EXPECT_FALSE(system.is_own_process(0xFFFFFFF0u));
}

#ifndef _WIN32
TEST(PlatformSystem, AProcessIsOwnByItsRealUserIdWhoeverOwnsItsProcEntry) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to give a process other ids";
    struct Case {
        uid_t real;
        uid_t effective;
        int dumpable;
        bool own;
    };
    // The entry's owner is the effective user id of a dumpable process, root otherwise.
    const Case cases[] = {{0, 4242, 1, true}, {0, 4242, 0, true}, {4242, 4242, 1, false}, {4242, 0, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.real) + "/" + std::to_string(c.effective) + " dumpable " + std::to_string(c.dumpable));
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const bool made = ::setresuid(c.real, c.effective, 0) == 0 && ::prctl(PR_SET_DUMPABLE, c.dumpable) == 0;
            static_cast<void>(::write(ready[1], made ? "1" : "0", 1));
            ::pause();
            ::_exit(0);
        }
        char made = '0';
        ASSERT_EQ(::read(ready[0], &made, 1), 1);
        EXPECT_EQ(made, '1');
        EXPECT_EQ(real_system().is_own_process(static_cast<std::uint32_t>(child)), c.own);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
    }
}
#endif

#ifdef _WIN32
TEST(PlatformFiles, AFileHeldWithoutSharingIsBusy) {
    testing::TempDir dir;
    Path file = join(dir.path(), "result.json");
    ASSERT_TRUE(write_file_or_remove(file, "{}"));
    testing::HeldFile held(file);
    ASSERT_TRUE(held.held());
    Result<std::string> content = read_file(file);
    ASSERT_FALSE(content);
    EXPECT_TRUE(is_busy(content.error())) << describe(content.error());
    held.release();
    EXPECT_EQ(content_of(file), "{}");
    Result<std::string> missing = read_file(join(dir.path(), "missing"));
    ASSERT_FALSE(missing);
    EXPECT_FALSE(is_busy(missing.error()));
}

TEST(PlatformSystem, LocalAppDataIsAnExistingFolder) {
    std::optional<Path> folder = real_system().local_app_data();
    ASSERT_TRUE(folder);
    Result<FileInfo> info = file_info(*folder);
    ASSERT_TRUE(info) << path_to_utf8(*folder);
    EXPECT_TRUE(info->is_directory);
}
#endif

TEST(PlatformNames, EveryCandidateIsAKnownProcessName) {
    // The application found and started from a candidate must then be
    // recognised in the process list, which compares in lower case.
    std::span<const std::string_view> names = desktop_app_process_names();
    for (std::string_view name : names) {
        EXPECT_TRUE(std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) << name;
    }
    ASSERT_FALSE(desktop_app_candidates().empty());
    for (std::string_view candidate : desktop_app_candidates()) {
        std::string lower(candidate);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        EXPECT_NE(std::find(names.begin(), names.end(), lower), names.end()) << candidate;
    }
}

}  // namespace
}  // namespace nimbra::platform
