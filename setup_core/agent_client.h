#pragma once

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::setup {

// The AI clients the server can be registered with, in the order the window lists them.
enum class AgentClient { codex, claude, cursor };

// Every client, in declaration order.
inline constexpr std::array<AgentClient, 3> allAgentClients = {
    AgentClient::codex, AgentClient::claude, AgentClient::cursor};

// "codex", "claude" or "cursor"; also the client's identifier.
std::string_view rawValue(AgentClient client);
// The name shown to people: "Codex", "Claude Desktop", "Cursor".
std::string_view title(AgentClient client);
// Exactly the three raw values; nullopt for anything else (case matters).
std::optional<AgentClient> agentClientFromRawValue(std::string_view raw);

// Where the client keeps its configuration on this system: codexHome/config.toml for
// Codex, home/.config/Claude/claude_desktop_config.json for Claude Desktop and
// home/.cursor/mcp.json for Cursor. Only joins paths; touches no file.
std::filesystem::path configurationURL(AgentClient client, const std::filesystem::path& home,
                                       const std::filesystem::path& codexHome);

// Codex's home: $CODEX_HOME when set and not empty, made absolute against the working
// directory (codex runs elsewhere, and a relative value would name another folder
// there), else home/.codex. An empty value would name the working directory, never
// what the user meant.
std::filesystem::path codexHome(const std::filesystem::path& home,
                                const std::map<std::string, std::string>& variables);

}  // namespace quillmere::setup
