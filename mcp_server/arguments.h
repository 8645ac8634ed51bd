#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "sync_core/date_time.h"

// The readers of tool arguments. Each takes the arguments object and an
// argument name and throws ToolFailure "invalid_argument" with the message
// for that name; arguments are looked at only through them.
namespace quillmere::mcp::arguments {

// A string that is not blank once Unicode white space and line breaks are
// trimmed; the untrimmed value is returned. Absent, null, another type or
// blank: the missing-value message naming the argument.
std::string string(const nlohmann::json& arguments, std::string_view name);

// A finite JSON number (a boolean is not one), or fallback when absent.
// Otherwise the not-a-finite-number message.
double number(const nlohmann::json& arguments, std::string_view name, double fallback);

// An internet date-time with a zone designator, with or without fractional
// seconds ("2026-03-01T08:15:00Z", "2026-03-01T16:15:00.250+08:00"), or
// nullopt when absent. A value that is not a non-blank string fails like
// string(); an unreadable one with the needs-a-time-zone message.
std::optional<sync::Instant> date(const nlohmann::json& arguments, std::string_view name);

// value as an integer when it is whole and within [low, high]; otherwise
// the out-of-range message.
std::int64_t wholeNumber(double value, std::string_view name, std::int64_t low, std::int64_t high);

// An internet date-time with optional fractional seconds; nullopt when the
// text has another form.
std::optional<sync::Instant> parseDate(std::string_view text);

}  // namespace quillmere::mcp::arguments
