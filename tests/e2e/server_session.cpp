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

namespace {

ProcessOptions serverOptions(const fs::path& home, const fs::path& root,
                             std::vector<std::string> extraArguments,
                             std::optional<std::uint64_t> fileSizeLimit) {
    ProcessOptions options{.program = serverProgram(),
                           .arguments = {"--stdio", "--cloud-root", root.string()},
                           .environment = {{"HOME", home.string()}},
                           .unsetEnvironment = {"XDG_CONFIG_HOME", "XDG_CACHE_HOME"}};
    options.arguments.insert(options.arguments.end(), extraArguments.begin(),
                             extraArguments.end());
    options.fileSizeLimit = fileSizeLimit;
    return options;
}

}  // namespace

ServerSession::ServerSession(const fs::path& home, const fs::path& root,
                             std::vector<std::string> extraArguments,
                             std::optional<std::uint64_t> fileSizeLimit)
    : child_(serverOptions(home, root, std::move(extraArguments), fileSizeLimit)) {
    EXPECT_TRUE(initialize()) << standardError();
}

std::optional<json> ServerSession::receive() {
    std::optional<std::string> line = child_.readLine(std::chrono::seconds(90));
    if (!line) return std::nullopt;
    json value = json::parse(*line, nullptr, false);
    if (value.is_discarded()) ADD_FAILURE() << "not a JSON line: " << line->substr(0, 200);
    return value.is_discarded() ? std::nullopt : std::optional<json>(value);
}

std::optional<json> ServerSession::request(const json& id, std::string_view method,
                                           const json& params) {
    send(rpcLine(id, method, params));
    std::optional<json> response = receive();
    if (response && (*response)["id"] != id)
        ADD_FAILURE() << "response to another id: " << response->dump().substr(0, 300);
    return response;
}

bool ServerSession::initialize() {
    std::optional<json> response = request(nextId_++, "initialize",
                                           {{"protocolVersion", "2025-11-25"},
                                            {"capabilities", json::object()},
                                            {"clientInfo", {{"name", "e2e"}, {"version", "1"}}}});
    send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
         "\n");
    return response && response->contains("result");
}

std::optional<json> ServerSession::call(std::string_view tool, const json& arguments) {
    std::optional<json> response =
        request(nextId_++, "tools/call", {{"name", tool}, {"arguments", arguments}});
    if (!response) return std::nullopt;
    const json& result = (*response)["result"];
    if (!result.is_object()) {
        ADD_FAILURE() << "tools/call without a result: " << response->dump().substr(0, 300);
        return json{{"error_text", "no result"}};
    }
    if (result.value("isError", false)) return json{{"error_text", result["content"][0]["text"]}};
    return result["structuredContent"];
}

bool ServerSession::alive() {
    std::optional<json> response = request(nextId_++, "ping");
    return response && (*response)["result"] == json::object();
}

int ServerSession::finish() {
    ProcessResult result = child_.finish(std::chrono::seconds(30));
    return result.exitStatus && !result.timedOut ? *result.exitStatus : -1;
}

}  // namespace quillmere::testing
