#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// Paging cursors: standard Base64 (RFC 4648 alphabet, "=" padding, no line
// breaks) of the UTF-8 text "<fingerprint>:<offset>". The fingerprint is the
// SHA-256 of a text describing the query and the data the page came from,
// so a cursor is refused once either changes.
namespace quillmere::mcp::arguments {

// The start offset of the page the "cursor" argument asks for; 0 without
// one. Throws ToolFailure: "invalid_argument" for a blank or non-string
// cursor, "invalid_cursor" for text that is not Base64 of UTF-8,
// "stale_cursor" for any other form, another fingerprint, or an offset that
// is negative or unreadable. An offset past the results is the caller's to
// refuse.
std::size_t cursor(const nlohmann::json& arguments, std::string_view fingerprint);

// The cursor of the page starting at nextOffset, or null once nextOffset
// reaches total.
nlohmann::json next(std::string_view fingerprint, std::size_t nextOffset, std::size_t total);

}  // namespace quillmere::mcp::arguments

namespace quillmere::mcp {

std::string base64Encode(std::string_view bytes);
// Strict: only the alphabet, length a multiple of four, "=" only as the
// last one or two characters. nullopt otherwise.
std::optional<std::string> base64Decode(std::string_view text);

// The shortest decimal that reads back as the same double, with ".0" for
// whole numbers: 0 -> "0.0", 60 -> "60.0", 12.5 -> "12.5". Very large and
// very small values keep the exponent form ("1e+21").
std::string fingerprintNumber(double value);

}  // namespace quillmere::mcp
