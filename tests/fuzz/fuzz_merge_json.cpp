// mergeJSON over arbitrary configuration contents: it either refuses with
// SetupFailure (malformed, inexactNumber or conflict) or gives contents that are strict JSON
// holding the entry, already right for a second merge (which changes nothing),
// with every other top-level member kept.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "setup_core/client_configuration.h"
#include "setup_core/setup_failure.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quillmere;
    if (size == 0) return 0;
    // The first byte chooses replace and whether there is a file at all.
    bool replace = (data[0] & 1) != 0;
    std::optional<std::string> contents;
    if ((data[0] & 2) == 0) contents.emplace(reinterpret_cast<const char*>(data) + 1, size - 1);

    static const setup::ClientConfiguration configuration{
        .executable = "/opt/quillmere/bin/quillmere-mcp", .cloudRoot = "/home/u/Sync/AgentLibrary"};

    std::optional<std::string> merged;
    try {
        merged = configuration.mergeJSON(contents, replace);
    } catch (const setup::SetupFailure& failure) {
        // inexactNumber: a number the rewrite would not write back as the same value.
        fuzz::require(failure.kind() == setup::SetupFailure::Kind::malformed ||
                          failure.kind() == setup::SetupFailure::Kind::inexactNumber ||
                          (failure.kind() == setup::SetupFailure::Kind::conflict && !replace),
                      "mergeJSON threw an unexpected SetupFailure");
        return 0;
    }
    if (!merged) {
        fuzz::require(contents.has_value(), "nothing to write for a missing file");
        return 0;
    }
    nlohmann::json result;
    try {
        result = nlohmann::json::parse(*merged);
    } catch (const nlohmann::json::exception&) {
        fuzz::fail("merged contents are not JSON");
    }
    fuzz::require(result["mcpServers"]["quillmere"] == configuration.entry(),
                  "merged contents lack the entry");
    fuzz::require(!merged->empty() && merged->back() == '\n', "no final line feed");
    // Stable: the merged bytes already hold the entry, for either replace setting.
    fuzz::require(!configuration.mergeJSON(merged, false), "a second merge changes the file");
    fuzz::require(!configuration.mergeJSON(merged, true), "a second replace changes the file");
    if (contents) {
        nlohmann::json before = nlohmann::json::parse(*contents, nullptr, false);
        if (before.is_object()) {
            for (auto& [key, value] : before.items()) {
                if (key != "mcpServers") {
                    fuzz::require(result.contains(key) && result[key] == value,
                                  "a member was lost");
                }
            }
        }
    }
    return 0;
}
