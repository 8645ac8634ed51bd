#include "mcp_server/cursor.h"

#include <unicode/utf8.h>

#include <array>
#include <charconv>
#include <limits>
#include <vector>

#include "mcp_server/arguments.h"
#include "mcp_server/tool_failure.h"

namespace quillmere::mcp {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> decodingTable() {
    std::array<int, 256> table{};
    for (int& entry : table) entry = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}

bool validUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

// A base-10 integer with an optional leading sign, within 64 bits.
std::optional<std::int64_t> parseOffset(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    std::uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (magnitude > max + (negative ? 1 : 0)) return std::nullopt;
    return negative ? static_cast<std::int64_t>(0 - magnitude)
                    : static_cast<std::int64_t>(magnitude);
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(n >> shift) & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2)
            n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += rest == 2 ? alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    static constexpr std::array<int, 256> table = decodingTable();
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::uint32_t n = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const auto c = static_cast<unsigned char>(text[i + j]);
            int value = table[c];
            if (value < 0) {
                if (!(last && c == '=' && j >= 4 - padding)) return std::nullopt;
                value = 0;
            }
            n = n << 6 | static_cast<std::uint32_t>(value);
        }
        out += static_cast<char>(n >> 16);
        if (!last || padding < 2) out += static_cast<char>((n >> 8) & 0xff);
        if (!last || padding < 1) out += static_cast<char>(n & 0xff);
    }
    return out;
}

std::string fingerprintNumber(double value) {
    std::array<char, 64> buffer{};
    auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    std::string text(buffer.data(), end);
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
    return text;
}

namespace arguments {

std::size_t cursor(const nlohmann::json& arguments, std::string_view fingerprint) {
    if (!arguments.contains("cursor")) return 0;
    const std::string text = string(arguments, "cursor");
    std::optional<std::string> decoded = base64Decode(text);
    if (!decoded || !validUTF8(*decoded)) throw ToolFailure("invalid_cursor", "分页游标无效。");

    std::vector<std::string_view> pieces;
    std::string_view rest = *decoded;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view piece = rest.substr(0, colon);
        if (!piece.empty()) pieces.push_back(piece);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    std::optional<std::int64_t> offset;
    if (pieces.size() == 2 && pieces[0] == fingerprint) offset = parseOffset(pieces[1]);
    if (!offset || *offset < 0)
        throw ToolFailure("stale_cursor", "数据或查询条件已变化，请从第一页重新读取。");
    return static_cast<std::size_t>(*offset);
}

nlohmann::json next(std::string_view fingerprint, std::size_t nextOffset, std::size_t total) {
    if (nextOffset >= total) return nullptr;
    return base64Encode(std::string(fingerprint) + ":" + std::to_string(nextOffset));
}

}  // namespace arguments

}  // namespace quillmere::mcp
