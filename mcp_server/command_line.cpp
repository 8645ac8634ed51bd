#include "mcp_server/command_line.h"

#include <algorithm>

namespace quillmere::mcp {

CommandLine::CommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) arguments_.emplace_back(argv[i]);
}

bool CommandLine::flag(std::string_view name) const {
    return std::find(arguments_.begin(), arguments_.end(), name) != arguments_.end();
}

std::optional<std::string> CommandLine::argument(std::string_view name) const {
    auto option = std::find(arguments_.begin(), arguments_.end(), name);
    if (option == arguments_.end() || std::next(option) == arguments_.end()) return std::nullopt;
    return *std::next(option);
}

const std::string_view helpText =
    "quillmere-mcp --choose-folder       Choose iCloud Drive/Quillmere/AgentLibrary once\n"
    "quillmere-mcp --stdio               Serve read-only MCP using the saved folder\n"
    "quillmere-mcp --status              Print local sync status\n"
    "quillmere-mcp --stdio --cloud-root /absolute/path/AgentLibrary\n"
    "Optional: --cache-root /absolute/path (audio cache only)\n"
    "Transport: newline-delimited JSON-RPC over stdio. No network listener.\n";

}  // namespace quillmere::mcp
