// What quillmere-publish reaches (entry order, shared identical tracks, a publish
// that writes nothing, turning audio off) is tested through that program.
#include "sync_core/cloud_publisher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sync_core/item_status.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"
#include "tests/support/failure_kind.h"
#include "tests/support/temp_dir.h"

namespace quillmere::sync {
namespace {

namespace fs = std::filesystem;
using namespace quillmere::testing;
using Items = std::vector<ExportItem>;

const Uuid source = *Uuid::parse("5E1F0000-0000-4000-8000-000000000001");
const Uuid otherSource = *Uuid::parse("5E1F0000-0000-4000-8000-000000000002");
const Uuid idA = *Uuid::parse("0AAA0000-0000-4000-8000-00000000000A");
const Uuid idB = *Uuid::parse("B0000000-0000-4000-8000-00000000000B");
const Uuid idC = *Uuid::parse("C0000000-0000-4000-8000-00000000000C");
const Instant longAgo = *parseInternetDate("2020-01-02T03:04:05Z");

SharedRecording recording(const Uuid& id, const Uuid& owner = source) {
    return {.id = id, .sourceID = owner, .name = "晨会 " + id.text().substr(0, 4), .createdAt = *parseInternetDate("2025-03-01T09:30:00Z"),
            .duration = 12.5, .locale = "zh-CN", .transcriptComplete = true,
            .passages = {{0, 4.5, "大家早上好"}, {4.5, 12.5, "today we plan the release"}}};
}

// Calls hook on every status query of the sync core, after the real reading
// has been taken, so a test can act between two readings of the same file.
class HookedStatus : public ItemStatusProvider {
  public:
    using Hook = std::function<void(const fs::path& item, int queryNumber, ItemStatus& answer)>;
    explicit HookedStatus(Hook hook) : hook_(std::move(hook)), installed_(*this) {}
    ItemStatus status(const fs::path& item) override {
        ItemStatus result = local_.status(item);
        hook_(item, ++queries_[item], result);
        return result;
    }
    void requestDownload(const fs::path& item) override { local_.requestDownload(item); }

  private:
    Hook hook_;
    std::map<fs::path, int> queries_;
    LocalItemStatusProvider local_;
    ScopedItemStatusProvider installed_;
};

class CloudPublisherTest : public ::testing::Test {
  protected:
    TempDir dir;
    CloudPublisher publisher;
    fs::path root = dir / "AgentLibrary";
    fs::path sourceDir = root / source.text();
    fs::path manifestFile = sourceDir / "manifest.json";

    fs::path media(const std::string& name, std::string_view bytes) {
        writeFile(dir / "media" / name, bytes);
        return dir / "media" / name;
    }
    SharedManifest publish(const Items& items, bool includeAudio = true) {
        return publisher.publish(items, source, includeAudio, root);
    }
    SharedRecording storedRecording(const SharedManifest::Entry& entry) {
        const std::string bytes = readFile(sourceDir / "records" / entry.fileName());
        EXPECT_EQ(SyncFormat::digest(bytes), entry.revision);
        return SyncFormat::decode<SharedRecording>(bytes);
    }
    SharedManifest storedManifest() { return SyncFormat::decode<SharedManifest>(readFile(manifestFile)); }
    // Writes manifest as the previous one, dated long ago: a rewrite would carry the current time.
    void backdate(SharedManifest manifest) {
        manifest.publishedAt = longAgo;
        writeFile(manifestFile, SyncFormat::encode(manifest));
    }
};

TEST_F(CloudPublisherTest, WritesContentAddressedRecordsWithRebuiltAudioInLowerCaseExtensions) {
    SharedRecording record = recording(idA);
    ExportItem item{record, {}};
    item.record.audio = {{"stale.wav", std::string(64, 'a'), 3, 7}};
    record.audio.clear();
    for (const auto& [name, stored] : {std::pair{"one.wav", ".wav"}, {"talk.M4a", ".m4a"}, {"clip.MOV", ".mov"}, {"clip.mp4", ".mp4"}, {"raw.AAC", ".aac"}, {"old.qta", ".qta"}}) {
        const std::string bytes = std::string("samples of ") + name, sha = SyncFormat::digest(bytes);
        item.audioURLs.push_back(media(name, bytes));
        record.audio.push_back({sha + stored, sha, static_cast<std::int64_t>(bytes.size()), static_cast<std::int64_t>(record.audio.size())});
    }
    const SharedManifest manifest = publish({item});
    ASSERT_EQ(manifest.entries.size(), 1u);
    EXPECT_EQ(storedRecording(manifest.entries[0]), record);
}

TEST_F(CloudPublisherTest, PreviousManifestThatDiffersInAnyRespectIsReplaced) {
    const Items items = {{recording(idA), {}}};
    const SharedManifest published = publish(items, false);
    const std::function<void(SharedManifest&)> alterations[] = {
        [](SharedManifest& m) { m.sourceID = otherSource; }, [](SharedManifest& m) { m.schemaVersion = 2; },
        [](SharedManifest& m) { m.includesAudio = true; }, [](SharedManifest& m) { m.entries[0].revision = std::string(64, '0'); },
        [](SharedManifest& m) { m.entries.push_back(m.entries[0]); }, [](SharedManifest& m) { m.entries.clear(); },
    };
    for (std::size_t i = 0; i < std::size(alterations); ++i) {
        SharedManifest altered = published;
        alterations[i](altered);
        backdate(altered);
        const SharedManifest result = publish(items, false);
        EXPECT_NE(result.publishedAt, longAgo) << i;
        EXPECT_EQ(result.entries, published.entries) << i;
        EXPECT_EQ(storedManifest(), result) << i;
    }
    for (const char* unreadable : {"", "{not json", "{\"entries\":[]}"}) {
        writeFile(manifestFile, unreadable);
        EXPECT_EQ(publish(items, false).entries, published.entries) << unreadable;
        EXPECT_EQ(storedManifest().entries, published.entries) << unreadable;
    }
}

TEST_F(CloudPublisherTest, RefusedPublishesLeaveThePreviousManifestAndCopyNoAudio) {
    publish({});
    const std::string manifestBefore = readFile(manifestFile);
    fs::create_directories(dir / "media" / "folder.wav");
    SharedRecording renamed = recording(idA), broken = recording(idA);
    renamed.name = "another take";
    broken.passages.push_back({3, 2, "ends before it starts"});
    // nullopt: a std::system_error.
    const std::pair<Items, std::optional<SyncFailure::Kind>> cases[] = {
        {{{recording(idC), {}}, {recording(idB, otherSource), {media("foreign.wav", "foreign audio")}}, {recording(idA), {}}}, SyncFailure::Kind::invalidData},
        {{{recording(idA), {}}, {renamed, {}}}, SyncFailure::Kind::invalidData},
        {{{broken, {}}}, SyncFailure::Kind::invalidData},
        {{{recording(idA), {media("song.mp3", "mp3")}}}, SyncFailure::Kind::invalidData},
        {{{recording(idA), {media("noextension", "raw")}}}, SyncFailure::Kind::invalidData},
        {{{recording(idA), {media("talk.wav.txt", "text")}}}, SyncFailure::Kind::invalidData},
        {{{recording(idA), {media("empty.wav", "")}}}, SyncFailure::Kind::invalidData},
        {{{recording(idA), {dir / "media" / "folder.wav"}}}, SyncFailure::Kind::invalidData},
        {{{recording(idA), {dir / "media" / "missing.wav"}}}, std::nullopt},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [items, kind] = cases[i];
        if (kind) {
            EXPECT_EQ(failureOf<SyncFailure>([&] { publish(items); }), kind) << i;
        } else {
            EXPECT_THROW(publish(items), std::system_error) << i;
        }
        EXPECT_EQ(readFile(manifestFile), manifestBefore) << i;
        EXPECT_FALSE(fs::exists(sourceDir / "audio")) << i;
    }
    // The foreign item failed before idB and idC were written, idA went first.
    const auto records = listDirectory(sourceDir / "records");
    EXPECT_TRUE(std::all_of(records.begin(), records.end(), [](const std::string& r) { return r.starts_with(idA.text()); }));
}

TEST_F(CloudPublisherTest, MediaIsHashedAgainOnlyWhenItsStatusOrTrackChanges) {
    const fs::path placed = sourceDir / "audio" / (SyncFormat::digest("version one!") + ".wav");
    // An audio file already in place is trusted, not copied again.
    writeFile(placed, "damaged");
    const fs::path track = media("a.wav", "version one!"), other = media("b.wav", "other track");
    auto sha = [&](CloudPublisher& p, const Items& items, std::size_t track) {
        const SharedManifest m = p.publish(items, source, true, root);
        return storedRecording(m.entries[0]).audio.at(track).sha256;
    };
    EXPECT_EQ(sha(publisher, {{recording(idA), {track}}}, 0), SyncFormat::digest("version one!"));
    EXPECT_EQ(readFile(placed), "damaged");
    // Same size and modification time: to the cache the file is unchanged.
    struct stat before {};
    ASSERT_EQ(::stat(track.c_str(), &before), 0);
    writeFile(track, "version two!");
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, track.c_str(), times, 0), 0);
    EXPECT_EQ(sha(publisher, {{recording(idA), {track}}}, 0), SyncFormat::digest("version one!"));
    EXPECT_EQ(sha(publisher, {{recording(idA), {other, track}}}, 1), SyncFormat::digest("version two!"));
    CloudPublisher fresh;  // has no cache
    EXPECT_EQ(sha(fresh, {{recording(idA), {track}}}, 0), SyncFormat::digest("version two!"));
    writeFile(track, "a longer take");
    EXPECT_EQ(sha(publisher, {{recording(idA), {track}}}, 0), SyncFormat::digest("a longer take"));
    // Touched just after its status is read, or its size no longer known when read again:
    // cached and already in place, so only the second reading of its status can tell.
    for (int query : {1, 2}) {
        HookedStatus changed([&](const fs::path& item, int number, ItemStatus& answer) {
            if (item != track || number != query) return;
            query == 1 ? fs::last_write_time(track, fs::last_write_time(track) + std::chrono::seconds(5)) : answer.fileSize.reset();
        });
        EXPECT_EQ(failureOf<SyncFailure>([&] { publish({{recording(idA), {track}}}); }), SyncFailure::Kind::changedSource) << query;
    }
}

}  // namespace
}  // namespace quillmere::sync
