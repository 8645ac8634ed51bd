#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "setup_core/client_configuration.h"

// The fixed parts of the Codex install (ClientConfiguration::installCodex and
// findCodex, and Claude Code's installClaudeCode and findClaude, are implemented beside
// them, in codex_install.cpp).
namespace quillmere::setup::codex {

// Wall-clock limit of every codex (and claude) run, in seconds.
inline constexpr double runTimeout = 20.0;

// mcp list --json
std::vector<std::string> listArguments();
// mcp add quillmere -- <executable> <arguments...>
std::vector<std::string> addArguments(const ClientConfiguration& configuration);
// mcp get quillmere --json
std::vector<std::string> getArguments();

// True when a registration object printed by codex (an element of the list output, or
// the get output) starts this configuration: "transport" is an object whose "command"
// is the executable's path and whose "args" are exactly arguments(), and "enabled" is
// not the boolean false (missing or not a boolean counts as enabled). Other members
// are ignored.
bool registrationMatches(const nlohmann::json& registration,
                         const ClientConfiguration& configuration);

}  // namespace quillmere::setup::codex
