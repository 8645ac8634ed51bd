#include "mcp_server/arguments.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cmath>

#include "mcp_server/tool_failure.h"

namespace quillmere::mcp::arguments {

using nlohmann::json;

namespace {

[[noreturn]] void invalid(std::string message) {
    throw ToolFailure("invalid_argument", std::move(message));
}

const json* find(const json& arguments, std::string_view name) {
    auto it = arguments.find(name);
    return it == arguments.end() ? nullptr : &*it;
}

bool blank(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) return false;
    }
    return true;
}

bool digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::string string(const json& arguments, std::string_view name) {
    const json* value = find(arguments, name);
    if (!value || !value->is_string() || blank(value->get_ref<const std::string&>())) {
        invalid("缺少有效的 " + std::string(name) + "。");
    }
    return value->get<std::string>();
}

double number(const json& arguments, std::string_view name, double fallback) {
    const json* value = find(arguments, name);
    if (!value) return fallback;
    if (!value->is_number() || !std::isfinite(value->get<double>())) {
        invalid(std::string(name) + " 必须是有限数值。");
    }
    return value->get<double>();
}

std::optional<sync::Instant> parseDate(std::string_view text) {
    // "YYYY-MM-DDTHH:MM:SS" is 19 characters; a fraction follows directly.
    constexpr std::size_t secondsEnd = 19;
    if (text.size() <= secondsEnd || text[secondsEnd] != '.') return sync::parseInternetDate(text);
    std::size_t end = secondsEnd + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    const std::string_view fraction = text.substr(secondsEnd + 1, end - secondsEnd - 1);
    if (!digits(fraction)) return std::nullopt;
    std::string whole(text.substr(0, secondsEnd));
    whole += text.substr(end);
    std::optional<sync::Instant> instant = sync::parseInternetDate(whole);
    if (!instant) return std::nullopt;
    std::int64_t nanoseconds = 0;
    for (std::size_t i = 0; i < 9; ++i)
        nanoseconds = nanoseconds * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    return *instant + std::chrono::duration_cast<sync::Instant::duration>(
                          std::chrono::nanoseconds(nanoseconds));
}

std::optional<sync::Instant> date(const json& arguments, std::string_view name) {
    if (!find(arguments, name)) return std::nullopt;
    std::optional<sync::Instant> instant = parseDate(string(arguments, name));
    if (!instant) invalid(std::string(name) + " 请使用带时区的 ISO 8601 时间。");
    return instant;
}

std::int64_t wholeNumber(double value, std::string_view name, std::int64_t low, std::int64_t high) {
    if (!(value >= static_cast<double>(low) && value <= static_cast<double>(high)) ||
        std::trunc(value) != value) {
        invalid(std::string(name) + " 超出允许范围。");
    }
    return static_cast<std::int64_t>(value);
}

}  // namespace quillmere::mcp::arguments
