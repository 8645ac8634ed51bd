#include "setup_core/agent_client.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "setup_core/setup_failure.h"

namespace quillmere::setup {
namespace {

TEST(AgentClient, RawValuesRoundTripInPickerOrder) {
    std::vector<std::string> raw;
    for (AgentClient client : allAgentClients) {
        raw.emplace_back(rawValue(client));
        EXPECT_EQ(agentClientFromRawValue(rawValue(client)), client);
    }
    EXPECT_EQ(raw, (std::vector<std::string>{"codex", "claude", "cursor"}));
    EXPECT_EQ(title(AgentClient::claude), "Claude Desktop");
}

TEST(AgentClient, OtherRawValuesAreRefused) {
    for (const char* raw : {"", "Codex", "CLAUDE", "claude ", "claude-desktop", "vscode"}) {
        EXPECT_FALSE(agentClientFromRawValue(raw).has_value()) << raw;
    }
}

TEST(AgentClient, ConfigurationFilesLiveWhereEachClientReadsThem) {
    const std::filesystem::path home = "/home/ada";
    const std::filesystem::path codexHome = "/srv/codex-home";
    EXPECT_EQ(configurationURL(AgentClient::codex, home, codexHome), "/srv/codex-home/config.toml");
    EXPECT_EQ(configurationURL(AgentClient::claude, home, codexHome),
              "/home/ada/.config/Claude/claude_desktop_config.json");
    EXPECT_EQ(configurationURL(AgentClient::cursor, home, codexHome), "/home/ada/.cursor/mcp.json");
}

TEST(SetupFailure, EqualByKindWithOneMessageEach) {
    using Kind = SetupFailure::Kind;
    const Kind kinds[] = {Kind::malformed,    Kind::conflict,         Kind::changed,
                          Kind::cliMissing,   Kind::cliFailed,        Kind::timedOut,
                          Kind::verification, Kind::linkedCodexConfig};
    std::set<std::string> messages;
    for (Kind kind : kinds) {
        SetupFailure failure(kind);
        EXPECT_EQ(failure, SetupFailure(kind));
        EXPECT_STREQ(failure.what(), failure.errorDescription().c_str());
        EXPECT_FALSE(failure.errorDescription().empty());
        messages.insert(failure.errorDescription());
    }
    EXPECT_EQ(messages.size(), std::size(kinds));
    EXPECT_NE(SetupFailure(Kind::conflict), SetupFailure(Kind::changed));
}

}  // namespace
}  // namespace quillmere::setup
