// quillmere-setup as a person or a script runs it: a separate process in a temporary
// home, judged by its exit status, its output and the files it leaves.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <regex>

#include "setup_core/agent_client.h"
#include "setup_core/install_checks.h"
#include "setup_core/setup_failure.h"
#include "setup_core/yaml_text.h"
#include "tests/setup_core/setup_test_support.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::setup {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace quillmere::testing;
using namespace testing;
using Lines = std::vector<std::string>;

// The directory of node, which the codex launcher needs on PATH, unless it holds a codex.
std::string nodeDirectory() {
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    for (std::size_t start = 0, end; start < path.size(); start = end + 1) {
        end = std::min(path.find(':', start), path.size());
        const fs::path directory = path.substr(start, end - start);
        if (::access((directory / "node").c_str(), X_OK) == 0 && ::access((directory / "codex").c_str(), X_OK) != 0)
            return directory.string();
    }
    return "/usr/bin";
}

void executable(const fs::path& path) {
    writeFile(path, "#!/bin/sh\n");
    fs::permissions(path, fs::perms::owner_all);
}

// The receipt; for client, with its row's next step (Gemini's trusted folders).
std::string receipt(const fs::path& configuration, const std::optional<fs::path>& backup, bool changed,
                    const char* client = "cursor") {
    const std::string_view next = describe(*agentClientFromRawValue(client)).rules.next;
    return "configuration: " + configuration.string() + "\nbackup: " + (backup ? backup->string() : "none") +
           "\nresult: " + (changed ? "changed" : "unchanged") + "\n" + (next.empty() ? "" : "next: " + std::string(next) + "\n");
}

class QuillmereSetupTool : public ::testing::Test {
  protected:
    QuillmereSetupTool() {
        fs::create_directories(folder);
        executable(server);
    }

    TempDir root;
    const fs::path home = root / "home", folder = home / "AgentLibrary", codexHome = root / "codex-home";
    const fs::path server = root / "app/bin/quillmere-mcp";
    // The entry every install here registers, as the client reads it.
    const json entry = {{"command", server.string()}, {"args", {"--stdio", "--cloud-root", folder.string()}}};

    // Runs program in root, with this test's HOME and CODEX_HOME and no codex on PATH.
    ProcessResult tool(std::vector<std::string> arguments, std::map<std::string, std::string> environment = {},
                       const fs::path& program = {}) const {
        environment.merge(std::map<std::string, std::string>{
            {"HOME", home.string()}, {"CODEX_HOME", codexHome.string()}, {"PATH", nodeDirectory() + ":/usr/bin:/bin"}});
        return quillmere::testing::runProcess(
            {.program = program.empty() ? buildDirectory() / "quillmere-setup" : program,
             .arguments = std::move(arguments),
             .environment = std::move(environment),
             .unsetEnvironment = {"XDG_CONFIG_HOME", "COPILOT_HOME", "GEMINI_CLI_HOME", "CLAUDE_CONFIG_DIR", "QWEN_HOME", "CLINE_MCP_SETTINGS_PATH", "CONTINUE_GLOBAL_DIR"},
             .workingDirectory = root.path()});
    }
    Lines install(const char* client, Lines extra = {}) const {
        Lines arguments{"--client", client, "--folder", folder.string(), "--server", server.string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }
    // Registering another server program through client conflicts (exit 3) until --replace,
    // which keeps one backup of config's previous bytes beside it.
    void expectConflictThenReplace(const char* client, const fs::path& config, Lines extra = {}) const {
        const fs::path other = root / "other/bin/quillmere-mcp";
        executable(other);
        Lines moved = install(client, std::move(extra));
        moved[5] = other.string();  // the value of --server
        EXPECT_EQ(tool(moved).exitStatus, 3);
        const std::string before = readFile(config);
        moved.push_back("--replace");
        const ProcessResult replaced = tool(moved);
        const Lines backups = backupsOf(config.parent_path(), config.filename());
        ASSERT_EQ(backups.size(), 1u) << replaced.standardError;
        EXPECT_EQ(replaced.standardOutput, receipt(config, config.parent_path() / backups[0], true));
        EXPECT_EQ(readFile(config.parent_path() / backups[0]), before);
    }
};

// True when now is base with one contiguous run of text inserted.
bool onlyInserted(const std::string& base, const std::string& now) {
    std::size_t prefix = 0, suffix = 0;
    while (prefix < base.size() && prefix < now.size() && base[prefix] == now[prefix]) ++prefix;
    while (suffix < base.size() - prefix && suffix < now.size() - prefix &&
           base[base.size() - 1 - suffix] == now[now.size() - 1 - suffix])
        ++suffix;
    return prefix + suffix == base.size();
}

// Each client that keeps its entry in a file, over a realistic file of its own: "@@" marks
// where the last member of the servers object ends.
TEST_F(QuillmereSetupTool, FileClientsInstallLeaveAloneConflictReplaceRefuseAndFollowLinks) {
    const auto jsonc = [](const std::string& container) {
        return "{\n  // mine\n  \"ui\": {\"theme\": \"dark\"}, /* keep 1.50 */\n  \"" + container +
               "\": {\n    \"other\": {\"command\": \"o\", \"args\": []}@@ // other\n  }\n}\n";
    };
    const std::regex backupName(R"(\.quillmere-backup-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$)");
    const std::string strict = R"({"ui": {"theme": "dark"}, "mcpServers": {"other": {"command": "o", "args": []}@@}})";
    // opencode's shape: the program and its arguments in one array, no "args" (merge_patch drops it).
    const json oneArray = {{"type", "local"}, {"enabled", true}, {"args", nullptr},
                           {"command", {server.string(), "--stdio", "--cloud-root", folder.string()}}};
    const auto yamlText = [](const std::string& servers) { return "# mine\nui:\n  theme: dark  # keep 1.50\n" + servers + "models: []\n"; };
    const std::tuple<const char*, fs::path, std::string, std::string, json> rows[] = {
        {"gemini", home / ".gemini/settings.json", "mcpServers", jsonc("mcpServers"), json::object()},
        {"vscode", home / ".config/Code/User/mcp.json", "servers", jsonc("servers"), {{"type", "stdio"}}},
        {"zed", home / ".config/zed/settings.json", "context_servers", jsonc("context_servers"), {{"env", json::object()}}},
        {"copilot", home / ".copilot/mcp-config.json", "mcpServers", strict, {{"type", "local"}, {"tools", {"*"}}}},
        {"windsurf", home / ".codeium/windsurf/mcp_config.json", "mcpServers", strict, json::object()},
        {"claude", home / ".config/Claude/claude_desktop_config.json", "mcpServers", strict, json::object()},
        {"cursor", home / ".cursor/mcp.json", "mcpServers", strict, json::object()},
        {"opencode", home / ".config/opencode/opencode.json", "mcp", jsonc("mcp"), oneArray},
        {"kilo", home / ".config/kilo/kilo.jsonc", "mcp", jsonc("mcp"), oneArray},
        {"qwen", home / ".qwen/settings.json", "mcpServers", jsonc("mcpServers"), json::object()},
        {"cline", home / ".cline/data/settings/cline_mcp_settings.json", "mcpServers", strict, {{"type", "stdio"}}},
        {"cline-vscode", home / ".config/Code/User/globalStorage/saoudrizwan.claude-dev/settings/cline_mcp_settings.json", "mcpServers", strict, {{"type", "stdio"}}},
        {"roo", home / ".config/Code/User/globalStorage/rooveterinaryinc.roo-cline/settings/mcp_settings.json", "mcpServers", strict, {{"type", "stdio"}}},
        {"auggie", home / ".augment/settings.json", "mcpServers", jsonc("mcpServers"), {{"type", "stdio"}}},
        {"lmstudio", home / ".lmstudio/mcp.json", "mcpServers", strict, json::object()},
        {"continue", home / ".continue/config.yaml", "mcpServers", yamlText("mcpServers:\n- name: other\n  command: o\n  args: []@@\n# other\n"), {{"name", "quillmere"}}},
        {"goose", home / ".config/goose/config.yaml", "extensions", yamlText("extensions:\n  other:\n    command: o\n    args: []@@\n  # other\n"),
         {{"type", "stdio"}, {"name", "quillmere"}, {"enabled", true}, {"timeout", 300}, {"command", nullptr}, {"cmd", server.string()}}},
    };
    // The old entry at "@@" of each YAML file, in its container's shape.
    const auto oldYAML = [](const std::string& container) {
        return container == "extensions" ? "\n  quillmere:\n    cmd: /old\n    args: []" : "\n- name: quillmere\n  command: /old\n  args: []";
    };
    for (const auto& [client, file, container, text, extra] : rows) {
        SCOPED_TRACE(client);
        const bool commented = text != strict, yaml = file.extension() == ".yaml";
        json wanted = entry;
        wanted.merge_patch(extra);
        const std::size_t at = text.find("@@");
        const std::string before = text.substr(0, at), after = text.substr(at + 2);
        const std::string base = before + after, old = before + (yaml ? oldYAML(container) : R"(, "quillmere": {"command": "/old", "args": []})") + after;
        const fs::path dir = file.parent_path();
        const auto expectInstalled = [&] {
            json now = yaml ? yaml::parse(readFile(file)) : json::parse(readFile(file), nullptr, true, true);
            if (now[container].is_array()) {  // a list keyed by name
                json named;
                for (const json& item : now[container]) named[item["name"].get<std::string>()] = item;
                now[container] = named;
            }
            EXPECT_EQ(now[container]["quillmere"], wanted);
            EXPECT_EQ(now[container]["other"]["command"], "o");
            EXPECT_EQ(now["ui"]["theme"], "dark");
        };

        writeFile(file, old);
        fs::permissions(file, fs::perms(0640));
        const ProcessResult conflict = tool(install(client));
        EXPECT_EQ(conflict.exitStatus, 3);
        EXPECT_EQ(conflict.standardOutput, "");
        EXPECT_NE(conflict.standardError.find("--replace"), std::string::npos);
        EXPECT_EQ(readFile(file), old);
        const ProcessResult replaced = tool(install(client, {"--replace"}));
        const Lines backups = backupsOf(dir, file.filename());
        ASSERT_EQ(backups.size(), 1u) << replaced.standardError;
        EXPECT_EQ(replaced.standardOutput, receipt(file, dir / backups[0], true, client));
        EXPECT_TRUE(std::regex_search(backups[0], backupName)) << backups[0];
        EXPECT_EQ(readFile(dir / backups[0]), old);
        EXPECT_EQ(permissions(dir / backups[0]), 0600);
        EXPECT_EQ(permissions(file), 0640) << "a replaced file keeps its mode";
        expectInstalled();
        const std::string replacedText = readFile(file);
        EXPECT_TRUE(!commented || (replacedText.starts_with(before + (yaml ? "" : R"(, "quillmere": )")) && replacedText.ends_with(after))) << replacedText;
        fs::permissions(file, fs::perms(0644));
        EXPECT_EQ(tool(install(client, {"--replace"})).standardOutput, receipt(file, std::nullopt, false, client));
        EXPECT_EQ(permissions(file), 0644) << "an unchanged file is not touched at all";
        EXPECT_EQ(listDirectory(dir).size(), 2u) << "one backup and no temporary file";

        fs::remove_all(dir);
        writeFile(file, base);
        EXPECT_EQ(tool(install(client)).exitStatus, 0);
        expectInstalled();
        const std::string installedText = readFile(file);  // a comma, then the member
        EXPECT_TRUE(!commented || (installedText.starts_with(before + (yaml ? "" : ",")) &&
                                   onlyInserted(after, installedText.substr(before.size() + !yaml)))) << installedText;

        fs::remove_all(dir);
        writeFile(root / "dotfiles" / client, base);
        fs::create_directories(dir);
        fs::create_symlink(root / "dotfiles" / client, file);
        EXPECT_EQ(tool(install(client)).standardOutput.find("configuration: " + (root / "dotfiles" / client).string() + "\n"), 0u);
        EXPECT_TRUE(fs::is_symlink(file));
        expectInstalled();

        fs::remove_all(dir);
        const std::string broken = yaml ? base + "x: [\n" : base.substr(0, base.size() - 3);
        writeFile(file, broken);
        const ProcessResult malformed = tool(install(client, {"--replace"}));
        EXPECT_EQ(malformed.exitStatus, 1);
        EXPECT_EQ(malformed.standardError, std::string(SetupFailure(yaml ? SetupFailure::Kind::malformedYAML : commented ? SetupFailure::Kind::malformedCommented : SetupFailure::Kind::malformed).what()) + "\n");
        EXPECT_EQ(readFile(file), broken);
        EXPECT_EQ(listDirectory(dir), Lines{file.filename()});
    }
}

// Where a client's file is: Claude Desktop, VS Code and Zed follow an absolute
// XDG_CONFIG_HOME, Copilot COPILOT_HOME, Gemini GEMINI_CLI_HOME.
TEST_F(QuillmereSetupTool, ConfigurationFolderVariables) {
    const std::tuple<const char*, std::map<std::string, std::string>, fs::path> rows[] = {
        {"claude", {{"XDG_CONFIG_HOME", (root / "xdg").string()}}, root / "xdg/Claude/claude_desktop_config.json"},
        {"claude", {{"XDG_CONFIG_HOME", "xdg"}}, home / ".config/Claude/claude_desktop_config.json"},
        {"zed", {{"XDG_CONFIG_HOME", ""}}, home / ".config/zed/settings.json"},
        {"vscode", {{"XDG_CONFIG_HOME", (root / "xdg").string()}}, root / "xdg/Code/User/mcp.json"},
        {"copilot", {{"COPILOT_HOME", (root / "cop").string()}}, root / "cop/mcp-config.json"},
        {"gemini", {{"GEMINI_CLI_HOME", (root / "gem").string()}}, root / "gem/.gemini/settings.json"},
        {"qwen", {{"QWEN_HOME", "qw"}}, root / "qw/settings.json"},
        {"cline", {{"CLINE_MCP_SETTINGS_PATH", "cl/mcp.json"}}, root / "cl/mcp.json"},
    };
    for (const auto& [client, variables, file] : rows) {
        const ProcessResult result = tool(install(client), variables);
        EXPECT_EQ(result.standardOutput, receipt(file, std::nullopt, true, client)) << client << result.standardError;
    }
    // opencode and Kilo read the first of their file names that is present (for opencode
    // first its last name alone, then two of them).
    for (const auto& [client, present] : {std::pair{"opencode", root / "xdg/opencode/config.json"}, std::pair{"opencode", root / "xdg/opencode/opencode.jsonc"}, std::pair{"kilo", root / "xdg/kilo/kilo.json"}}) {
        writeFile(root / "xdg/opencode/config.json", "{}");
        writeFile(present, "{}");
        const ProcessResult result = tool(install(client), {{"XDG_CONFIG_HOME", (root / "xdg").string()}});
        EXPECT_TRUE(result.standardOutput.starts_with("configuration: " + present.string() + "\n")) << result.standardOutput;
    }
}

// The real claude, found in ~/.local/bin, writes the user configuration where it keeps
// it; a running session's own members stay, and a failed replacement keeps the old entry.
TEST_F(QuillmereSetupTool, ClaudeCodeIsRegisteredThroughTheRealTool) {
    const fs::path config = home / ".claude.json";
    fs::create_directories(home / ".local/bin");
    fs::create_symlink(realTool("claude"), home / ".local/bin/claude");
    const auto claude = [&](Lines arguments, std::map<std::string, std::string> environment = {}) {
        environment["HOME"] = home.string();
        return runProcess({.program = realTool("claude"), .arguments = std::move(arguments), .environment = std::move(environment)}).standardOutput;
    };
    writeFile(config, R"({"numStartups": 3, "mcpServers": {"notes": {"type": "stdio", "command": "/bin/notes", "args": []}}})");
    const ProcessResult first = tool(install("claude-code"));
    EXPECT_EQ(first.standardOutput, receipt(config, std::nullopt, true)) << first.describe() << first.standardError;
    EXPECT_NE(claude({"mcp", "get", "quillmere"}).find("Args: --stdio --cloud-root " + folder.string()), std::string::npos);
    EXPECT_EQ(json::parse(readFile(config))["numStartups"], 3);
    EXPECT_EQ(tool(install("claude-code")).standardOutput, receipt(config, std::nullopt, false));

    expectConflictThenReplace("claude-code", config);
    EXPECT_NE(claude({"mcp", "get", "quillmere"}).find("Command: " + (root / "other/bin/quillmere-mcp").string()), std::string::npos);
    EXPECT_NE(claude({"mcp", "get", "notes"}).find("Command: /bin/notes"), std::string::npos) << "other servers are kept";

    writeFile(config, "{\"mcpServers\": ");  // unusable: nothing is run
    EXPECT_EQ(tool(install("claude-code", {"--replace"})).standardError, std::string(SetupFailure(SetupFailure::Kind::malformed).what()) + "\n");
    EXPECT_EQ(readFile(config), "{\"mcpServers\": ");

    std::string history;
    for (int line = 0; line < 1 << 16; ++line) history += "\"" + std::string(140, 'x') + "\",";
    const std::tuple<const char*, std::function<void()>, std::map<std::string, std::string>, fs::path> rows[] = {
        {"CLAUDE_CONFIG_DIR, relative", [] {}, {{"CLAUDE_CONFIG_DIR", "claude-dir"}}, root / "claude-dir/.claude.json"},
        {"a legacy file", [&] { writeFile(home / ".claude/.config.json", "{}"); }, {}, home / ".claude/.config.json"},
        {"9 MiB of history", [&] { writeFile(config, "{\"history\": [" + history + "0]}"); }, {}, config},
    };
    for (const auto& [what, make, variables, file] : rows) {
        SCOPED_TRACE(what);
        fs::remove(config), fs::remove_all(home / ".claude");
        make();
        for (const bool changed : {true, false}) {
            const ProcessResult result = tool(install("claude-code"), variables);
            EXPECT_EQ(result.standardOutput, receipt(file, std::nullopt, changed)) << result.standardError;
        }
        const auto own = variables.empty() ? variables : std::map<std::string, std::string>{{"CLAUDE_CONFIG_DIR", file.parent_path().string()}};
        EXPECT_NE(claude({"mcp", "get", "quillmere"}, own).find("Command: " + server.string()), std::string::npos);
    }

    writeFile(root / "claude-failing", "#!/bin/sh\ncase \"$*\" in *add-json*other/bin*) exit 1;; esac\nexec " + realTool("claude").string() + " \"$@\"\n");
    fs::permissions(root / "claude-failing", fs::perms::owner_all);
    const ProcessResult failed = tool({"--client", "claude-code", "--folder", folder.string(), "--server", (root / "other/bin/quillmere-mcp").string(),
                                       "--replace", "--claude", (root / "claude-failing").string()});
    EXPECT_NE(failed.standardError.find("备份文件：" + (home / ".claude.json.quillmere-backup-").string()), std::string::npos) << failed.standardError;
    EXPECT_NE(claude({"mcp", "get", "quillmere"}).find("Command: " + server.string()), std::string::npos) << "the old entry is back";
    // The same program now reports success and changes nothing: the read-back says so.
    writeFile(root / "claude-failing", "#!/bin/sh\n");
    const ProcessResult unchanged = tool({"--client", "claude-code", "--folder", folder.string(), "--server", (root / "other/bin/quillmere-mcp").string(),
                                          "--replace", "--claude", (root / "claude-failing").string()});
    EXPECT_NE(unchanged.standardError.find(SetupFailure(SetupFailure::Kind::verification).what()), std::string::npos) << unchanged.standardError;
}

// The real gemini reads the commented settings quillmere-setup edited, by its own comment
// rules; what it could not load is left alone.
TEST_F(QuillmereSetupTool, GeminiListsTheServerFromCommentedSettings) {
    const std::string malformed = SetupFailure(SetupFailure::Kind::malformedCommented).what();
    const std::pair<std::string, std::string> rows[] = {
        {"{\n  // mine\n  \"general\": {\"vimMode\": false}\n}\n", ""},
        {"{\"general\": {} // a CR ends no comment\r, \"x\": 2\n}", ""},
        {"\xEF\xBB\xBF{}", malformed},
    };
    for (const auto& [text, refusal] : rows) {
        writeFile(home / ".gemini/settings.json", text);
        const ProcessResult installed = tool(install("gemini"));
        EXPECT_EQ(installed.standardError, refusal.empty() ? "" : refusal + "\n") << text;
        EXPECT_EQ(installed.standardOutput.find("trusted folder") == std::string::npos, !refusal.empty()) << installed.standardOutput;
        if (!refusal.empty()) {
            EXPECT_EQ(readFile(home / ".gemini/settings.json"), text);
            continue;
        }
        const ProcessResult listed = runProcess(
            {.program = realTool("gemini"), .arguments = {"mcp", "list"}, .environment = {{"HOME", home.string()}}, .workingDirectory = home});
        EXPECT_NE((listed.standardOutput + listed.standardError).find("quillmere: " + server.string() + " --stdio --cloud-root " + folder.string()),
                  std::string::npos) << text << listed.standardOutput << listed.standardError;
    }
}

// The real clients that run here read what quillmere-setup added to a commented file and
// connect to the real server.
TEST_F(QuillmereSetupTool, RealClientsConnectToTheRegisteredServer) {
    const fs::path mcp = buildDirectory() / "bin/quillmere-mcp";
    const std::tuple<const char*, fs::path, std::string> rows[] = {
        {"opencode", home / ".config/opencode/opencode.json", "connected"},
        {"kilo", home / ".config/kilo/kilo.jsonc", "connected"},
        {"qwen", home / ".qwen/settings.json", "Connected"},
        {"auggie", home / ".augment/settings.json", "stdio"},
    };
    for (const auto& [client, file, shown] : rows) {
        writeFile(file, "{\n  // mine\n  \"x\": 1\n}\n");
        const ProcessResult installed = tool({"--client", client, "--folder", folder.string(), "--server", mcp.string()});
        ASSERT_EQ(installed.exitStatus, 0) << client << installed.standardError;
        const ProcessResult listed = runProcess({.program = realTool(client), .arguments = {"mcp", "list"}, .environment = {{"HOME", home.string()}},
                                                 .unsetEnvironment = {"XDG_CONFIG_HOME", "QWEN_HOME"}, .workingDirectory = root.path()});
        const std::string out = listed.standardOutput + listed.standardError;
        const std::size_t at = out.find("quillmere");
        EXPECT_NE(out.substr(at, out.find('\n', at) - at).find(shown), std::string::npos) << client << ": " << out;
    }
}

// Continue's cn, over a chat endpoint of the test's own, offers the model the server's tools.
TEST_F(QuillmereSetupTool, ContinueOffersTheServersToolsToItsModel) {
    const char* source = std::getenv("QUILLMERE_SOURCE_DIR");
    quillmere::testing::ChildProcess endpoint({.program = "node", .arguments = {(fs::path(source ? source : ".") / "tests/support/chat_stand_in.js").string()}});
    const std::optional<std::string> port = endpoint.readLine(std::chrono::seconds(10));
    ASSERT_TRUE(port);
    writeFile(home / ".continue/config.yaml", "name: Local\nversion: 1.0.0\nschema: v1\n# mine\nmodels:\n  - name: local\n    provider: openai\n"
                                              "    model: m\n    apiKey: x\n    apiBase: http://127.0.0.1:" + *port + "/v1\n");
    ASSERT_EQ(tool({"--client", "continue", "--folder", folder.string(), "--server", (buildDirectory() / "bin/quillmere-mcp").string()}).exitStatus, 0);
    const ProcessResult answered = runProcess({.program = realTool("cn"), .arguments = {"-p", "hello"}, .environment = {{"HOME", home.string()}},
                                               .unsetEnvironment = {"CONTINUE_GLOBAL_DIR"}, .workingDirectory = root.path()});
    const std::optional<std::string> offered = endpoint.readLine(std::chrono::seconds(5));
    ASSERT_TRUE(offered) << answered.describe() << answered.standardError;
    for (const char* name : {"get_sync_status", "list_recordings", "search_transcripts", "get_transcript", "get_audio"})
        EXPECT_NE(offered->find('"' + std::string(name) + '"'), std::string::npos) << *offered;
}

// Links are written through and stay links; what is no regular file, too long or
// malformed is left alone with a message saying why.
TEST_F(QuillmereSetupTool, WhatStandsAtTheConfigurationPathDecides) {
    const fs::path file = home / ".cursor/mcp.json", dotfiles = root / "real-dotfiles/mcp.json";
    const auto link = [&](const fs::path& to) { fs::create_symlink(to, file); };
    const std::string unreadable = "cannot read " + file.string();
    // n links in a row, as many as the kernel follows and one more.
    // A file that the merge makes `over` bytes longer than the 8 MiB read bound.
    const std::size_t growth = [&] {
        writeFile(file, "{\"a\": \"\"}");
        tool(install("cursor"));
        return fs::file_size(file) - 9;
    }();
    const auto mergedPast = [&](std::size_t over) { return "{\"a\": \"" + std::string(8 * 1024 * 1024 - 9 - growth + over, 'x') + "\"}"; };
    const auto chain = [&](int n) {
        fs::remove_all(root / "chain");
        writeFile(root / "chain" / std::to_string(n), "{}");
        for (int i = n - 1; i > 0; --i) fs::create_symlink(std::to_string(i + 1), root / "chain" / std::to_string(i));
        link(root / "chain/1");
    };
    const std::tuple<const char*, std::function<void()>, int, std::string> rows[] = {
        {"40 links in a row", [&] { chain(40); }, 0, "configuration: " + (root / "chain/40").string() + "\n"},
        {"41 links in a row", [&] { chain(41); }, 1, "cannot resolve " + file.string()},
        {"a link to a link", [&] { writeFile(dotfiles, "{}"), fs::create_symlink("real-dotfiles", root / "dotfiles"), link("../../dotfiles/mcp.json"); }, 0, "configuration: " + dotfiles.string() + "\n"},
        {"a dangling link", [&] { link(root / "synced/cursor.json"); }, 0, "configuration: " + (root / "synced/cursor.json").string() + "\n"},
        {"a directory", [&] { fs::create_directories(file); }, 1, unreadable},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, 1, unreadable},
        {"a link to /dev/zero", [&] { link("/dev/zero"); }, 1, "cannot read /dev/zero"},
        {"8 MiB and a byte", [&] { writeFile(file, std::string(8 * 1024 * 1024 + 1, ' ')); }, 1, unreadable},
        {"8 MiB once merged, through a link", [&] { writeFile(dotfiles, mergedPast(0)), link(dotfiles); }, 0, "configuration: " + dotfiles.string() + "\n"},
        {"8 MiB and a byte once merged", [&] { writeFile(file, mergedPast(1)); }, 1, "cannot write " + file.string()},
        {"read-only", [&] { writeFile(file, "{}"), fs::permissions(file, fs::perms(0444)); }, 1, "read-only"},
        {"JSON with a comment", [&] { writeFile(file, "{ // mine\n}"); }, 1, SetupFailure(SetupFailure::Kind::malformed).what()},
    };
    for (const auto& [what, make, status, text] : rows) {
        SCOPED_TRACE(what);
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        make();
        std::error_code tooManyLinks;
        const bool regular = fs::is_regular_file(file, tooManyLinks);
        const std::string before = regular ? readFile(file) : "";
        const ProcessResult result = tool(install("cursor", {"--replace"}));
        EXPECT_EQ(result.exitStatus, status) << result.describe() << result.standardError;
        EXPECT_NE((status == 0 ? result.standardOutput : result.standardError).find(text), std::string::npos);
        EXPECT_EQ(listDirectory(file.parent_path()), Lines{"mcp.json"}) << "a backup or temporary file beside it";
        if (status == 0) {
            EXPECT_TRUE(fs::is_symlink(file));
            EXPECT_EQ(json::parse(readFile(file))["mcpServers"]["quillmere"], entry);
        } else if (regular) {
            EXPECT_EQ(readFile(file), before);
        }
    }
}

// codex is found where it is usually installed, before PATH.
TEST_F(QuillmereSetupTool, CodexIsFoundWhereItIsUsuallyInstalledAndRegisteredThroughIt) {
    const fs::path config = codexHome / "config.toml";
    fs::create_directories(home / ".local/bin");
    fs::create_symlink(realTool("codex"), home / ".local/bin/codex");
    executable(root / "path/codex");  // would fail every run
    const std::map<std::string, std::string> path{{"PATH", nodeDirectory() + ":" + (root / "path").string()}};
    const ProcessResult first = tool(install("codex"), path);
    EXPECT_EQ(first.standardOutput, receipt(config, std::nullopt, true)) << first.describe() << first.standardError;
    EXPECT_EQ(tool(install("codex"), path).standardOutput, receipt(config, std::nullopt, false));
    writeFile(config, readFile(config) + "enabled = false\n");  // codex's own way of switching a server off
    EXPECT_EQ(tool(install("codex"), path).exitStatus, 3);
    expectConflictThenReplace("codex", config);
}

// codex runs in the home directory; a relative CODEX_HOME still means the folder below
// the directory quillmere-setup was run in, where the file is read and backed up, and an
// empty one the default.
TEST_F(QuillmereSetupTool, RelativeOrEmptyCodexHome) {
    for (const auto& [value, config] : {std::pair{"relative/codex", root / "relative/codex/config.toml"},
                                        std::pair{"", home / ".codex/config.toml"}}) {
        const ProcessResult result = tool(install("codex", {"--codex", realTool("codex").string()}), {{"CODEX_HOME", value}});
        EXPECT_EQ(result.standardOutput, receipt(config, std::nullopt, true)) << result.describe() << result.standardError;
        EXPECT_NE(readFile(config).find("quillmere"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(home / "relative"));
}

TEST_F(QuillmereSetupTool, RefusedBeforeAnythingIsWrittenWithTheWindowsMessages) {
    writeFile(root / "plain", "");  // neither a server nor a codex program
    const fs::path dollar = root / "$HOME/AgentLibrary", braced = root / "${userHome}/AgentLibrary";  // expanded by gemini, by VS Code and claude
    fs::create_directories(dollar), fs::create_directories(braced);
    const std::string f = folder.string(), s = server.string(), plain = (root / "plain").string();
    const std::string cliMissing = SetupFailure(SetupFailure::Kind::cliMissing).what();
    const std::pair<Lines, std::string_view> rows[] = {
        {{"--client", "cursor", "--folder", (home / "agentlibrary").string(), "--server", s}, wrongFolderNameMessage},
        {{"--folder", (home / "AGENTLIBRARY").string()}, wrongFolderNameMessage},
        {{"--folder", (home / "AgentLibrary2").string()}, wrongFolderNameMessage},
        {{"--folder", (home / "Agent Library").string()}, wrongFolderNameMessage},
        {{"--folder", (home / "AgentLibrar").string()}, wrongFolderNameMessage},
        {{"--client", "cursor", "--folder", f, "--server", (root / "missing").string()}, serverMissingMessage},
        {{"--client", "cursor", "--folder", f, "--server", root.path().string()}, serverMissingMessage},
        {{"--client", "cursor", "--folder", f, "--server", plain}, serverMissingMessage},
        {{"--client", "claude", "--folder", (root / "gone/AgentLibrary").string(), "--server", s}, folderUnreadableMessage},
        {{"--folder", f, "--server", s, "--codex", plain}, cliMissing},
        {{"--client", "claude-code", "--folder", f, "--server", s, "--claude", plain}, SetupFailure(SetupFailure::Kind::claudeCliMissing).what()},
        {{"--client", "claude-code", "--folder", f, "--server", s, "--claude", "/bin/false"}, SetupFailure(SetupFailure::Kind::claudeCliFailed).what()},
        {{"--client", "gemini", "--folder", dollar.string(), "--server", s}, "字符：$\n"},
        {{"--client", "vscode", "--folder", braced.string(), "--server", s}, "字符：${\n"},
        {{"--client", "claude-code", "--folder", braced.string(), "--server", s}, "字符：${\n"},
        {{"--client", "VSCode", "--folder", f}, "(codex, claude, cursor, claude-code, gemini, vscode, copilot, zed, windsurf, opencode, kilo, qwen, cline, cline-vscode, roo, auggie, lmstudio, continue or goose) (see --help)"},
        {{"--client", "Codex", "--folder", f}, "--help"},
        {{"--folder"}, "--help"},
        {{"--frobnicate"}, "--help"},
        {{"--client", "cursor"}, "--help"},
    };
    for (const auto& [arguments, message] : rows) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const ProcessResult result = tool(arguments);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_NE(result.standardError.find(message), std::string::npos) << result.standardError;
        EXPECT_EQ(result.standardOutput, "");
    }
    // "~" for an account without a password entry and without HOME, as a container may run
    // one, is the working folder (root only: it alone can switch to such an account).
    if (::geteuid() == 0) {
        EXPECT_EQ(tool({"--reuid=54321", "--regid=54321", "--clear-groups", (buildDirectory() / "quillmere-setup").string(), "--client", "cursor", "--folder", f, "--server", "~/missing"}, {{"HOME", ""}}, "setpriv").standardError, std::string(serverMissingMessage) + "\n");
    }
    EXPECT_EQ(listDirectory(home), Lines{"AgentLibrary"}) << "a configuration was written";
    EXPECT_FALSE(fs::exists(codexHome));
}

// Both spellings of help print the usage, down to the last client of the table;
// --version prints the tool's name and version.
TEST_F(QuillmereSetupTool, HelpInEitherSpellingListsEveryClientAndVersionNamesTheTool) {
    for (const std::string option : {"--help", "-h", "--version"}) {
        const ProcessResult result = tool({option});
        EXPECT_EQ(result.exitStatus, 0) << option << ": " << result.standardError;
        const std::string& out = result.standardOutput;
        EXPECT_TRUE(option == "--version" ? out.starts_with("quillmere-setup ") : out.find(std::string(clientTable.back().raw) + ":") != std::string::npos) << out;
    }
}

// However the folder is given, the entry holds it absolute; without --server, the server is
// bin/quillmere-mcp beside the program, which must be there.
TEST_F(QuillmereSetupTool, TheFolderAndTheDefaultServerAreRegisteredAbsolute) {
    const fs::path program = root / "dist/quillmere-setup", besideIt = root / "dist/bin/quillmere-mcp";
    fs::create_directories(root / "dist");
    fs::copy_file(buildDirectory() / "quillmere-setup", program);
    EXPECT_EQ(tool({"--client", "cursor", "--folder", folder.string()}, {}, program).standardError, std::string(serverMissingMessage) + "\n");
    executable(besideIt);
    const json expected = {{"command", besideIt.string()}, {"args", entry["args"]}};
    for (const char* given : {"home/AgentLibrary/", "~/AgentLibrary", "~/AgentLibrary//"}) {
        fs::remove_all(home / ".cursor");
        const ProcessResult result = tool({"--client", "cursor", "--folder", given}, {}, program);
        EXPECT_EQ(result.exitStatus, 0) << given << ": " << result.standardError;
        EXPECT_EQ(json::parse(readFile(home / ".cursor/mcp.json"))["mcpServers"]["quillmere"], expected) << given;
    }
}

}  // namespace
}  // namespace quillmere::setup
