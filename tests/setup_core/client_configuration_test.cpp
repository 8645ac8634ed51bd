#include "setup_core/client_configuration.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <thread>

#include "setup_core/setup_failure.h"
#include "tests/support/failure_kind.h"
#include "tests/support/temp_dir.h"

namespace quillmere::setup {
namespace {

namespace fs = std::filesystem;
using namespace quillmere::testing;
using Kind = SetupFailure::Kind;
using nlohmann::json;

const ClientConfiguration sample{"/opt/quillmere/bin/quillmere-mcp", fs::path("/home/ada/AgentLibrary")};

// A number the rewrite would change refuses the install; every other value, a number in
// whatever notation included, is written back as the same value of the same type.
TEST(MergeJSON, NumbersAreKeptExactlyOrTheInstallIsRefused) {
    const json ours = {{"command", "/opt/quillmere/bin/quillmere-mcp"}, {"args", {"--stdio", "--cloud-root", "/home/ada/AgentLibrary"}}};
    const std::pair<std::string, bool> rows[] = {
        {R"({"n": 123456789012345678901234567890})", false},
        {R"({"n": -9223372036854775809})", false},
        {R"({"n": 0.12345678901234567890})", false},
        {R"({"n": 9e-400})", false},
        {R"({"mcpServers": {"x": {"env": {"N": 12345678901234567890123}}}})", false},
        {R"({"n": 18446744073709551615, "m": -9223372036854775808})", true},
        {R"({"n": 0.1, "m": 1.50, "k": 1E2, "z": -0, "w": -0.0, "e": 2.5e-3})", true},
        {R"({"s": "123456789012345678901234567890", "t": "\"1e400"})", true},
        {R"({"count": 10, "on": true, "none": null, "text": "a/b", "mcpServers": {"x": {"args": []}}})", true},
    };
    for (const auto& [contents, kept] : rows) {
        SCOPED_TRACE(contents);
        if (!kept) {
            EXPECT_EQ(failureOf<SetupFailure>([&] { sample.mergeJSON(contents, false); }), Kind::inexactNumber);
            continue;
        }
        json expected = json::parse(contents);
        expected["mcpServers"]["quillmere"] = ours;
        EXPECT_EQ(json::parse(sample.mergeJSON(contents, false).value_or("null")).dump(), expected.dump());
    }
}

// Whether some process waits for a flock on the file with this inode (/proc/locks marks
// waiters with "->").
bool someoneWaitsForLock(ino_t inode) {
    std::ifstream locks("/proc/locks");
    const std::string key = ":" + std::to_string(inode) + " ";
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(key) != std::string::npos) return true;
    }
    return false;
}

TEST(InstallJSON, EditDuringTheInstallIsReportedAsChangedAndNothingIsWritten) {
    TempDir home;
    const ClientConfiguration configuration{home / "bin/quillmere-mcp", home / "AgentLibrary"};
    const fs::path file = home / ".cursor/mcp.json";
    const std::string edited = R"({"mcpServers": {"mine": {"command": "/bin/mine"}}})";
    writeFile(file, R"({"mcpServers": {}})");
    ASSERT_TRUE(std::ifstream("/proc/locks").is_open()) << "no /proc/locks to see the waiting writer";

    // Another coordinated writer (a client's settings editor) holds the directory while
    // the install has read the file and waits to write; it then saves its edit.
    const int directory = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    ASSERT_EQ(::flock(directory, LOCK_EX), 0);
    struct stat info {};
    ASSERT_EQ(::fstat(directory, &info), 0);

    auto install = std::async(std::launch::async, [&] { return configuration.installJSON(file, false); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!someoneWaitsForLock(info.st_ino) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool waited = someoneWaitsForLock(info.st_ino);
    writeFile(file, edited);
    ::flock(directory, LOCK_UN);
    ::close(directory);

    ASSERT_TRUE(waited) << "the install never reached its coordinated section";
    EXPECT_EQ(failureOf<SetupFailure>([&] { install.get(); }), Kind::changed);
    EXPECT_EQ(readFile(file), edited);
    EXPECT_EQ(listDirectory(file.parent_path()), std::vector<std::string>{"mcp.json"}) << "no backup";
}

}  // namespace
}  // namespace quillmere::setup
