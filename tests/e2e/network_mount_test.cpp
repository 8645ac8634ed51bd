// quillmere-mcp over a shared folder on a FUSE mount whose reads of chosen
// files stall or fail, as a network mount's do while it fetches. Whatever the
// mount does, every call is answered; what stalls is pending until it arrives.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/e2e/server_session.h"
#include "tests/support/jsonrpc.h"
#include "tests/support/stalling_mount.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ServerSession;

const std::string micCheck = "7D3C1A2B-4E5F-4A6B-8C7D-9E0F1A2B3C4D/B3942ED6-D479-4471-8BC9-7994FAC44E98";
const std::string notDownloaded = "文件尚未下载完成，请稍后重试。";

// The sample library behind a stalling mount, and a server reading it.
class NetworkMount : public ::testing::Test {
  protected:
    NetworkMount() {
        fs::copy(fs::path(std::getenv("QUILLMERE_SOURCE_DIR")) / "examples/AgentLibrary", home_ / "cloud/AgentLibrary",
                 fs::copy_options::recursive);
    }
    fs::path root() const { return mount_.path() / "AgentLibrary"; }

    testing::TempDir home_;
    testing::StallingMount mount_{home_ / "cloud", home_ / "mount"};
};

// A rule, then what get_sync_status says under it: available, pending, the first issue.
struct StallCase { const char* rule; int available, pending; std::string issue; };

TEST_F(NetworkMount, WhatStallsIsPendingWhileTheRestIsServedThenServedOnceItArrives) {
    const StallCase cases[] = {
        {"stall */records/B3942ED6*", 4, 1, notDownloaded},
        {"fail */records/B3942ED6*", 4, 1, "记录尚不可读，请等待下载或检查文件权限。"},
        {"stall */manifest.json", 0, 0, notDownloaded},
        {"stall *", 0, 0, notDownloaded},
    };
    for (const StallCase& c : cases) {
        SCOPED_TRACE(c.rule);
        mount_.rules({c.rule});
        {
            ServerSession server(home_.path(), root(), home_ / "cache");
            // A ping queued behind a call is answered after it.
            server.write(testing::rpcLine(1, "tools/call", {{"name", "get_sync_status"}, {"arguments", json::object()}}) +
                         testing::rpcLine(2, "ping"));
            const std::optional<json> status = server.receive();
            ASSERT_TRUE(status) << server.standardError();
            const json& sync = (*status)["result"]["structuredContent"];
            EXPECT_EQ(sync["available_recordings"], c.available);
            EXPECT_EQ(sync["pending_recordings"], c.pending);
            EXPECT_EQ(sync["issues"][0]["state"], c.issue);
            EXPECT_EQ(server.receive(), json::parse(R"({"id":2,"jsonrpc":"2.0","result":{}})"));
            EXPECT_EQ(server.call("list_recordings").value_or(json())["sync"]["available_recordings"], c.available);

            mount_.rules({});
            EXPECT_EQ(server.call("get_sync_status").value_or(json())["available_recordings"], 5);
            EXPECT_EQ(server.finish(), 0);
        }
    }
}

TEST_F(NetworkMount, AStalledTrackIsPendingWithTheCacheLeftEmpty) {
    ServerSession server(home_.path(), root(), home_ / "cache");
    mount_.rules({"stall */audio/*"});
    const json pending = server.call("get_audio", {{"recording_key", micCheck}}).value_or(json());
    EXPECT_EQ(pending["state"], "pending") << pending;
    EXPECT_TRUE(!fs::exists(home_ / "cache") || fs::is_empty(home_ / "cache"));
    EXPECT_TRUE(server.alive());

    mount_.rules({});
    EXPECT_EQ(server.call("get_audio", {{"recording_key", micCheck}}).value_or(json())["state"], "available");
    EXPECT_EQ(server.finish(), 0);
}

TEST_F(NetworkMount, StatusReportsAFolderWhoseEveryReadStalls) {
    mount_.rules({"stall *"});
    testing::ChildProcess status(testing::serverOptions(home_.path(), {"--status", "--cloud-root", root().string()}));
    const std::optional<std::string> line = status.readLine(std::chrono::seconds(90));
    ASSERT_TRUE(line);
    EXPECT_EQ(json::parse(*line)["issues"][0]["state"], notDownloaded);
    // The process ends once the mount answers the read it still holds.
    mount_.rules({});
    EXPECT_EQ(status.finish(std::chrono::seconds(60)).exitStatus, 0);
}

}  // namespace
}  // namespace quillmere
