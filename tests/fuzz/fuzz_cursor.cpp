// Cursor decoding: any text is either a page offset for its fingerprint or a
// ToolFailure with one of the three cursor codes, and Base64 reads back to the
// bytes it came from.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "mcp_server/cursor.h"
#include "mcp_server/tool_failure.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quillmere;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    static const std::string fingerprint(64, 'a');

    // Unused low bits of the last character are not checked (RFC 4648 leaves
    // that to the decoder), so the text itself need not come back; its bytes must.
    if (std::optional<std::string> decoded = mcp::base64Decode(bytes)) {
        const std::string encoded = mcp::base64Encode(*decoded);
        fuzz::require(encoded.size() == bytes.size(), "Base64 decodes to a wrong length");
        fuzz::require(mcp::base64Decode(encoded) == decoded, "Base64 does not read back");
    }
    // The decoder is also fed cursors that are Base64 of the fuzz bytes, so the
    // "<fingerprint>:<offset>" parser sees arbitrary text behind valid Base64.
    for (const std::string& text : {std::string(bytes), mcp::base64Encode(bytes),
                                    mcp::base64Encode(fingerprint + ":" + std::string(bytes))}) {
        try {
            std::size_t offset = mcp::arguments::cursor({{"cursor", text}}, fingerprint);
            // An accepted cursor is the one next() makes for that offset.
            nlohmann::json next = mcp::arguments::next(fingerprint, offset, offset + 1);
            fuzz::require(next.is_string(), "next() gave no cursor");
            fuzz::require(mcp::arguments::cursor({{"cursor", next}}, fingerprint) == offset,
                          "a cursor from next() reads back as another offset");
        } catch (const mcp::ToolFailure& failure) {
            const std::string& code = failure.code();
            fuzz::require(
                code == "invalid_argument" || code == "invalid_cursor" || code == "stale_cursor",
                "unexpected ToolFailure code");
        }
    }
    return 0;
}
