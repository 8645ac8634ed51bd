#include "mcp_server/tools.h"

#include "mcp_server/tool_failure.h"

namespace quillmere::mcp {

// INTERIM: tool execution is still to be written.
nlohmann::json call(Library&, std::string_view name, const nlohmann::json&) {
    throw ToolFailure("not_implemented", std::string(name));
}

}  // namespace quillmere::mcp
