#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "setup_core/jsonc_text.h"

namespace quillmere::setup {

// The AI clients the server can be registered with: the window's three first, in its order.
enum class AgentClient {
    codex, claude, cursor, claudeCode, gemini, vscode, copilot, zed, windsurf,
    opencode, kilo, qwen, cline, clineVSCode, roo, auggie, lmstudio, continueDev, goose,
};

// How a client's configuration file is written.
enum class FileFormat {
    toml,              // only through the client's own tool
    strictJSON,        // RFC 8259; rewritten whole, keys sorted
    jsonWithComments,  // edited as text: only the "quillmere" member changes
    yaml,              // edited as text in block style: only the "quillmere" entry changes
};

// How an entry names the program and its arguments.
enum class CommandShape {
    commandAndArgs,  // "command": program, "args": [arguments]
    commandArray,    // "command": [program, arguments...]
    cmdAndArgs,      // "cmd": program, "args": [arguments]
};

// How the container holds the servers.
enum class ContainerShape {
    byKey,       // an object whose member "quillmere" is the entry
    listByName,  // a list whose item with "name": "quillmere" is the entry
};

// Who writes the configuration.
enum class InstallPath { codexTool, claudeCodeTool, file };

// Where a configuration lives: folder / file, the folder being $variable when that is
// set and usable, else home / fallback.
struct ConfigurationLocation {
    enum class Variable {
        none,
        madeAbsolute,  // any non-empty value, made absolute against the working directory
        absoluteOnly,  // the XDG rule: an empty or relative value is ignored
        wholeFile,     // like madeAbsolute, but the value names the file itself
    };
    Variable rule = Variable::none;
    std::string_view variable;  // e.g. "XDG_CONFIG_HOME"
    std::string_view fallback;  // below home
    std::string_view file;      // below the folder
    // Other names of the file in the same folder, separated by spaces: the first of file and
    // these that exists is the one the client reads.
    std::string_view alternatives = "";
};

// Where setup must follow what a client itself does beyond its file's format; a row
// without them takes these defaults.
struct ClientRules {
    // Only what setup reads back may be larger: the longest file it reads, in bytes.
    std::size_t readBound = 8 * 1024 * 1024;
    // How the client reads JSON with comments.
    jsonc::Dialect comments = {};
    // What opens a variable the client expands in "command" and "args" ("$", "${"); empty
    // when it expands none. An entry holding it would reach the server changed: refused.
    std::string_view expands;
    // What the person does next for the server to run, where the client asks for more
    // than a restart; quillmere-setup's receipt says it.
    std::string_view next;
};

// One row of the client table; see clientTable in agent_client.cpp.
struct ClientDescription {
    AgentClient client;
    std::string_view raw;    // the identifier: --client value, window object names
    std::string_view title;  // the name shown to people
    ConfigurationLocation location;
    std::string_view container;  // the member holding the servers
    // Members written beside "command" and "args", as a JSON object text.
    std::string_view entryFields;
    // Members that the client treats as absent (it adds them itself, or assumes them when
    // missing), as a JSON object text: an existing entry equals ours when both are the
    // same once members holding exactly these values are dropped. "{}" means equal
    // is identical.
    std::string_view defaults;
    FileFormat format;
    InstallPath install;
    CommandShape command = CommandShape::commandAndArgs;
    ContainerShape holder = ContainerShape::byKey;
    ClientRules rules = {};
};

// Every client, in the order of AgentClient.
extern const std::array<ClientDescription, 19> clientTable;
// The row of client.
const ClientDescription& describe(AgentClient client);

// Every client, in declaration order.
inline constexpr std::array<AgentClient, 19> allAgentClients = {
    AgentClient::codex,   AgentClient::claude, AgentClient::cursor, AgentClient::claudeCode, AgentClient::gemini,
    AgentClient::vscode, AgentClient::copilot, AgentClient::zed,    AgentClient::windsurf,
    AgentClient::opencode, AgentClient::kilo, AgentClient::qwen, AgentClient::cline, AgentClient::clineVSCode,
    AgentClient::roo, AgentClient::auggie, AgentClient::lmstudio, AgentClient::continueDev, AgentClient::goose};

// "codex", "claude", "cursor", "claude-code", ...; also the client's identifier.
std::string_view rawValue(AgentClient client);
// The name shown to people: "Codex", "Claude Desktop", "Cursor", "Claude Code", ...
std::string_view title(AgentClient client);
// Exactly the raw values of the table; nullopt for anything else (case matters).
std::optional<AgentClient> agentClientFromRawValue(std::string_view raw);

// Where the client keeps its configuration on this system, by its row's location rule:
// codexHome/config.toml for Codex, $XDG_CONFIG_HOME/Claude/claude_desktop_config.json
// (default home/.config) for Claude Desktop, home/.cursor/mcp.json for Cursor, ...
// Only joins paths, except that a row with alternatives looks which of its names exists.
std::filesystem::path configurationURL(AgentClient client, const std::filesystem::path& home,
                                       const std::map<std::string, std::string>& variables);

// Codex's home: $CODEX_HOME when set and not empty, made absolute against the working
// directory (codex runs elsewhere, and a relative value would name another folder
// there), else home/.codex. An empty value would name the working directory, never
// what the user meant.
std::filesystem::path codexHome(const std::filesystem::path& home,
                                const std::map<std::string, std::string>& variables);

}  // namespace quillmere::setup
