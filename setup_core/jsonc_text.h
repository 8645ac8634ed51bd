#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace quillmere::setup::jsonc {

// JSON with comments, as the editors' settings files use it: strict JSON (RFC 8259)
// plus // line comments and /* block */ comments wherever whitespace may stand. No
// trailing commas, no other extension. Nesting deeper than 512 levels is refused as
// malformed. Of duplicate keys the last one counts, in parse() and as the member
// setMember() edits.

// Where clients read this format differently, each by its own reader: a text is taken
// as the client takes it, and one it cannot load is malformed.
struct Dialect {
    // A lone CR ends a // comment (else only LF does, and the CR is part of the comment).
    bool crEndsLineComment = true;
    // A UTF-8 byte order mark may open the text, and is kept.
    bool byteOrderMark = true;
};

// The value the text holds, comments dropped. Throws SetupFailure::malformed when the
// text is not JSON with comments or its top level is not an object.
nlohmann::json parse(std::string_view text, Dialect dialect = {});

// text with the member `name` of the top-level object's member `container` set to
// entry: an existing member's value is replaced in place, else the member is appended
// to the container, and a missing container is appended to the top-level object.
// Everything outside the replaced value (or the inserted member) stays byte for byte:
// comments, order, other members and their number spellings. Inserted text follows the
// file's own indentation and line ends. Throws SetupFailure::malformed when text is not
// JSON with comments, its top level is not an object, or container is not an object.
std::string setMember(std::string_view text, std::string_view container, std::string_view name,
                      const nlohmann::json& entry, Dialect dialect = {});

}  // namespace quillmere::setup::jsonc
