#include "date_time.h"

#include <cstdio>

namespace quillmere::sync {

namespace {

using namespace std::chrono;

bool digits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

std::optional<Instant> parseInternetDate(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS then Z or +HH:MM / -HH:MM
    if (text.size() != 20 && text.size() != 25) return std::nullopt;
    int y, mo, d, h, mi, s;
    if (!digits(text, 0, 4, y) || text[4] != '-' || !digits(text, 5, 2, mo) || text[7] != '-' ||
        !digits(text, 8, 2, d) || text[10] != 'T' || !digits(text, 11, 2, h) || text[13] != ':' ||
        !digits(text, 14, 2, mi) || text[16] != ':' || !digits(text, 17, 2, s)) {
        return std::nullopt;
    }
    int offsetMinutes = 0;
    if (text.size() == 20) {
        if (text[19] != 'Z') return std::nullopt;
    } else {
        int oh, om;
        char sign = text[19];
        if ((sign != '+' && sign != '-') || !digits(text, 20, 2, oh) || text[22] != ':' ||
            !digits(text, 23, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offsetMinutes = (sign == '+' ? 1 : -1) * (oh * 60 + om);
    }
    year_month_day date{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
    if (!date.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
    auto local = sys_days(date) + hours(h) + minutes(mi) + seconds(s);
    const sys_seconds utc = local - minutes(offsetMinutes);
    // Instant counts nanoseconds in 64 bits (years 1678 to 2262); a date outside
    // that is refused rather than overflowing the conversion.
    constexpr seconds earliest = ceil<seconds>(Instant::duration::min());
    constexpr seconds latest = floor<seconds>(Instant::duration::max());
    if (utc.time_since_epoch() < earliest || utc.time_since_epoch() > latest) return std::nullopt;
    return time_point_cast<Instant::duration>(utc);
}

std::string formatInternetDate(Instant instant) {
    auto secs = floor<seconds>(instant);
    auto days = floor<std::chrono::days>(secs);
    year_month_day date(days);
    hh_mm_ss<seconds> time(secs - days);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return buffer;
}

}  // namespace quillmere::sync
