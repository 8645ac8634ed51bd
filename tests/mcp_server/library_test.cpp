#include "mcp_server/library.h"

#include <gtest/gtest.h>

#include <filesystem>

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
using testing::recordingKey;
using testing::writeSource;
using Strings = std::vector<std::string>;

const std::string invalidData = sync::SyncFailure::invalidData().errorDescription();
const std::string manifestUnreadable = "清单尚不可读，请等待下载或检查文件权限。";
const std::string recordUnreadable = "记录尚不可读，请等待下载或检查文件权限。";

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class LibraryRefresh : public ::testing::Test {
  protected:
    fs::path root() const { return dir_ / "AgentLibrary"; }
    fs::path sourceDir(const Uuid& id) const { return root() / id.text(); }
    SharedRecording recording(std::string name = "r", std::optional<Uuid> source = {}) const {
        return testing::makeRecording(source.value_or(source_), std::move(name), at("2026-03-01T09:00:00Z"));
    }
    json refreshedStatus() {
        library_.refresh();
        return library_.status();
    }
    Strings keys() const {
        Strings out;
        for (const LibraryItem& item : library_.items()) out.push_back(item.key);
        return out;
    }
    json sourceIssue(const std::string& state) const { return {{"source_id", source_.text()}, {"state", state}}; }
    json recordIssue(const SharedRecording& r, const std::string& state) const {
        return {{"source_id", r.sourceID.text()}, {"recording_id", r.id.text()}, {"state", state}};
    }

    testing::TempDir dir_;
    Library library_{dir_ / "AgentLibrary", dir_ / "cache"};
    Uuid source_ = Uuid::random();
};

// An empty folder is quillmere_mcp_test's (StatusPrintsOneJSONObjectLine).
TEST_F(LibraryRefresh, TheStateSaysWhetherAnythingIsPublishedOrWrong) {
    // Names that are not a source's are ignored silently, hidden ones too.
    writeSource(root(), source_, {recording()}, false, "notes");
    writeSource(root(), source_, {recording()}, false, "." + source_.text());
    json status = refreshedStatus();
    EXPECT_EQ(status["state"], "no_published_sources");
    EXPECT_EQ(status["issues"], json::array());
    fs::remove_all(root());
    status = refreshedStatus();
    EXPECT_EQ(status["state"], "incomplete");
    EXPECT_EQ(status["issues"], json::array({{{"state", "无法读取共享目录。请确认已选择 iCloud Drive 中的 AgentLibrary 文件夹，并等待系统下载。"}}}));
}

TEST_F(LibraryRefresh, ALowerCaseFolderIsReadUnderCanonicalKeysUnlessBothSpellingsAreThere) {
    SharedRecording upper = recording("upper"), lower = recording("lower");
    writeSource(root(), source_, {upper});
    writeSource(root(), source_, {lower}, false, lowerCase(source_.text()));
    json status = refreshedStatus();
    // Upper-case digits sort before lower-case ones, so the canonical spelling is read.
    EXPECT_EQ(keys(), Strings{recordingKey(upper)});
    EXPECT_EQ(status["sources"].size(), 1u);
    EXPECT_EQ(status["issues"], json::array({sourceIssue(invalidData)}));
    fs::remove_all(sourceDir(source_));
    status = refreshedStatus();
    EXPECT_EQ(status["sources"], json::array({{{"source_id", source_.text()}, {"published_at", "2026-03-01T08:15:00Z"}, {"recordings", 1}, {"includes_audio", false}}}));
    EXPECT_EQ(keys(), Strings{recordingKey(lower)});
    EXPECT_EQ(library_.items()[0].sourceRoot, fs::canonical(root() / lowerCase(source_.text())));
}

// A source whose manifest cannot be used is one issue, and none of it is served.
TEST_F(LibraryRefresh, AnUnusableManifestIsOneSourceIssue) {
    const std::vector<std::pair<std::function<void()>, std::string>> rows = {
        {[&] { testing::writeFile(sourceDir(source_), "not a folder"); }, manifestUnreadable},
        {[&] { testing::writeFile(sourceDir(source_) / "manifest.json", "{\"schemaVersion\":1"); }, manifestUnreadable},
        {[&] { Uuid other = Uuid::random(); writeSource(root(), other, {recording("a", other)}, false, source_.text()); }, invalidData},
    };
    for (const auto& [breakSource, state] : rows) {
        fs::remove_all(root());
        breakSource();
        json status = refreshedStatus();
        EXPECT_EQ(status["issues"], json::array({sourceIssue(state)})) << state;
        EXPECT_EQ(status["sources"], json::array());
        EXPECT_EQ(status["pending_recordings"], 0);
        EXPECT_TRUE(library_.items().empty());
    }
}

TEST_F(LibraryRefresh, AManifestStillInTheCloudIsRequested) {
    writeSource(root(), source_, {});
    testing::FakeCloud cloud;
    cloud.setDownloadsComplete(false);
    cloud.markNotCurrent(sourceDir(source_) / "manifest.json");
    EXPECT_EQ(refreshedStatus()["issues"], json::array({sourceIssue(sync::SyncFailure::notDownloaded().errorDescription())}));
    EXPECT_EQ(cloud.downloadRequests().size(), 1u);
}

// Records that fail a check are pending, with an issue each, and are not kept decoded.
TEST_F(LibraryRefresh, RecordsFailingAnyCheckArePending) {
    SharedRecording good = testing::makeRecording(source_, "edge", at("2026-03-01T09:00:00Z"), {{.start = 0, .end = 601, .text = "ends by duration + 1 s"}});
    SharedRecording late = testing::makeRecording(source_, "late", at("2026-03-01T09:00:00Z"), {{0, 1, "a"}, {2, 601.5, "b"}});
    SharedRecording early = testing::makeRecording(source_, "early", at("2026-03-01T09:00:00Z"), {{-1, 1, "c"}});
    SharedRecording version = recording("version"), foreign = recording("foreign", Uuid::random()), renamed = recording("renamed"),
                    withAudio = recording("audio"), missing = recording("missing");
    version.schemaVersion = 2;
    withAudio.audio.push_back(testing::writeAudio(sourceDir(source_), "audio bytes", 0));
    sync::SharedManifest manifest = writeSource(root(), source_, {good, late, early, version, foreign, renamed, withAudio, missing}, false);
    // Filed under another recording's id.
    const Uuid claimed = Uuid::random();
    fs::rename(sourceDir(source_) / "records" / manifest.entries[5].fileName(), sourceDir(source_) / "records" / (claimed.text() + "-" + manifest.entries[5].revision + ".json"));
    manifest.entries[5].id = claimed;
    testing::writeManifest(sourceDir(source_), manifest);
    fs::remove(sourceDir(source_) / "records" / manifest.entries[7].fileName());

    json status = refreshedStatus();
    EXPECT_EQ(keys(), Strings{recordingKey(good)});
    EXPECT_EQ(status["pending_recordings"], 7);
    EXPECT_EQ(status["sources"][0]["recordings"], 8);
    json expected = json::array();
    for (std::size_t i = 1; i < 7; ++i) expected.push_back({{"source_id", source_.text()}, {"recording_id", manifest.entries[i].id.text()}, {"state", invalidData}});
    expected.push_back(recordIssue(missing, recordUnreadable));
    EXPECT_EQ(status["issues"], expected);
    EXPECT_EQ(library_.cachedRecords().size(), 1u);
}

TEST_F(LibraryRefresh, ChangedBytesArePendingEvenWhenDecodedBefore) {
    sync::SharedManifest manifest = writeSource(root(), source_, {recording()});
    ASSERT_EQ(refreshedStatus()["available_recordings"], 1);
    const fs::path file = sourceDir(source_) / "records" / manifest.entries[0].fileName();
    testing::writeFile(file, testing::readFile(file) + " ");
    json status = refreshedStatus();
    EXPECT_EQ(status["pending_recordings"], 1);
    EXPECT_EQ(status["issues"][0]["state"], invalidData);
    EXPECT_TRUE(library_.cachedRecords().empty());
}

TEST_F(LibraryRefresh, ItemsAreNewestFirstThenByKey) {
    std::vector<SharedRecording> recordings;
    for (const char* date : {"2026-01-01T00:00:00Z", "2026-02-01T00:00:00Z", "2026-03-01T00:00:00Z", "2026-02-01T00:00:00Z"})
        recordings.push_back(testing::makeRecording(source_, "r", at(date)));
    Uuid other = Uuid::random();
    SharedRecording otherTie = testing::makeRecording(other, "tie", at("2026-02-01T00:00:00Z"));
    writeSource(root(), source_, recordings);
    writeSource(root(), other, {otherTie});
    Strings ties = {recordingKey(recordings[1]), recordingKey(recordings[3]), recordingKey(otherTie)};
    std::sort(ties.begin(), ties.end());
    library_.refresh();
    EXPECT_EQ(keys(), (Strings{recordingKey(recordings[2]), ties[0], ties[1], ties[2], recordingKey(recordings[0])}));
}

TEST_F(LibraryRefresh, StatusShowsTheFirstHundredOfManyIssues) {
    sync::SharedManifest manifest{.sourceID = source_, .publishedAt = at("2026-03-01T08:15:00Z")};
    for (int i = 0; i < 150; ++i) manifest.entries.push_back({.id = Uuid::random(), .revision = std::string(64, 'a')});
    testing::writeManifest(sourceDir(source_), manifest);
    json status = refreshedStatus();
    EXPECT_EQ(status["issue_count"], 150);
    EXPECT_EQ(status["pending_recordings"], 150);
    ASSERT_EQ(status["issues"].size(), 100u);
    for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(status["issues"][i]["recording_id"], manifest.entries[i].id.text());
}

// Sources sorted by folder name; entries in manifest order, enough of them
// that the records are read by several workers.
TEST_F(LibraryRefresh, IssuesKeepTheOrderFound) {
    std::vector<Uuid> ids = {Uuid::random(), Uuid::random(), Uuid::random()};
    std::sort(ids.begin(), ids.end(), [](const Uuid& a, const Uuid& b) { return a.text() < b.text(); });
    std::vector<SharedRecording> first;
    for (int i = 0; i < 40; ++i) first.push_back(recording("r", ids[0]));
    sync::SharedManifest manifest = writeSource(root(), ids[0], first);
    for (int i : {3, 17, 31}) fs::remove(sourceDir(ids[0]) / "records" / manifest.entries[i].fileName());
    testing::writeFile(sourceDir(ids[1]) / "manifest.json", "[]");
    SharedRecording last = recording("r", ids[2]);
    fs::remove(sourceDir(ids[2]) / "records" / writeSource(root(), ids[2], {last}).entries[0].fileName());

    json status = refreshedStatus();
    EXPECT_EQ(status["issues"], json::array({recordIssue(first[3], recordUnreadable), recordIssue(first[17], recordUnreadable), recordIssue(first[31], recordUnreadable),
                                             {{"source_id", ids[1].text()}, {"state", manifestUnreadable}}, recordIssue(last, recordUnreadable)}));
    EXPECT_EQ(library_.items().size(), 37u);
}

TEST_F(LibraryRefresh, OnlyNewRevisionsAreDecodedAndOldOnesLeaveTheCache) {
    SharedRecording r = recording("draft");
    sync::SharedManifest before = writeSource(root(), source_, {r});
    library_.refresh();
    std::shared_ptr<const IndexedRecording> first = library_.items().at(0).recording;
    library_.refresh();
    // Had the second refresh decoded, it would hold a new object while the first is still alive.
    EXPECT_EQ(library_.items().at(0).recording, first);
    r.name = "final";
    sync::SharedManifest after = writeSource(root(), source_, {r});
    library_.refresh();
    EXPECT_EQ(library_.items().at(0).record().name, "final");
    EXPECT_FALSE(library_.cachedRecords().contains(before.entries[0].revision));
    EXPECT_TRUE(library_.cachedRecords().contains(after.entries[0].revision));
    fs::remove_all(sourceDir(source_));
    EXPECT_EQ(refreshedStatus()["state"], "no_published_sources");
    EXPECT_TRUE(library_.items().empty());
    EXPECT_TRUE(library_.cachedRecords().empty());
}

}  // namespace
}  // namespace quillmere::mcp
