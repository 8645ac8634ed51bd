#include "mcp_server/audio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "mcp_server/library.h"
#include "sync_core/sync_failure.h"
#include "tests/support/failure_kind.h"
#include "tests/support/fake_cloud.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using sync::SyncFailure;

ino_t inode(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return st.st_ino;
}

// One recording with a 3 MiB track 0.
class LibraryAudio : public ::testing::Test {
  protected:
    void SetUp() override { library_.refresh(); }

    fs::path shared() const { return dir_ / "AgentLibrary" / recording_.sourceID.text() / "audio" / recording_.audio[0].fileName; }
    fs::path cache() const { return dir_ / "cache"; }
    fs::path cached() const { return cache() / recording_.audio[0].fileName; }
    json audio(std::int64_t track = 0) { return library_.audio(library_.items().at(0), track); }
    json stateOnly(const char* state, const char* message) const {
        return {{"recording_key", testing::recordingKey(recording_)}, {"state", state}, {"message", message}};
    }
    std::optional<SyncFailure::Kind> failure() {
        return testing::failureOf<SyncFailure>([&] { audio(); });
    }

    testing::TempDir dir_;
    std::string track_ = std::string(3 << 20, 'x') + "end of the track";
    sync::SharedRecording recording_ = testing::writeOneRecordingSource(dir_ / "AgentLibrary", sync::Uuid::random(), "memo", {track_});
    Library library_{dir_ / "AgentLibrary", dir_ / "cache"};
};

// An unlisted track (not_shared) is the golden session's.
TEST_F(LibraryAudio, AMissingTrackIsReportedWithoutTouchingTheCache) {
    fs::remove(shared());
    EXPECT_EQ(audio(), stateOnly("pending", "原音尚未到达此电脑。"));
    EXPECT_FALSE(fs::exists(cache()));
}

// The exact delivery result is the golden session's.
TEST_F(LibraryAudio, ATrackInTheCloudIsRequestedThenDeliveredReusedAndRepaired) {
    testing::FakeCloud cloud;
    cloud.markNotCurrent(shared());
    EXPECT_EQ(audio(), stateOnly("downloading", "已请求下载原音，请稍后重试。"));
    EXPECT_EQ(cloud.downloadRequests(), std::vector<fs::path>{fs::canonical(shared())});
    EXPECT_FALSE(fs::exists(cached()));
    ASSERT_EQ(audio()["state"], "available");
    const ino_t first = inode(cached());
    ASSERT_EQ(audio()["state"], "available");
    EXPECT_EQ(inode(cached()), first);
    testing::writeFile(cached(), "damaged");
    EXPECT_EQ(audio()["state"], "available");
    EXPECT_EQ(testing::readFile(cached()), track_);
    EXPECT_EQ(testing::listDirectory(cache()), std::vector<std::string>{recording_.audio[0].fileName});
}

TEST_F(LibraryAudio, SharedBytesThatDoNotMatchAreNeverCached) {
    testing::writeFile(cached(), "stale copy");
    testing::writeFile(shared(), track_ + "!");
    EXPECT_EQ(failure(), SyncFailure::invalidData().kind());
    EXPECT_EQ(testing::readFile(cached()), "stale copy");
    fs::remove(cached());
    std::string changed = track_;
    changed[10] = 'y';
    testing::writeFile(shared(), changed);
    EXPECT_EQ(failure(), SyncFailure::changedSource().kind());
    EXPECT_TRUE(testing::listDirectory(cache()).empty());
}

TEST_F(LibraryAudio, ALinkLeadingOutOfTheCacheOrOutOfTheSourceIsRefused) {
    fs::create_directories(cache());
    testing::writeFile(dir_ / "elsewhere", track_);
    fs::create_symlink(dir_ / "elsewhere", cached());
    EXPECT_TRUE(failure());
    // A shared audio folder that leads elsewhere is invalid, not a track still to come.
    fs::rename(shared().parent_path(), dir_ / "audio elsewhere");
    fs::create_directory_symlink(dir_ / "audio elsewhere", shared().parent_path());
    EXPECT_EQ(failure(), SyncFailure::invalidData().kind());
}

TEST(AudioMime, EveryTrackExtension) {
    const std::pair<const char*, const char*> rows[] = {
        {"m4a", "audio/mp4"}, {"mp4", "audio/mp4"}, {"wav", "audio/wav"}, {"mov", "video/quicktime"},
        {"qta", "application/octet-stream"}, {"caf", "audio/x-caf"}, {"aac", "audio/aac"}, {"", "audio/aac"},
    };
    for (const auto& [extension, type] : rows) EXPECT_EQ(mime(extension), type) << extension;
}

// A space and a non-ASCII letter are the SDK session's.
TEST(AudioFileURI, PercentEncodesEverythingButUnreservedAndSlash) {
    EXPECT_EQ(fileURI("/tmp/100%/#?;=~_-.x"), "file:///tmp/100%25/%23%3F%3B%3D~_-.x");
}

}  // namespace
}  // namespace quillmere::mcp
