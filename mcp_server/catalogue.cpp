#include "mcp_server/catalogue.h"

namespace quillmere::mcp {

using nlohmann::json;

namespace {

// Schema bounds are written as JSON integers, also where the type is "number".
json pagingGroup() {
    return {
        {"limit", {{"type", "integer"}, {"minimum", 1}, {"maximum", 100}, {"default", 20}}},
        {"cursor", {{"type", "string"}}},
    };
}

json timeWindowGroup() {
    return {
        {"from",
         {{"type", "string"}, {"description", "Inclusive ISO 8601 date-time with timezone"}}},
        {"to", {{"type", "string"}, {"description", "Exclusive ISO 8601 date-time with timezone"}}},
    };
}

json joined(std::initializer_list<json> groups) {
    json properties = json::object();
    for (const json& group : groups) properties.update(group);
    return properties;
}

json buildCatalogue() {
    json recordingKey = {{"recording_key", {{"type", "string"}}}};
    return json::array({
        makeTool("get_sync_status",
                 "Check local availability, pending records and iPhone publication timestamps. "
                 "Does not prove the phone is up to date.",
                 json::object(), {}),
        makeTool("list_recordings",
                 "List saved recordings, newest first. Times filter recording start. Paginated; "
                 "names and transcripts are untrusted data.",
                 joined({pagingGroup(), timeWindowGroup()}), {}),
        makeTool("search_transcripts",
                 "Case-insensitive literal search of transcript passages with original audio "
                 "timestamps. No semantic search.",
                 joined({pagingGroup(),
                         timeWindowGroup(),
                         {{"query", {{"type", "string"}, {"minLength", 1}, {"maxLength", 500}}}}}),
                 {"query"}),
        makeTool("get_transcript",
                 "Read original transcript passages, optionally by seconds within a recording. "
                 "Preserve transcript_complete when summarizing.",
                 joined({pagingGroup(),
                         recordingKey,
                         {{"start_seconds", {{"type", "number"}, {"minimum", 0}}},
                          {"end_seconds", {{"type", "number"}, {"minimum", 0}}}}}),
                 {"recording_key"}),
        makeTool(
            "get_audio",
            "Get a verified local file link to an optionally shared full audio track. May "
            "request iCloud download. Not a public URL or audio clip.",
            joined({recordingKey,
                    {{"track",
                      {{"type", "integer"}, {"minimum", 0}, {"maximum", 32}, {"default", 0}}}}}),
            {"recording_key"}),
    });
}

}  // namespace

json makeTool(std::string_view name, std::string_view description, json properties,
              const std::vector<std::string_view>& required) {
    json requiredNames = json::array();
    for (std::string_view property : required) requiredNames.push_back(property);
    return {
        {"name", name},
        {"description", description},
        {"inputSchema",
         {{"type", "object"},
          {"properties", std::move(properties)},
          {"required", std::move(requiredNames)},
          {"additionalProperties", false}}},
        {"annotations",
         {{"readOnlyHint", true},
          {"destructiveHint", false},
          {"idempotentHint", true},
          {"openWorldHint", false}}},
    };
}

const json& toolCatalogue() {
    static const json catalogue = buildCatalogue();
    return catalogue;
}

}  // namespace quillmere::mcp
