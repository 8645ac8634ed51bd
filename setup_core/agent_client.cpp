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
const std::array<ClientDescription, 19> clientTable = {{
    // raw, title, location, container, entry beyond command/args, treated as absent, format, install,
    // command shape, container shape, the client's own rules
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
     FileFormat::strictJSON, InstallPath::claudeCodeTool, CommandShape::commandAndArgs,
     ContainerShape::byKey, {.readBound = 128 * 1024 * 1024, .expands = "${"}},
    // Gemini strips comments by LF alone, then parses strictly; it expands $NAME in every string.
    {AgentClient::gemini, "gemini", "Gemini CLI", {V::madeAbsolute, "GEMINI_CLI_HOME", "", ".gemini/settings.json"},
     "mcpServers", "{}", "{}", FileFormat::jsonWithComments, InstallPath::file, CommandShape::commandAndArgs, ContainerShape::byKey,
     {.comments = {.crEndsLineComment = false, .byteOrderMark = false},
      .expands = "$",
      .next = "Gemini CLI runs user-level servers only in trusted folders: start gemini in a folder you "
              "trust, and trust it when asked or with \"/permissions trust\"."}},
    // VS Code infers stdio from "command" when "type" is missing.
    // It substitutes ${userHome}, ${env:NAME}, ... in the entry.
    {AgentClient::vscode, "vscode", "VS Code", xdgConfig("Code/User/mcp.json"),
     "servers", R"({"type": "stdio"})", R"({"type": "stdio"})", FileFormat::jsonWithComments, InstallPath::file,
     CommandShape::commandAndArgs, ContainerShape::byKey, {.expands = "${"}},
    {AgentClient::copilot, "copilot", "GitHub Copilot CLI", {V::madeAbsolute, "COPILOT_HOME", ".copilot", "mcp-config.json"},
     "mcpServers", R"({"type": "local", "tools": ["*"]})", "{}", FileFormat::strictJSON, InstallPath::file},
    // Current Zed reads a custom server from "command"/"args"/"env" alone; its older settings
    // needed "source": "custom", which its own dialog still writes, so that counts as absent.
    {AgentClient::zed, "zed", "Zed", xdgConfig("zed/settings.json"),
     "context_servers", R"({"env": {}})", R"({"env": {}, "source": "custom"})", FileFormat::jsonWithComments,
     InstallPath::file},
    {AgentClient::windsurf, "windsurf", "Windsurf", {V::none, "", ".codeium/windsurf", "mcp_config.json"},
     "mcpServers", "{}", "{}", FileFormat::strictJSON, InstallPath::file},
    // opencode and its fork Kilo read one array as the command line; "enabled" defaults to true.
    {AgentClient::opencode, "opencode", "opencode",
     {V::absoluteOnly, "XDG_CONFIG_HOME", ".config", "opencode/opencode.json", "opencode.jsonc config.json"},
     "mcp", R"({"type": "local", "enabled": true})", R"({"enabled": true})", FileFormat::jsonWithComments,
     InstallPath::file, CommandShape::commandArray},
    {AgentClient::kilo, "kilo", "Kilo Code", {V::absoluteOnly, "XDG_CONFIG_HOME", ".config", "kilo/kilo.jsonc", "kilo.json"},
     "mcp", R"({"type": "local", "enabled": true})", R"({"enabled": true})", FileFormat::jsonWithComments,
     InstallPath::file, CommandShape::commandArray},
    // Qwen Code keeps Gemini CLI's settings loader: the same comments, $NAME expanded in every string.
    {AgentClient::qwen, "qwen", "Qwen Code", {V::madeAbsolute, "QWEN_HOME", ".qwen", "settings.json"},
     "mcpServers", "{}", "{}", FileFormat::jsonWithComments, InstallPath::file, CommandShape::commandAndArgs,
     ContainerShape::byKey, {.comments = {.crEndsLineComment = false, .byteOrderMark = false}, .expands = "$"}},
    // Cline and Roo Code fill in what their own dialogs write when it is missing.
    {AgentClient::cline, "cline", "Cline CLI",
     {V::wholeFile, "CLINE_MCP_SETTINGS_PATH", ".cline/data/settings", "cline_mcp_settings.json"},
     "mcpServers", R"({"type": "stdio"})", R"({"type": "stdio", "disabled": false, "autoApprove": [], "timeout": 60})",
     FileFormat::strictJSON, InstallPath::file},
    {AgentClient::clineVSCode, "cline-vscode", "Cline (VS Code)",
     xdgConfig("Code/User/globalStorage/saoudrizwan.claude-dev/settings/cline_mcp_settings.json"),
     "mcpServers", R"({"type": "stdio"})", R"({"type": "stdio", "disabled": false, "autoApprove": [], "timeout": 60})",
     FileFormat::strictJSON, InstallPath::file},
    {AgentClient::roo, "roo", "Roo Code", xdgConfig("Code/User/globalStorage/rooveterinaryinc.roo-cline/settings/mcp_settings.json"),
     "mcpServers", R"({"type": "stdio"})", R"({"type": "stdio", "disabled": false, "alwaysAllow": [], "timeout": 60})",
     FileFormat::strictJSON, InstallPath::file},
    // Auggie reads comments; its own `mcp add` writes "type" and an empty "env".
    {AgentClient::auggie, "auggie", "Auggie", {V::none, "", ".augment", "settings.json"},
     "mcpServers", R"({"type": "stdio"})", R"({"type": "stdio", "env": {}})", FileFormat::jsonWithComments,
     InstallPath::file},
    {AgentClient::lmstudio, "lmstudio", "LM Studio", {V::none, "", ".lmstudio", "mcp.json"},
     "mcpServers", "{}", "{}", FileFormat::strictJSON, InstallPath::file},
    // Continue lists its servers, each named by its "name".
    {AgentClient::continueDev, "continue", "Continue", {V::madeAbsolute, "CONTINUE_GLOBAL_DIR", ".continue", "config.yaml"},
     "mcpServers", "{}", R"({"type": "stdio"})", FileFormat::yaml, InstallPath::file, CommandShape::commandAndArgs,
     ContainerShape::listByName},
    // Goose names the program "cmd" and writes its optional members out when it saves.
    {AgentClient::goose, "goose", "Goose", xdgConfig("goose/config.yaml"),
     "extensions", R"({"type": "stdio", "name": "quillmere", "enabled": true, "timeout": 300})",
     R"({"envs": {}, "env_keys": [], "bundled": null, "description": null, "available_tools": []})", FileFormat::yaml,
     InstallPath::file, CommandShape::cmdAndArgs},
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
        if (location.rule == V::madeAbsolute || location.rule == V::wholeFile) {
            std::error_code ignored;
            const std::filesystem::path absolute = std::filesystem::absolute(value, ignored);
            if (location.rule == V::wholeFile) return absolute.empty() ? value : absolute;
            folder = absolute.empty() ? value : absolute;
        } else if (value.is_absolute()) {
            folder = value;
        }
    }
    const std::filesystem::path file = folder / location.file;
    // A dangling link counts as present: writing through it keeps it.
    const auto present = [](const std::filesystem::path& path) {
        std::error_code ignored;
        return std::filesystem::is_symlink(path, ignored) || std::filesystem::exists(path, ignored);
    };
    if (location.alternatives.empty() || present(file)) return file;
    for (std::string_view rest = location.alternatives; !rest.empty();) {
        const std::size_t space = rest.find(' ');
        const std::filesystem::path other = file.parent_path() / rest.substr(0, space);
        if (present(other)) return other;
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    }
    return file;
}

std::filesystem::path codexHome(const std::filesystem::path& home,
                                const std::map<std::string, std::string>& variables) {
    return configurationURL(AgentClient::codex, home, variables).parent_path();
}

}  // namespace quillmere::setup
