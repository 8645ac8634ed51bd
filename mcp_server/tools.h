#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

#include "mcp_server/library.h"

namespace quillmere::mcp {

// The body of every tool of the catalogue: checks the arguments and answers
// from the library's last refresh. Called only with a catalogue name, after
// library.refresh(). Throws ToolFailure; get_audio also SyncFailure and
// platform errors.
nlohmann::json call(Library& library, std::string_view name, const nlohmann::json& arguments);

}  // namespace quillmere::mcp
