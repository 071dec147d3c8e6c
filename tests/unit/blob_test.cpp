// Browser blob transfers on real files: the three handlers, what each leaves
// on disk, and the import job that blob_end hands to the desktop
// application (played here by a hook of the fake OS).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/data_dir.h"
#include "bridge/handoff.h"
#include "handlers/blob.h"
#include "host/fatal_error.h"
#include "host/json.h"
#include "platform/platform.h"
#include "support/fake_system.h"
#include "support/files.h"
#include "support/held_file.h"
#include "support/temp_dir.h"

namespace nimbra::handlers {
namespace {

namespace fs = std::filesystem;
using host::Json;
using testing::names_in;
using testing::read_bytes;
using testing::write_bytes;

Json parse(std::string_view text) {
    host::JsonParse parsed = host::parse_json(text);
    if (!parsed.value) throw std::runtime_error("bad test JSON: " + parsed.error);
    return *parsed.value;
}

// A request object with the given type, id and further members.
Json request(std::string_view id, Json members = Json::object()) {
    members["transfer_id"] = std::string(id);
    return members;
}

class BlobTest : public ::testing::Test {
protected:
    BlobTest() {
        system.app_data = temp.path() / "AppData";
        fs::create_directories(*system.app_data);
        // The desktop application runs already, so a handoff starts nothing
        // and makes exactly one process snapshot before it polls.
        system.add_process(std::string(platform::desktop_app_process_names()[0]), 1);
    }

    fs::path data_dir() const { return temp.path() / "AppData" / "Velisto" / "Nimbra"; }
    fs::path transfers() const { return data_dir() / "browser-transfers"; }
    fs::path part(std::string_view id) const { return transfers() / (std::string(id) + ".part"); }
    fs::path description(std::string_view id) const {
        return transfers() / (std::string(id) + ".json");
    }
    fs::path inbox() const { return data_dir() / "inbox"; }
    fs::path results() const { return data_dir() / "inbox-results"; }

    // The data directory as a request finds it, and the loop's chunk buffer.
    bridge::PathResult found() { return bridge::local_data_dir(system); }
    std::string decoded;

    Json begin(std::string_view id, Json members = Json::object()) {
        return handle_blob_begin(request(id, std::move(members)), found());
    }
    Json chunk(const Json& chunk_request) {
        const std::string* text = host::string_member(chunk_request, "data_base64");
        return handle_blob_chunk(chunk_request, text != nullptr ? *text : "", found(), decoded);
    }
    Json chunk(std::string_view id, std::string_view base64) {
        return chunk(request(id, Json{{"data_base64", std::string(base64)}}));
    }
    Json end(std::string_view id, Json members = Json::object()) {
        return handle_blob_end(request(id, std::move(members)), system, found());
    }

    // The text of the fatal error that `action` ends with.
    static std::string fatal(const std::function<void()>& action) {
        try {
            action();
        } catch (const host::FatalError& error) {
            return error.what();
        }
        return "(no fatal error)";
    }

    // Plays the desktop application: at its process snapshot it takes the one
    // job in the inbox, notes what the transfer's files look like, and
    // answers with `answer` (nothing when empty_answer is false and answer
    // is unset).
    struct Seen {
        int jobs = 0;
        std::string job_name;
        std::string job_text;
        bool description_present = true;
        bool part_present = false;
    };
    void play_application(std::string_view id, std::optional<std::string> answer) {
        system.on_snapshot = [this, id = std::string(id), answer] {
            std::vector<std::string> jobs = names_in(inbox());
            seen.jobs = static_cast<int>(jobs.size());
            if (jobs.size() != 1) return;
            seen.job_name = jobs[0];
            seen.job_text = read_bytes(inbox() / jobs[0]);
            seen.description_present = fs::exists(description(id));
            seen.part_present = fs::exists(part(id));
            if (answer) write_bytes(results() / jobs[0], *answer);
        };
    }

    testing::TempDir temp;
    testing::FakeSystem system;
    Seen seen;
};

// ---------------------------------------------------------------- transfer ids

TEST_F(BlobTest, TransferIdsAreEightToEightyIdCharacters) {
    for (const std::string& id :
         {std::string("abc_DEF-123"), std::string("12345678"), std::string(80, 'z'), std::string("A-_9aZ0z")}) {
        EXPECT_EQ(validate_transfer_id(id), id);
    }
    const std::vector<std::string> refused = {
        "",           "1234567",    std::string(81, 'z'), "abc.def12", "abcd\xC3\xA9" "fgh",
        "abc/defgh",  "abc\\defgh", "abc defgh",          "abcdefg\n", std::string("abcd\0efgh", 9),
        "..\\..\\xyz", "abcdefgh:",
    };
    for (const std::string& id : refused) {
        EXPECT_EQ(fatal([&] { validate_transfer_id(id); }), "invalid browser transfer id") << id;
    }
}

TEST_F(BlobTest, EveryHandlerRefusesABadIdBeforeLookingAnywhere) {
    // No data directory either: the id must be judged first.
    system.app_data.reset();
    const std::vector<Json> requests = {
        parse(R"({"transfer_id":12345678})"),
        parse(R"({"transfer_id":null})"),
        parse(R"({"transfer_id":["abcdefgh"]})"),
        parse(R"({})"),
        parse(R"(["abcdefgh"])"),
        parse(R"({"transfer_id":"abc.def12","data_base64":"QUJD","size":3})"),
        parse(R"({"transfer_id":"abcdéfgh","data_base64":"not base64"})"),
    };
    for (const Json& bad : requests) {
        EXPECT_EQ(fatal([&] { handle_blob_begin(bad, found()); }), "invalid browser transfer id");
        EXPECT_EQ(fatal([&] { chunk(bad); }), "invalid browser transfer id");
        EXPECT_EQ(fatal([&] { handle_blob_end(bad, system, found()); }), "invalid browser transfer id");
    }
    // A chunk that is too large still loses to a bad id.
    Json big = request("abc", Json{{"data_base64", std::string(900001, 'A')}});
    EXPECT_EQ(fatal([&] { chunk(big); }), "invalid browser transfer id");
    EXPECT_TRUE(names_in(temp.path() / "AppData").empty());
}

TEST_F(BlobTest, WithoutADataDirectoryEveryHandlerFailsAndNothingIsMade) {
    system.app_data.reset();
    EXPECT_EQ(fatal([&] { begin("abc_DEF-123"); }), "No local data directory");
    EXPECT_EQ(fatal([&] { chunk("abc_DEF-123", "QUJD"); }), "No local data directory");
    EXPECT_EQ(fatal([&] { end("abc_DEF-123"); }), "No local data directory");
    EXPECT_TRUE(names_in(temp.path() / "AppData").empty());
}

// ---------------------------------------------------------------- blob_begin

TEST_F(BlobTest, BeginCreatesAnEmptyDataFileAndASevenLineDescription) {
    Json reply = begin("abc_DEF-123", parse(R"({
        "type": "blob_begin", "filename": "report \"final\".pdf", "content_type": "application/pdf",
        "source_url": "blob:https://example.org/7f3e", "referrer": "", "size": 1024, "extra": 1})"));

    EXPECT_EQ(host::to_compact_json(reply), R"({"ok":true,"transfer_id":"abc_DEF-123"})");
    EXPECT_EQ(names_in(transfers()), (std::vector<std::string>{"abc_DEF-123.json", "abc_DEF-123.part"}));
    EXPECT_EQ(read_bytes(part("abc_DEF-123")), "");
    EXPECT_EQ(read_bytes(description("abc_DEF-123")),
              "{\n"
              "  \"content_type\": \"application/pdf\",\n"
              "  \"expected_size\": 1024,\n"
              "  \"filename\": \"report \\\"final\\\".pdf\",\n"
              "  \"referrer\": \"\",\n"
              "  \"source_url\": \"blob:https://example.org/7f3e\"\n"
              "}");
}

TEST_F(BlobTest, OnlyAWholeNonNegativeSizeIsRecorded) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"("size":0)", "0"},
        {R"("size":12)", "12"},
        {R"("size":18446744073709551615)", "18446744073709551615"},
        {R"("size":-1)", "null"},
        {R"("size":12.5)", "null"},
        {R"("size":12.0)", "null"},
        {R"("size":1e3)", "null"},
        {R"("size":-0)", "null"},
        {R"("size":18446744073709551616)", "null"},
        {R"("size":"12")", "null"},
        {R"("size":true)", "null"},
        {R"("size":null)", "null"},
        {R"("nosize":1)", "null"},
    };
    for (const auto& [member, expected] : cases) {
        begin("transfer-1", parse("{" + member + "}"));
        const std::string text = read_bytes(description("transfer-1"));
        EXPECT_NE(text.find("\n  \"expected_size\": " + expected + ",\n"), std::string::npos)
            << member << " gave\n"
            << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6) << member;
    }
}

TEST_F(BlobTest, MembersOfOtherTypesAreNull) {
    begin("transfer-1", parse(R"({"filename":7,"content_type":["a"],"source_url":{},"referrer":false})"));
    EXPECT_EQ(read_bytes(description("transfer-1")),
              "{\n  \"content_type\": null,\n  \"expected_size\": null,\n  \"filename\": null,\n"
              "  \"referrer\": null,\n  \"source_url\": null\n}");
}

TEST_F(BlobTest, BeginAgainWithTheSameIdStartsTheTransferOver) {
    begin("transfer-1", Json{{"size", 6}, {"filename", "first.bin"}});
    chunk("transfer-1", "QUJD");
    chunk("transfer-1", "REVG");
    ASSERT_EQ(read_bytes(part("transfer-1")), "ABCDEF");

    begin("transfer-1", Json{{"filename", "second.bin"}});
    EXPECT_EQ(read_bytes(part("transfer-1")), "");
    EXPECT_NE(read_bytes(description("transfer-1")).find("second.bin"), std::string::npos);
    EXPECT_NE(read_bytes(description("transfer-1")).find("\"expected_size\": null"), std::string::npos);
    chunk("transfer-1", "WFla");
    EXPECT_EQ(read_bytes(part("transfer-1")), "XYZ");
}

TEST_F(BlobTest, BeginFailsWithTheSystemsTextWhenTheFolderCannotBeMade) {
    // A file where browser-transfers must be a folder.
    fs::create_directories(data_dir());
    write_bytes(transfers(), "in the way");
    const std::string error = fatal([&] { begin("transfer-1"); });
    EXPECT_NE(error.find(" (os error "), std::string::npos) << error;
    EXPECT_EQ(read_bytes(transfers()), "in the way");
}

TEST_F(BlobTest, BeginLeavesTheEmptyDataFileWhenTheDescriptionCannotBeWritten) {
    fs::create_directories(description("transfer-1") / "blocker");
    const std::string error = fatal([&] { begin("transfer-1"); });
    EXPECT_NE(error.find(" (os error "), std::string::npos) << error;
    EXPECT_EQ(read_bytes(part("transfer-1")), "");
}

// ---------------------------------------------------------------- blob_chunk

TEST_F(BlobTest, ChunksAppendInArrivalOrderAndReportTheirOwnCount) {
    begin("transfer-1");
    EXPECT_EQ(host::to_compact_json(chunk("transfer-1", "QUJD")), R"({"ok":true,"received":3})");
    EXPECT_EQ(host::to_compact_json(chunk("transfer-1", "AAH/")), R"({"ok":true,"received":3})");
    EXPECT_EQ(host::to_compact_json(chunk("transfer-1", "QQ==")), R"({"ok":true,"received":1})");
    EXPECT_EQ(read_bytes(part("transfer-1")), std::string("ABC\0\x01\xFF" "A", 7));
}

TEST_F(BlobTest, AnEmptyOrMissingChunkAppendsNothing) {
    begin("transfer-1");
    chunk("transfer-1", "QUJD");
    for (const Json& members : {Json::object(), Json{{"data_base64", ""}}, Json{{"data_base64", 42}},
                                Json{{"data_base64", nullptr}}}) {
        Json reply = chunk(request("transfer-1", members));
        EXPECT_EQ(host::to_compact_json(reply), R"({"ok":true,"received":0})");
    }
    EXPECT_EQ(read_bytes(part("transfer-1")), "ABC");
}

TEST_F(BlobTest, AChunkOfExactlyTheLimitIsTakenAndOneMoreByteIsNot) {
    begin("transfer-1");
    std::string text;
    for (int i = 0; i < 900000 / 4; ++i) text += "QUJD";
    ASSERT_EQ(text.size(), kMaxChunkTextBytes);
    EXPECT_EQ(host::to_compact_json(chunk("transfer-1", text)), R"({"ok":true,"received":675000})");
    EXPECT_EQ(fs::file_size(part("transfer-1")), 675000U);

    // One more byte is too many whatever it holds, even where the decoder
    // would have had nothing to say against it.
    for (const std::string& over : {text + "A", text.substr(4) + "QQ===", std::string(900001, '*')}) {
        EXPECT_EQ(fatal([&] { chunk("transfer-1", over); }), "browser transfer chunk is too large");
    }
    EXPECT_EQ(fs::file_size(part("transfer-1")), 675000U);
}

TEST_F(BlobTest, AMalformedChunkIsRefusedBeforeTheDataFileIsTouched) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"QQ", "invalid browser transfer chunk: Invalid padding"},
        {"QR==", "invalid browser transfer chunk: Invalid last symbol 82, offset 1."},
        {"QUJD\n", "invalid browser transfer chunk: Invalid symbol 10, offset 4."},
        {"QUJDR", "invalid browser transfer chunk: Invalid input length: 5"},
        {"=", "invalid browser transfer chunk: Invalid symbol 61, offset 0."},
        {"QQ===", "invalid browser transfer chunk: Invalid symbol 61, offset 2."},
    };
    begin("transfer-1");
    chunk("transfer-1", "QUJD");
    for (const auto& [text, error] : cases) {
        EXPECT_EQ(fatal([&] { chunk("transfer-1", text); }), error);
    }
    EXPECT_EQ(read_bytes(part("transfer-1")), "ABC");
    // Decoding comes before any file: a bad chunk for an unknown transfer
    // reports the chunk, not the missing file.
    EXPECT_EQ(fatal([&] { chunk("never-begun", "QQ"); }), "invalid browser transfer chunk: Invalid padding");
}

TEST_F(BlobTest, ChunksDecodeIntoOneKeptBufferWithoutLeftovers) {
    // A large chunk, a smaller one, a refused one and a good one after it:
    // the file holds exactly the accepted bytes, none of an earlier chunk.
    std::string large;
    std::string large_bytes;
    for (int i = 0; i < 1000; ++i) {
        large += "/+/+";
        large_bytes += "\xFF\xEF\xFE";
    }
    std::string refused = large;
    refused[2000] = '*';
    begin("transfer-1");
    chunk("transfer-1", large);
    EXPECT_EQ(host::to_compact_json(chunk("transfer-1", "QUI=")), R"({"ok":true,"received":2})");
    EXPECT_EQ(fatal([&] { chunk("transfer-1", refused); }),
              "invalid browser transfer chunk: Invalid symbol 42, offset 2000.");
    EXPECT_EQ(host::to_compact_json(chunk("transfer-1", "QQ==")), R"({"ok":true,"received":1})");
    EXPECT_EQ(read_bytes(part("transfer-1")), large_bytes + "AB" + "A");
}

TEST_F(BlobTest, AChunkForATransferThatNeverBeganFailsWithTheSystemsNotFoundText) {
    const std::string not_found = platform::describe(platform::not_found_error());
    // Neither the folder nor the file: the system's text for a missing path
    // (Windows tells this case apart from a missing file).
    platform::Result<platform::FileInfo> missing = platform::file_info(part("never-begun"));
    ASSERT_FALSE(missing.ok());
    ASSERT_TRUE(platform::is_not_found(missing.error()));
    EXPECT_EQ(fatal([&] { chunk("never-begun", "QUJD"); }), platform::describe(missing.error()));
    // The folder, but not the file; the description alone does not count,
    // and a chunk that could not even open the file appended nothing: the
    // transfer is not ended for it.
    begin("transfer-1");
    write_bytes(description("transfer-2"), "{}");
    EXPECT_EQ(fatal([&] { chunk("transfer-2", "QUJD"); }), not_found);
    EXPECT_EQ(fatal([&] { chunk("transfer-3", ""); }), not_found);
    EXPECT_FALSE(fs::exists(part("transfer-2")));
    EXPECT_FALSE(fs::exists(part("transfer-3")));
    EXPECT_EQ(read_bytes(description("transfer-2")), "{}");
}

TEST_F(BlobTest, AChunkNeedsOnlyTheDataFile) {
    begin("transfer-1");
    fs::remove(description("transfer-1"));
    EXPECT_EQ(host::to_compact_json(chunk("transfer-1", "QUJD")), R"({"ok":true,"received":3})");
    EXPECT_EQ(read_bytes(part("transfer-1")), "ABC");
}

// ---------------------------------------------------------------- blob_end checks

TEST_F(BlobTest, EndNeedsBothFiles) {
    EXPECT_EQ(fatal([&] { end("transfer-1"); }), "browser transfer was not started");

    begin("transfer-1");
    fs::remove(description("transfer-1"));
    EXPECT_EQ(fatal([&] { end("transfer-1"); }), "browser transfer was not started");
    EXPECT_TRUE(fs::exists(part("transfer-1")));

    // Without its data file, or with a folder in its place.
    for (const bool folder : {false, true}) {
        begin("transfer-2");
        fs::remove(part("transfer-2"));
        if (folder) fs::create_directories(part("transfer-2"));
        EXPECT_EQ(fatal([&] { end("transfer-2"); }), "browser transfer was not started");
        EXPECT_TRUE(fs::exists(description("transfer-2")));
        fs::remove(part("transfer-2"));
    }
    EXPECT_FALSE(fs::exists(inbox()));
}

TEST_F(BlobTest, ASizeMismatchLeavesBothFilesAsTheyWere) {
    begin("transfer-1", Json{{"size", 12}});
    chunk("transfer-1", "QUJDRA==");
    chunk("transfer-1", "RUZHSA==");
    chunk("transfer-1", "SUo=");
    const std::string described = read_bytes(description("transfer-1"));

    EXPECT_EQ(fatal([&] { end("transfer-1"); }), "browser transfer size mismatch: expected 12 bytes, received 10");
    EXPECT_EQ(read_bytes(part("transfer-1")), "ABCDEFGHIJ");
    EXPECT_EQ(read_bytes(description("transfer-1")), described);
    EXPECT_FALSE(fs::exists(inbox()));

    // Too many bytes are as wrong as too few.
    chunk("transfer-1", "S0xN");
    EXPECT_EQ(fatal([&] { end("transfer-1"); }), "browser transfer size mismatch: expected 12 bytes, received 13");
}

TEST_F(BlobTest, AnUnparsableDescriptionFailsWithTheParsersText) {
    begin("transfer-1");
    write_bytes(description("transfer-1"), "{\"expected_size\": 3");
    const std::string error = fatal([&] { end("transfer-1"); });
    EXPECT_EQ(error, host::parse_json("{\"expected_size\": 3").error);
    EXPECT_TRUE(fs::exists(description("transfer-1")));
    EXPECT_FALSE(fs::exists(inbox()));
}

TEST_F(BlobTest, AnUnreadableDescriptionFailsWithTheSystemsText) {
    begin("transfer-1");
    fs::remove(description("transfer-1"));
    fs::create_directories(description("transfer-1"));
    const std::string error = fatal([&] { end("transfer-1"); });
    EXPECT_NE(error.find(" (os error "), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(inbox()));
}

// ---------------------------------------------------------------- the import handoff

TEST_F(BlobTest, ACompleteTransferIsHandedOverAsAnImportJob) {
    begin("abc_DEF-123", parse(R"({"filename":"report.pdf","size":4,"content_type":"application/pdf",
                                  "source_url":"https://example.org/r","referrer":"https://example.org/"})"));
    chunk("abc_DEF-123", "JVBE");
    chunk("abc_DEF-123", "Rg==");
    play_application("abc_DEF-123", R"({"ok":true,"launched":false,"imported":"C:\\dl\\report.pdf"})");

    Json reply = end("abc_DEF-123", parse(R"({"source":"chrome","filename":"other.pdf","size":99})"));

    EXPECT_EQ(host::to_compact_json(reply), R"({"imported":"C:\\dl\\report.pdf","launched":true,"ok":true})");
    // What the application saw when it was made to run.
    EXPECT_EQ(seen.jobs, 1);
    EXPECT_EQ(seen.job_name.size(), 41U);
    EXPECT_FALSE(seen.description_present);
    EXPECT_TRUE(seen.part_present);
    std::string temp_path = platform::path_to_utf8(part("abc_DEF-123"));
    std::string escaped;
    host::append_json_string(escaped, temp_path);
    EXPECT_EQ(seen.job_text,
              "{\n"
              "  \"content_type\": \"application/pdf\",\n"
              "  \"filename\": \"report.pdf\",\n"
              "  \"referrer\": \"https://example.org/\",\n"
              "  \"source\": \"chrome\",\n"
              "  \"source_url\": \"https://example.org/r\",\n"
              "  \"temp_path\": " + escaped + ",\n"
              "  \"type\": \"import_browser_file\"\n"
              "}");
    // Answered: the job is the application's, the bytes stay where they are.
    EXPECT_EQ(names_in(inbox()), std::vector<std::string>{seen.job_name});
    EXPECT_TRUE(names_in(results()).empty());
    EXPECT_EQ(names_in(transfers()), std::vector<std::string>{"abc_DEF-123.part"});
    EXPECT_EQ(read_bytes(part("abc_DEF-123")), "%PDF");
    EXPECT_EQ(system.sleeps.size(), 0U);
}

TEST_F(BlobTest, TheJobTakesOnlyStringsAndNeverTheSize) {
    begin("transfer-1", parse(R"({"filename":"report.pdf","size":0})"));
    play_application("transfer-1", R"({"ok":true})");
    end("transfer-1", parse(R"({"source":7,"content_type":"text/plain","referrer":"r","source_url":"s"})"));
    Json job = parse(seen.job_text);
    EXPECT_EQ(job.size(), 7U);
    EXPECT_EQ(job["filename"], "report.pdf");
    for (const char* key : {"content_type", "referrer", "source_url", "source"}) {
        EXPECT_TRUE(job[key].is_null()) << key;
    }
    EXPECT_FALSE(job.contains("expected_size"));
    EXPECT_FALSE(job.contains("size"));
    EXPECT_FALSE(job.contains("transfer_id"));
}

TEST_F(BlobTest, ADescriptionThatIsNoObjectGivesNullsAndNoSizeCheck) {
    begin("transfer-1", Json{{"size", 100}});
    chunk("transfer-1", "QUJD");
    write_bytes(description("transfer-1"), "[12]");
    play_application("transfer-1", R"({"ok":true})");
    Json reply = end("transfer-1", Json{{"source", "edge"}});
    EXPECT_EQ(host::to_compact_json(reply), R"({"launched":true,"ok":true})");
    Json job = parse(seen.job_text);
    EXPECT_TRUE(job["filename"].is_null());
    EXPECT_TRUE(job["content_type"].is_null());
    EXPECT_EQ(job["source"], "edge");
}

TEST_F(BlobTest, ASizeOfZeroPassesWithAnEmptyDataFile) {
    begin("transfer-1", Json{{"size", 0}});
    play_application("transfer-1", R"({"ok":true})");
    EXPECT_EQ(host::to_compact_json(end("transfer-1")), R"({"launched":true,"ok":true})");
    EXPECT_EQ(read_bytes(part("transfer-1")), "");
}

TEST_F(BlobTest, WithoutASizeAnyLengthIsAccepted) {
    for (const std::string size : {"-1", "12.5", "\"12\""}) {
        begin("transfer-1", parse("{\"size\":" + size + "}"));
        chunk("transfer-1", "QUJD");
        play_application("transfer-1", R"({"ok":true})");
        EXPECT_EQ(host::to_compact_json(end("transfer-1")), R"({"launched":true,"ok":true})") << size;
        fs::remove_all(inbox());
    }
}

TEST_F(BlobTest, EndTwiceFailsTheSecondTimeAndLaterChunksStillAppend) {
    begin("transfer-1", Json{{"size", 3}});
    chunk("transfer-1", "QUJD");
    play_application("transfer-1", R"({"ok":true})");
    end("transfer-1");
    EXPECT_EQ(fatal([&] { end("transfer-1"); }), "browser transfer was not started");
    EXPECT_EQ(names_in(inbox()).size(), 1U);

    // Handed over, the data file still takes chunks while it exists.
    EXPECT_EQ(host::to_compact_json(chunk("transfer-1", "REVG")), R"({"ok":true,"received":3})");
    EXPECT_EQ(read_bytes(part("transfer-1")), "ABCDEF");
    // Once the application has taken it away, a chunk finds nothing.
    fs::remove(part("transfer-1"));
    EXPECT_EQ(fatal([&] { chunk("transfer-1", "REVG"); }), platform::describe(platform::not_found_error()));
}

TEST_F(BlobTest, AnUnreadableResultIsReportedWithLaunched) {
    begin("transfer-1");
    play_application("transfer-1", "");
    EXPECT_EQ(host::to_compact_json(end("transfer-1")),
              R"({"error":"Nimbra returned an unreadable import result","launched":true,"ok":false})");
    EXPECT_TRUE(names_in(results()).empty());
    EXPECT_EQ(names_in(inbox()).size(), 1U);
    EXPECT_EQ(names_in(transfers()), std::vector<std::string>{"transfer-1.part"});
}

TEST_F(BlobTest, AnAnswerThatIsNoObjectIsRelayedUnchanged) {
    begin("transfer-1");
    play_application("transfer-1", " [1, \"two\"] ");
    EXPECT_EQ(host::to_compact_json(end("transfer-1")), R"([1,"two"])");
}

TEST_F(BlobTest, ATimeoutLeavesTheDataFileAndNoJob) {
    begin("transfer-1", Json{{"size", 3}});
    chunk("transfer-1", "QUJD");
    play_application("transfer-1", std::nullopt);

    Json reply = end("transfer-1");

    EXPECT_EQ(host::to_compact_json(reply),
              R"({"error":"Nimbra did not confirm the browser-generated file within 35 seconds","ok":false})");
    // 700 polls, each miss followed by a 50 ms pause, and no real waiting.
    EXPECT_EQ(system.sleeps.size(), static_cast<std::size_t>(bridge::kResultPolls));
    EXPECT_TRUE(std::all_of(system.sleeps.begin(), system.sleeps.end(), [](auto ms) { return ms == 50; }));
    EXPECT_EQ(seen.jobs, 1);
    EXPECT_TRUE(names_in(inbox()).empty());
    EXPECT_EQ(names_in(transfers()), std::vector<std::string>{"transfer-1.part"});
    EXPECT_EQ(read_bytes(part("transfer-1")), "ABC");
    EXPECT_EQ(fatal([&] { end("transfer-1"); }), "browser transfer was not started");
}

TEST_F(BlobTest, AFailureBeforeTheJobIsWrittenLeavesTheTransferOpen) {
    begin("transfer-1", Json{{"size", 3}});
    chunk("transfer-1", "QUJD");
    // A file where the inbox folder must be.
    write_bytes(inbox(), "in the way");
    play_application("transfer-1", R"({"ok":true})");

    const std::string error = fatal([&] { end("transfer-1"); });
    EXPECT_NE(error.find(" (os error "), std::string::npos) << error;
    EXPECT_EQ(names_in(transfers()), (std::vector<std::string>{"transfer-1.json", "transfer-1.part"}));
    EXPECT_EQ(system.snapshots, 0);

    // Once the way is clear the same transfer can end.
    fs::remove(inbox());
    EXPECT_EQ(host::to_compact_json(end("transfer-1")), R"({"launched":true,"ok":true})");
}

TEST_F(BlobTest, AnAbandonedTransferCannotEndAndAbandoningNeverFails) {
    begin("transfer-1");
    chunk("transfer-1", "QUJD");
    abandon_blob_transfer(request("transfer-1"), found());
    EXPECT_EQ(names_in(transfers()), std::vector<std::string>{"transfer-1.part"});
    EXPECT_EQ(fatal([&] { end("transfer-1"); }), "browser transfer was not started");
    abandon_blob_transfer(request("not an id"), found());
    abandon_blob_transfer(Json::array(), found());
    abandon_blob_transfer(request("transfer-1"), std::nullopt);
}

#ifndef _WIN32
TEST_F(BlobTest, WritesCutShortByAFullDiskNeverLeaveATransferThatPassesAsWhole) {
    // A description cut short is removed: the transfer was never opened.
    std::string error;
    {
        testing::FileSizeLimit full(1024);
        error = fatal([&] { begin("transfer-1", Json{{"filename", std::string(2000, 'f')}}); });
    }
    EXPECT_NE(error.find(" (os error "), std::string::npos) << error;
    EXPECT_EQ(names_in(transfers()), std::vector<std::string>{"transfer-1.part"});
    EXPECT_EQ(fatal([&] { end("transfer-1"); }), "browser transfer was not started");

    // A chunk that went in part way ends its transfer, which without a size
    // would otherwise pass at any length.
    begin("transfer-2");
    chunk("transfer-2", "QUJD");
    {
        testing::FileSizeLimit full(1000);
        error = fatal([&] { chunk("transfer-2", testing::encode_base64(std::string(3000, 'z'))); });
    }
    EXPECT_NE(error.find(" (os error "), std::string::npos) << error;
    EXPECT_EQ(fs::file_size(part("transfer-2")), 1000u);
    EXPECT_EQ(fatal([&] { end("transfer-2"); }), "browser transfer was not started");
    EXPECT_TRUE(names_in(inbox()).empty());
}
#endif

TEST_F(BlobTest, TransfersWithDifferentIdsKeepApart) {
    begin("transfer-A", Json{{"size", 3}});
    begin("transfer-B", Json{{"size", 1}});
    chunk("transfer-A", "QUJD");
    chunk("transfer-B", "WA==");
    play_application("transfer-B", R"({"ok":true})");
    end("transfer-B");
    EXPECT_EQ(read_bytes(part("transfer-A")), "ABC");
    EXPECT_EQ(read_bytes(part("transfer-B")), "X");
    EXPECT_TRUE(fs::exists(description("transfer-A")));
}

}  // namespace
}  // namespace nimbra::handlers
