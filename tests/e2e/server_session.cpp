#include "tests/e2e/server_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/jsonrpc.h"

namespace quillmere::testing {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path serverProgram() {
    const char* build = std::getenv("QUILLMERE_BUILD_DIR");
    if (build == nullptr) throw std::runtime_error("QUILLMERE_BUILD_DIR is not set");
    return fs::path(build) / "bin" / "quillmere-mcp";
}

ProcessOptions serverOptions(const fs::path& home, std::vector<std::string> arguments) {
    return {.program = serverProgram(),
            .arguments = std::move(arguments),
            .environment = {{"HOME", home.string()}},
            .unsetEnvironment = {"XDG_CONFIG_HOME", "XDG_CACHE_HOME"}};
}

ServerSession::ServerSession(const fs::path& home, const fs::path& root, const fs::path& cacheRoot)
    : ChildProcess(serverOptions(home, {"--stdio", "--cloud-root", root.string(), "--cache-root", cacheRoot.string()})) {
    std::optional<json> response = request("initialize", {{"protocolVersion", "2025-11-25"},
                                                          {"capabilities", json::object()},
                                                          {"clientInfo", {{"name", "e2e"}, {"version", "1"}}}});
    EXPECT_TRUE(response && response->contains("result")) << standardError();
    write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n");
}

std::optional<json> ServerSession::receive() {
    std::optional<std::string> line = readLine(std::chrono::seconds(90));
    if (!line) return std::nullopt;
    json value = json::parse(*line, nullptr, false);
    if (value.is_discarded()) ADD_FAILURE() << "not a JSON line: " << line->substr(0, 200);
    return value.is_discarded() ? std::nullopt : std::optional<json>(value);
}

std::optional<json> ServerSession::request(std::string_view method, const json& params) {
    const int id = nextId_++;
    write(rpcLine(id, method, params));
    std::optional<json> response = receive();
    if (response && (*response)["id"] != id)
        ADD_FAILURE() << "response to another id: " << response->dump().substr(0, 300);
    return response;
}

std::optional<json> ServerSession::call(std::string_view tool, const json& arguments) {
    std::optional<json> response = request("tools/call", {{"name", tool}, {"arguments", arguments}});
    if (!response) return std::nullopt;
    const json& result = (*response)["result"];
    if (!result.is_object()) {
        ADD_FAILURE() << "tools/call without a result: " << response->dump().substr(0, 300);
        return json{{"error_text", "no result"}};
    }
    if (result.value("isError", false)) return json{{"error_text", result["content"][0]["text"]}};
    return result["structuredContent"];
}

int ServerSession::finish() {
    ProcessResult result = ChildProcess::finish(std::chrono::seconds(30));
    return result.exitStatus && !result.timedOut ? *result.exitStatus : -1;
}

}  // namespace quillmere::testing
