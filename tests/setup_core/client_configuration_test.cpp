#include "setup_core/client_configuration.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <tuple>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "setup_core/agent_client.h"
#include "setup_core/setup_failure.h"
#include "tests/setup_core/setup_test_support.h"
#include "tests/support/temp_dir.h"

namespace quillmere::setup {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quillmere::testing::listDirectory;
using quillmere::testing::readFile;
using quillmere::testing::TempDir;
using quillmere::testing::writeFile;
using testing::permissions;
using Kind = SetupFailure::Kind;

ClientConfiguration sampleConfiguration() {
    return ClientConfiguration{"/opt/quillmere/bin/quillmere-mcp",
                               fs::path("/home/ada/AgentLibrary")};
}

// The kind of SetupFailure that f throws, or nullopt when it throws none.
template <typename F>
std::optional<Kind> failureOf(F&& f) {
    try {
        f();
    } catch (const SetupFailure& failure) {
        return failure.kind();
    }
    return std::nullopt;
}

std::vector<std::string> backupsIn(const fs::path& directory, const std::string& name) {
    std::vector<std::string> result;
    for (const std::string& entry : listDirectory(directory)) {
        if (entry.starts_with(name + ".quillmere-backup-")) result.push_back(entry);
    }
    return result;
}

// --- entry and arguments

TEST(ClientConfigurationEntry, HoldsExactlyCommandAndArgs) {
    const json entry = sampleConfiguration().entry();
    EXPECT_EQ(entry, (json{{"command", "/opt/quillmere/bin/quillmere-mcp"},
                           {"args", {"--stdio", "--cloud-root", "/home/ada/AgentLibrary"}}}));
}

TEST(ClientConfigurationEntry, WithoutCloudRootOnlyStdio) {
    ClientConfiguration configuration{"/usr/bin/quillmere-mcp", std::nullopt};
    EXPECT_EQ(configuration.arguments(), std::vector<std::string>{"--stdio"});
    EXPECT_EQ(configuration.entry()["args"], json::array({"--stdio"}));
}

// --- mergeJSON

TEST(MergeJSON, NewFileHoldsOnlyTheEntryInCanonicalForm) {
    const ClientConfiguration configuration = sampleConfiguration();
    const std::optional<std::string> merged = configuration.mergeJSON(std::nullopt, false);
    ASSERT_TRUE(merged);
    EXPECT_EQ(json::parse(*merged), (json{{"mcpServers", {{"quillmere", configuration.entry()}}}}));
    ASSERT_FALSE(merged->empty());
    EXPECT_EQ(merged->back(), '\n');
    EXPECT_NE(merged->substr(merged->size() - 2, 1), "\n") << "exactly one final line feed";
    EXPECT_LT(merged->find("\"args\""), merged->find("\"command\"")) << "keys sorted";
    EXPECT_NE(merged->find("\n  "), std::string::npos) << "pretty-printed";
    EXPECT_NE(merged->find("\"/home/ada/AgentLibrary\""), std::string::npos);
    EXPECT_EQ(merged->find("\\/"), std::string::npos) << "solidus never escaped";
}

TEST(MergeJSON, IdenticalEntryNeedsNoChangeWhateverTheLayout) {
    const std::string contents = R"({"zeta": [1, 2.5, true, null], "mcpServers": {
        "other": {"command": "/bin/other"},
        "quillmere": {"args": ["--stdio", "--cloud-root", "\/home\/ada\/AgentLibrary"],
                      "command": "/opt/quillmere/bin/quillmere-mcp"}}})";
    EXPECT_FALSE(sampleConfiguration().mergeJSON(contents, false).has_value());
    EXPECT_FALSE(sampleConfiguration().mergeJSON(contents, true).has_value());
}

TEST(MergeJSON, DifferingEntryConflictsUnlessReplacing) {
    const json entry = sampleConfiguration().entry();
    json withEnv = entry;
    withEnv["env"] = json::object();
    json reordered = entry;
    reordered["args"] = {"--cloud-root", "/home/ada/AgentLibrary", "--stdio"};
    json otherCommand = entry;
    otherCommand["command"] = "/usr/local/bin/quillmere-mcp";
    json noArgs = entry;
    noArgs.erase("args");
    const json rows[] = {withEnv, reordered, otherCommand, noArgs, "quillmere-mcp", json::array()};

    for (const json& existing : rows) {
        SCOPED_TRACE(existing.dump());
        const json top = {{"keep", {{"nested", {1, 2}}, {"flag", false}}},
                          {"mcpServers",
                           {{"other", {{"command", "/bin/other"}, {"env", {{"A", "1"}}}}},
                            {"quillmere", existing}}}};
        const std::string contents = top.dump();
        EXPECT_EQ(failureOf([&] { sampleConfiguration().mergeJSON(contents, false); }),
                  Kind::conflict);

        const std::optional<std::string> merged = sampleConfiguration().mergeJSON(contents, true);
        ASSERT_TRUE(merged);
        json expected = top;
        expected["mcpServers"]["quillmere"] = entry;
        EXPECT_EQ(json::parse(*merged), expected);
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
        EXPECT_EQ(failureOf([&] { sampleConfiguration().mergeJSON(contents, false); }),
                  Kind::malformed);
        EXPECT_EQ(failureOf([&] { sampleConfiguration().mergeJSON(contents, true); }),
                  Kind::malformed);
    }
}

TEST(MergeJSON, OtherValuesKeepTheirTypes) {
    const std::string contents =
        R"({"count": 10, "ratio": 0.5, "big": 18446744073709551615, "on": true, "none": null,
            "text": "a/b", "mcpServers": {"x": {"args": [], "command": "c"}}})";
    const std::optional<std::string> merged = sampleConfiguration().mergeJSON(contents, false);
    ASSERT_TRUE(merged);
    json expected = json::parse(contents);
    expected["mcpServers"]["quillmere"] = sampleConfiguration().entry();
    const json result = json::parse(*merged);
    EXPECT_EQ(result, expected);
    EXPECT_TRUE(result["on"].is_boolean());
    EXPECT_TRUE(result["count"].is_number_integer());
    EXPECT_EQ(result["big"].get<std::uint64_t>(), 18446744073709551615ull);
}

// A number the rewrite would change refuses the install; one written back as the same
// number, in whatever notation, does not.
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
    };
    for (const auto& [contents, kept] : rows) {
        SCOPED_TRACE(contents);
        if (kept) {
            EXPECT_TRUE(sampleConfiguration().mergeJSON(contents, false));
        } else {
            EXPECT_EQ(failureOf([&] { sampleConfiguration().mergeJSON(contents, false); }),
                      Kind::inexactNumber);
        }
    }
}

// --- installJSON over a temporary home

class InstallJSON : public ::testing::Test {
  protected:
    TempDir home;
    const ClientConfiguration configuration{home / "app/bin/quillmere-mcp", home / "AgentLibrary"};
    fs::path cursorFile() const {
        return configurationURL(AgentClient::cursor, home.path(), home / ".codex");
    }
    fs::path claudeFile() const {
        return configurationURL(AgentClient::claude, home.path(), home / ".codex");
    }
};

TEST_F(InstallJSON, CreatesDirectoryAndPrivateFileWhenNothingExists) {
    const fs::path file = claudeFile();
    ASSERT_FALSE(fs::exists(file.parent_path()));

    const ConfigurationReceipt receipt = configuration.installJSON(file, false);

    EXPECT_EQ(receipt, (ConfigurationReceipt{file, std::nullopt, true}));
    const std::string written = readFile(file);
    EXPECT_EQ(json::parse(written), (json{{"mcpServers", {{"quillmere", configuration.entry()}}}}));
    EXPECT_EQ(written.back(), '\n');
    EXPECT_EQ(permissions(file), 0600);
    EXPECT_EQ(listDirectory(file.parent_path()),
              std::vector<std::string>{"claude_desktop_config.json"});
}

TEST_F(InstallJSON, IdenticalEntryAmongOtherServersIsLeftUntouched) {
    const fs::path file = cursorFile();
    const json top = {
        {"mcpServers", {{"a", {{"command", "/bin/a"}}}, {"quillmere", configuration.entry()}}}};
    writeFile(file, top.dump(4));
    ::chmod(file.c_str(), 0644);
    const auto before = fs::last_write_time(file);

    const ConfigurationReceipt receipt = configuration.installJSON(file, false);

    EXPECT_EQ(receipt, (ConfigurationReceipt{file, std::nullopt, false}));
    EXPECT_EQ(readFile(file), top.dump(4));
    EXPECT_EQ(fs::last_write_time(file), before);
    EXPECT_EQ(permissions(file), 0644) << "an unchanged file is not touched at all";
    EXPECT_EQ(listDirectory(file.parent_path()), std::vector<std::string>{"mcp.json"});
}

TEST_F(InstallJSON, DifferingEntryConflictsThenReplaceKeepsOneBackupOfTheOldBytes) {
    const fs::path file = cursorFile();
    const std::string original =
        "{\n\t\"theme\": \"dark\",\n\t\"mcpServers\": {\n\t\t\"quillmere\": {\"command\": "
        "\"/old\", "
        "\"args\": [\"--stdio\"], \"env\": {\"X\": \"1\"}},\n\t\t\"notes\": {\"command\": "
        "\"/bin/notes\"}\n\t}\n}";
    writeFile(file, original);

    EXPECT_EQ(failureOf([&] { configuration.installJSON(file, false); }), Kind::conflict);
    EXPECT_EQ(readFile(file), original);
    EXPECT_TRUE(backupsIn(file.parent_path(), "mcp.json").empty());

    const ConfigurationReceipt receipt = configuration.installJSON(file, true);

    const std::vector<std::string> backups = backupsIn(file.parent_path(), "mcp.json");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(receipt, (ConfigurationReceipt{file, file.parent_path() / backups[0], true}));
    EXPECT_EQ(readFile(*receipt.backup), original);
    EXPECT_EQ(permissions(*receipt.backup), 0600);
    EXPECT_EQ(permissions(file), 0600);
    EXPECT_EQ(
        json::parse(readFile(file)),
        (json{{"theme", "dark"},
              {"mcpServers",
               {{"notes", {{"command", "/bin/notes"}}}, {"quillmere", configuration.entry()}}}}));
    EXPECT_EQ(listDirectory(file.parent_path()).size(), 2u) << "no temporary file left behind";

    // Now identical: nothing more is written and no second backup appears.
    EXPECT_FALSE(configuration.installJSON(file, true).changed);
    EXPECT_EQ(backupsIn(file.parent_path(), "mcp.json").size(), 1u);
}

TEST_F(InstallJSON, MalformedFilesAreLeftUntouched) {
    const fs::path file = cursorFile();
    for (const std::string contents : {"", "[]", R"({"mcpServers": []})", "{\"a\": 1,}"}) {
        SCOPED_TRACE(contents);
        writeFile(file, contents);
        ::chmod(file.c_str(), 0644);
        EXPECT_EQ(failureOf([&] { configuration.installJSON(file, true); }), Kind::malformed);
        EXPECT_EQ(readFile(file), contents);
        EXPECT_EQ(permissions(file), 0644);
        EXPECT_EQ(listDirectory(file.parent_path()), std::vector<std::string>{"mcp.json"});
    }
}

TEST_F(InstallJSON, LinkedConfigurationIsWrittenAtItsDestinationAndStaysALink) {
    // ~/.cursor/mcp.json -> ../dotfiles/cursor/mcp.json, and the dotfiles folder itself
    // reached through a second link.
    fs::create_directories(home / "real-dotfiles/cursor");
    fs::create_symlink("real-dotfiles", home / "dotfiles");
    const fs::path file = cursorFile();
    fs::create_directories(file.parent_path());
    fs::create_symlink("../dotfiles/cursor/mcp.json", file);
    const fs::path destination = home / "real-dotfiles/cursor/mcp.json";
    writeFile(destination, R"({"mcpServers": {"other": {"command": "/bin/other"}}})");

    const ConfigurationReceipt receipt = configuration.installJSON(file, false);

    EXPECT_EQ(receipt.configuration, destination);
    EXPECT_TRUE(receipt.changed);
    ASSERT_TRUE(receipt.backup);
    EXPECT_EQ(receipt.backup->parent_path(), destination.parent_path());
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(fs::read_symlink(file), "../dotfiles/cursor/mcp.json");
    EXPECT_EQ(json::parse(readFile(destination))["mcpServers"]["quillmere"], configuration.entry());
    EXPECT_TRUE(json::parse(readFile(destination))["mcpServers"].contains("other"));
}

TEST_F(InstallJSON, DanglingLinkGetsItsDestinationCreated) {
    const fs::path file = claudeFile();
    fs::create_directories(file.parent_path());
    fs::create_symlink(home / "synced/claude.json", file);

    const ConfigurationReceipt receipt = configuration.installJSON(file, false);

    EXPECT_EQ(receipt, (ConfigurationReceipt{home / "synced/claude.json", std::nullopt, true}));
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(json::parse(readFile(file))["mcpServers"]["quillmere"], configuration.entry());
}

TEST_F(InstallJSON, PathsAreWrittenWithPlainSlashes) {
    const fs::path file = cursorFile();
    configuration.installJSON(file, false);
    const std::string written = readFile(file);
    EXPECT_NE(written.find('"' + configuration.executable.string() + '"'), std::string::npos);
    EXPECT_NE(written.find('"' + configuration.cloudRoot->string() + '"'), std::string::npos);
    EXPECT_EQ(written.find("\\/"), std::string::npos);
}

TEST_F(InstallJSON, WithoutCloudRootArgsAreStdioOnly) {
    const ClientConfiguration bare{configuration.executable, std::nullopt};
    bare.installJSON(cursorFile(), false);
    EXPECT_EQ(json::parse(readFile(cursorFile()))["mcpServers"]["quillmere"]["args"],
              json::array({"--stdio"}));
}

// What stands where the file should be is refused at once with a message naming the
// path, and nothing is written: never absence, never a blocked or endless read.
TEST_F(InstallJSON, ConfigurationThatIsNoRegularFileOrTooLongIsRefused) {
    const fs::path file = cursorFile();
    const std::tuple<const char*, std::function<void()>, fs::path> rows[] = {
        {"a directory", [&] { fs::create_directories(file); }, file},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, file},
        {"a link to /dev/zero", [&] { fs::create_symlink("/dev/zero", file); }, "/dev/zero"},
        {"8 MiB and a byte", [&] { writeFile(file, std::string(8 * 1024 * 1024 + 1, ' ')); }, file},
    };
    for (const auto& [what, make, named] : rows) {
        SCOPED_TRACE(what);
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        make();
        try {
            configuration.installJSON(file, false);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& error) {
            EXPECT_THAT(error.what(), ::testing::HasSubstr("cannot read " + named.string()));
        }
        EXPECT_EQ(listDirectory(file.parent_path()), std::vector<std::string>{"mcp.json"});
    }
}

// Whether some process waits for a flock on the file with this inode (/proc/locks marks
// waiters with "->").
bool someoneWaitsForLock(ino_t inode) {
    std::ifstream locks("/proc/locks");
    std::string line;
    const std::string key = ":" + std::to_string(inode) + " ";
    while (std::getline(locks, line)) {
        if (line.find("->") != std::string::npos && line.find(key) != std::string::npos)
            return true;
    }
    return false;
}

TEST_F(InstallJSON, EditDuringTheInstallIsReportedAsChangedAndNothingIsWritten) {
    const fs::path file = cursorFile();
    const std::string original = R"({"mcpServers": {}})";
    const std::string edited = R"({"mcpServers": {"mine": {"command": "/bin/mine"}}})";
    writeFile(file, original);
    if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "no /proc/locks to see the waiting writer";

    // Another coordinated writer (a client's settings editor) holds the directory while
    // the install has read the file and waits to write; it then saves its edit.
    const int directory = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    ASSERT_EQ(::flock(directory, LOCK_EX), 0);
    struct stat info {};
    ASSERT_EQ(::fstat(directory, &info), 0);

    auto install =
        std::async(std::launch::async, [&] { return configuration.installJSON(file, false); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!someoneWaitsForLock(info.st_ino) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool waited = someoneWaitsForLock(info.st_ino);
    writeFile(file, edited);
    ::flock(directory, LOCK_UN);
    ::close(directory);

    ASSERT_TRUE(waited) << "the install never reached its coordinated section";
    EXPECT_EQ(failureOf([&] { install.get(); }), Kind::changed);
    EXPECT_EQ(readFile(file), edited);
    EXPECT_EQ(listDirectory(file.parent_path()), std::vector<std::string>{"mcp.json"})
        << "no backup";
}

// --- backup

TEST(ConfigurationBackup, NothingToSaveGivesNoBackup) {
    TempDir directory;
    EXPECT_FALSE(ClientConfiguration::backup(std::nullopt, directory / "mcp.json").has_value());
    EXPECT_TRUE(listDirectory(directory.path()).empty());
}

TEST(ConfigurationBackup, EachCallLeavesOnePrivateCopyNamedAfterTheFile) {
    TempDir directory;
    const fs::path file = directory / "claude_desktop_config.json";
    const std::string bytes("{\"a\":\0}\n", 8);
    const std::regex name(R"(claude_desktop_config\.json\.quillmere-backup-)"
                          R"([0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12})");

    const auto first = ClientConfiguration::backup(bytes, file);
    const auto second = ClientConfiguration::backup(std::string(), file);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    for (const fs::path& copy : {*first, *second}) {
        EXPECT_EQ(copy.parent_path(), directory.path());
        EXPECT_TRUE(std::regex_match(copy.filename().string(), name)) << copy;
        EXPECT_EQ(permissions(copy), 0600);
    }
    EXPECT_EQ(readFile(*first), bytes);
    EXPECT_EQ(readFile(*second), "");
}

TEST(ConfigurationBackup, UncreatableBackupThrows) {
    TempDir directory;
    EXPECT_THROW(ClientConfiguration::backup(std::string("x"), directory / "missing/mcp.json"),
                 std::system_error);
}

}  // namespace
}  // namespace quillmere::setup
