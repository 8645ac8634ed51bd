// The tools over generated libraries: paging, filters, search and windows.
// Argument refusals and their messages are in the golden session.

#include "mcp_server/tools.h"

#include <gtest/gtest.h>

#include "mcp_server/arguments.h"
#include "mcp_server/cursor.h"
#include "mcp_server/tool_failure.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using sync::SharedRecording;
using sync::Uuid;
using namespace quillmere::testing;
using Strings = std::vector<std::string>;

// The code of the ToolFailure action throws, "accepted" when it returns.
std::string codeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ToolFailure& failure) {
        return failure.code();
    }
    return "accepted";
}

std::string repeat(std::string_view unit, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += unit;
    return out;
}

// ---- cursors

// Different windows must never share a fingerprint.
TEST(FingerprintNumber, IsTheShortestTextThatReadsBackAlwaysWithAPointOrExponent) {
    const std::pair<double, const char*> rows[] = {{0.0, "0.0"}, {60.0, "60.0"}, {12.5, "12.5"}, {0.1, "0.1"},
                                                   {1.0 / 3, "0.3333333333333333"}, {123456789012.0, "123456789012.0"}, {1e300, "1e+300"}};
    for (const auto& [value, text] : rows) EXPECT_EQ(fingerprintNumber(value), text);
}

TEST(Cursor, ReadsBackWhatNextWroteAndRefusesEveryOtherForm) {
    const std::string fp(64, 'c');
    EXPECT_EQ(arguments::cursor(json::object(), fp), 0u);
    EXPECT_EQ(arguments::cursor({{"cursor", arguments::next(fp, 40, 41)}}, fp), 40u);
    EXPECT_EQ(arguments::next(fp, 41, 41), nullptr);
    EXPECT_EQ(arguments::next(fp, 50, 41), nullptr);
    EXPECT_EQ(arguments::cursor({{"cursor", base64Encode("::" + fp + "::+7:")}}, fp), 7u);
    EXPECT_EQ(arguments::cursor({{"cursor", base64Encode(fp + ":-0")}}, fp), 0u);
    const std::vector<std::pair<json, std::string>> rows = {
        {"", "invalid_argument"}, {" \n", "invalid_argument"}, {5, "invalid_argument"}, {nullptr, "invalid_argument"},
        // Round trips are fuzz_cursor's, the standard alphabet the golden session's ("eDox"); a
        // character outside it is refused even where padding could stand.
        {"not base64!", "invalid_cursor"}, {base64Encode(fp + ":1") + "\n", "invalid_cursor"}, {base64Encode("\xff\xfe:1"), "invalid_cursor"},
        {"Y2!j" + base64Encode(fp.substr(3) + ":17"), "invalid_cursor"}, {"Zg=a", "invalid_cursor"}, {"Zm9vYg==Zg==", "invalid_cursor"},
        {base64Encode(fp), "stale_cursor"}, {base64Encode(std::string(64, 'd') + ":1"), "stale_cursor"}, {base64Encode(fp + ":1:2"), "stale_cursor"},
        {base64Encode(fp + ":-1"), "stale_cursor"}, {base64Encode(fp + ":+-1"), "stale_cursor"}, {base64Encode(fp + ":1.5"), "stale_cursor"},
        {base64Encode(fp + ":0x10"), "stale_cursor"}, {base64Encode(fp + ": 1"), "stale_cursor"}, {base64Encode(fp + ":99999999999999999999"), "stale_cursor"},
    };
    for (const auto& [cursor, code] : rows) EXPECT_EQ(codeOf([&] { arguments::cursor({{"cursor", cursor}}, fp); }), code) << cursor;
}

// ---- tools

class Tools : public ::testing::Test {
  protected:
    fs::path root() const { return dir_ / "AgentLibrary"; }

    // count recordings one minute apart from 2026-03-01T00:00:00Z, oldest
    // first, each with passages "passage <i>" and "common text".
    void publish(int count) {
        for (int i = 0; i < count; ++i) {
            recordings_.push_back(makeRecording(source_, "recording " + std::to_string(i), at("2026-03-01T00:00:00Z") + std::chrono::minutes(i),
                                                {{0, 10, "passage " + std::to_string(i)}, {10, 20, "common text"}}));
        }
        republish();
    }
    void publish(std::vector<SharedRecording> recordings) { recordings_ = std::move(recordings); republish(); }
    void republish() { testing::writeSource(root(), source_, recordings_); }

    json run(std::string_view tool, const json& arguments = json::object()) {
        library_.refresh();
        return call(library_, tool, arguments);
    }
    std::string codeOfRun(std::string_view tool, const json& arguments) { return codeOf([&] { run(tool, arguments); }); }

    // Follows next_cursor to the end with the given limits, one per page, the
    // last one repeated; returns the key of every item, or the text of every passage.
    Strings pageThrough(std::string_view tool, json arguments, const std::vector<int>& limits) {
        Strings seen;
        for (std::size_t page = 0; page < 1000; ++page) {
            arguments["limit"] = limits[std::min(page, limits.size() - 1)];
            json result = run(tool, arguments);
            for (const json& item : tool == "get_transcript" ? result["passages"] : result["items"])
                seen.push_back(item.contains("recording_key") ? item["recording_key"].get<std::string>() : item["text"].get<std::string>());
            if (result["next_cursor"].is_null()) return seen;
            arguments["cursor"] = result["next_cursor"];
        }
        ADD_FAILURE() << "paging does not end";
        return seen;
    }

    testing::TempDir dir_;
    Uuid source_ = Uuid::random();
    std::vector<SharedRecording> recordings_;
    // Through a record index, as a server serves: its per-reader state sees several readers.
    Library library_{dir_ / "AgentLibrary", dir_ / "cache", CaseRule::standard, dir_ / "index"};
};

// limit 100 and track 32 are the whole-process tests'; one more is refused in the golden session.
TEST_F(Tools, BoundaryArgumentsAreAccepted) {
    publish(1);
    const std::string key = recordingKey(recordings_[0]);
    for (const auto& [tool, arguments] : std::vector<std::pair<const char*, json>>{
             {"list_recordings", {{"limit", 1.0}}}, {"list_recordings", {{"from", "2026-03-01T00:00:00.123456789123Z"}}},
             {"search_transcripts", {{"query", repeat("a", 500)}}}, {"search_transcripts", {{"query", repeat("e\xCC\x81", 500)}}},
             {"get_transcript", {{"recording_key", key}, {"start_seconds", 0}, {"end_seconds", 0}}}})
        EXPECT_EQ(codeOfRun(tool, arguments), "accepted") << tool << " " << arguments.dump();
}

TEST_F(Tools, PagingVisitsEverythingOnceWhateverTheLimits) {
    publish(23);
    library_.refresh();
    Strings everything;
    for (const LibraryItem& item : library_.items()) everything.push_back(item.key);
    EXPECT_EQ(everything[0], recordingKey(recordings_.back())) << "newest first";
    const json firstPage = run("list_recordings");
    EXPECT_EQ(firstPage["items"].size(), 20u) << "twenty by default";
    EXPECT_EQ(firstPage["sync"], library_.status());
    for (const std::vector<int>& limits : std::vector<std::vector<int>>{{1}, {7}, {23}, {100}, {5, 1, 9, 2}, {22, 1}, {3, 100}})
        EXPECT_EQ(pageThrough("list_recordings", json::object(), limits), everything);
    // Every recording has one "common text" passage and one of its own.
    EXPECT_EQ(pageThrough("search_transcripts", {{"query", "COMMON"}}, {4, 6}), everything);
}

TEST_F(Tools, TimeFiltersIncludeFromAndExcludeTo) {
    publish(3);  // 00:00, 00:01, 00:02
    for (const auto& [arguments, total] : std::vector<std::pair<json, int>>{
             {{{"from", "2026-03-01T00:01:00Z"}}, 2},
             {{{"to", "2026-03-01T00:01:00Z"}}, 1},
             {{{"from", "2026-03-01T00:01:00Z"}, {"to", "2026-03-01T00:01:00Z"}}, 0},
             {{{"from", "2026-03-01T08:01:00+08:00"}}, 2},
             {{{"from", "2026-03-01T00:00:59.999Z"}}, 2},
             {{{"from", "2026-03-01T00:01:00.001Z"}}, 1}})
        EXPECT_EQ(run("list_recordings", arguments)["total"], total) << arguments.dump();
    EXPECT_EQ(run("search_transcripts", {{"query", "common"}, {"to", "2026-03-01T00:02:00Z"}})["total"], 2);
    // A date read from a longer text ends where its view ends.
    EXPECT_EQ(arguments::parseDate(std::string_view("2026-03-01T00:01:00.5Z").substr(0, 19)), sync::parseInternetDate("2026-03-01T00:01:00"));
}

TEST_F(Tools, CursorsGoStaleWhenTheArgumentsOrTheirRecordingsChange) {
    publish(5);
    const json from = "2026-03-01T00:01:00Z";
    const json cursor = run("list_recordings", {{"limit", 2}, {"from", from}})["next_cursor"];
    const json search = run("search_transcripts", {{"limit", 2}, {"query", "common"}})["next_cursor"];
    for (const auto& [tool, arguments] : std::vector<std::pair<const char*, json>>{
             {"search_transcripts", {{"query", "common"}, {"cursor", cursor}, {"from", from}}},
             {"search_transcripts", {{"query", "other"}, {"cursor", search}}},
             {"list_recordings", {{"cursor", cursor}}},
             {"list_recordings", {{"cursor", cursor}, {"from", "2026-03-01T00:01:00+00:00"}}},
             {"list_recordings", {{"cursor", cursor}, {"from", from}, {"to", "2027-01-01T00:00:00Z"}}}})
        EXPECT_EQ(codeOfRun(tool, arguments), "stale_cursor") << arguments.dump();
    // The same arguments with another limit go on.
    EXPECT_EQ(run("list_recordings", {{"limit", 3}, {"cursor", cursor}, {"from", from}})["items"].size(), 2u);
    // A recording outside the window changes nothing; one inside does.
    recordings_.push_back(makeRecording(source_, "old", at("2026-02-01T00:00:00Z")));
    republish();
    EXPECT_EQ(codeOfRun("list_recordings", {{"cursor", cursor}, {"from", from}}), "accepted");
    recordings_.push_back(makeRecording(source_, "new", at("2026-03-02T00:00:00Z")));
    republish();
    EXPECT_EQ(codeOfRun("list_recordings", {{"cursor", cursor}, {"from", from}}), "stale_cursor");
}

TEST_F(Tools, CursorOffsetsPastTheEndAreInvalid) {
    publish(3);
    const std::string next = *base64Decode(run("list_recordings", {{"limit", 1}})["next_cursor"].get<std::string>());
    const std::string fingerprint = next.substr(0, next.rfind(':') + 1);
    json atEnd = run("list_recordings", {{"cursor", base64Encode(fingerprint + "3")}});
    EXPECT_EQ(atEnd["items"], json::array());
    EXPECT_TRUE(atEnd["next_cursor"].is_null());
    EXPECT_EQ(codeOfRun("list_recordings", {{"cursor", base64Encode(fingerprint + "4")}}), "invalid_cursor");
}

TEST_F(Tools, SearchIsALiteralCaseInsensitiveContainmentTest) {
    publish({makeRecording(source_, "first", at("2026-03-01T00:00:00Z"), {{0, 5, "xabcx and abc again"}, {5, 9, "nothing"}, {9, 12, "ABC"}}),
             makeRecording(source_, "second", at("2026-03-01T00:05:00Z"), {{1, 2, "a b c"}, {2, 3, "caf\xC3\xA9 abc"}, {3, 4, "cafe\xCC\x81"}})});
    json result = run("search_transcripts", {{"query", "ABC"}});
    // Library order (newest first), then passage order.
    EXPECT_EQ(result["total"], 3);
    EXPECT_EQ(result["items"][0]["recording_key"], recordingKey(recordings_[1]));
    EXPECT_EQ(result["items"][0]["text"], "caf\xC3\xA9 abc");
    EXPECT_EQ(result["items"][1]["text"], "xabcx and abc again");
    EXPECT_EQ(result["items"][2]["text"], "ABC");
    for (const auto& [query, total] : std::vector<std::pair<std::string, int>>{{"CAF\xC3\x89", 2}, {"cafe", 0}, {" abc", 2}, {"abc ", 1}})
        EXPECT_EQ(run("search_transcripts", {{"query", query}})["total"], total) << query;
}

TEST_F(Tools, SearchFollowsTheLibrarysCaseRule) {
    publish({makeRecording(source_, "t", at("2026-03-01T00:00:00Z"), {{0, 1, "D\xC4\xB0YARBAKIR"}})});
    for (const auto& [rule, total] : {std::pair{CaseRule::turkic, 1}, std::pair{CaseRule::standard, 0}}) {
        Library library(root(), dir_ / "cache", rule);
        library.refresh();
        EXPECT_EQ(call(library, "search_transcripts", {{"query", "diyarbak\xC4\xB1r"}})["total"], total);
    }
}

TEST_F(Tools, ExcerptsAreCutAtAThousandCharactersAndTranscriptsAreWhole) {
    // CR LF is one character; a letter and a line end are two.
    const std::string exact = repeat("e\xCC\x81", 499) + repeat("\r\n", 500) + "Z", longer = repeat("e\xCC\x81", 999) + "a\nZ";
    publish({makeRecording(source_, "long", at("2026-03-01T00:00:00Z"), {{0, 1, exact}, {1, 2, longer}})});
    json result = run("search_transcripts", {{"query", "z"}});
    EXPECT_EQ(result["items"][0]["text"], exact);
    EXPECT_EQ(result["items"][0]["excerpt_truncated"], false);
    EXPECT_EQ(result["items"][1]["text"], repeat("e\xCC\x81", 999) + "a");
    EXPECT_EQ(result["items"][1]["excerpt_truncated"], true);
    EXPECT_EQ(run("get_transcript", {{"recording_key", recordingKey(recordings_[0])}})["passages"][1]["text"], longer);
}

TEST_F(Tools, TranscriptWindowsKeepOverlappingPassagesOnly) {
    SharedRecording recording = makeRecording(source_, "window", at("2026-03-01T00:00:00Z"),
                                              {{0, 10, "0-10"}, {5, 12, "5-12"}, {19, 25, "19-25"}, {20, 30, "20-30"}});
    recording.sessionID = Uuid::random();
    publish({recording});
    const std::string key = recordingKey(recording);
    for (const auto& [window, texts] : std::vector<std::pair<json, Strings>>{
             {json::object(), {"0-10", "5-12", "19-25", "20-30"}},
             {{{"start_seconds", 10}, {"end_seconds", 20}}, {"5-12", "19-25"}},
             {{{"start_seconds", 25}}, {"20-30"}},
             {{{"end_seconds", 5}}, {"0-10"}},
             {{{"start_seconds", 15}, {"end_seconds", 15}}, {}}}) {
        json arguments = window;
        arguments["recording_key"] = key;
        EXPECT_EQ(pageThrough("get_transcript", arguments, {1, 2}), texts) << window.dump();
    }
    const json page = run("get_transcript", {{"recording_key", key}, {"limit", 3}});
    EXPECT_EQ(page["total_passages"], 4);
    EXPECT_EQ(page["session_id"], recording.sessionID->text());
    // The window is part of the cursor.
    EXPECT_EQ(codeOfRun("get_transcript", {{"recording_key", key}, {"cursor", page["next_cursor"]}, {"end_seconds", 30}}), "stale_cursor");
}

}  // namespace
}  // namespace quillmere::mcp
