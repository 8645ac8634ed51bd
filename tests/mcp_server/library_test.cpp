#include "mcp_server/library.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "mcp_server/tool_failure.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"
#include "tests/support/fake_cloud.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using sync::SharedRecording;
using sync::Uuid;
using testing::at;
using testing::makeRecording;
using testing::writeSource;

const std::string invalidData = sync::SyncFailure::invalidData().errorDescription();
const std::string notDownloaded = sync::SyncFailure::notDownloaded().errorDescription();
const std::string manifestUnreadable = "清单尚不可读，请等待下载或检查文件权限。";
const std::string recordUnreadable = "记录尚不可读，请等待下载或检查文件权限。";
const std::string listingFailed =
    "无法读取共享目录。请确认已选择 iCloud Drive 中的 AgentLibrary 文件夹，并等待系统下载。";

class LibraryRefresh : public ::testing::Test {
  protected:
    fs::path root() const { return dir_ / "AgentLibrary"; }
    fs::path sourceDir(const Uuid& id) const { return root() / id.text(); }

    Library& refreshed() {
        library_.refresh();
        return library_;
    }

    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        for (const LibraryItem& item : library_.items()) out.push_back(item.key);
        return out;
    }

    testing::TempDir dir_;
    Library library_{dir_ / "AgentLibrary", dir_ / "cache"};
    Uuid source_ = Uuid::random();
};

std::string key(const Uuid& source, const SharedRecording& recording) {
    return source.text() + "/" + recording.id.text();
}

TEST_F(LibraryRefresh, EmptyFolderHasNoPublishedSources) {
    fs::create_directories(root());
    json status = refreshed().status();
    EXPECT_EQ(status["state"], "no_published_sources");
    EXPECT_EQ(status["available_recordings"], 0);
    EXPECT_EQ(status["pending_recordings"], 0);
    EXPECT_EQ(status["issue_count"], 0);
    EXPECT_EQ(status["issues"], json::array());
    EXPECT_EQ(status["sources"], json::array());
    EXPECT_EQ(status.size(), 8u);
}

TEST_F(LibraryRefresh, UnlistableFolderIsOneFolderIssue) {
    // root() does not exist.
    json status = refreshed().status();
    EXPECT_EQ(status["issues"], json::array({{{"state", listingFailed}}}));
    EXPECT_EQ(status["state"], "incomplete");
    EXPECT_TRUE(library_.items().empty());
}

TEST_F(LibraryRefresh, LowerCaseFolderIsReadUnderCanonicalKeys) {
    std::string lower = source_.text();
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, source_.text());
    SharedRecording recording = makeRecording(source_, "standup", at("2026-03-01T09:00:00Z"));
    writeSource(root(), source_, {recording}, false, lower);

    json status = refreshed().status();
    EXPECT_EQ(status["state"], "local_snapshot_available");
    ASSERT_EQ(library_.sources().size(), 1u);
    EXPECT_EQ(library_.sources()[0], json({{"source_id", source_.text()},
                                           {"published_at", "2026-03-01T08:15:00Z"},
                                           {"recordings", 1},
                                           {"includes_audio", false}}));
    EXPECT_EQ(keys(), std::vector<std::string>{key(source_, recording)});
    EXPECT_EQ(library_.items()[0].sourceRoot, fs::canonical(root() / lower));
}

TEST_F(LibraryRefresh, NonUUIDAndHiddenNamesAreIgnoredSilently) {
    writeSource(root(), source_, {makeRecording(source_, "a", at("2026-03-01T09:00:00Z"))}, false,
                "notes");
    Uuid hidden = Uuid::random();
    writeSource(root(), hidden, {makeRecording(hidden, "b", at("2026-03-01T09:00:00Z"))}, false,
                "." + hidden.text());
    json status = refreshed().status();
    EXPECT_EQ(status["state"], "no_published_sources");
    EXPECT_EQ(status["issue_count"], 0);
}

TEST_F(LibraryRefresh, PlainFileNamedLikeUUIDIsSourceIssue) {
    testing::writeFile(sourceDir(source_), "not a folder");
    json status = refreshed().status();
    EXPECT_EQ(status["issues"],
              json::array({{{"source_id", source_.text()}, {"state", manifestUnreadable}}}));
    EXPECT_EQ(status["sources"], json::array());
    EXPECT_EQ(status["pending_recordings"], 0);
}

TEST_F(LibraryRefresh, ManifestNamingAnotherSourceIsLeftOut) {
    Uuid other = Uuid::random();
    writeSource(root(), other, {makeRecording(other, "a", at("2026-03-01T09:00:00Z"))}, false,
                source_.text());
    json status = refreshed().status();
    EXPECT_EQ(status["issues"],
              json::array({{{"source_id", source_.text()}, {"state", invalidData}}}));
    EXPECT_TRUE(library_.sources().empty());
    EXPECT_TRUE(library_.items().empty());
}

TEST_F(LibraryRefresh, UndecodableManifestIsSourceIssueWithFallbackMessage) {
    testing::writeFile(sourceDir(source_) / "manifest.json", "{\"schemaVersion\":1");
    EXPECT_EQ(refreshed().issues(),
              std::vector<json>({{{"source_id", source_.text()}, {"state", manifestUnreadable}}}));
}

TEST_F(LibraryRefresh, ManifestStillInCloudIsSourceIssueAndRequestsDownload) {
    writeSource(root(), source_, {});
    testing::FakeCloud cloud;
    cloud.setDownloadsComplete(false);
    cloud.markNotCurrent(sourceDir(source_) / "manifest.json");
    EXPECT_EQ(refreshed().issues(),
              std::vector<json>({{{"source_id", source_.text()}, {"state", notDownloaded}}}));
    EXPECT_EQ(cloud.downloadRequests().size(), 1u);
}

TEST_F(LibraryRefresh, MissingRecordFileIsPending) {
    std::vector<SharedRecording> recordings;
    for (int i = 0; i < 3; ++i)
        recordings.push_back(makeRecording(source_, "r", at("2026-03-01T09:00:00Z")));
    sync::SharedManifest manifest = writeSource(root(), source_, recordings);
    fs::remove(sourceDir(source_) / "records" / manifest.entries[1].fileName());

    json status = refreshed().status();
    EXPECT_EQ(status["available_recordings"], 2);
    EXPECT_EQ(status["pending_recordings"], 1);
    EXPECT_EQ(status["sources"][0]["recordings"], 3);
    EXPECT_EQ(status["issues"], json::array({{{"source_id", source_.text()},
                                              {"recording_id", recordings[1].id.text()},
                                              {"state", recordUnreadable}}}));
}

TEST_F(LibraryRefresh, BytesNotMatchingRevisionArePendingEvenWhenDecodedBefore) {
    SharedRecording recording = makeRecording(source_, "r", at("2026-03-01T09:00:00Z"));
    sync::SharedManifest manifest = writeSource(root(), source_, {recording});
    ASSERT_EQ(refreshed().items().size(), 1u);
    ASSERT_TRUE(library_.cachedRecords().contains(manifest.entries[0].revision));

    const fs::path file = sourceDir(source_) / "records" / manifest.entries[0].fileName();
    testing::writeFile(file, testing::readFile(file) + " ");
    refreshed();
    EXPECT_TRUE(library_.items().empty());
    EXPECT_EQ(library_.pendingCount(), 1u);
    EXPECT_EQ(library_.issues().at(0)["state"], invalidData);
    EXPECT_TRUE(library_.cachedRecords().empty());
}

TEST_F(LibraryRefresh, RecordsFailingIdentityChecksArePending) {
    // A record of another source, and a record filed under another id.
    SharedRecording good = makeRecording(source_, "good", at("2026-03-01T09:00:00Z"));
    SharedRecording foreign = makeRecording(Uuid::random(), "foreign", at("2026-03-01T09:00:00Z"));
    foreign.id = Uuid::random();
    SharedRecording renamed = makeRecording(source_, "renamed", at("2026-03-01T09:00:00Z"));
    const fs::path dir = sourceDir(source_);
    sync::SharedManifest manifest{.sourceID = source_, .publishedAt = at("2026-03-01T08:15:00Z")};
    manifest.entries.push_back(testing::writeRecord(dir, good));
    sync::SharedManifest::Entry foreignEntry = testing::writeRecord(dir, foreign);
    Uuid foreignClaimed = Uuid::random();
    fs::rename(dir / "records" / foreignEntry.fileName(),
               dir / "records" / (foreignClaimed.text() + "-" + foreignEntry.revision + ".json"));
    manifest.entries.push_back({.id = foreignClaimed, .revision = foreignEntry.revision});
    sync::SharedManifest::Entry renamedEntry = testing::writeRecord(dir, renamed);
    Uuid claimed = Uuid::random();
    fs::rename(dir / "records" / renamedEntry.fileName(),
               dir / "records" / (claimed.text() + "-" + renamedEntry.revision + ".json"));
    manifest.entries.push_back({.id = claimed, .revision = renamedEntry.revision});
    testing::writeManifest(dir, manifest);

    refreshed();
    EXPECT_EQ(keys(), std::vector<std::string>{key(source_, good)});
    EXPECT_EQ(library_.pendingCount(), 2u);
    for (const json& issue : library_.issues()) EXPECT_EQ(issue["state"], invalidData);
    // Decoded but refused: nothing of them stays cached.
    EXPECT_EQ(library_.cachedRecords().size(), 1u);
}

TEST_F(LibraryRefresh, RecordsFailingValidationArePendingAndNotCached) {
    // 600 s long: a passage may end by 601 s, and none may start before 0.
    SharedRecording edge = makeRecording(source_, "edge", at("2026-03-01T09:00:00Z"),
                                         {{.start = 0, .end = 601, .text = "ok"}});
    SharedRecording late = makeRecording(source_, "late", at("2026-03-01T09:00:00Z"),
                                         {{.start = 0, .end = 1, .text = "a"},
                                          {.start = 2, .end = 601.5, .text = "b"}});
    SharedRecording early = makeRecording(source_, "early", at("2026-03-01T09:00:00Z"),
                                          {{.start = -1, .end = 1, .text = "c"}});
    SharedRecording version = makeRecording(source_, "version", at("2026-03-01T09:00:00Z"),
                                            {{.start = 0, .end = 1, .text = "d"}});
    version.schemaVersion = 2;
    writeSource(root(), source_, {edge, late, early, version});

    refreshed();
    EXPECT_EQ(keys(), std::vector<std::string>{key(source_, edge)});
    EXPECT_EQ(library_.pendingCount(), 3u);
    for (const json& issue : library_.issues()) EXPECT_EQ(issue["state"], invalidData);
    EXPECT_EQ(library_.cachedRecords().size(), 1u);
}

TEST_F(LibraryRefresh, AudioListedUnderIncludesAudioFalseIsPending) {
    SharedRecording withAudio = makeRecording(source_, "a", at("2026-03-01T09:00:00Z"));
    withAudio.audio.push_back(testing::writeAudio(sourceDir(source_), "audio bytes", 0));
    SharedRecording plain = makeRecording(source_, "b", at("2026-03-01T09:00:00Z"));
    writeSource(root(), source_, {withAudio, plain}, false);

    json status = refreshed().status();
    EXPECT_EQ(keys(), std::vector<std::string>{key(source_, plain)});
    EXPECT_EQ(status["pending_recordings"], 1);
    EXPECT_EQ(status["issues"][0]["state"], invalidData);
    EXPECT_EQ(status["issues"][0]["recording_id"], withAudio.id.text());
    EXPECT_EQ(status["sources"].size(), 1u);
}

TEST_F(LibraryRefresh, ItemsAreNewestFirstThenByKey) {
    std::vector<SharedRecording> recordings = {
        makeRecording(source_, "old", at("2026-01-01T00:00:00Z")),
        makeRecording(source_, "tie1", at("2026-02-01T00:00:00Z")),
        makeRecording(source_, "new", at("2026-03-01T00:00:00Z")),
        makeRecording(source_, "tie2", at("2026-02-01T00:00:00Z")),
    };
    Uuid other = Uuid::random();
    SharedRecording otherTie = makeRecording(other, "tie3", at("2026-02-01T00:00:00Z"));
    writeSource(root(), source_, recordings);
    writeSource(root(), other, {otherTie});

    std::vector<std::string> ties = {key(source_, recordings[1]), key(source_, recordings[3]),
                                     key(other, otherTie)};
    std::sort(ties.begin(), ties.end());
    std::vector<std::string> expected = {key(source_, recordings[2])};
    expected.insert(expected.end(), ties.begin(), ties.end());
    expected.push_back(key(source_, recordings[0]));
    refreshed();
    EXPECT_EQ(keys(), expected);
}

TEST_F(LibraryRefresh, StatusShowsFirstHundredOfManyIssues) {
    sync::SharedManifest manifest{.sourceID = source_, .publishedAt = at("2026-03-01T08:15:00Z")};
    for (int i = 0; i < 150; ++i)
        manifest.entries.push_back({.id = Uuid::random(), .revision = std::string(64, 'a')});
    testing::writeManifest(sourceDir(source_), manifest);

    json status = refreshed().status();
    EXPECT_EQ(status["issue_count"], 150);
    EXPECT_EQ(status["pending_recordings"], 150);
    EXPECT_EQ(status["state"], "incomplete");
    ASSERT_EQ(status["issues"].size(), 100u);
    for (std::size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(status["issues"][i]["recording_id"], manifest.entries[i].id.text());
    }
}

TEST_F(LibraryRefresh, IssuesKeepTheOrderFound) {
    // Sources sorted by folder name; entries in manifest order, enough of them
    // that the records are read by several workers.
    std::vector<Uuid> ids;
    for (int i = 0; i < 3; ++i) ids.push_back(Uuid::random());
    std::sort(ids.begin(), ids.end(),
              [](const Uuid& a, const Uuid& b) { return a.text() < b.text(); });

    std::vector<SharedRecording> first;
    for (int i = 0; i < 40; ++i)
        first.push_back(makeRecording(ids[0], "r", at("2026-03-01T09:00:00Z")));
    sync::SharedManifest manifest = writeSource(root(), ids[0], first);
    for (int i : {3, 17, 31})
        fs::remove(sourceDir(ids[0]) / "records" / manifest.entries[i].fileName());
    testing::writeFile(sourceDir(ids[1]) / "manifest.json", "[]");
    SharedRecording last = makeRecording(ids[2], "r", at("2026-03-01T09:00:00Z"));
    sync::SharedManifest lastManifest = writeSource(root(), ids[2], {last});
    fs::remove(sourceDir(ids[2]) / "records" / lastManifest.entries[0].fileName());

    refreshed();
    std::vector<json> expected;
    for (int i : {3, 17, 31}) {
        expected.push_back({{"source_id", ids[0].text()},
                            {"recording_id", first[i].id.text()},
                            {"state", recordUnreadable}});
    }
    expected.push_back({{"source_id", ids[1].text()}, {"state", manifestUnreadable}});
    expected.push_back({{"source_id", ids[2].text()},
                        {"recording_id", last.id.text()},
                        {"state", recordUnreadable}});
    EXPECT_EQ(library_.issues(), expected);
    EXPECT_EQ(library_.items().size(), 37u);
}

TEST_F(LibraryRefresh, SecondSpellingOfSameSourceIsReportedNotRead) {
    std::string lower = source_.text();
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    SharedRecording a = makeRecording(source_, "upper", at("2026-03-01T09:00:00Z"));
    SharedRecording b = makeRecording(source_, "lower", at("2026-03-01T10:00:00Z"));
    writeSource(root(), source_, {a});
    writeSource(root(), source_, {b}, false, lower);

    json status = refreshed().status();
    // Upper-case digits sort before lower-case ones, so the canonical spelling is read.
    EXPECT_EQ(keys(), std::vector<std::string>{key(source_, a)});
    EXPECT_EQ(status["sources"].size(), 1u);
    EXPECT_EQ(status["issues"],
              json::array({{{"source_id", source_.text()}, {"state", invalidData}}}));
}

TEST_F(LibraryRefresh, RecordLinkLeadingOutOfTheFolderIsNeverServed) {
    SharedRecording recording = makeRecording(source_, "secret", at("2026-03-01T09:00:00Z"));
    sync::SharedManifest manifest = writeSource(root(), source_, {recording});
    const fs::path file = sourceDir(source_) / "records" / manifest.entries[0].fileName();
    const fs::path outside = dir_ / "outside.json";
    fs::rename(file, outside);
    fs::create_symlink(outside, file);

    json status = refreshed().status();
    EXPECT_TRUE(library_.items().empty());
    EXPECT_EQ(status["issues"][0]["state"], invalidData);
    EXPECT_EQ(status["pending_recordings"], 1);
}

TEST_F(LibraryRefresh, UnchangedFilesAreNotDecodedAgain) {
    SharedRecording recording = makeRecording(source_, "r", at("2026-03-01T09:00:00Z"));
    writeSource(root(), source_, {recording});
    std::shared_ptr<const IndexedRecording> first = refreshed().items().at(0).recording;
    std::shared_ptr<const IndexedRecording> second = refreshed().items().at(0).recording;
    // Had the second refresh decoded, it would hold a new object while the
    // first is still alive.
    EXPECT_EQ(first, second);
}

TEST_F(LibraryRefresh, RepublishedRevisionLeavesTheCache) {
    SharedRecording recording = makeRecording(source_, "draft", at("2026-03-01T09:00:00Z"));
    sync::SharedManifest before = writeSource(root(), source_, {recording});
    refreshed();
    recording.name = "final";
    sync::SharedManifest after = writeSource(root(), source_, {recording});
    ASSERT_NE(before.entries[0].revision, after.entries[0].revision);

    refreshed();
    EXPECT_EQ(library_.items().at(0).record().name, "final");
    EXPECT_EQ(library_.items().at(0).revision, after.entries[0].revision);
    EXPECT_FALSE(library_.cachedRecords().contains(before.entries[0].revision));
    EXPECT_TRUE(library_.cachedRecords().contains(after.entries[0].revision));
}

TEST_F(LibraryRefresh, RefreshReplacesTheWholeSnapshot) {
    SharedRecording recording = makeRecording(source_, "r", at("2026-03-01T09:00:00Z"));
    writeSource(root(), source_, {recording});
    const sync::Instant constructed = library_.checkedAt();
    refreshed();
    EXPECT_GE(library_.checkedAt(), constructed);
    fs::remove_all(sourceDir(source_));
    json status = refreshed().status();
    EXPECT_EQ(status["state"], "no_published_sources");
    EXPECT_TRUE(library_.items().empty());
    EXPECT_TRUE(library_.cachedRecords().empty());
}

TEST(LibraryItem, LooksUpExactKeyOnly) {
    testing::TempDir dir;
    Uuid source = Uuid::random();
    SharedRecording recording = makeRecording(source, "r", at("2026-03-01T09:00:00Z"));
    writeSource(dir.path(), source, {recording});
    Library library(dir.path(), dir / "cache");
    library.refresh();
    const std::string k = key(source, recording);
    EXPECT_EQ(library.item(k).record().id, recording.id);

    std::string lower = k;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& wrong : {lower, k + " ", std::string()}) {
        try {
            library.item(wrong);
            ADD_FAILURE() << wrong;
        } catch (const ToolFailure& failure) {
            EXPECT_EQ(failure.code(), "recording_not_available");
            EXPECT_EQ(failure.message(), "录音不在当前可读清单中；请先查看 get_sync_status。");
        }
    }
}

}  // namespace
}  // namespace quillmere::mcp
