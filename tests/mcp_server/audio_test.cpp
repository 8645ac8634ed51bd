#include "mcp_server/audio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "mcp_server/library.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"
#include "tests/support/fake_cloud.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using sync::SyncFailure;
using testing::at;

ino_t inode(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return st.st_ino;
}

class LibraryAudio : public ::testing::Test {
  protected:
    void SetUp() override {
        sync::SharedRecording recording =
            testing::makeRecording(source_, "voice memo", at("2026-03-01T09:00:00Z"));
        recording.audio.push_back(testing::writeAudio(sourceDir(), trackBytes_, 0, "m4a"));
        recording.audio.push_back(testing::writeAudio(sourceDir(), "second track", 1, "caf"));
        audio_ = recording.audio[0];
        testing::writeSource(root(), source_, {recording}, true);
        library_.refresh();
        ASSERT_EQ(library_.items().size(), 1u) << library_.status().dump();
    }

    fs::path root() const { return dir_ / "AgentLibrary"; }
    fs::path sourceDir() const { return root() / source_.text(); }
    fs::path shared() const { return sourceDir() / "audio" / audio_.fileName; }
    fs::path cached() const { return dir_ / "cache" / audio_.fileName; }
    json audio(std::int64_t track = 0) { return library_.audio(library_.items().at(0), track); }

    testing::TempDir dir_;
    sync::Uuid source_ = sync::Uuid::random();
    std::string trackBytes_ = std::string(3 << 20, 'x') + "end of the first track";
    sync::SharedAudio audio_;
    Library library_{dir_ / "AgentLibrary", dir_ / "cache"};
};

TEST_F(LibraryAudio, UnlistedTrackIsNotSharedWithoutTouchingFiles) {
    for (std::int64_t track : {2, 32}) {
        EXPECT_EQ(audio(track),
                  json({{"recording_key", library_.items()[0].key},
                        {"state", "not_shared"},
                        {"message", "该音轨未共享。请在 iPhone 开启原音同步并等待完成。"}}));
    }
    EXPECT_FALSE(fs::exists(dir_ / "cache"));
}

TEST_F(LibraryAudio, TrackNotArrivedYetIsPending) {
    fs::remove(shared());
    json result = audio();
    EXPECT_EQ(result["state"], "pending");
    EXPECT_EQ(result["message"], "原音尚未到达此 Mac。");
    EXPECT_FALSE(fs::exists(dir_ / "cache"));
}

TEST_F(LibraryAudio, TrackInCloudIsDownloadingThenAvailable) {
    testing::FakeCloud cloud;
    cloud.markNotCurrent(shared());
    json first = audio();
    EXPECT_EQ(first, json({{"recording_key", library_.items()[0].key},
                           {"state", "downloading"},
                           {"message", "已请求下载原音，请稍后重试。"}}));
    EXPECT_EQ(cloud.downloadRequests(), std::vector<fs::path>{fs::canonical(shared())});
    EXPECT_FALSE(fs::exists(cached()));

    json second = audio();
    EXPECT_EQ(second["state"], "available");
    EXPECT_EQ(second["track"], 0);
    EXPECT_EQ(second["bytes"], static_cast<std::int64_t>(trackBytes_.size()));
    EXPECT_EQ(second["sha256"], audio_.sha256);
    EXPECT_EQ(second["mime_type"], "audio/mp4");
    EXPECT_EQ(second["note"], "Local file on this Mac; remote clients cannot fetch this file URL.");
    EXPECT_EQ(second["uri"], fileURI(fs::canonical(cached())));
    EXPECT_EQ(second.size(), 8u);
    EXPECT_EQ(sync::SyncFormat::fileDigest(cached()), audio_.sha256);
}

TEST_F(LibraryAudio, VerifiedCachedCopyIsReused) {
    ASSERT_EQ(audio()["state"], "available");
    const ino_t first = inode(cached());
    ASSERT_EQ(audio()["state"], "available");
    EXPECT_EQ(inode(cached()), first);
    EXPECT_EQ(testing::listDirectory(dir_ / "cache"), std::vector<std::string>{audio_.fileName});
}

TEST_F(LibraryAudio, DamagedCachedCopyIsReplaced) {
    testing::writeFile(cached(), "damaged");
    json result = audio();
    EXPECT_EQ(result["state"], "available");
    EXPECT_EQ(testing::readFile(cached()), trackBytes_);
}

TEST_F(LibraryAudio, SizeMismatchFailsAndLeavesCacheUntouched) {
    testing::writeFile(cached(), "stale copy");
    testing::writeFile(shared(), trackBytes_ + "!");
    try {
        audio();
        ADD_FAILURE() << "no failure";
    } catch (const SyncFailure& failure) {
        EXPECT_EQ(failure, SyncFailure::invalidData());
    }
    EXPECT_EQ(testing::readFile(cached()), "stale copy");
}

TEST_F(LibraryAudio, ChangedBytesOfTheRightSizeAreNeverCached) {
    std::string changed = trackBytes_;
    changed[10] = 'y';
    testing::writeFile(shared(), changed);
    try {
        audio();
        ADD_FAILURE() << "no failure";
    } catch (const SyncFailure& failure) {
        EXPECT_EQ(failure, SyncFailure::changedSource());
    }
    EXPECT_FALSE(fs::exists(cached()));
    EXPECT_TRUE(testing::listDirectory(dir_ / "cache").empty());
}

TEST_F(LibraryAudio, CachedLinkLeadingOutOfTheCacheIsRefused) {
    fs::create_directories(dir_ / "cache");
    testing::writeFile(dir_ / "elsewhere", trackBytes_);
    fs::create_symlink(dir_ / "elsewhere", cached());
    EXPECT_THROW(audio(), SyncFailure);
}

TEST_F(LibraryAudio, EachTrackGetsItsOwnTypeAndFile) {
    json second = audio(1);
    EXPECT_EQ(second["state"], "available");
    EXPECT_EQ(second["track"], 1);
    EXPECT_EQ(second["mime_type"], "audio/x-caf");
    EXPECT_EQ(testing::listDirectory(dir_ / "cache").size(), 1u);
}

TEST(AudioMime, ExactExtensionTable) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"m4a", "audio/mp4"},
        {"mp4", "audio/mp4"},
        {"wav", "audio/wav"},
        {"mov", "video/quicktime"},
        {"qta", "application/octet-stream"},
        {"caf", "audio/x-caf"},
        {"M4A", "audio/aac"},
        {"MOV", "audio/aac"},
        {"aac", "audio/aac"},
        {"", "audio/aac"},
        {"mp3", "audio/aac"},
    };
    for (const auto& [extension, type] : rows) EXPECT_EQ(mime(extension), type) << extension;
}

TEST(AudioFileURI, PercentEncodesEverythingButUnreservedAndSlash) {
    EXPECT_EQ(fileURI("/home/u/.cache/QuillmereBridge/Audio/ab12.m4a"),
              "file:///home/u/.cache/QuillmereBridge/Audio/ab12.m4a");
    EXPECT_EQ(fileURI("/tmp/a b/100%/#?;=~_-"), "file:///tmp/a%20b/100%25/%23%3F%3B%3D~_-");
    EXPECT_EQ(fileURI("/tmp/\xC3\xA9"), "file:///tmp/%C3%A9");
}

}  // namespace
}  // namespace quillmere::mcp
