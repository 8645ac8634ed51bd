#include "mcp_server/library.h"

namespace quillmere::mcp {

Library::Library(std::filesystem::path root, std::filesystem::path cache)
    : root_(std::move(root)), cache_(std::move(cache)) {}

void Library::refresh() {}

nlohmann::json Library::status() const { return nlohmann::json::object(); }

}  // namespace quillmere::mcp
