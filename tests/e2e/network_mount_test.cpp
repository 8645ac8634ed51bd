// quillmere-mcp over a shared folder on a FUSE mount whose reads of chosen
// files stall or fail, as a network mount's do while it fetches. Whatever the
// mount does, every call is answered; what stalls is pending until it arrives.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "sync_core/bounded_reads.h"
#include "tests/e2e/server_session.h"
#include "tests/support/jsonrpc.h"
#include "tests/support/library_fixture.h"
#include "tests/support/fuse_mount.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ServerSession;

const std::string micCheck = "7D3C1A2B-4E5F-4A6B-8C7D-9E0F1A2B3C4D/B3942ED6-D479-4471-8BC9-7994FAC44E98";
const json notDownloaded = "文件尚未下载完成，请稍后重试。";

// A rule, then what the calls and --status say under it: recordings available
// and pending, get_audio's state for the one with audio, the first issue.
struct StallCase { const char* rule; int available, pending; json audio, issue; };

// The sample library and a second phone of 65 recordings behind the stalling file system.
TEST(NetworkMount, WhatStallsIsPendingWhileTheRestIsServedThenServedOnceItArrives) {
    testing::TempDir home;
    fs::copy(fs::path(std::getenv("QUILLMERE_SOURCE_DIR")) / "examples", home / "cloud", fs::copy_options::recursive);
    // Listed after the sample, and more recordings than there are readers.
    std::vector<sync::SharedRecording> crowded(65, testing::makeRecording(*sync::Uuid::parse("FFFF0000-0000-4000-8000-000000000001"), "crowd", testing::at("2026-03-02T08:00:00Z")));
    for (sync::SharedRecording& recording : crowded) recording.id = sync::Uuid::random();
    testing::writeSource(home / "cloud/AgentLibrary", crowded[0].sourceID, crowded);
    testing::FuseMount mount(testing::FuseMount::Kind::stalling, home / "cloud", home / "mount");
    const fs::path root = mount.path() / "AgentLibrary";
    // Only what is not on a local disk is read on a bounded reader (the mount's stalls would
    // hang the rows below otherwise).
    EXPECT_TRUE(sync::BoundedReads::onLocalFileSystem(home.path()));
    const StallCase cases[] = {
        {"stall */records/08CED057*", 69, 1, "available", notDownloaded},
        {"fail */records/B3942ED6*", 69, 1, nullptr, "记录尚不可读，请等待下载或检查文件权限。"},
        // Past the reader bound, a read with no reader to take it is pending too.
        {"stall */records/*", 0, 70, nullptr, notDownloaded},
        {"stall */7D3C*/manifest.json", 65, 0, nullptr, notDownloaded},
        {"stall *", 0, 0, nullptr, notDownloaded},
        {"stall */audio/*", 70, 0, "pending", nullptr},
    };
    for (const StallCase& c : cases) {
        SCOPED_TRACE(c.rule);
        mount.rule(c.rule);
        const fs::path cache = home / "cache" / std::to_string(&c - cases);
        ServerSession server(home.path(), root, cache);
        // A ping queued behind a call is answered after it.
        server.write(testing::rpcLine(1, "tools/call", {{"name", "get_sync_status"}, {"arguments", json::object()}}) +
                     testing::rpcLine(2, "ping"));
        json sync = server.receive().value_or(json())["result"]["structuredContent"];
        EXPECT_EQ(sync["available_recordings"], c.available);
        EXPECT_EQ(sync["pending_recordings"], c.pending);
        EXPECT_EQ(sync["issues"][0]["state"], c.issue);
        EXPECT_EQ(server.receive(), json::parse(R"({"id":2,"jsonrpc":"2.0","result":{}})"));
        EXPECT_EQ(server.call("get_audio", {{"recording_key", micCheck}}).value_or(json())["state"], c.audio);
        EXPECT_TRUE(c.audio == "available" || !fs::exists(cache) || fs::is_empty(cache));
        testing::ChildProcess status(testing::serverOptions(home.path(), {"--status", "--cloud-root", root.string()}));
        EXPECT_EQ(json::parse(status.readLine(std::chrono::seconds(90)).value_or("{}"))["issues"][0]["state"], c.issue);

        mount.rule("");
        EXPECT_EQ(server.call("get_sync_status").value_or(json())["available_recordings"], 70);
        EXPECT_EQ(server.call("get_audio", {{"recording_key", micCheck}}).value_or(json())["state"], "available");
        EXPECT_EQ(server.finish(), 0);
        // A process ends once the mount has answered the reads it still holds.
        EXPECT_EQ(status.finish(std::chrono::seconds(60)).exitStatus, 0);
    }
}

TEST(RcloneMount, ANewPublishIsServedAndADeadMountIsReportedWhileTheServerGoesOn) {
    testing::TempDir home;
    fs::copy(fs::path(std::getenv("QUILLMERE_SOURCE_DIR")) / "examples", home / "cloud", fs::copy_options::recursive);
    testing::FuseMount mount(testing::FuseMount::Kind::rclone, home / "cloud", home / "mount");
    ServerSession server(home.path(), mount.path() / "AgentLibrary", home / "cache");
    auto available = [&] { return server.call("get_sync_status").value_or(json())["available_recordings"]; };
    EXPECT_EQ(available(), 5);
    testing::writeOneRecordingSource(home / "cloud/AgentLibrary", sync::Uuid::random(), "Late");
    // The mount lists it once its directory cache has expired.
    for (int i = 0; i < 100 && available() != 6; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(available(), 6);

    mount.kill();
    EXPECT_EQ(server.call("get_sync_status").value_or(json())["issues"][0]["state"], "无法读取共享目录。请确认已选择 iCloud Drive 中的 AgentLibrary 文件夹，并等待系统下载。");
    EXPECT_TRUE(server.alive());
    EXPECT_EQ(server.finish(), 0);
}

}  // namespace
}  // namespace quillmere
