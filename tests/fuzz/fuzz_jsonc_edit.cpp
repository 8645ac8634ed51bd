// jsonc::setMember over arbitrary text. Text that parse() refuses is refused as
// malformed; parse() agrees with nlohmann's own comment-skipping parser. Text it accepts
// gets the entry under servers.quillmere with every other member's value kept, the same
// text on a second run, and every byte kept outside the edited value (or the inserted
// member and the comma before it).

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "setup_core/jsonc_text.h"
#include "setup_core/setup_failure.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using nlohmann::json;
namespace jsonc = quillmere::setup::jsonc;
using quillmere::fuzz::commonPrefix;
using quillmere::fuzz::commonSuffix;
using quillmere::fuzz::require;
using quillmere::setup::SetupFailure;

// Whether longer is shorter with one contiguous span inserted.
bool oneInsertion(std::string_view shorter, std::string_view longer) {
    const std::size_t prefix = commonPrefix(shorter, longer);
    return prefix + commonSuffix(shorter, longer, prefix) == shorter.size();
}

std::string set(std::string_view text, const json& entry) {
    return jsonc::setMember(text, "servers", "quillmere", entry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // nlohmann ends a comment at a NUL byte, which is plain comment text here.
    const bool comparable = text.find('\0') == std::string_view::npos;
    const json reference = json::parse(text, nullptr, false, true);
    json before;
    try {
        before = jsonc::parse(text);
    } catch (const SetupFailure& failure) {
        require(failure.kind() == SetupFailure::Kind::malformed, "parse threw another failure");
        // Only nesting past the bound may separate the two parsers.
        require(!comparable || reference.is_discarded() || !reference.is_object() || size > 1024,
                "parse refused what nlohmann accepts");
        return 0;
    }
    require(!comparable || (!reference.is_discarded() && reference == before),
            "parse differs from nlohmann");

    static const json entry = {{"command", "/opt/quillmere/bin/quillmere-mcp"},
                               {"args", {"--stdio", "--cloud-root", "/home/u/Sync"}}};
    const bool held = before.contains("servers") && before["servers"].contains("quillmere");
    if (before.contains("servers") && !before["servers"].is_object()) {
        try {
            set(text, entry);
        } catch (const SetupFailure& failure) {
            require(failure.kind() == SetupFailure::Kind::malformed, "not malformed");
            return 0;
        }
        quillmere::fuzz::fail("a servers member that is no object was edited");
    }
    const std::string after = set(text, entry);
    json expected = before;
    expected["servers"]["quillmere"] = entry;
    require(jsonc::parse(after) == expected, "the result does not hold the entry and the rest");
    require(set(after, entry) == after, "a second run changes the text");

    // Values whose texts differ in their first and in their last byte: the common prefix
    // and suffix of the two results are exactly the text around the value.
    const std::string zero = set(text, 0), word = set(text, "x");
    const std::size_t prefix = commonPrefix(zero, word);
    const std::size_t suffix = commonSuffix(zero, word, prefix);
    const std::string_view head = std::string_view(zero).substr(0, prefix);
    const std::string_view tail = std::string_view(zero).substr(zero.size() - suffix);
    require(after.starts_with(head) && after.ends_with(tail) && prefix + suffix <= after.size() &&
                json::parse(after.substr(prefix, after.size() - prefix - suffix)) == entry,
            "the entry does not stand where other values do");
    if (held) {
        require(text.starts_with(head) && text.ends_with(tail) && prefix + suffix <= text.size(),
                "bytes outside the old value changed");
        const json old =
            json::parse(text.substr(prefix, text.size() - prefix - suffix), nullptr, false, true);
        require(!comparable || old == before["servers"]["quillmere"],
                "the replaced span is not the old value");
    } else {
        std::string uncomma = after;
        const std::size_t first = commonPrefix(text, after);
        if (first < uncomma.size() && uncomma[first] == ',') uncomma.erase(first, 1);
        require(oneInsertion(text, after) || oneInsertion(text, uncomma),
                "more than a comma and a member inserted");
    }
    return 0;
}
