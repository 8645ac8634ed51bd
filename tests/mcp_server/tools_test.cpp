#include "mcp_server/tools.h"

#include <gtest/gtest.h>

#include "mcp_server/cursor.h"
#include "mcp_server/tool_failure.h"
#include "sync_core/sync_format.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using sync::SharedPassage;
using sync::SharedRecording;
using sync::Uuid;
using testing::at;
using testing::makeRecording;

const std::string fullStop = "。";
std::string missing(const std::string& name) {
    return "缺少有效的 " + name + fullStop;
}
std::string notFinite(const std::string& name) {
    return name + " 必须是有限数值。";
}
std::string outOfRange(const std::string& name) {
    return name + " 超出允许范围。";
}
std::string needsZone(const std::string& name) {
    return name + " 请使用带时区的 ISO 8601 时间。";
}
const std::string unsupported = "存在不支持的参数。";
const std::string fromAfterTo = "from 必须早于 to。";
const std::string queryTooLong = "搜索词过长。";
const std::string badWindow = "时间范围无效。";
const std::string badCursor = "分页游标无效。";
const std::string staleCursor = "数据或查询条件已变化，请从第一页重新读取。";
const std::string pastTheEnd = "分页位置无效。";
const std::string notAvailable = "录音不在当前可读清单中；请先查看 get_sync_status。";

std::string repeat(std::string_view unit, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += unit;
    return out;
}

class Tools : public ::testing::Test {
  protected:
    fs::path root() const { return dir_ / "AgentLibrary"; }

    // count recordings one minute apart from 2026-03-01T00:00:00Z, oldest
    // first, each with passages "passage <i>" and "common text".
    void publish(int count, bool includesAudio = false) {
        for (int i = 0; i < count; ++i) {
            SharedRecording recording =
                makeRecording(source_, "recording " + std::to_string(i),
                              at("2026-03-01T00:00:00Z") + std::chrono::minutes(i),
                              {{0, 10, "passage " + std::to_string(i)}, {10, 20, "common text"}});
            recordings_.push_back(recording);
        }
        republish(includesAudio);
    }
    void republish(bool includesAudio = false) {
        testing::writeSource(root(), source_, recordings_, includesAudio);
    }

    json run(std::string_view tool, const json& arguments = json::object()) {
        library_.refresh();
        return call(library_, tool, arguments);
    }

    void expectFailure(std::string_view tool, const json& arguments, const std::string& code,
                       const std::string& message) {
        try {
            run(tool, arguments);
            ADD_FAILURE() << tool << " " << arguments.dump() << " accepted";
        } catch (const ToolFailure& failure) {
            EXPECT_EQ(failure.code(), code) << tool << " " << arguments.dump();
            EXPECT_EQ(failure.message(), message) << tool << " " << arguments.dump();
        }
    }

    std::vector<std::string> libraryKeys() const {
        std::vector<std::string> keys;
        for (const LibraryItem& item : library_.items()) keys.push_back(item.key);
        return keys;
    }

    std::string keyOf(const SharedRecording& recording) const {
        return source_.text() + "/" + recording.id.text();
    }

    // Follows next_cursor to the end with the given limits, one per page,
    // the last one repeated; returns the "recording_key" of every item.
    std::vector<std::string> pageThrough(std::string_view tool, json arguments,
                                         const std::vector<int>& limits) {
        std::vector<std::string> seen;
        for (std::size_t pageIndex = 0;; ++pageIndex) {
            arguments["limit"] = limits[std::min(pageIndex, limits.size() - 1)];
            json result = run(tool, arguments);
            const json& items = tool == "get_transcript" ? result["passages"] : result["items"];
            for (const json& item : items) {
                seen.push_back(item.contains("recording_key")
                                   ? item["recording_key"].get<std::string>()
                                   : item["text"].get<std::string>());
            }
            if (result["next_cursor"].is_null()) break;
            arguments["cursor"] = result["next_cursor"];
            if (pageIndex > 1000) {
                ADD_FAILURE() << "paging does not end";
                break;
            }
        }
        return seen;
    }

    testing::TempDir dir_;
    Uuid source_ = Uuid::random();
    std::vector<SharedRecording> recordings_;
    Library library_{dir_ / "AgentLibrary", dir_ / "cache"};
};

TEST_F(Tools, ArgumentErrorsCarryTheirExactMessages) {
    publish(1);
    library_.refresh();
    const std::string key = library_.items().at(0).key;
    std::string lowerKey = key;
    for (char& c : lowerKey) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    struct Row {
        const char* tool;
        json arguments;
        std::string code;
        std::string message;
    };
    const std::vector<Row> rows = {
        // Unknown names come first, whatever else is wrong.
        {"get_sync_status", {{"limit", 20}}, "invalid_argument", unsupported},
        {"list_recordings", {{"foo", 1}, {"limit", 0}}, "invalid_argument", unsupported},
        {"get_transcript", {{"foo", 1}}, "invalid_argument", unsupported},
        {"get_transcript",
         {{"from", "2026-03-01T00:00:00Z"}, {"recording_key", key}},
         "invalid_argument",
         unsupported},
        {"get_audio", {{"recording_key", key}, {"cursor", "x"}}, "invalid_argument", unsupported},
        {"search_transcripts", {{"query", "x"}, {"Query", "x"}}, "invalid_argument", unsupported},
        // limit
        {"list_recordings", {{"limit", 0}}, "invalid_argument", outOfRange("limit")},
        {"list_recordings", {{"limit", 101}}, "invalid_argument", outOfRange("limit")},
        {"list_recordings", {{"limit", 2.5}}, "invalid_argument", outOfRange("limit")},
        {"list_recordings", {{"limit", -1}}, "invalid_argument", outOfRange("limit")},
        {"list_recordings", {{"limit", "20"}}, "invalid_argument", notFinite("limit")},
        {"list_recordings", {{"limit", true}}, "invalid_argument", notFinite("limit")},
        {"list_recordings", {{"limit", nullptr}}, "invalid_argument", notFinite("limit")},
        {"get_transcript", {{"limit", 0}}, "invalid_argument", outOfRange("limit")},
        // from / to
        {"list_recordings",
         {{"from", "2026-03-01T00:00:00"}},
         "invalid_argument",
         needsZone("from")},
        {"list_recordings", {{"to", "2026-03-01"}}, "invalid_argument", needsZone("to")},
        {"list_recordings", {{"to", "2026-02-30T00:00:00Z"}}, "invalid_argument", needsZone("to")},
        {"list_recordings", {{"from", 1772323200}}, "invalid_argument", missing("from")},
        {"list_recordings", {{"to", " \n"}}, "invalid_argument", missing("to")},
        {"search_transcripts",
         {{"from", "2026-03-02T00:00:00Z"}, {"to", "2026-03-01T00:00:00Z"}},
         "invalid_argument",
         fromAfterTo},
        {"list_recordings",
         {{"from", "2026-03-01T08:00:00.5+08:00"}, {"to", "2026-03-01T00:00:00Z"}},
         "invalid_argument",
         fromAfterTo},
        // query
        {"search_transcripts", json::object(), "invalid_argument", missing("query")},
        {"search_transcripts", {{"query", "\t \n"}}, "invalid_argument", missing("query")},
        {"search_transcripts", {{"query", 5}}, "invalid_argument", missing("query")},
        {"search_transcripts", {{"query", repeat("a", 501)}}, "invalid_argument", queryTooLong},
        {"search_transcripts",
         {{"query", repeat("e\xCC\x81", 501)}},
         "invalid_argument",
         queryTooLong},
        // recording_key
        {"get_transcript", json::object(), "invalid_argument", missing("recording_key")},
        {"get_transcript", {{"recording_key", "  "}}, "invalid_argument", missing("recording_key")},
        {"get_transcript", {{"recording_key", lowerKey}}, "recording_not_available", notAvailable},
        {"get_audio", json::object(), "invalid_argument", missing("recording_key")},
        {"get_audio",
         {{"recording_key", lowerKey}, {"track", 99}},
         "recording_not_available",
         notAvailable},
        // window
        {"get_transcript",
         {{"recording_key", key}, {"start_seconds", 30}, {"end_seconds", 10}},
         "invalid_argument",
         badWindow},
        {"get_transcript",
         {{"recording_key", key}, {"start_seconds", -1}},
         "invalid_argument",
         badWindow},
        {"get_transcript",
         {{"recording_key", key}, {"start_seconds", "1"}},
         "invalid_argument",
         notFinite("start_seconds")},
        {"get_transcript",
         {{"recording_key", key}, {"end_seconds", false}},
         "invalid_argument",
         notFinite("end_seconds")},
        // track
        {"get_audio",
         {{"recording_key", key}, {"track", 33}},
         "invalid_argument",
         outOfRange("track")},
        {"get_audio",
         {{"recording_key", key}, {"track", 1.5}},
         "invalid_argument",
         outOfRange("track")},
        {"get_audio",
         {{"recording_key", key}, {"track", -1}},
         "invalid_argument",
         outOfRange("track")},
        {"get_audio",
         {{"recording_key", key}, {"track", "0"}},
         "invalid_argument",
         notFinite("track")},
        // cursor
        {"list_recordings", {{"cursor", ""}}, "invalid_argument", missing("cursor")},
        {"list_recordings", {{"cursor", "%%%%"}}, "invalid_cursor", badCursor},
        {"get_transcript",
         {{"recording_key", key}, {"cursor", base64Encode("x:1")}},
         "stale_cursor",
         staleCursor},
    };
    for (const Row& row : rows) expectFailure(row.tool, row.arguments, row.code, row.message);
}

TEST_F(Tools, BoundaryArgumentsAreAccepted) {
    publish(1);
    library_.refresh();
    const std::string key = library_.items().at(0).key;
    EXPECT_NO_THROW(run("list_recordings", {{"limit", 100}}));
    EXPECT_NO_THROW(run("list_recordings", {{"limit", 1.0}}));
    EXPECT_NO_THROW(run("search_transcripts", {{"query", repeat("a", 500)}}));
    EXPECT_NO_THROW(run("search_transcripts", {{"query", repeat("e\xCC\x81", 500)}}));
    EXPECT_EQ(run("get_audio", {{"recording_key", key}, {"track", 32}})["state"], "not_shared");
    EXPECT_EQ(run("get_audio", {{"recording_key", key}})["state"], "not_shared");
    EXPECT_EQ(run("get_sync_status"), library_.status());
}

TEST_F(Tools, ListWithoutArgumentsGivesTheTwentyNewest) {
    publish(25);
    json result = run("list_recordings");
    EXPECT_EQ(result["total"], 25);
    EXPECT_TRUE(result["next_cursor"].is_string());
    EXPECT_EQ(result["sync"], library_.status());
    ASSERT_EQ(result["items"].size(), 20u);
    std::vector<std::string> keys = libraryKeys();
    for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(result["items"][i]["recording_key"], keys[i]);

    const SharedRecording& newest = recordings_.back();
    EXPECT_EQ(result["items"][0], json({{"recording_key", keyOf(newest)},
                                        {"name", newest.name},
                                        {"recorded_at", "2026-03-01T00:24:00Z"},
                                        {"duration_seconds", 600.0},
                                        {"session_id", nullptr},
                                        {"transcript_complete", true},
                                        {"passage_count", 2},
                                        {"shared_audio_tracks", 0},
                                        {"source_published_at", "2026-03-01T08:15:00Z"}}));
}

TEST_F(Tools, PagingVisitsEverythingOnceWhateverTheLimits) {
    publish(23);
    library_.refresh();
    const std::vector<std::string> everything = libraryKeys();
    for (const std::vector<int>& limits :
         std::vector<std::vector<int>>{{1}, {7}, {23}, {100}, {5, 1, 9, 2}, {22, 1}, {3, 100}}) {
        EXPECT_EQ(pageThrough("list_recordings", json::object(), limits), everything);
    }
    // Every recording has one "common text" passage and one of its own.
    std::vector<std::string> searched =
        pageThrough("search_transcripts", {{"query", "COMMON"}}, {4, 6});
    EXPECT_EQ(searched, everything);
}

TEST_F(Tools, CursorIsBase64OfFingerprintAndOffset) {
    publish(3);
    json result =
        run("list_recordings",
            {{"limit", 2}, {"to", "2026-03-01T00:02:00Z"}, {"from", "2026-03-01T00:00:00Z"}});
    // Filtered: the two older recordings, newest first.
    std::string revisions;
    for (const LibraryItem& item : library_.items()) {
        if (item.record().createdAt < at("2026-03-01T00:02:00Z")) revisions += item.revision;
    }
    ASSERT_EQ(result["total"], 2);
    EXPECT_TRUE(result["next_cursor"].is_null());
    result = run("list_recordings",
                 {{"limit", 1}, {"to", "2026-03-01T00:02:00Z"}, {"from", "2026-03-01T00:00:00Z"}});
    const std::string fingerprint =
        sync::SyncFormat::digest(revisions + "||2026-03-01T00:00:00Z|2026-03-01T00:02:00Z");
    EXPECT_EQ(result["next_cursor"], base64Encode(fingerprint + ":1"));

    library_.refresh();
    const LibraryItem& item = library_.items().at(0);
    json transcript = run("get_transcript", {{"recording_key", item.key}, {"limit", 1}});
    EXPECT_EQ(transcript["next_cursor"],
              base64Encode(sync::SyncFormat::digest(item.revision + "|0.0|600.0") + ":1"));
    transcript = run("get_transcript", {{"recording_key", item.key},
                                        {"limit", 1},
                                        {"start_seconds", 0.5},
                                        {"end_seconds", 12.25}});
    EXPECT_EQ(transcript["next_cursor"],
              base64Encode(sync::SyncFormat::digest(item.revision + "|0.5|12.25") + ":1"));
}

TEST_F(Tools, TimeFiltersIncludeFromAndExcludeTo) {
    publish(3);  // 00:00, 00:01, 00:02
    auto total = [&](json arguments) {
        return run("list_recordings", arguments)["total"].get<int>();
    };
    EXPECT_EQ(total({{"from", "2026-03-01T00:01:00Z"}}), 2);
    EXPECT_EQ(total({{"to", "2026-03-01T00:01:00Z"}}), 1);
    EXPECT_EQ(total({{"from", "2026-03-01T00:01:00Z"}, {"to", "2026-03-01T00:01:00Z"}}), 0);
    EXPECT_EQ(total({{"from", "2026-03-01T08:01:00+08:00"}}), 2);
    EXPECT_EQ(total({{"from", "2026-03-01T00:00:59.999Z"}}), 2);
    EXPECT_EQ(total({{"from", "2026-03-01T00:01:00.001Z"}}), 1);
    EXPECT_EQ(
        run("search_transcripts", {{"query", "common"}, {"to", "2026-03-01T00:02:00Z"}})["total"],
        2);
}

TEST_F(Tools, StaleCursorsAreRefused) {
    publish(5);
    const json first = run("list_recordings", {{"limit", 2}, {"from", "2026-03-01T00:01:00Z"}});
    const json cursor = first["next_cursor"];
    ASSERT_TRUE(cursor.is_string());
    const json search = run("search_transcripts", {{"limit", 2}, {"query", "common"}});

    expectFailure("search_transcripts",
                  {{"query", "common"}, {"cursor", cursor}, {"from", "2026-03-01T00:01:00Z"}},
                  "stale_cursor", staleCursor);
    expectFailure("search_transcripts", {{"query", "other"}, {"cursor", search["next_cursor"]}},
                  "stale_cursor", staleCursor);
    expectFailure("list_recordings", {{"cursor", cursor}}, "stale_cursor", staleCursor);
    expectFailure("list_recordings", {{"cursor", cursor}, {"from", "2026-03-01T00:01:00+00:00"}},
                  "stale_cursor", staleCursor);
    expectFailure(
        "list_recordings",
        {{"cursor", cursor}, {"from", "2026-03-01T00:01:00Z"}, {"to", "2027-01-01T00:00:00Z"}},
        "stale_cursor", staleCursor);
    // The same arguments with another limit go on.
    EXPECT_EQ(run("list_recordings",
                  {{"limit", 3}, {"cursor", cursor}, {"from", "2026-03-01T00:01:00Z"}})["items"]
                  .size(),
              2u);

    // A recording outside the window changes nothing; one inside does.
    recordings_.push_back(makeRecording(source_, "old", at("2026-02-01T00:00:00Z")));
    republish();
    EXPECT_NO_THROW(run("list_recordings", {{"cursor", cursor}, {"from", "2026-03-01T00:01:00Z"}}));
    recordings_.push_back(makeRecording(source_, "new", at("2026-03-02T00:00:00Z")));
    republish();
    expectFailure("list_recordings", {{"cursor", cursor}, {"from", "2026-03-01T00:01:00Z"}},
                  "stale_cursor", staleCursor);
}

TEST_F(Tools, CursorOffsetsPastTheEndAreInvalid) {
    publish(3);
    library_.refresh();
    std::string revisions;
    for (const LibraryItem& item : library_.items()) revisions += item.revision;
    const std::string fingerprint = sync::SyncFormat::digest(revisions + "|||");
    json atEnd = run("list_recordings", {{"cursor", base64Encode(fingerprint + ":3")}});
    EXPECT_EQ(atEnd["items"], json::array());
    EXPECT_EQ(atEnd["total"], 3);
    EXPECT_TRUE(atEnd["next_cursor"].is_null());
    expectFailure("list_recordings", {{"cursor", base64Encode(fingerprint + ":4")}},
                  "invalid_cursor", pastTheEnd);
}

TEST_F(Tools, SearchIsALiteralCaseInsensitiveContainmentTest) {
    recordings_ = {
        makeRecording(source_, "first", at("2026-03-01T00:00:00Z"),
                      {{0, 5, "xabcx and abc again"}, {5, 9, "nothing"}, {9, 12, "ABC"}}),
        makeRecording(source_, "second", at("2026-03-01T00:05:00Z"),
                      {{1, 2, "a b c"}, {2, 3, "caf\xC3\xA9 abc"}, {3, 4, "cafe\xCC\x81"}})};
    republish();
    json result = run("search_transcripts", {{"query", "ABC"}});
    EXPECT_EQ(result["total"], 3);
    ASSERT_EQ(result["items"].size(), 3u);
    // Library order (newest first), then passage order.
    EXPECT_EQ(result["items"][0], json({{"recording_key", keyOf(recordings_[1])},
                                        {"name", "second"},
                                        {"recorded_at", "2026-03-01T00:05:00Z"},
                                        {"start_seconds", 2.0},
                                        {"end_seconds", 3.0},
                                        {"text", "caf\xC3\xA9 abc"},
                                        {"excerpt_truncated", false},
                                        {"transcript_complete", true}}));
    EXPECT_EQ(result["items"][1]["text"], "xabcx and abc again");
    EXPECT_EQ(result["items"][2]["text"], "ABC");

    EXPECT_EQ(run("search_transcripts", {{"query", "CAF\xC3\x89"}})["total"], 2);
    EXPECT_EQ(run("search_transcripts", {{"query", "cafe"}})["total"], 0);
    EXPECT_EQ(run("search_transcripts", {{"query", " abc"}})["total"], 2);
    EXPECT_EQ(run("search_transcripts", {{"query", "abc "}})["total"], 1);
}

TEST_F(Tools, SearchFollowsTheLibrarysCaseRule) {
    recordings_ = {
        makeRecording(source_, "t", at("2026-03-01T00:00:00Z"), {{0, 1, "D\xC4\xB0YARBAKIR"}})};
    republish();
    Library turkish(root(), dir_ / "cache", CaseRule::turkic);
    turkish.refresh();
    EXPECT_EQ(call(turkish, "search_transcripts", {{"query", "diyarbak\xC4\xB1r"}})["total"], 1);
    Library other(root(), dir_ / "cache", CaseRule::standard);
    other.refresh();
    EXPECT_EQ(call(other, "search_transcripts", {{"query", "diyarbak\xC4\xB1r"}})["total"], 0);
}

TEST_F(Tools, ExcerptsAreCutAtAThousandCharacters) {
    const std::string exact = repeat("e\xCC\x81", 999) + "Z";
    const std::string longer = repeat("e\xCC\x81", 1000) + "Z";
    recordings_ = {makeRecording(source_, "long", at("2026-03-01T00:00:00Z"),
                                 {{0, 1, exact}, {1, 2, longer}})};
    republish();
    json result = run("search_transcripts", {{"query", "z"}});
    ASSERT_EQ(result["total"], 2);
    EXPECT_EQ(result["items"][0]["text"], exact);
    EXPECT_EQ(result["items"][0]["excerpt_truncated"], false);
    EXPECT_EQ(result["items"][1]["text"], repeat("e\xCC\x81", 1000));
    EXPECT_EQ(result["items"][1]["excerpt_truncated"], true);
    // get_transcript returns whole passages.
    json transcript = run("get_transcript", {{"recording_key", keyOf(recordings_[0])}});
    EXPECT_EQ(transcript["passages"][1]["text"], longer);
}

TEST_F(Tools, TranscriptWindowsKeepOverlappingPassagesOnly) {
    SharedRecording recording = makeRecording(source_, "window", at("2026-03-01T00:00:00Z"),
                                              {{0, 10, "zero to ten"},
                                               {5, 12, "five to twelve"},
                                               {19, 25, "nineteen to twenty-five"},
                                               {20, 30, "twenty to thirty"}});
    recording.sessionID = Uuid::random();
    recording.locale = "zh-Hans";
    recording.transcriptComplete = false;
    recordings_ = {recording};
    republish();
    const std::string key = keyOf(recording);

    auto texts = [&](json arguments) {
        arguments["recording_key"] = key;
        std::vector<std::string> out;
        const json result = run("get_transcript", arguments);
        for (const json& passage : result["passages"]) out.push_back(passage["text"]);
        return out;
    };
    EXPECT_EQ(texts(json::object()).size(), 4u);
    EXPECT_EQ(texts({{"start_seconds", 10}, {"end_seconds", 20}}),
              (std::vector<std::string>{"five to twelve", "nineteen to twenty-five"}));
    EXPECT_EQ(texts({{"start_seconds", 25}}), std::vector<std::string>{"twenty to thirty"});
    EXPECT_EQ(texts({{"end_seconds", 5}}), std::vector<std::string>{"zero to ten"});

    json empty =
        run("get_transcript", {{"recording_key", key}, {"start_seconds", 15}, {"end_seconds", 15}});
    EXPECT_EQ(empty["passages"], json::array());
    EXPECT_EQ(empty["total_passages"], 0);
    EXPECT_TRUE(empty["next_cursor"].is_null());

    json page = run("get_transcript", {{"recording_key", key}, {"limit", 3}});
    EXPECT_EQ(page.size(), 10u);
    EXPECT_EQ(page["total_passages"], 4);
    EXPECT_EQ(page["passages"][0],
              json({{"start_seconds", 0.0}, {"end_seconds", 10.0}, {"text", "zero to ten"}}));
    EXPECT_EQ(page["session_id"], recording.sessionID->text());
    EXPECT_EQ(page["locale"], "zh-Hans");
    EXPECT_EQ(page["transcript_complete"], false);
    EXPECT_EQ(page["name"], "window");
    EXPECT_EQ(page["recorded_at"], "2026-03-01T00:00:00Z");
    EXPECT_EQ(page["source_published_at"], "2026-03-01T08:15:00Z");

    EXPECT_EQ(pageThrough("get_transcript", {{"recording_key", key}}, {1, 2}),
              (std::vector<std::string>{"zero to ten", "five to twelve", "nineteen to twenty-five",
                                        "twenty to thirty"}));
    // The window is part of the cursor.
    expectFailure("get_transcript",
                  {{"recording_key", key}, {"cursor", page["next_cursor"]}, {"end_seconds", 30}},
                  "stale_cursor", staleCursor);
}

TEST_F(Tools, GetAudioReturnsTheLibrarysAudioObject) {
    recordings_ = {makeRecording(source_, "with audio", at("2026-03-01T00:00:00Z"))};
    recordings_[0].audio.push_back(
        testing::writeAudio(root() / source_.text(), "wave bytes", 3, "wav"));
    republish(true);
    json result = run("get_audio", {{"recording_key", keyOf(recordings_[0])}, {"track", 3.0}});
    EXPECT_EQ(result["state"], "available");
    EXPECT_EQ(result["mime_type"], "audio/wav");
    EXPECT_EQ(result["track"], 3);
    EXPECT_EQ(run("list_recordings")["items"][0]["shared_audio_tracks"], 1);
}

}  // namespace
}  // namespace quillmere::mcp
