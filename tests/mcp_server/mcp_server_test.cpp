// How tools/call wraps what a tool gives back, seen through a stand-in tool:
// the whole-process golden session covers the protocol over real tools, but
// a real tool cannot produce every kind of result or failure.

#include "mcp_server/mcp_server.h"

#include <gtest/gtest.h>

#include <cmath>
#include <system_error>

#include "mcp_server/tool_failure.h"
#include "tests/support/jsonrpc.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

using nlohmann::json;
using Body = std::function<json()>;

const json readFailed = {{"content", {{{"type", "text"}, {"text", "read_failed: 数据读取失败，请查看同步状态或稍后重试。"}}}}, {"isError", true}};

// The result of calling tool with a server negotiated at version whose tool body is body.
json resultOf(std::string_view version, std::string_view tool, const Body& body) {
    testing::TempDir folder;
    Library library(folder / "AgentLibrary", folder / "cache");
    MCPServer server(library, [&](Library&, std::string_view, const json&) { return body(); });
    server.handle(testing::rpcRequest(1, "initialize", {{"protocolVersion", version}}).dump());
    return server.handle(testing::rpcRequest(2, "tools/call", {{"name", tool}}).dump()).value_or(json())["result"];
}

Body returns(json value) {
    return [value] { return value; };
}

TEST(ToolResults, FailuresBecomeErrorResultsWithoutStructuredContent) {
    const std::vector<std::pair<Body, json>> rows = {
        {[]() -> json { throw ToolFailure("invalid_argument", "参数无效"); },
         {{"content", {{{"type", "text"}, {"text", "invalid_argument: 参数无效"}}}}, {"isError", true}}},
        {[]() -> json { throw std::system_error(std::make_error_code(std::errc::io_error)); }, readFailed},
        {[]() -> json { throw std::runtime_error("boom"); }, readFailed},
        // Results without a JSON form.
        {returns({{"name", "\xc3("}}), readFailed},
        {returns({{"x", std::nan("")}}), readFailed},
    };
    for (const auto& [body, expected] : rows) EXPECT_EQ(resultOf("2025-11-25", "get_audio", body), expected);
}

// The link needs a string uri and copies mime_type as it is, whatever it is.
TEST(ToolResults, OnlyGetAudioWithAStringUriGetsALink) {
    const std::vector<std::tuple<const char*, json, json>> rows = {
        {"get_audio", {{"uri", "file:///a"}}, "application/octet-stream"},
        {"get_audio", {{"uri", "file:///a"}, {"mime_type", nullptr}}, nullptr},
        {"get_audio", {{"uri", "file:///a"}, {"mime_type", 3}}, 3},
        {"get_audio", {{"uri", nullptr}, {"mime_type", "audio/mp4"}}, "none"},
        {"get_audio", {{"url", "file:///a"}}, "none"},
        {"get_audio", json::array({"file:///a"}), "none"},
        {"get_transcript", {{"uri", "file:///a"}}, "none"},
    };
    for (const auto& [tool, result, mimeType] : rows) {
        json content = resultOf("2025-06-18", tool, returns(result))["content"];
        if (mimeType == "none") {
            EXPECT_EQ(content.size(), 1u) << result.dump();
            continue;
        }
        EXPECT_EQ(content[1], json({{"type", "resource_link"}, {"uri", "file:///a"}, {"name", "Original recording"}, {"mimeType", mimeType}}))
            << result.dump();
    }
}

}  // namespace
}  // namespace quillmere::mcp
