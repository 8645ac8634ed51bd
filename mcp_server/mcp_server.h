#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp_server/library.h"

namespace quillmere::mcp {

// Turns one input line into at most one JSON-RPC 2.0 response: validates the
// message, runs the MCP lifecycle with version negotiation, lists the tool
// catalogue and routes tools/call to the tools. Writes nothing itself.
// Speaks both eras: the handshake revisions through initialize, and 2026-07-28,
// whose requests each carry their version and the client's capabilities.
class MCPServer {
  public:
    // The versions initialize accepts, oldest first; another requested
    // version negotiates the newest.
    static const std::vector<std::string>& supportedVersions();
    // Every revision served, newest first: 2026-07-28, which has no handshake
    // (each request carries its version in params._meta), then those above.
    static const std::vector<std::string>& servedVersions();
    // The tool catalogue, in its fixed order.
    static const nlohmann::json& tools();

    // The body of tools/call, called after the library's refresh; tools.h's
    // call() in production, a stand-in in tests of the result wrapping.
    using ToolCall = std::function<nlohmann::json(Library& library, std::string_view name,
                                                  const nlohmann::json& arguments)>;

    explicit MCPServer(Library& library);
    MCPServer(Library& library, ToolCall toolCall)
        : library_(library), toolCall_(std::move(toolCall)) {}

    // The response to one line of input, or nothing for a notification.
    // Never throws for any input: every problem is an error response, and a
    // failing tool is a result with "isError": true.
    //   handle(R"({"jsonrpc":"2.0","id":"a","method":"ping"})")
    //     -> {"id":"a","jsonrpc":"2.0","result":{}}
    std::optional<nlohmann::json> handle(std::string_view line);

    // Set by the first initialize carrying a string protocolVersion; never cleared,
    // and never touched by a 2026-07-28 request.
    bool initialized() const { return initialized_; }
    const std::string& protocolVersion() const { return protocolVersion_; }

  private:
    nlohmann::json initialize(const nlohmann::json& id, const nlohmann::json& params);
    nlohmann::json handleModern(const nlohmann::json& id, const std::string& method,
                                const nlohmann::json& params, const nlohmann::json& envelope);
    // structured: the result carries structuredContent and get_audio's resource link.
    nlohmann::json callTool(const nlohmann::json& id, const nlohmann::json& params, bool structured);
    static nlohmann::json toolResult(std::string_view name, const nlohmann::json& result, bool structured);
    // Versions from 2025-06-18 on carry structured content and resource links.
    bool structuredResults() const { return protocolVersion_ >= "2025-06-18"; }

    Library& library_;
    ToolCall toolCall_;
    bool initialized_ = false;
    std::string protocolVersion_ = "2025-11-25";
};

}  // namespace quillmere::mcp
