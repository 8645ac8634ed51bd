// One input line through MCPServer::handle, against a small real library:
// never a throw, at most one response, every response has a wire form that
// reads back as the same value, and a result to a request declaring the
// 2026-07-28 revision is marked complete.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "mcp_server/emit.h"
#include "mcp_server/library.h"
#include "mcp_server/mcp_server.h"
#include "sync_core/cloud_publisher.h"
#include "sync_core/date_time.h"
#include "base/json_text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace quillmere;
namespace fs = std::filesystem;

// Two recordings of one source, published the way the phone app would.
struct Fixture {
    fs::path scratch = fuzz::scratchDirectory("quillmere-fuzz-handle");
    std::unique_ptr<mcp::Library> library;
    std::unique_ptr<mcp::MCPServer> server;

    Fixture() {
        sync::Uuid source = *sync::Uuid::parse("6F1C2B3A-4D5E-4F60-8172-93A4B5C6D7E8");
        std::vector<sync::ExportItem> items;
        const char* names[] = {"Weekly planning", "客户访谈"};
        for (int i = 0; i < 2; ++i) {
            items.push_back({.record = {.id = sync::Uuid::random(), .sourceID = source, .name = names[i],
                                        .createdAt = *sync::parseInternetDate(i == 0 ? "2026-03-01T08:00:00Z" : "2026-03-02T09:30:00Z"),
                                        .duration = 120, .locale = "zh-Hans", .transcriptComplete = true,
                                        .passages = {{0, 10, "Budget review and the launch date"}, {10, 25, "预算和上线日期"}, {25, 60, "Ärger über die Straße"}}}});
        }
        sync::CloudPublisher publisher;
        publisher.publish(items, source, false, scratch / "AgentLibrary");
        library = std::make_unique<mcp::Library>(scratch / "AgentLibrary", scratch / "cache");
        server = std::make_unique<mcp::MCPServer>(*library);
    }
};

// Whether the line is a request other than initialize whose _meta declares 2026-07-28.
bool declaresModernRevision(std::string_view line) {
    const nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
    if (!request.is_object() || request.value("method", nlohmann::json()) == "initialize") return false;
    const nlohmann::json params = request.value("params", nlohmann::json());
    if (!params.is_object() || !params.contains("_meta") || !params["_meta"].is_object()) return false;
    return params["_meta"].value("io.modelcontextprotocol/protocolVersion", nlohmann::json()) == "2026-07-28";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    std::string_view line(reinterpret_cast<const char*>(data), size);
    std::optional<nlohmann::json> response;
    try {
        response = fixture.server->handle(line);
    } catch (...) {
        fuzz::fail("handle threw");
    }
    if (!response) return 0;
    fuzz::require(response->is_object() && (*response)["jsonrpc"] == "2.0",
                  "a response that is not JSON-RPC 2.0");
    fuzz::require(response->contains("result") != response->contains("error"),
                  "a response needs exactly one of result and error");
    if (response->contains("result") && declaresModernRevision(line))
        fuzz::require((*response)["result"].value("resultType", "") == "complete",
                      "a 2026-07-28 result without resultType");
    std::string wire;
    try {
        wire = mcp::serializeJSON(*response);
    } catch (const base::EncodingError&) {
        // emit() drops such a response; it can only stem from bytes the
        // client sent back (an id that is not UTF-8 is refused earlier).
        return 0;
    }
    fuzz::require(wire.find('\n') == std::string::npos, "a response holds a line feed");
    fuzz::require(base::parseJSON(wire) == *response, "the wire form reads back differently");
    return 0;
}
