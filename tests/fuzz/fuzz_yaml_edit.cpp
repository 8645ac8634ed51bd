// yaml::setEntry over arbitrary text, for a container keyed by name and for a list. parse()
// agrees with libyaml's own loader. Text it edits gets the entry and keeps every other
// value, gives the same text on a second run, and keeps every byte outside the replaced
// entry, or outside the inserted one and the empty value it took the place of.

#include <yaml.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "setup_core/setup_failure.h"
#include "setup_core/yaml_text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using nlohmann::json;
namespace yaml = quillmere::setup::yaml;
using quillmere::fuzz::commonPrefix;
using quillmere::fuzz::commonSuffix;
using quillmere::fuzz::require;
using quillmere::setup::ContainerShape;
using quillmere::setup::SetupFailure;

// The value of a loaded node; nullopt past a depth or size the editor refuses anyway
// (the loader also builds cycles out of self-referencing anchors).
std::optional<json> loaded(yaml_document_t* document, yaml_node_t* node, int depth, std::size_t& budget) {
    if (node == nullptr || depth > 256 || budget-- == 0) return std::nullopt;
    switch (node->type) {
        case YAML_SCALAR_NODE:
            return yaml::scalarValue(std::string_view(reinterpret_cast<const char*>(node->data.scalar.value),
                                                      node->data.scalar.length),
                                     node->data.scalar.style == YAML_PLAIN_SCALAR_STYLE);
        case YAML_SEQUENCE_NODE: {
            json result = json::array();
            for (yaml_node_item_t* item = node->data.sequence.items.start; item < node->data.sequence.items.top; ++item) {
                auto value = loaded(document, yaml_document_get_node(document, *item), depth + 1, budget);
                if (!value) return std::nullopt;
                result.push_back(std::move(*value));
            }
            return result;
        }
        case YAML_MAPPING_NODE: {
            json result = json::object();
            for (yaml_node_pair_t* pair = node->data.mapping.pairs.start; pair < node->data.mapping.pairs.top; ++pair) {
                yaml_node_t* key = yaml_document_get_node(document, pair->key);
                auto value = loaded(document, yaml_document_get_node(document, pair->value), depth + 1, budget);
                if (!value || key == nullptr || key->type != YAML_SCALAR_NODE) return std::nullopt;
                result[std::string(reinterpret_cast<const char*>(key->data.scalar.value), key->data.scalar.length)] = *value;
            }
            return result;
        }
        default:
            return std::nullopt;
    }
}

// The first document as libyaml's loader sees it: nullopt when it refuses the text or
// the value is out of reach; an empty document is {}.
std::optional<json> reference(std::string_view text, bool& refused) {
    yaml_parser_t parser;
    yaml_document_t document;
    yaml_parser_initialize(&parser);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    refused = !yaml_parser_load(&parser, &document);
    std::optional<json> result;
    if (!refused) {
        std::size_t budget = 100000;
        yaml_node_t* root = yaml_document_get_root_node(&document);
        // No document, or an empty one, holds no members.
        const bool empty = root == nullptr || (root->type == YAML_SCALAR_NODE && root->data.scalar.length == 0 &&
                                               root->data.scalar.style == YAML_PLAIN_SCALAR_STYLE);
        result = empty ? std::optional<json>(json::object()) : loaded(&document, root, 0, budget);
        yaml_document_delete(&document);
    }
    yaml_parser_delete(&parser);
    return result;
}

void checkEdit(std::string_view text, const json& before, const char* container, ContainerShape holder) {
    const bool list = holder == ContainerShape::listByName;
    const auto withName = [&](json entry) {
        if (list) entry["name"] = "quillmere";
        return entry;
    };
    const json entry = withName({{"command", "/opt/q"}, {"args", {"--stdio", "--cloud-root", "/home/u/Sync"}}});
    std::string after;
    try {
        after = yaml::setEntry(text, container, "quillmere", entry, holder);
    } catch (const SetupFailure& failure) {
        require(failure.kind() == SetupFailure::Kind::uneditableYAML, "an edit of parsed text failed otherwise");
        return;
    }
    json expected = before;
    json& servers = expected[container];
    bool held = false;
    if (!list) {
        held = servers.is_object() && servers.contains("quillmere");
        if (!servers.is_object()) servers = json::object();
        servers["quillmere"] = entry;
    } else {
        if (!servers.is_array()) servers = json::array();
        auto same = std::find_if(servers.begin(), servers.end(), [](const json& item) {
            return item.is_object() && item.value("name", json()) == "quillmere";
        });
        held = same != servers.end();
        if (held) *same = entry;
        else servers.push_back(entry);
    }
    require(yaml::parse(after) == expected, "the result does not hold the entry and the rest");
    require(yaml::setEntry(after, container, "quillmere", entry, holder) == after, "a second run changes the text");

    // Entries whose texts differ in their first and last member: the common prefix and
    // suffix of the two results are the text around the entry.
    const std::string a = yaml::setEntry(text, container, "quillmere", withName({{"a", 0}}), holder);
    const std::string z = yaml::setEntry(text, container, "quillmere", withName({{"z", "x"}}), holder);
    const std::size_t prefix = commonPrefix(a, z), suffix = commonSuffix(a, z, prefix);
    const std::string_view head = std::string_view(a).substr(0, prefix), tail = std::string_view(a).substr(a.size() - suffix);
    require(after.starts_with(head) && after.ends_with(tail), "the entry does not stand where other values do");
    // What the text loses: what lies between the parts of it that head and tail keep.
    const std::size_t kept = commonPrefix(text, head);
    std::size_t keptTail = 0;
    while (keptTail < tail.size() && kept + keptTail < text.size() &&
           text[text.size() - 1 - keptTail] == tail[tail.size() - 1 - keptTail])
        ++keptTail;
    const std::string_view gone = text.substr(kept, text.size() - keptTail - kept);
    if (!held) {
        // Only an empty value, with the blanks and line breaks around it, may give way to the entry.
        require(yaml::emptyValue(gone), "more than an empty value was replaced");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    bool refused = false;
    const std::optional<json> expected = reference(text, refused);
    json before;
    try {
        before = yaml::parse(text);
    } catch (const SetupFailure& failure) {
        if (failure.kind() == SetupFailure::Kind::malformedYAML)
            require(refused || text.starts_with("\xFE\xFF") || text.starts_with("\xFF\xFE"), "parse refused what libyaml loads");
        return 0;
    }
    require(!refused, "parse accepted what libyaml refuses");
    // Explicit tags change values only for the loader's caller; the editor leaves them alone.
    if (expected && text.find('!') == std::string_view::npos) require(*expected == before, "parse differs from libyaml");
    checkEdit(text, before, "servers", ContainerShape::byKey);
    checkEdit(text, before, "servers", ContainerShape::listByName);
    return 0;
}
