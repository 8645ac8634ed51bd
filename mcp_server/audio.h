#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quillmere::mcp {

// The MIME type reported for a cached audio file with this extension (without
// the dot). Exact, case-sensitive: "m4a" is "audio/mp4", "M4A" falls through
// to the default "audio/aac" like every unknown or empty extension.
std::string mime(std::string_view extension);

// "file://" + the absolute path, every byte outside the unreserved set of
// RFC 3986 and "/" percent-encoded: "/tmp/a b.m4a" -> "file:///tmp/a%20b.m4a".
std::string fileURI(const std::filesystem::path& absolutePath);

}  // namespace quillmere::mcp
