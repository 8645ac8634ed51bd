// get_audio when the audio cache cannot take the track: a directory the
// server may not write, a file system that is full, a file where the
// directory should be. Each time the call answers with its error result,
// the cache holds no partial copy, and delivery works once the fault is gone.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "sync_core/shared_records.h"
#include "tests/e2e/server_session.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ServerSession;
using testing::TempDir;

const std::string readFailed = "read_failed: 数据读取失败，请查看同步状态或稍后重试。";

int modeOf(const fs::path& path) {
    return static_cast<int>(fs::status(path).permissions() & fs::perms::all);
}

// One source, one recording with a 256 KiB audio track.
class AudioCacheFault : public ::testing::Test {
  protected:
    ~AudioCacheFault() override {
        if (mounted_) ::umount2(cache().c_str(), MNT_DETACH);
    }

    static std::string track() {
        std::string bytes(256 * 1024, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
        return bytes;
    }
    fs::path root() const { return home_ / "AgentLibrary"; }
    fs::path cache() const { return home_ / "cache"; }

    std::unique_ptr<ServerSession> start(std::optional<std::uint64_t> fileSizeLimit = {}, std::optional<fs::path> cacheRoot = {}) {
        return std::make_unique<ServerSession>(home_.path(), root(), cacheRoot.value_or(cache()), fileSizeLimit);
    }

    // The read failure of get_audio, with no file left in the cache.
    void expectRefusedWithoutTrace(ServerSession& session) {
        EXPECT_EQ(session.call("get_audio", {{"recording_key", key()}}), json({{"error_text", readFailed}}));
        EXPECT_TRUE(!fs::is_directory(cache()) || testing::listDirectory(cache()).empty());
        EXPECT_TRUE(session.alive());
    }

    void expectDelivered(ServerSession& session) {
        std::optional<json> audio = session.call("get_audio", {{"recording_key", key()}});
        EXPECT_EQ(audio.value_or(json())["state"], "available") << audio.value_or(json()).dump();
        EXPECT_EQ(testing::listDirectory(cache()), std::vector<std::string>{recording_.audio[0].fileName});
    }
    std::string key() const { return testing::recordingKey(recording_); }

    TempDir home_;
    sync::SharedRecording recording_ = testing::writeOneRecordingSource(root(), sync::Uuid::random(), "planning", {track()});
    bool mounted_ = false;
};

TEST_F(AudioCacheFault, CacheReplacedByAFileIsAnErrorResultAndRecovers) {
    testing::writeFile(cache(), "not a directory");
    auto session = start();
    expectRefusedWithoutTrace(*session);
    EXPECT_EQ(testing::readFile(cache()), "not a directory");

    fs::remove(cache());
    expectDelivered(*session);
    // Replaced after a delivery: the cached copy is gone with the directory.
    fs::remove_all(cache());
    testing::writeFile(cache(), "not a directory");
    expectRefusedWithoutTrace(*session);
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

TEST_F(AudioCacheFault, FailedWriteIsAnErrorResultWithoutAPartialCopy) {
    // A full disk, without a mount: writes past 64 KiB of the 256 KiB track fail with EFBIG.
    fs::create_directories(cache());
    {
        auto session = start(64 * 1024);
        expectRefusedWithoutTrace(*session);
        EXPECT_EQ(session->finish(), 0) << session->standardError();
    }
    auto session = start();
    expectDelivered(*session);
}

TEST_F(AudioCacheFault, ReadOnlyCacheIsAnErrorResultAndNothingIsWritten) {
    fs::create_directories(cache());
    // A read-only mount for root, whom permission bits do not stop.
    mounted_ = ::geteuid() == 0 && ::mount("tmpfs", cache().c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0;
    if (::geteuid() == 0 && !mounted_) GTEST_SKIP() << "mounting is not permitted here";
    if (!mounted_) fs::permissions(cache(), fs::perms::owner_read | fs::perms::owner_exec);
    auto session = start();
    expectRefusedWithoutTrace(*session);
    ASSERT_EQ(mounted_ ? ::umount2(cache().c_str(), 0) : 0, 0);
    mounted_ = false;
    fs::permissions(cache(), fs::perms::owner_all);
    expectDelivered(*session);
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

TEST_F(AudioCacheFault, CacheRootNotYetMadeDeliversHoweverItIsWritten) {
    for (const std::string suffix : {"", "/", "/.", "//"}) {
        SCOPED_TRACE(cache().string() + suffix);
        fs::remove_all(cache());
        auto session = start({}, cache().string() + suffix);
        expectDelivered(*session);
        EXPECT_EQ(session->finish(), 0) << session->standardError();
    }
}

TEST_F(AudioCacheFault, CopiesOfRecordingsAndTheFoldersMadeForThemAreTheOwnersAlone) {
    const mode_t previous = ::umask(022);
    fs::create_directories(cache());
    fs::permissions(cache(), fs::perms::owner_all | fs::perms::group_all);
    auto session = start();
    expectDelivered(*session);
    EXPECT_EQ(modeOf(cache()), 0770) << "an existing cache root keeps its mode";
    EXPECT_EQ(modeOf(cache() / recording_.audio[0].fileName), 0600);

    // The default cache, made by the server.
    ServerSession defaults(home_.path(), root());
    const json audio = defaults.call("get_audio", {{"recording_key", key()}}).value_or(json());
    ::umask(previous);
    ASSERT_EQ(audio["state"], "available") << audio.dump();
    const fs::path bridge = home_ / ".cache" / "QuillmereBridge";
    EXPECT_EQ(modeOf(bridge), 0700);
    EXPECT_EQ(modeOf(bridge / "Audio"), 0700);
    EXPECT_EQ(modeOf(bridge / "Audio" / recording_.audio[0].fileName), 0600);
}

}  // namespace
}  // namespace quillmere
