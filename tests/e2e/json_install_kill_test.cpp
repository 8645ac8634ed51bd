// The JSON install killed with SIGKILL at many points: the client's
// configuration is always the old bytes or the new ones, a backup of the old
// bytes exists whenever it changed, and the next install completes.

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "setup_core/client_configuration.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::TempDir;

const std::string oldBytes =
    R"({"mcpServers":{"other":{"command":"/usr/bin/other","args":[]}},"theme":"dark"})"
    "\n";

class JsonInstallKill : public ::testing::Test {
  protected:
    fs::path directory() const { return dir_ / "client"; }
    fs::path configuration() const { return directory() / "claude_desktop_config.json"; }

    void reset() {
        fs::remove_all(directory());
        testing::writeFile(configuration(), oldBytes);
    }

    // Backups of the configuration that hold exactly the old bytes.
    int backupsOfOldBytes() const {
        return static_cast<int>(std::count_if(fs::directory_iterator(directory()), fs::directory_iterator(), [&](const fs::directory_entry& entry) {
            return entry.path().filename().string().starts_with(configuration().filename().string() + ".quillmere-backup-") && testing::readFile(entry.path()) == oldBytes;
        }));
    }

    TempDir dir_;
    setup::ClientConfiguration configuration_{.executable = "/opt/quillmere/bin/quillmere-mcp",
                                              .cloudRoot = "/home/u/Sync/AgentLibrary"};
};

TEST_F(JsonInstallKill, ConfigurationIsOldOrNewAndChangedOnlyWithABackup) {
    const std::string newBytes = *configuration_.mergeJSON(oldBytes, true);
    reset();
    auto started = Clock::now();
    configuration_.installJSON(configuration(), true);
    const auto fullInstall =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    ASSERT_EQ(testing::readFile(configuration()), newBytes);

    std::mt19937 random(7);
    std::uniform_int_distribution<long> at(0, fullInstall.count() * 2 + 1000);
    constexpr int kills = 200;
    int interrupted = 0, changedBeforeTheKill = 0;
    for (int i = 0; i < kills; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i));
        reset();
        interrupted += testing::killedAfter([&] { configuration_.installJSON(configuration(), true); }, std::chrono::microseconds(at(random)));
        const std::string bytes = testing::readFile(configuration());
        ASSERT_TRUE(bytes == oldBytes || bytes == newBytes) << bytes;
        if (bytes == newBytes) {
            ++changedBeforeTheKill;
            EXPECT_EQ(backupsOfOldBytes(), 1);
        }
        EXPECT_EQ(configuration_.installJSON(configuration(), true).changed, bytes == oldBytes);
        EXPECT_EQ(testing::readFile(configuration()), newBytes);
        EXPECT_GE(backupsOfOldBytes(), 1);
    }
    std::printf("install kills: %d of %d interrupted, %d after the file changed\n", interrupted,
                kills, changedBeforeTheKill);
    EXPECT_GT(interrupted, 0) << "no kill landed inside an install";
}

}  // namespace
}  // namespace quillmere
