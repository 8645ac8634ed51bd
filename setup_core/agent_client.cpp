#include "setup_core/agent_client.h"

namespace quillmere::setup {

std::string_view rawValue(AgentClient client) {
    switch (client) {
        case AgentClient::codex:
            return "codex";
        case AgentClient::claude:
            return "claude";
        case AgentClient::cursor:
            return "cursor";
    }
    return {};
}

std::string_view title(AgentClient client) {
    switch (client) {
        case AgentClient::codex:
            return "Codex";
        case AgentClient::claude:
            return "Claude Desktop";
        case AgentClient::cursor:
            return "Cursor";
    }
    return {};
}

std::optional<AgentClient> agentClientFromRawValue(std::string_view raw) {
    for (AgentClient client : allAgentClients) {
        if (rawValue(client) == raw) return client;
    }
    return std::nullopt;
}

std::filesystem::path configurationURL(AgentClient client, const std::filesystem::path& home,
                                       const std::filesystem::path& codexHome) {
    switch (client) {
        case AgentClient::codex:
            return codexHome / "config.toml";
        case AgentClient::claude:
            return home / ".config/Claude/claude_desktop_config.json";
        case AgentClient::cursor:
            return home / ".cursor/mcp.json";
    }
    return {};
}

std::filesystem::path codexHome(const std::filesystem::path& home,
                                const std::map<std::string, std::string>& variables) {
    const auto it = variables.find("CODEX_HOME");
    if (it == variables.end() || it->second.empty()) return home / ".codex";
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(it->second, ignored);
    return absolute.empty() ? std::filesystem::path(it->second) : absolute;
}

}  // namespace quillmere::setup
