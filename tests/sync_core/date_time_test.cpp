#include "sync_core/date_time.h"

#include <gtest/gtest.h>

namespace quillmere::sync {
namespace {

using namespace std::chrono;

TEST(InternetDate, ParsesZoneDesignatorsToTheSameInstant) {
    auto utc = parseInternetDate("2025-03-01T09:30:00Z");
    ASSERT_TRUE(utc);
    EXPECT_EQ(parseInternetDate("2025-03-01T17:30:00+08:00"), utc);
    EXPECT_EQ(parseInternetDate("2025-03-01T04:00:00-05:30"), utc);
    EXPECT_EQ(parseInternetDate("2025-03-01T09:30:00+00:00"), utc);
    EXPECT_EQ(*utc, sys_days(2025y / March / 1) + 9h + 30min);
    EXPECT_EQ(formatInternetDate(*parseInternetDate("2024-02-29T23:59:59-01:00")), "2024-03-01T00:59:59Z");
}

TEST(InternetDate, RefusesEverythingElse) {
    for (const char* bad : {"2025-03-01T09:30:00.250Z", "2025-03-01T09:30:00", "2025-03-01 09:30:00Z",
                            "2025-03-01t09:30:00Z", "2025-03-01T09:30Z", "2025-02-29T09:30:00Z",
                            "2025-13-01T09:30:00Z", "2025-03-01T24:00:00Z", "2025-03-01T09:60:00Z",
                            "2025-03-01T09:30:60Z", "2025-03-01T09:30:00+0800", "2025-03-01T09:30:00+24:00",
                            "+2025-03-01T09:30:00Z", "2025-3-01T09:30:00Z", ""}) {
        EXPECT_FALSE(parseInternetDate(bad)) << bad;
    }
}

TEST(InternetDate, FormatsWholeSecondsRoundingDown) {
    Instant t = sys_days(1969y / December / 31) + 23h + 59min + 59s + 750ms;
    EXPECT_EQ(formatInternetDate(t), "1969-12-31T23:59:59Z");
    EXPECT_EQ(formatInternetDate(sys_days(2026y / March / 1) + 8h + 15min + 999ms), "2026-03-01T08:15:00Z");
    EXPECT_EQ(formatInternetDate(Instant{}), "1970-01-01T00:00:00Z");
}

}  // namespace
}  // namespace quillmere::sync
