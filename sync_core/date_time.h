#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::sync {

// An instant with sub-second precision.
using Instant = std::chrono::system_clock::time_point;

// Internet date-time (RFC 3339) with whole seconds and a zone designator:
// "2025-03-01T09:30:00Z" or "2025-03-01T17:30:00+08:00". A fractional part is
// refused, as is anything out of range (month 13, 30 February, hour 24).
std::optional<Instant> parseInternetDate(std::string_view text);

// The instant in UTC with whole seconds (the fraction rounded down) and "Z".
std::string formatInternetDate(Instant instant);

}  // namespace quillmere::sync
