#include "setup_core/agent_client.h"

namespace quillmere::setup {

namespace {
using V = ConfigurationLocation::Variable;
constexpr ConfigurationLocation xdgConfig(std::string_view file) {
    return {V::absoluteOnly, "XDG_CONFIG_HOME", ".config", file};
}
}  // namespace

// Adding a client is one row here (and its tests). Entry shapes are what each client's
// own documentation writes for a local stdio server.
const std::array<ClientDescription, 9> clientTable = {{
    // raw, title, location, container, entry beyond command/args, treated as absent, format, install,
    // the client's own rules
    {AgentClient::codex, "codex", "Codex", {V::madeAbsolute, "CODEX_HOME", ".codex", "config.toml"},
     "mcp_servers", "{}", "{}", FileFormat::toml, InstallPath::codexTool},
    {AgentClient::claude, "claude", "Claude Desktop", xdgConfig("Claude/claude_desktop_config.json"),
     "mcpServers", "{}", "{}", FileFormat::strictJSON, InstallPath::file},
    {AgentClient::cursor, "cursor", "Cursor", {V::none, "", ".cursor", "mcp.json"},
     "mcpServers", "{}", "{}", FileFormat::strictJSON, InstallPath::file},
    // `claude mcp add` writes "type" and an empty "env"; `add-json` keeps what it is given.
    // The file is where claude puts it: see claudeCodeFile. It expands ${NAME} when it starts a server.
    {AgentClient::claudeCode, "claude-code", "Claude Code", {V::madeAbsolute, "CLAUDE_CONFIG_DIR", "", ".claude.json"},
     "mcpServers", R"({"type": "stdio", "env": {}})", R"({"type": "stdio", "env": {}})",
     FileFormat::strictJSON, InstallPath::claudeCodeTool, {.readBound = 128 * 1024 * 1024, .expands = "${"}},
    // Gemini strips comments by LF alone, then parses strictly; it expands $NAME in every string.
    {AgentClient::gemini, "gemini", "Gemini CLI", {V::madeAbsolute, "GEMINI_CLI_HOME", "", ".gemini/settings.json"},
     "mcpServers", "{}", "{}", FileFormat::jsonWithComments, InstallPath::file,
     {.comments = {.crEndsLineComment = false, .byteOrderMark = false},
      .expands = "$",
      .next = "Gemini CLI runs user-level servers only in trusted folders: start gemini in a folder you "
              "trust, and trust it when asked or with \"/permissions trust\"."}},
    // VS Code infers stdio from "command" when "type" is missing.
    // It substitutes ${userHome}, ${env:NAME}, ... in the entry.
    {AgentClient::vscode, "vscode", "VS Code", xdgConfig("Code/User/mcp.json"),
     "servers", R"({"type": "stdio"})", R"({"type": "stdio"})", FileFormat::jsonWithComments, InstallPath::file,
     {.expands = "${"}},
    {AgentClient::copilot, "copilot", "GitHub Copilot CLI", {V::madeAbsolute, "COPILOT_HOME", ".copilot", "mcp-config.json"},
     "mcpServers", R"({"type": "local", "tools": ["*"]})", "{}", FileFormat::strictJSON, InstallPath::file},
    // Current Zed reads a custom server from "command"/"args"/"env" alone; its older settings
    // needed "source": "custom", which its own dialog still writes, so that counts as absent.
    {AgentClient::zed, "zed", "Zed", xdgConfig("zed/settings.json"),
     "context_servers", R"({"env": {}})", R"({"env": {}, "source": "custom"})", FileFormat::jsonWithComments,
     InstallPath::file},
    {AgentClient::windsurf, "windsurf", "Windsurf", {V::none, "", ".codeium/windsurf", "mcp_config.json"},
     "mcpServers", "{}", "{}", FileFormat::strictJSON, InstallPath::file},
}};

const ClientDescription& describe(AgentClient client) {
    for (const ClientDescription& row : clientTable) {
        if (row.client == client) return row;
    }
    return clientTable.front();  // unreachable: every client has its row
}

std::string_view rawValue(AgentClient client) { return describe(client).raw; }

std::string_view title(AgentClient client) { return describe(client).title; }

std::optional<AgentClient> agentClientFromRawValue(std::string_view raw) {
    for (const ClientDescription& row : clientTable) {
        if (row.raw == raw) return row.client;
    }
    return std::nullopt;
}

std::filesystem::path configurationURL(AgentClient client, const std::filesystem::path& home,
                                       const std::map<std::string, std::string>& variables) {
    const ConfigurationLocation& location = describe(client).location;
    std::filesystem::path folder = home / location.fallback;
    if (const auto it = variables.find(std::string(location.variable));
        location.rule != V::none && it != variables.end() && !it->second.empty()) {
        const std::filesystem::path value = it->second;
        if (location.rule == V::madeAbsolute) {
            std::error_code ignored;
            const std::filesystem::path absolute = std::filesystem::absolute(value, ignored);
            folder = absolute.empty() ? value : absolute;
        } else if (value.is_absolute()) {
            folder = value;
        }
    }
    return folder / location.file;
}

std::filesystem::path codexHome(const std::filesystem::path& home,
                                const std::map<std::string, std::string>& variables) {
    return configurationURL(AgentClient::codex, home, variables).parent_path();
}

}  // namespace quillmere::setup
