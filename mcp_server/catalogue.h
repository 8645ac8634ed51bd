#pragma once

#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

namespace quillmere::mcp {

// One catalogue entry: name, description, the input schema
// {"type":"object","properties":...,"required":...,"additionalProperties":false}
// and the read-only annotations every tool shares.
nlohmann::json makeTool(std::string_view name, std::string_view description,
                        nlohmann::json properties, const std::vector<std::string_view>& required);

// The five tools in their fixed order: get_sync_status, list_recordings,
// search_transcripts, get_transcript, get_audio. The same array under every
// protocol version and for the whole life of the program; the descriptions
// are part of the wire contract.
const nlohmann::json& toolCatalogue();

}  // namespace quillmere::mcp
