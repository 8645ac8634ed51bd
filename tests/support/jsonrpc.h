#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace quillmere::testing {

// A JSON-RPC 2.0 request as one line of the stdio transport; params is left out when null.
inline std::string rpcLine(const nlohmann::json& id, std::string_view method,
                           const nlohmann::json& params = nullptr) {
    nlohmann::json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
    if (!params.is_null()) message["params"] = params;
    return message.dump() + "\n";
}

}  // namespace quillmere::testing
