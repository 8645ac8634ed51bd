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
#include "tests/setup_core/setup_test_support.h"
#include "tests/support/failure_kind.h"
#include "tests/support/temp_dir.h"

namespace quillmere::setup {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quillmere::testing::failureOf;
using quillmere::testing::listDirectory;
using quillmere::testing::readFile;
using quillmere::testing::TempDir;
using quillmere::testing::writeFile;
using Kind = SetupFailure::Kind;

const ClientConfiguration sample{"/opt/quillmere/bin/quillmere-mcp", fs::path("/home/ada/AgentLibrary")};
// The entry sample registers, written out.
const json ours = json::parse(R"({"command": "/opt/quillmere/bin/quillmere-mcp",
                                   "args": ["--stdio", "--cloud-root", "/home/ada/AgentLibrary"]})");

std::optional<Kind> mergeFailure(const std::string& contents, bool replace) {
    return failureOf<SetupFailure>([&] { sample.mergeJSON(contents, replace); });
}

TEST(MergeJSON, NewFileHoldsOnlyTheEntryPrettyPrintedWithSortedKeys) {
    const std::string merged = sample.mergeJSON(std::nullopt, false).value_or("");
    EXPECT_EQ(json::parse(merged), (json{{"mcpServers", {{"quillmere", ours}}}}));
    EXPECT_TRUE(merged.ends_with("}\n")) << "exactly one final line feed";
    EXPECT_LT(merged.find("\"args\""), merged.find("\"command\"")) << "keys sorted";
    EXPECT_NE(merged.find("\n  "), std::string::npos) << "pretty-printed";
    EXPECT_NE(merged.find("\"/home/ada/AgentLibrary\""), std::string::npos) << "solidus escaped";
    EXPECT_EQ((ClientConfiguration{"/q", std::nullopt}.arguments()), std::vector<std::string>{"--stdio"});
}

// What a client adds of its own leaves an entry ours; anything else is a conflict.
TEST(MergeConfiguration, EntryEqualityFollowsTheClientsOwnAdditions) {
    const std::tuple<AgentClient, const char*, std::string, bool> rows[] = {
        {AgentClient::claudeCode, "mcpServers", "{}", true},
        {AgentClient::claudeCode, "mcpServers", R"({"type": "stdio", "env": {}})", true},
        {AgentClient::claudeCode, "mcpServers", R"({"env": {"A": "1"}})", false},
        {AgentClient::claudeCode, "mcpServers", R"({"type": "http"})", false},
        {AgentClient::vscode, "servers", "{}", true},
        {AgentClient::zed, "context_servers", R"({"source": "custom"})", true},
        {AgentClient::zed, "context_servers", R"({"enabled": false, "env": {}})", false},
        {AgentClient::copilot, "mcpServers", R"({"type": "local", "tools": ["*"]})", true},
        {AgentClient::copilot, "mcpServers", R"({"type": "local"})", false},
        {AgentClient::cursor, "mcpServers", R"({"env": {}})", false},
    };
    for (const auto& [client, container, extra, equal] : rows) {
        SCOPED_TRACE(std::string(rawValue(client)) + " " + extra);
        json existing = ours;
        existing.update(json::parse(extra));
        const std::string contents = json{{container, {{"quillmere", existing}}}}.dump();
        if (equal) EXPECT_FALSE(sample.mergeConfiguration(client, contents, false).has_value());
        else EXPECT_EQ(failureOf<SetupFailure>([&] { sample.mergeConfiguration(client, contents, false); }), Kind::conflict);
    }
}

TEST(MergeJSON, IdenticalEntryNeedsNoChangeWhateverTheLayout) {
    const std::string contents = R"({"zeta": [1, 2.5, true, null], "mcpServers": {
        "other": {"command": "/bin/other"},
        "quillmere": {"args": ["--stdio", "--cloud-root", "\/home\/ada\/AgentLibrary"],
                      "command": "/opt/quillmere/bin/quillmere-mcp"}}})";
    EXPECT_FALSE(sample.mergeJSON(contents, false).has_value());
    EXPECT_FALSE(sample.mergeJSON(contents, true).has_value());
}

TEST(MergeJSON, DifferingEntryConflictsUnlessReplacingWhichKeepsEverythingElse) {
    // Merge patches of ours (null removes a member; a non-object replaces the whole).
    for (const char* patch : {R"({"env": {}})", R"({"args": ["--cloud-root", "/home/ada/AgentLibrary", "--stdio"]})",
                              R"({"command": "/usr/local/bin/quillmere-mcp"})", R"({"args": null})",
                              R"("quillmere-mcp")", "[]"}) {
        SCOPED_TRACE(patch);
        json existing = ours;
        existing.merge_patch(json::parse(patch));
        json top = {{"keep", {{"nested", {1, 2}}, {"flag", false}}},
                    {"mcpServers", {{"other", {{"command", "/bin/other"}, {"env", {{"A", "1"}}}}}, {"quillmere", existing}}}};
        EXPECT_EQ(mergeFailure(top.dump(), false), Kind::conflict);
        const std::string merged = sample.mergeJSON(top.dump(), true).value_or("null");
        top["mcpServers"]["quillmere"] = ours;
        EXPECT_EQ(json::parse(merged), top);
    }
}

TEST(MergeJSON, UnusableContentsAreMalformedEvenWhenReplacing) {
    const std::string deep = std::string(600, '[') + std::string(600, ']');
    const std::string rows[] = {
        "",
        "   \n",
        "[]",
        "\"text\"",
        "42",
        "null",
        R"({"mcpServers": []})",
        R"({"mcpServers": null})",
        R"({"mcpServers": "quillmere"})",
        "// settings\n{}",
        R"({"mcpServers": {}, })",
        R"({"a": 1} {"b": 2})",
        R"({"a": 1}x)",
        R"({"a": )",
        "{\"a\": \"\xff\"}",
        R"({"deep": )" + deep + "}",
        std::string("{\"mcpServers\":{}}\0junk", 22),
        R"({"n": 1e400})",
    };
    for (const std::string& contents : rows) {
        SCOPED_TRACE(contents.substr(0, 40));
        EXPECT_EQ(mergeFailure(contents, false), Kind::malformed);
        EXPECT_EQ(mergeFailure(contents, true), Kind::malformed);
    }
}

// A number the rewrite would change refuses the install; every other value, a number in
// whatever notation included, is written back as the same value of the same type.
TEST(MergeJSON, NumbersAreKeptExactlyOrTheInstallIsRefused) {
    const std::pair<std::string, bool> rows[] = {
        {R"({"n": 123456789012345678901234567890})", false},
        {R"({"n": -9223372036854775809})", false},
        {R"({"n": 3.14159265358979323846})", false},
        {R"({"n": 1e-400})", false},
        {R"({"mcpServers": {"x": {"env": {"N": 12345678901234567890123}}}})", false},
        {R"({"n": 18446744073709551615, "m": -9223372036854775808})", true},
        {R"({"n": 0.1, "m": 1.50, "k": 1E2, "z": -0, "w": -0.0, "e": 2.5e-3})", true},
        {R"({"s": "123456789012345678901234567890", "t": "\"1e400"})", true},
        {R"({"count": 10, "on": true, "none": null, "text": "a/b", "mcpServers": {"x": {"args": []}}})", true},
    };
    for (const auto& [contents, kept] : rows) {
        SCOPED_TRACE(contents);
        if (!kept) {
            EXPECT_EQ(mergeFailure(contents, false), Kind::inexactNumber);
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

// Two backups of the same bytes (a NUL among them) in the same moment are two copies.
TEST(ConfigurationBackup, EachCallKeepsTheBytesInACopyOfItsOwn) {
    TempDir directory;
    const std::string bytes("{\"a\":\0}\n", 8);
    const auto first = ClientConfiguration::backup(bytes, directory / "mcp.json");
    EXPECT_NE(first, ClientConfiguration::backup(bytes, directory / "mcp.json"));
    EXPECT_EQ(readFile(first.value_or("")), bytes);
    EXPECT_THROW(ClientConfiguration::backup(bytes, directory / "missing/mcp.json"), std::system_error);
}

}  // namespace
}  // namespace quillmere::setup
