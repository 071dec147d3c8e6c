// A browser blob transfer through the real host: chunks streamed over the
// pipe into browser-transfers, then the import handed to the stand-in desktop
// application, which the host starts from its own folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>
#include <chrono>
#include <string>
#include <vector>

#include "host/desktop_app_fixture.h"
#include "host/host_process.h"
#include "support/files.h"

namespace nimbra::hosttest {
namespace {

using testing::encode_base64;
using testing::names_in;


class HostBlob : public DesktopAppTest {
protected:
    void SetUp() override {
        DesktopAppTest::SetUp();
        // A copy of the host with the stand-in beside it under the desktop
        // application's name, so the host finds and starts it as it would
        // the real one.
        host_ = place_host();
        place_app("velisto-download-manager");
    }

    Process* start_host(bool silent_application) {
        return &DesktopAppTest::start_host(host_, silent_application);
    }

    static fs::path transfers() { return Target::get().data_dir() / "browser-transfers"; }

    std::string standin_log() const {
        std::string all;
        for (const std::string& log : starts()) all += log;
        return all;
    }

    fs::path host_;
};

TEST_F(HostBlob, AStreamedFileIsImportedByTheDesktopApplication) {
    // A little over four whole chunks of 675,000 bytes, every byte value.
    std::mt19937 random(4242);
    std::string bytes(3 * 1024 * 1024, '\0');
    for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
    const std::string text = encode_base64(bytes);

    Process* host = start_host(false);
    host->send(frame(R"({"type":"blob_begin","transfer_id":"e2e_Transfer-01","filename":"big.bin",)"
                     R"("content_type":"application/octet-stream","size":)" +
                     std::to_string(bytes.size()) + "}"));
    EXPECT_EQ(host->read_reply(), R"({"ok":true,"transfer_id":"e2e_Transfer-01"})");

    std::size_t chunks = 0;
    for (std::size_t at = 0; at < text.size(); at += 900000, ++chunks) {
        const std::string piece = text.substr(at, 900000);
        host->send(frame(R"({"type":"blob_chunk","transfer_id":"e2e_Transfer-01","data_base64":")" + piece +
                         "\"}"));
        const std::size_t decoded = piece.size() / 4 * 3 - (piece.ends_with("==") ? 2 : piece.ends_with("=") ? 1 : 0);
        ASSERT_EQ(host->read_reply(), R"({"ok":true,"received":)" + std::to_string(decoded) + "}") << chunks;
    }
    EXPECT_EQ(chunks, 5U);

    host->send(frame(R"({"type":"blob_end","transfer_id":"e2e_Transfer-01","source":"chrome"})"));
    // The stand-in answers with the size of the file it found at temp_path.
    EXPECT_EQ(host->read_reply(60),
              R"({"bytes":)" + std::to_string(bytes.size()) + R"(,"launched":true,"ok":true})");
    Finished end = host->finish();
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_EQ(end.output, "");

    // The bytes are there under the transfer's name, exactly as sent; the
    // description went when the job was written, and the stand-in took the job.
    EXPECT_EQ(names_in(transfers()), std::vector<std::string>{"e2e_Transfer-01.part"});
    EXPECT_TRUE(read_text(transfers() / "e2e_Transfer-01.part") == bytes) << "the data file differs";
    EXPECT_TRUE(names_in(Target::get().data_dir() / "inbox").empty());
    EXPECT_TRUE(names_in(Target::get().data_dir() / "inbox-results").empty());
    EXPECT_NE(standin_log().find("type=import_browser_file {\"bytes\":" + std::to_string(bytes.size())),
              std::string::npos)
        << standin_log();
}

TEST_F(HostBlob, AnImportNobodyConfirmsTimesOutAndLeavesTheDataFile) {
    Process* host = start_host(true);
    host->send(frame(R"({"type":"blob_begin","transfer_id":"e2e_Timeout-02","size":3})"));
    EXPECT_EQ(host->read_reply(), R"({"ok":true,"transfer_id":"e2e_Timeout-02"})");
    host->send(frame(R"({"type":"blob_chunk","transfer_id":"e2e_Timeout-02","data_base64":"QUJD"})"));
    EXPECT_EQ(host->read_reply(), R"({"ok":true,"received":3})");
    host->send(frame(R"({"type":"blob_end","transfer_id":"e2e_Timeout-02"})"));

    EXPECT_EQ(host->read_reply(90),
              R"({"error":"Nimbra did not confirm the browser-generated file within 35 seconds","ok":false})");
    // The job was posted (the stand-in saw it) and taken back.
    EXPECT_NE(standin_log().find("type=import_browser_file silent"), std::string::npos) << standin_log();
    EXPECT_TRUE(names_in(Target::get().data_dir() / "inbox").empty());
    EXPECT_EQ(names_in(transfers()), std::vector<std::string>{"e2e_Timeout-02.part"});
    EXPECT_EQ(read_text(transfers() / "e2e_Timeout-02.part"), "ABC");

    // The transfer is over: a second end finds no description.
    host->send(frame(R"({"type":"blob_end","transfer_id":"e2e_Timeout-02"})"));
    Finished end = host->finish();
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_EQ(split_frames(end.output),
              std::vector<std::string>{R"({"error":"browser transfer was not started","ok":false})"});
}

}  // namespace
}  // namespace nimbra::hosttest
