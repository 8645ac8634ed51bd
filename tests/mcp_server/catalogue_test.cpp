#include "mcp_server/catalogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillmere::mcp {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

std::vector<std::string> keysOf(const json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

const json& tool(std::string_view name) {
    for (const json& entry : toolCatalogue()) {
        if (entry["name"] == name) return entry;
    }
    throw std::out_of_range(std::string(name));
}

TEST(ToolCatalogue, ListsTheFiveToolsInOrder) {
    std::vector<std::string> names;
    for (const json& entry : toolCatalogue()) names.push_back(entry["name"]);
    EXPECT_THAT(names, ElementsAre("get_sync_status", "list_recordings", "search_transcripts",
                                   "get_transcript", "get_audio"));
}

TEST(ToolCatalogue, EveryToolHasTheFixedShape) {
    json annotations = {{"readOnlyHint", true},
                        {"destructiveHint", false},
                        {"idempotentHint", true},
                        {"openWorldHint", false}};
    for (const json& entry : toolCatalogue()) {
        EXPECT_THAT(keysOf(entry),
                    ElementsAre("annotations", "description", "inputSchema", "name"));
        EXPECT_EQ(entry["annotations"], annotations);
        const json& schema = entry["inputSchema"];
        EXPECT_THAT(keysOf(schema),
                    ElementsAre("additionalProperties", "properties", "required", "type"));
        EXPECT_EQ(schema["type"], "object");
        EXPECT_EQ(schema["additionalProperties"], false);
        EXPECT_TRUE(schema["properties"].is_object());
        // Every required name is offered.
        for (const json& name : schema["required"]) {
            EXPECT_TRUE(schema["properties"].contains(name)) << entry["name"] << " " << name;
        }
    }
}

TEST(ToolCatalogue, EachToolOffersExactlyItsProperties) {
    struct Row {
        std::string_view tool;
        std::vector<std::string> properties;
        std::vector<std::string> required;
    };
    for (const Row& row : std::vector<Row>{
             {"get_sync_status", {}, {}},
             {"list_recordings", {"limit", "cursor", "from", "to"}, {}},
             {"search_transcripts", {"limit", "cursor", "from", "to", "query"}, {"query"}},
             {"get_transcript",
              {"limit", "cursor", "recording_key", "start_seconds", "end_seconds"},
              {"recording_key"}},
             {"get_audio", {"recording_key", "track"}, {"recording_key"}},
         }) {
        const json& schema = tool(row.tool)["inputSchema"];
        EXPECT_THAT(keysOf(schema["properties"]), UnorderedElementsAreArray(row.properties))
            << row.tool;
        EXPECT_EQ(schema["required"], json(row.required)) << row.tool;
    }
}

TEST(ToolCatalogue, SharedGroupsAreTheSameInEveryTool) {
    json limit = {{"type", "integer"}, {"minimum", 1}, {"maximum", 100}, {"default", 20}};
    json from = {{"type", "string"}, {"description", "Inclusive ISO 8601 date-time with timezone"}};
    json to = {{"type", "string"}, {"description", "Exclusive ISO 8601 date-time with timezone"}};
    for (std::string_view name : {"list_recordings", "search_transcripts", "get_transcript"}) {
        const json& properties = tool(name)["inputSchema"]["properties"];
        EXPECT_EQ(properties["limit"], limit) << name;
        EXPECT_EQ(properties["cursor"], json({{"type", "string"}})) << name;
        if (name != "get_transcript") {
            EXPECT_EQ(properties["from"], from) << name;
            EXPECT_EQ(properties["to"], to) << name;
        }
    }
    EXPECT_EQ(tool("search_transcripts")["inputSchema"]["properties"]["query"],
              json({{"type", "string"}, {"minLength", 1}, {"maxLength", 500}}));
    EXPECT_EQ(tool("get_audio")["inputSchema"]["properties"]["track"],
              json({{"type", "integer"}, {"minimum", 0}, {"maximum", 32}, {"default", 0}}));
    EXPECT_EQ(tool("get_transcript")["inputSchema"]["properties"]["start_seconds"],
              json({{"type", "number"}, {"minimum", 0}}));
}

// Bounds go out as 0, 1, 500, never 0.0 or 1.0, even for "number" properties.
TEST(ToolCatalogue, SchemaNumbersAreIntegers) {
    std::function<void(const json&)> check = [&](const json& value) {
        if (value.is_number()) {
            EXPECT_TRUE(value.is_number_integer()) << value.dump();
        }
        if (value.is_structured()) {
            for (const json& element : value) check(element);
        }
    };
    check(toolCatalogue());
    EXPECT_EQ(toolCatalogue()[3]["inputSchema"]["properties"]["end_seconds"].dump(),
              R"({"minimum":0,"type":"number"})");
}

}  // namespace
}  // namespace quillmere::mcp
