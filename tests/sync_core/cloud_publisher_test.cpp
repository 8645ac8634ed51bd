#include "sync_core/cloud_publisher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>
#include <stop_token>
#include <string>
#include <vector>

#include "sync_core/item_status.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"
#include "tests/support/temp_dir.h"

namespace quillmere::sync {
namespace {

namespace fs = std::filesystem;
using testing::listDirectory;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

Uuid uuid(std::string_view text) {
    return *Uuid::parse(text);
}

const Uuid source = uuid("5E1F0000-0000-4000-8000-000000000001");
const Uuid otherSource = uuid("5E1F0000-0000-4000-8000-000000000002");
const Uuid idA = uuid("0AAA0000-0000-4000-8000-00000000000A");
const Uuid idB = uuid("B0000000-0000-4000-8000-00000000000B");
const Uuid idC = uuid("C0000000-0000-4000-8000-00000000000C");

SharedRecording recording(const Uuid& id, const Uuid& owner = source) {
    SharedRecording r;
    r.id = id;
    r.sourceID = owner;
    r.name = "晨会 " + id.text().substr(0, 4);
    r.createdAt = *parseInternetDate("2025-03-01T09:30:00Z");
    r.duration = 12.5;
    r.locale = "zh-CN";
    r.transcriptComplete = true;
    r.passages = {{0, 4.5, "大家早上好"}, {4.5, 12.5, "today we plan the release"}};
    return r;
}

// Calls hook on every status query of the sync core, after the real reading
// has been taken, so a test can act between two readings of the same file.
class HookedStatus : public ItemStatusProvider {
  public:
    using Hook = std::function<void(const fs::path& item, int queryNumber)>;
    explicit HookedStatus(Hook hook) : hook_(std::move(hook)), installed_(*this) {}

    ItemStatus status(const fs::path& item) override {
        ItemStatus result = local_.status(item);
        hook_(item, ++queries_[item]);
        return result;
    }
    void requestDownload(const fs::path& item) override { local_.requestDownload(item); }

  private:
    Hook hook_;
    std::map<fs::path, int> queries_;
    LocalItemStatusProvider local_;
    ScopedItemStatusProvider installed_;
};

void appendTo(const fs::path& file, std::string_view bytes) {
    std::ofstream(file, std::ios::binary | std::ios::app) << bytes;
}

// Overwrites file with same-sized contents and puts its modification time
// back, which is how an edited file looks to the publisher's change check.
void replaceKeepingStatus(const fs::path& file, std::string_view bytes) {
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    ASSERT_EQ(static_cast<std::size_t>(before.st_size), bytes.size());
    writeFile(file, bytes);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

ino_t inode(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return st.st_ino;
}

SyncFailure::Kind failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const SyncFailure& failure) {
        return failure.kind();
    }
    ADD_FAILURE() << "no SyncFailure thrown";
    return SyncFailure::Kind::noCloud;
}

class CloudPublisherTest : public ::testing::Test {
  protected:
    TempDir dir;
    CloudPublisher publisher;
    fs::path root = dir / "AgentLibrary";
    fs::path sourceDir = root / source.text();
    fs::path manifestFile = sourceDir / "manifest.json";

    fs::path media(const std::string& name, std::string_view bytes) {
        fs::path file = dir / "media" / name;
        writeFile(file, bytes);
        return file;
    }

    SharedManifest publish(const std::vector<ExportItem>& items, bool includeAudio = true) {
        return publisher.publish(items, source, includeAudio, root);
    }

    SharedRecording storedRecording(const SharedManifest::Entry& entry) {
        const std::string bytes = readFile(sourceDir / "records" / entry.fileName());
        EXPECT_EQ(SyncFormat::digest(bytes), entry.revision);
        return SyncFormat::decode<SharedRecording>(bytes);
    }

    SharedManifest storedManifest() {
        return SyncFormat::decode<SharedManifest>(readFile(manifestFile));
    }
};

TEST_F(CloudPublisherTest, NothingToPublishWritesAnEmptyManifest) {
    const SharedManifest manifest = publish({});

    EXPECT_TRUE(manifest.entries.empty());
    EXPECT_EQ(manifest.sourceID, source);
    EXPECT_TRUE(manifest.includesAudio);
    EXPECT_EQ(storedManifest(), manifest);
    EXPECT_EQ(listDirectory(sourceDir), std::vector<std::string>{"manifest.json"});
}

TEST_F(CloudPublisherTest, WritesContentAddressedRecordsWithRebuiltAudio) {
    SharedRecording record = recording(idA);
    // Whatever audio the caller put in the record is replaced by what is published.
    record.audio = {{"stale.wav", std::string(64, 'a'), 3, 7}};
    const fs::path track0 = media("one.wav", "RIFF first track");
    const fs::path track1 = media("two.m4a", "second track bytes");

    const SharedManifest manifest = publish({{record, {track0, track1}}});

    ASSERT_EQ(manifest.entries.size(), 1u);
    const SharedRecording stored = storedRecording(manifest.entries[0]);
    const std::string sha0 = SyncFormat::digest("RIFF first track");
    const std::string sha1 = SyncFormat::digest("second track bytes");
    const std::vector<SharedAudio> expectedAudio = {
        {sha0 + ".wav", sha0, 16, 0},
        {sha1 + ".m4a", sha1, 18, 1},
    };
    EXPECT_EQ(stored.audio, expectedAudio);
    record.audio = expectedAudio;
    EXPECT_EQ(stored, record);
    EXPECT_EQ(readFile(sourceDir / "audio" / (sha0 + ".wav")), "RIFF first track");
    EXPECT_EQ(readFile(sourceDir / "audio" / (sha1 + ".m4a")), "second track bytes");
    EXPECT_EQ(storedManifest(), manifest);
}

TEST_F(CloudPublisherTest, RepeatedPublishWritesNothingAndKeepsPublishedAt) {
    const std::vector<ExportItem> items = {{recording(idA), {media("a.wav", "track a")}},
                                           {recording(idB), {}}};
    SharedManifest first = publish(items);
    // Backdate the manifest in place: a rewrite would carry the current time.
    first.publishedAt = *parseInternetDate("2020-01-02T03:04:05Z");
    writeFile(manifestFile, SyncFormat::encode(first));
    const std::string manifestBytes = readFile(manifestFile);
    const fs::path recordFile = sourceDir / "records" / first.entries[0].fileName();
    const ino_t recordInode = inode(recordFile);
    const ino_t manifestInode = inode(manifestFile);
    const auto recordsBefore = listDirectory(sourceDir / "records");
    const auto audioBefore = listDirectory(sourceDir / "audio");

    // Once through the same publisher (cache warm), once through a fresh one.
    CloudPublisher fresh;
    for (CloudPublisher* p : {&publisher, &fresh}) {
        const SharedManifest again = p->publish(items, source, true, root);
        EXPECT_EQ(again, first);
        EXPECT_EQ(formatInternetDate(again.publishedAt), "2020-01-02T03:04:05Z");
    }
    EXPECT_EQ(readFile(manifestFile), manifestBytes);
    EXPECT_EQ(inode(manifestFile), manifestInode);
    EXPECT_EQ(inode(recordFile), recordInode);
    EXPECT_EQ(listDirectory(sourceDir / "records"), recordsBefore);
    EXPECT_EQ(listDirectory(sourceDir / "audio"), audioBefore);
}

TEST_F(CloudPublisherTest, PreviousManifestThatDiffersInAnyRespectIsReplaced) {
    const std::vector<ExportItem> items = {{recording(idA), {}}};
    const SharedManifest published = publish(items, false);
    struct Row {
        const char* what;
        std::function<void(SharedManifest&)> alter;
    };
    const std::vector<Row> rows = {
        {"source", [](SharedManifest& m) { m.sourceID = otherSource; }},
        {"version", [](SharedManifest& m) { m.schemaVersion = 2; }},
        {"audio setting", [](SharedManifest& m) { m.includesAudio = true; }},
        {"revision", [](SharedManifest& m) { m.entries[0].revision = std::string(64, '0'); }},
        {"extra entry", [](SharedManifest& m) { m.entries.push_back(m.entries[0]); }},
        {"no entries", [](SharedManifest& m) { m.entries.clear(); }},
    };
    for (const Row& row : rows) {
        SharedManifest altered = published;
        altered.publishedAt = *parseInternetDate("2020-01-02T03:04:05Z");
        row.alter(altered);
        writeFile(manifestFile, SyncFormat::encode(altered));

        const SharedManifest result = publish(items, false);
        EXPECT_NE(formatInternetDate(result.publishedAt), "2020-01-02T03:04:05Z") << row.what;
        EXPECT_EQ(result.entries, published.entries) << row.what;
        EXPECT_EQ(storedManifest(), result) << row.what;
    }
    for (const char* unreadable : {"", "{not json", "{\"entries\":[]}"}) {
        writeFile(manifestFile, unreadable);
        EXPECT_EQ(publish(items, false).entries, published.entries) << unreadable;
        EXPECT_EQ(storedManifest().entries, published.entries) << unreadable;
    }
}

TEST_F(CloudPublisherTest, NewManifestHasWholeSecondPublishedAt) {
    const SharedManifest manifest = publish({{recording(idA), {}}});
    EXPECT_EQ(manifest.publishedAt, std::chrono::floor<std::chrono::seconds>(manifest.publishedAt));
    EXPECT_EQ(storedManifest().publishedAt, manifest.publishedAt);
}

TEST_F(CloudPublisherTest, TurningAudioOffPublishesRecordsWithoutAudioAndKeepsTheFiles) {
    const fs::path track = media("a.caf", "caf audio");
    const std::vector<ExportItem> items = {{recording(idA), {track}}};
    const SharedManifest withAudio = publish(items, true);
    ASSERT_EQ(storedRecording(withAudio.entries[0]).audio.size(), 1u);

    const SharedManifest without = publish(items, false);

    EXPECT_FALSE(without.includesAudio);
    EXPECT_FALSE(storedManifest().includesAudio);
    ASSERT_EQ(without.entries.size(), 1u);
    EXPECT_NE(without.entries[0].revision, withAudio.entries[0].revision);
    EXPECT_TRUE(storedRecording(without.entries[0]).audio.empty());
    EXPECT_EQ(listDirectory(sourceDir / "audio"),
              std::vector<std::string>{SyncFormat::digest("caf audio") + ".caf"});
    // The old revision stays for readers that still hold the old manifest.
    EXPECT_TRUE(fs::exists(sourceDir / "records" / withAudio.entries[0].fileName()));
}

TEST_F(CloudPublisherTest, EntriesComeOutInOrderOfIdText) {
    const SharedManifest manifest =
        publish({{recording(idC), {}}, {recording(idA), {}}, {recording(idB), {}}});

    ASSERT_EQ(manifest.entries.size(), 3u);
    EXPECT_EQ(manifest.entries[0].id, idA);
    EXPECT_EQ(manifest.entries[1].id, idB);
    EXPECT_EQ(manifest.entries[2].id, idC);
    EXPECT_EQ(storedManifest().entries, manifest.entries);
}

TEST_F(CloudPublisherTest, ItemOfAnotherSourceFailsBeforeItsFilesAndLeavesTheManifest) {
    publish({});
    const std::string manifestBefore = readFile(manifestFile);
    const fs::path foreignTrack = media("foreign.wav", "foreign audio");

    EXPECT_EQ(failureOf([&] {
                  publish({{recording(idC), {}},
                           {recording(idB, otherSource), {foreignTrack}},
                           {recording(idA), {}}});
              }),
              SyncFailure::Kind::invalidData);

    EXPECT_EQ(readFile(manifestFile), manifestBefore);
    const auto records = listDirectory(sourceDir / "records");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].starts_with(idA.text()));
    EXPECT_FALSE(fs::exists(sourceDir / "audio"));
}

TEST_F(CloudPublisherTest, MediaExtensionsAreCheckedInLowerCase) {
    struct Row {
        const char* name;
        bool accepted;
        const char* storedExtension;
    };
    const std::vector<Row> rows = {
        {"talk.WAV", true, "wav"}, {"talk.M4a", true, "m4a"},  {"clip.MOV", true, "mov"},
        {"clip.mp4", true, "mp4"}, {"raw.AAC", true, "aac"},   {"old.qta", true, "qta"},
        {"song.mp3", false, ""},   {"noextension", false, ""}, {"talk.wav.txt", false, ""},
    };
    for (const Row& row : rows) {
        const std::string bytes = std::string("audio of ") + row.name;
        const fs::path track = media(row.name, bytes);
        if (!row.accepted) {
            EXPECT_EQ(failureOf([&] {
                          publish({{recording(idA), {track}}});
                      }),
                      SyncFailure::Kind::invalidData)
                << row.name;
            continue;
        }
        const SharedManifest manifest = publish({{recording(idA), {track}}});
        const std::string sha = SyncFormat::digest(bytes);
        const std::string fileName = sha + "." + row.storedExtension;
        ASSERT_EQ(storedRecording(manifest.entries[0]).audio.size(), 1u) << row.name;
        EXPECT_EQ(storedRecording(manifest.entries[0]).audio[0].fileName, fileName) << row.name;
        EXPECT_EQ(readFile(sourceDir / "audio" / fileName), bytes) << row.name;
    }
}

TEST_F(CloudPublisherTest, RefusedExtensionIsHashedFirst) {
    const fs::path track = media("song.mp3", "mp3 bytes");
    // A stop requested once the file's status has been read can only be seen
    // by the digest: a publisher that judged the extension first would fail
    // with invalidData instead.
    std::stop_source stop;
    HookedStatus hooked([&](const fs::path& item, int) {
        if (item == track) stop.request_stop();
    });

    EXPECT_THROW(
        publisher.publish({{recording(idA), {track}}}, source, true, root, stop.get_token()),
        Cancelled);
}

TEST_F(CloudPublisherTest, MediaThatIsNotANonEmptyRegularFileIsRefused) {
    const fs::path empty = media("empty.wav", "");
    const fs::path folder = dir / "media" / "folder.wav";
    fs::create_directories(folder);

    for (const fs::path& bad : {empty, folder}) {
        EXPECT_EQ(failureOf([&] {
                      publish({{recording(idA), {bad}}});
                  }),
                  SyncFailure::Kind::invalidData)
            << bad;
    }
    EXPECT_THROW(publish({{recording(idA), {dir / "media" / "missing.wav"}}}), std::system_error);
    EXPECT_FALSE(fs::exists(manifestFile));
}

TEST_F(CloudPublisherTest, MediaChangedDuringThePublishFailsWithChangedSource) {
    publish({});
    const std::string manifestBefore = readFile(manifestFile);
    const fs::path track = media("growing.wav", "recording still being written");
    // The phone keeps appending to the file just after the first reading.
    HookedStatus hooked([&](const fs::path& item, int query) {
        if (item == track && query == 1) appendTo(track, " and more");
    });

    EXPECT_EQ(failureOf([&] {
                  publish({{recording(idA), {track}}});
              }),
              SyncFailure::Kind::changedSource);
    EXPECT_EQ(readFile(manifestFile), manifestBefore);
    EXPECT_FALSE(fs::exists(sourceDir / "records"));
}

TEST_F(CloudPublisherTest, IdenticalTracksOfOneRecordingShareOneFile) {
    const fs::path left = media("left.wav", "same samples");
    const fs::path right = media("right.wav", "same samples");

    const SharedManifest manifest = publish({{recording(idA), {left, right}}});

    const std::vector<SharedAudio> audio = storedRecording(manifest.entries[0]).audio;
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[0].track, 0);
    EXPECT_EQ(audio[1].track, 1);
    EXPECT_EQ(audio[0].fileName, audio[1].fileName);
    EXPECT_EQ(listDirectory(sourceDir / "audio"), std::vector<std::string>{audio[0].fileName});
}

TEST_F(CloudPublisherTest, AudioFileAlreadyInPlaceIsTrustedAndNotCopiedAgain) {
    const fs::path track = media("a.wav", "real samples");
    const fs::path placed = sourceDir / "audio" / (SyncFormat::digest("real samples") + ".wav");
    writeFile(placed, "damaged");

    publish({{recording(idA), {track}}});

    EXPECT_EQ(readFile(placed), "damaged");
}

TEST_F(CloudPublisherTest, UnchangedMediaIsNotHashedAgainUnlessItsTrackDiffers) {
    const fs::path track = media("a.wav", "version one!");
    const fs::path other = media("b.wav", "other track");
    const std::string shaOne = SyncFormat::digest("version one!");
    const std::string shaTwo = SyncFormat::digest("version two!");
    publish({{recording(idA), {track}}});
    // Same size, same modification date: to the cache the file is unchanged.
    replaceKeepingStatus(track, "version two!");

    const SharedManifest cached = publish({{recording(idA), {track}}});
    EXPECT_EQ(storedRecording(cached.entries[0]).audio[0].sha256, shaOne);

    const SharedManifest moved = publish({{recording(idA), {other, track}}});
    EXPECT_EQ(storedRecording(moved.entries[0]).audio[1].sha256, shaTwo);

    // A fresh publisher has no cache and hashes what is there.
    CloudPublisher fresh;
    const SharedManifest rehashed = fresh.publish({{recording(idA), {track}}}, source, true, root);
    EXPECT_EQ(storedRecording(rehashed.entries[0]).audio[0].sha256, shaTwo);
}

TEST_F(CloudPublisherTest, ChangedMediaIsHashedAgain) {
    const fs::path track = media("a.wav", "short");
    publish({{recording(idA), {track}}});
    writeFile(track, "a longer take");

    const SharedManifest manifest = publish({{recording(idA), {track}}});

    EXPECT_EQ(storedRecording(manifest.entries[0]).audio[0].sha256,
              SyncFormat::digest("a longer take"));
}

TEST_F(CloudPublisherTest, TwoItemsWithOneIdAreRefusedAndTheManifestKept) {
    const SharedManifest before = publish({{recording(idB), {}}});
    const std::string manifestBefore = readFile(manifestFile);
    SharedRecording renamed = recording(idA);
    renamed.name = "another take";

    EXPECT_EQ(failureOf([&] {
                  publish({{recording(idA), {}}, {renamed, {}}});
              }),
              SyncFailure::Kind::invalidData);

    EXPECT_EQ(readFile(manifestFile), manifestBefore);
    EXPECT_EQ(storedManifest(), before);
}

TEST_F(CloudPublisherTest, InvalidRecordEndsThePublish) {
    publish({});
    const std::string manifestBefore = readFile(manifestFile);
    SharedRecording broken = recording(idA);
    broken.passages.push_back({3, 2, "ends before it starts"});

    EXPECT_EQ(failureOf([&] { publish({{broken, {}}}); }), SyncFailure::Kind::invalidData);
    EXPECT_EQ(readFile(manifestFile), manifestBefore);
}

TEST_F(CloudPublisherTest, StopRequestedBeforehandWritesNothing) {
    std::stop_source stop;
    stop.request_stop();

    EXPECT_THROW(publisher.publish({{recording(idA), {}}}, source, false, root, stop.get_token()),
                 Cancelled);
    EXPECT_THROW(publisher.publish({}, source, false, root, stop.get_token()), Cancelled);
    EXPECT_FALSE(fs::exists(root));
}

}  // namespace
}  // namespace quillmere::sync
