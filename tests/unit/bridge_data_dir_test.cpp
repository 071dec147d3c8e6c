// Where the data directory and its folders are, and that finding them never
// touches the disk.
#include <gtest/gtest.h>

#include <string>

#include "bridge/data_dir.h"
#include "bridge_fixture.h"
#include "host/fatal_error.h"

namespace nimbra::bridgetest {
namespace {

using platform::join;

TEST(DataDir, IsVelistoThenNimbraInsideTheLocalAppDataFolder) {
    testing::FakeSystem system;
    const platform::Path base = platform::Path("base") / "Local";
    system.app_data = base;
    const platform::Path data = join(join(base, "Velisto"), "Nimbra");
    EXPECT_EQ(bridge::local_data_dir(system)->native(), data.native());
    const bridge::PathResult found = bridge::local_data_dir(system);
    EXPECT_EQ(bridge::inbox_dir(found)->native(), join(data, "inbox").native());
    EXPECT_EQ(bridge::inbox_results_dir(found)->native(), join(data, "inbox-results").native());
    EXPECT_EQ(bridge::browser_transfers_dir(found)->native(), join(data, "browser-transfers").native());
    EXPECT_EQ(bridge::required(bridge::inbox_results_dir(found)).native(), join(data, "inbox-results").native());
    // Two folder levels, not one with a combined name.
    EXPECT_EQ(bridge::local_data_dir(system)->filename(), "Nimbra");
    EXPECT_EQ(bridge::local_data_dir(system)->parent_path().filename(), "Velisto");
}

TEST(DataDir, ABaseEndingInASeparatorGetsNoSecondOne) {
    testing::FakeSystem system;
    struct Case {
        const char* base;
        const char* data_dir;
    };
#ifdef _WIN32
    const Case cases[] = {
        {"C:\\", "C:\\Velisto\\Nimbra"},
        {"C:/", "C:/Velisto\\Nimbra"},
        {"C:\\Users\\u\\AppData\\Local", "C:\\Users\\u\\AppData\\Local\\Velisto\\Nimbra"},
    };
#else
    const Case cases[] = {
        {"/", "/Velisto/Nimbra"},
        {"/home/u/.local/share/", "/home/u/.local/share/Velisto/Nimbra"},
        // A backslash is an ordinary character in a POSIX file name.
        {"/home/u\\", "/home/u\\/Velisto/Nimbra"},
    };
#endif
    for (const Case& c : cases) {
        system.app_data = platform::Path(c.base);
        EXPECT_EQ(bridge::local_data_dir(system)->string(), c.data_dir);
    }
}

TEST(DataDir, AnUnknownBaseFailsEveryOperationWithTheSameText) {
    testing::FakeSystem system;
    system.app_data = std::nullopt;
    const bridge::PathResult found = bridge::local_data_dir(system);
    EXPECT_FALSE(found);
    for (auto below : {bridge::inbox_dir, bridge::inbox_results_dir, bridge::browser_transfers_dir}) {
        EXPECT_FALSE(below(found));
        try {
            static_cast<void>(bridge::required(below(found)));
            ADD_FAILURE() << "no fatal error";
        } catch (const host::FatalError& error) {
            EXPECT_STREQ(error.what(), "No local data directory");
        }
    }
}

TEST(DataDir, LookingUpCreatesNothing) {
    testing::TempDir temp;
    testing::FakeSystem system;
    system.app_data = temp.path();
    const bridge::PathResult found = bridge::local_data_dir(system);
    static_cast<void>(bridge::inbox_dir(found));
    static_cast<void>(bridge::inbox_results_dir(found));
    static_cast<void>(bridge::browser_transfers_dir(found));
    EXPECT_TRUE(names_in(temp.path()).empty());
}

}  // namespace
}  // namespace nimbra::bridgetest
