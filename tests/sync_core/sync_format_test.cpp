// SyncFormat::child (names, links out of the root, loops, a root reached through a
// link) is the fuzz_child target's property, checked on its seeds under ctest. The
// digest is pinned by the committed example library, republished byte for byte.
#include "sync_core/sync_format.h"

#include <gtest/gtest.h>

#include "sync_core/date_time.h"

namespace quillmere::sync {
namespace {

TEST(InternetDate, ParsesZoneDesignatorsToTheSameInstant) {
    using namespace std::chrono;
    const Instant utc = sys_days(2025y / March / 1) + 9h + 30min;
    for (const char* text : {"2025-03-01T09:30:00Z", "2025-03-01T17:30:00+08:00", "2025-03-01T04:00:00-05:30", "2025-03-01T09:30:00+00:00", "2025-03-02T09:29:00+23:59"}) {
        EXPECT_EQ(parseInternetDate(text), utc) << text;
    }
    EXPECT_EQ(formatInternetDate(*parseInternetDate("2024-02-29T23:59:59-01:00")), "2024-03-01T00:59:59Z");
    // Formatting rounds down to whole seconds.
    EXPECT_EQ(formatInternetDate(sys_days(1969y / December / 31) + 23h + 59min + 59s + 750ms), "1969-12-31T23:59:59Z");
    EXPECT_EQ(formatInternetDate(sys_days(2026y / March / 1) + 8h + 15min + 999ms), "2026-03-01T08:15:00Z");
    EXPECT_EQ(formatInternetDate(Instant{}), "1970-01-01T00:00:00Z");
}

TEST(InternetDate, RefusesEverythingElse) {
    for (const char* bad : {"2025-03-01T09:30:00.250Z", "2025-03-01T09:30:00", "2025-03-01 09:30:00Z",
                            "2025-03-01t09:30:00Z", "2025-03-01T09:30Z", "2025-02-29T09:30:00Z",
                            "2025-13-01T09:30:00Z", "2025-03-01T24:00:00Z", "2025-03-01T09:60:00Z",
                            "2025-03-01T09:30:60Z", "2025-03-01T09:30:00+0800", "2025-03-01T09:30:00+24:00",
                            "+2025-03-01T09:30:00Z", "2025-3-01T09:30:00Z", "",
                            // a non-digit wherever a digit belongs, each in range were it read as one
                            "2O25-03-01T09:30:00Z", "2025-03-01T09:3/:00Z", "2025-03-01T09:30:00+0/:00"}) {
        EXPECT_FALSE(parseInternetDate(bad)) << bad;
    }
}

}  // namespace
}  // namespace quillmere::sync
