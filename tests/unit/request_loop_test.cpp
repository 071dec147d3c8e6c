// The request loop when a reply cannot be written, over in-memory streams,
// a fake OS and real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bin/nimbra-native-host/run_host.h"
#include "host/fatal_error.h"
#include "support/fake_system.h"
#include "support/files.h"
#include "support/streams.h"
#include "support/temp_dir.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;

TEST(RequestLoop, AChunkWhoseReplyIsLostEndsItsTransfer) {
    const std::string begin = R"({"type":"blob_begin","transfer_id":"transfer-1"})";
    const std::string chunk = R"({"type":"blob_chunk","transfer_id":"transfer-1","data_base64":"QUJD"})";
    struct Case {
        const char* what;
        int good_replies;
        bool description_kept;
    };
    for (const Case c : {Case{"begin's reply lost", 0, true}, Case{"chunk's reply lost", 1, false}}) {
        SCOPED_TRACE(c.what);
        testing::TempDir temp;
        testing::FakeSystem system;
        system.app_data = temp.path();
        testing::MemorySource input(testing::frames({begin, chunk}));
        host::MessageReader reader(input);
        testing::MemorySink output;
        output.good_writes = c.good_replies;

        EXPECT_THROW(run_host(system, reader, output), host::FatalError);
        const fs::path transfers = temp.path() / "Velisto" / "Nimbra" / "browser-transfers";
        EXPECT_EQ(fs::exists(transfers / "transfer-1.json"), c.description_kept);
        EXPECT_EQ(testing::read_bytes(transfers / "transfer-1.part"), c.good_replies == 1 ? "ABC" : "");
    }
}

TEST(RequestLoop, EachRequestFindsTheDataDirectoryOnceAndAfresh) {
    testing::TempDir first;
    testing::TempDir second;
    testing::FakeSystem system;
    system.app_data = first.path();
    // The folder moves before the third lookup: the third request's.
    system.on_folder_lookup = [&] {
        if (system.folder_lookups == 3) system.app_data = second.path();
    };
    testing::MemorySource input(testing::frames({
        R"({"type":"blob_begin","transfer_id":"transfer-1"})",
        R"({"type":"blob_chunk","transfer_id":"transfer-1","data_base64":"QUJD"})",
        R"({"type":"ping"})",
    }));
    host::MessageReader reader(input);
    testing::MemorySink output;

    run_host(system, reader, output);
    EXPECT_EQ(system.folder_lookups, 3);
    EXPECT_EQ(testing::read_bytes(first.path() / "Velisto" / "Nimbra" / "browser-transfers" / "transfer-1.part"),
              "ABC");
    EXPECT_TRUE(fs::exists(second.path() / "Velisto" / "Nimbra" / "extension-heartbeat.json"));
}

}  // namespace
}  // namespace nimbra
