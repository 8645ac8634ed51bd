// quillmere-setup as a person or a script runs it: a separate process in a temporary
// home, judged by its exit status, its output and the files it leaves.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "setup_core/agent_client.h"
#include "setup_core/codex_install.h"
#include "setup_core/command_runner.h"
#include "setup_core/setup_failure.h"
#include "tests/setup_core/setup_test_support.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::setup {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quillmere::testing::ProcessOptions;
using quillmere::testing::ProcessResult;
using quillmere::testing::readFile;
using quillmere::testing::runProcess;
using quillmere::testing::TempDir;
using quillmere::testing::writeFile;

// The window's texts for the same checks.
constexpr const char* folderNameMessage = "请选择名为 AgentLibrary 的共享文件夹。";
constexpr const char* serverMissingMessage = "未找到 MCP 服务，请重新安装完整安装包。";
constexpr const char* folderUnreadableMessage = "无法读取共享目录，请等待 iCloud 下载后重新选择。";

// The directory of node, which the codex launcher needs on PATH; the tool otherwise
// sees a PATH without any codex on it.
std::string nodeDirectory() {
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "";
    for (std::size_t start = 0; start <= rest.size();) {
        std::size_t end = std::min(rest.find(':', start), rest.size());
        const fs::path directory = rest.substr(start, end - start);
        if (!directory.empty() && ::access((directory / "node").c_str(), X_OK) == 0 &&
            ::access((directory / "codex").c_str(), X_OK) != 0) {
            return directory.string();
        }
        start = end + 1;
    }
    return "/usr/bin";
}

std::string message(SetupFailure::Kind kind) {
    return SetupFailure(kind).errorDescription();
}

class QuillmereSetupTool : public ::testing::Test {
  protected:
    TempDir root;
    const fs::path home = root / "home";
    const fs::path folder = home / "AgentLibrary";
    const fs::path codexHome = root / "codex-home";
    const fs::path server = root / "app/bin/quillmere-mcp";

    void SetUp() override {
        fs::create_directories(folder);
        executable(server);
    }

    static void executable(const fs::path& path) {
        writeFile(path, "#!/bin/sh\n");
        fs::permissions(path, fs::perms::owner_all);
    }

    ProcessResult tool(std::vector<std::string> arguments, const fs::path& program = {},
                       const std::string& codexHomeValue = {}) {
        ProcessOptions options;
        options.program = program.empty() ? testing::buildDirectory() / "quillmere-setup" : program;
        options.arguments = std::move(arguments);
        options.environment = {{"HOME", home.string()},
                               {"CODEX_HOME", codexHomeValue.empty() ? codexHome.string() : codexHomeValue},
                               {"PATH", nodeDirectory() + ":/usr/bin:/bin"}};
        options.workingDirectory = root.path();
        return runProcess(options);
    }

    std::vector<std::string> install(const char* client, std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments{"--client",      client,     "--folder",
                                           folder.string(), "--server", server.string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }

    std::string receipt(const fs::path& configuration, const std::optional<fs::path>& backup,
                        bool changed) const {
        return "configuration: " + configuration.string() +
               "\nbackup: " + (backup ? backup->string() : "none") +
               "\nresult: " + (changed ? "changed" : "unchanged") + "\n";
    }

    const ClientConfiguration expected{server, folder};
};

std::optional<fs::path> backupLine(const std::string& output) {
    const std::string key = "\nbackup: ";
    std::size_t start = output.find(key);
    if (start == std::string::npos) return std::nullopt;
    start += key.size();
    return fs::path(output.substr(start, output.find('\n', start) - start));
}

TEST_F(QuillmereSetupTool, JsonClientsInstallThenFindNothingToDoThenConflictThenReplace) {
    for (AgentClient client : {AgentClient::claude, AgentClient::cursor}) {
        const std::string raw(rawValue(client));
        SCOPED_TRACE(raw);
        const fs::path file = configurationURL(client, home, codexHome);

        ProcessResult first = tool(install(raw.c_str()));
        EXPECT_EQ(first.exitStatus, 0) << first.describe() << first.standardError;
        EXPECT_EQ(first.standardOutput, receipt(file, std::nullopt, true));
        EXPECT_EQ(json::parse(readFile(file))["mcpServers"]["quillmere"], expected.entry());

        ProcessResult second = tool(install(raw.c_str()));
        EXPECT_EQ(second.exitStatus, 0);
        EXPECT_EQ(second.standardOutput, receipt(file, std::nullopt, false));

        const std::string other =
            R"({"mcpServers": {"quillmere": {"command": "/old", "args": []}}})";
        writeFile(file, other);
        ProcessResult conflict = tool(install(raw.c_str()));
        EXPECT_EQ(conflict.exitStatus, 3);
        EXPECT_EQ(conflict.standardOutput, "");
        EXPECT_NE(conflict.standardError.find(message(SetupFailure::Kind::conflict)),
                  std::string::npos);
        EXPECT_NE(conflict.standardError.find("--replace"), std::string::npos);
        EXPECT_EQ(readFile(file), other);

        ProcessResult replaced = tool(install(raw.c_str(), {"--replace"}));
        EXPECT_EQ(replaced.exitStatus, 0) << replaced.standardError;
        const std::optional<fs::path> backup = backupLine(replaced.standardOutput);
        ASSERT_TRUE(backup);
        EXPECT_EQ(replaced.standardOutput, receipt(file, *backup, true));
        EXPECT_EQ(readFile(*backup), other);
        EXPECT_EQ(json::parse(readFile(file))["mcpServers"]["quillmere"], expected.entry());
    }
}

TEST_F(QuillmereSetupTool, MalformedConfigurationExitsOneWithItsMessage) {
    const fs::path file = configurationURL(AgentClient::cursor, home, codexHome);
    writeFile(file, "{ // mine\n}");
    ProcessResult result = tool(install("cursor", {"--replace"}));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardError, message(SetupFailure::Kind::malformed) + "\n");
    EXPECT_EQ(readFile(file), "{ // mine\n}");
}

TEST_F(QuillmereSetupTool, CodexIsRegisteredThroughTheRealTool) {
    const std::vector<std::string> codex{"--codex", testing::realCodex().string()};
    const fs::path config = codexHome / "config.toml";

    ProcessResult first = tool(install("codex", codex));
    EXPECT_EQ(first.exitStatus, 0) << first.describe() << first.standardError;
    EXPECT_EQ(first.standardOutput, receipt(config, std::nullopt, true));

    const CommandOutput got =
        CommandRunner::run(testing::realCodex(), codex::getArguments(),
                           std::map<std::string, std::string>{{"PATH", std::getenv("PATH")},
                                                              {"HOME", home.string()},
                                                              {"CODEX_HOME", codexHome.string()}},
                           home, 30);
    ASSERT_EQ(got.status, 0);
    const json registration = json::parse(got.data);
    EXPECT_EQ(registration["transport"]["command"], server.string());
    EXPECT_EQ(registration["transport"]["args"],
              json({"--stdio", "--cloud-root", folder.string()}));

    ProcessResult second = tool(install("codex", codex));
    EXPECT_EQ(second.exitStatus, 0);
    EXPECT_EQ(second.standardOutput, receipt(config, std::nullopt, false));

    const fs::path otherServer = root / "other/bin/quillmere-mcp";
    executable(otherServer);
    std::vector<std::string> moved{"--client", "codex",
                                   "--folder", folder.string(),
                                   "--server", otherServer.string(),
                                   "--codex",  testing::realCodex().string()};
    EXPECT_EQ(tool(moved).exitStatus, 3);
    moved.push_back("--replace");
    const std::string before = readFile(config);
    ProcessResult replaced = tool(moved);
    EXPECT_EQ(replaced.exitStatus, 0) << replaced.standardError;
    const std::optional<fs::path> backup = backupLine(replaced.standardOutput);
    ASSERT_TRUE(backup);
    EXPECT_EQ(replaced.standardOutput, receipt(config, *backup, true));
    EXPECT_EQ(readFile(*backup), before);
}

// codex runs in the home directory; the relative value still means the folder below
// the directory the user ran quillmere-setup in, where the file is read and backed up.
TEST_F(QuillmereSetupTool, RelativeCodexHomeIsTheFolderBelowTheWorkingDirectory) {
    ProcessResult result =
        tool(install("codex", {"--codex", testing::realCodex().string()}), {}, "relative/codex");
    EXPECT_EQ(result.exitStatus, 0) << result.describe() << result.standardError;
    const fs::path config = root / "relative/codex/config.toml";
    EXPECT_EQ(result.standardOutput, receipt(config, std::nullopt, true));
    EXPECT_NE(readFile(config).find("quillmere"), std::string::npos);
    EXPECT_FALSE(fs::exists(home / "relative"));
}

TEST_F(QuillmereSetupTool, CodexIsFoundWhereItIsUsuallyInstalled) {
    fs::create_directories(home / ".local/bin");
    fs::create_symlink(testing::realCodex(), home / ".local/bin/codex");
    ProcessResult result = tool(install("codex"));
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, receipt(codexHome / "config.toml", std::nullopt, true));
}

TEST_F(QuillmereSetupTool, ChecksOfTheWindowComeFirstWithItsMessages) {
    fs::create_directories(home / "agentlibrary");
    fs::create_directories(home / "Other");
    writeFile(root / "plain-codex", "");
    struct Row {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Row rows[] = {
        {{"--client", "cursor", "--folder", (home / "agentlibrary").string(), "--server",
          server.string()},
         folderNameMessage},
        {{"--client", "cursor", "--folder", (home / "Other").string(), "--server", server.string()},
         folderNameMessage},
        {{"--client", "cursor", "--folder", folder.string(), "--server",
          (root / "missing").string()},
         serverMissingMessage},
        {{"--client", "cursor", "--folder", folder.string(), "--server", root.path().string()},
         serverMissingMessage},
        {{"--client", "claude", "--folder", (root / "gone/AgentLibrary").string(), "--server",
          server.string()},
         folderUnreadableMessage},
        {{"--folder", folder.string(), "--server", server.string(), "--codex",
          (root / "plain-codex").string()},
         message(SetupFailure::Kind::cliMissing)},
        {{"--folder", folder.string(), "--server", server.string()},
         message(SetupFailure::Kind::cliMissing)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments[3] + " " + row.arguments.back());
        ProcessResult result = tool(row.arguments);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.standardError, row.message + "\n");
        EXPECT_EQ(result.standardOutput, "");
    }
    EXPECT_FALSE(fs::exists(home / ".cursor"));
    EXPECT_FALSE(fs::exists(home / ".config"));
    EXPECT_FALSE(fs::exists(codexHome));
}

TEST_F(QuillmereSetupTool, DefaultServerIsBinQuillmereMcpBesideTheProgram) {
    const fs::path dist = root / "dist";
    fs::create_directories(dist);
    fs::copy_file(testing::buildDirectory() / "quillmere-setup", dist / "quillmere-setup");
    const std::vector<std::string> arguments{"--client", "cursor", "--folder", folder.string()};

    ProcessResult missing = tool(arguments, dist / "quillmere-setup");
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_EQ(missing.standardError, std::string(serverMissingMessage) + "\n");

    executable(dist / "bin/quillmere-mcp");
    ProcessResult found = tool(arguments, dist / "quillmere-setup");
    EXPECT_EQ(found.exitStatus, 0) << found.standardError;
    const json entry = json::parse(readFile(
        configurationURL(AgentClient::cursor, home, codexHome)))["mcpServers"]["quillmere"];
    EXPECT_EQ(entry["command"], (dist / "bin/quillmere-mcp").string());
}

TEST_F(QuillmereSetupTool, FolderGivenRelativeOrWithTrailingSlashIsRegisteredAbsolute) {
    ProcessOptions options;
    options.program = testing::buildDirectory() / "quillmere-setup";
    options.arguments = {"--client",      "cursor",   "--folder",
                         "AgentLibrary/", "--server", server.string()};
    options.environment = {{"HOME", home.string()}};
    options.workingDirectory = home;
    ProcessResult result = runProcess(options);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    const json entry = json::parse(readFile(
        configurationURL(AgentClient::cursor, home, codexHome)))["mcpServers"]["quillmere"];
    EXPECT_EQ(entry["args"], json({"--stdio", "--cloud-root", folder.string()}));
}

TEST_F(QuillmereSetupTool, UsageErrorsExitOneAndHelpExplainsEveryOption) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--client", "vscode", "--folder", folder.string()},
          std::vector<std::string>{"--folder"}, std::vector<std::string>{"--frobnicate"},
          std::vector<std::string>{"--client", "cursor"}}) {
        ProcessResult result = tool(arguments);
        EXPECT_EQ(result.exitStatus, 1) << arguments[0];
        EXPECT_NE(result.standardError.find("--help"), std::string::npos);
    }
    ProcessResult help = tool({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* word : {"--client", "--folder", "--replace", "--codex", "--server",
                             "bin/quillmere-mcp", "Exit status", "3"}) {
        EXPECT_NE(help.standardOutput.find(word), std::string::npos) << word;
    }
}

}  // namespace
}  // namespace quillmere::setup
