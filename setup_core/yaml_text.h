#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "setup_core/agent_client.h"

namespace quillmere::setup::yaml {

// YAML configuration files as the clients keep them: one document whose top level is a
// block mapping, read with libyaml. Plain scalars resolve by YAML 1.2's core schema
// (null, booleans, integers, floats; .inf and .nan stay text), every other scalar is a
// string; of duplicate keys the last one counts. A UTF-8 byte order mark may open the text.

// The value a scalar's text denotes: a plain one by the core schema, else the text.
nlohmann::json scalarValue(std::string_view text, bool plain);

// True when text, blanks and line breaks aside, is nothing, a null or an empty flow
// collection: what a new entry may take the place of.
bool emptyValue(std::string_view text);

// The value the text holds; a text of only comments (or nothing) is {}. Throws
// SetupFailure::malformedYAML when libyaml refuses the text, and
// SetupFailure::uneditableYAML when it holds several documents, its top level is no
// mapping or a mapping key is no scalar.
nlohmann::json parse(std::string_view text);

// text with entry as the member name of the top-level mapping's container (byKey), or as
// the item of the container list whose "name" is name (listByName): an existing entry's
// text is replaced, else the entry follows the container's last item, and a missing
// container follows the document's last line. The entry is written in block style in the
// file's indentation and line ends; every other byte stays. Throws as parse() does, and
// SetupFailure::uneditableYAML when the text cannot be changed that way and stay what it
// was otherwise: flow style around the entry, an anchor, alias or tag on the container or
// in the entry, an explicit document end, a line break other than LF and CR LF.
std::string setEntry(std::string_view text, std::string_view container, std::string_view name,
                     const nlohmann::json& entry, ContainerShape holder);

}  // namespace quillmere::setup::yaml
