#include "base/json_text.h"

namespace quillmere::base {

namespace {

// Linear scan that tracks bracket depth outside string literals. It does not
// validate; the parser does that once the depth is known to be safe.
bool nestingWithinBound(std::string_view bytes) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
            case '"': inString = true; break;
            case '[':
            case '{':
                if (++depth > maxJSONDepth) return false;
                break;
            case ']':
            case '}': --depth; break;
            default: break;
        }
    }
    return true;
}

}  // namespace

nlohmann::json parseJSON(std::string_view bytes) {
    // nlohmann's lexer takes a NUL for the end of input and would accept whatever
    // precedes it, dropping the rest; JSON text never holds one.
    if (bytes.find('\0') != std::string_view::npos) throw DecodingError("NUL byte in JSON text");
    if (!nestingWithinBound(bytes)) throw DecodingError("JSON nested too deeply");
    try {
        return nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, true, false);
    } catch (const nlohmann::json::exception& e) {
        throw DecodingError(e.what());
    }
}

}  // namespace quillmere::base
