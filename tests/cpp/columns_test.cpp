#include <gtest/gtest.h>

#include <cstdint>

#include "columns/market_columns.h"

// The columns themselves are checked against the dict API's values in
// tests/python/test_columnar_net.py; here, the calendar arithmetic over a wide range of dates.

namespace quillan::columns {
namespace {

using protocol::DateTime;

TEST(EpochSeconds, KnownInstants) {
    EXPECT_EQ(epoch_seconds({1970, 1, 1, 0, 0}), 0);
    EXPECT_EQ(epoch_seconds({2024, 3, 15, 15, 0}), 1710514800);
    EXPECT_EQ(epoch_seconds({1969, 12, 31, 23, 59}), -60);
    EXPECT_EQ(epoch_seconds({2000, 2, 29, 0, 0}), 951782400);
    EXPECT_EQ(epoch_seconds({1600, 3, 1, 0, 0}), -11670912000);
}

TEST(EpochSeconds, ConsecutiveDaysAcrossCenturies) {
    // Walks every day from 1896 to 2104 by the month lengths: each is one day after the last.
    int64_t previous = epoch_seconds({1895, 12, 31, 0, 0});
    for (uint32_t y = 1896; y <= 2104; ++y) {
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        const uint32_t lengths[] = {31, leap ? 29u : 28u, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        for (uint32_t m = 1; m <= 12; ++m) {
            for (uint32_t d = 1; d <= lengths[m - 1]; ++d) {
                const int64_t now = epoch_seconds({y, m, d, 0, 0});
                ASSERT_EQ(now - previous, 86400) << y << "-" << m << "-" << d;
                previous = now;
            }
            EXPECT_EQ(epoch_seconds({y, m, lengths[m - 1] + 1, 0, 0}), kNotATime) << y << "-" << m;
        }
    }
}

TEST(EpochSeconds, FieldsOutOfRangeAreNoTime) {
    for (DateTime dt :
         {DateTime{2024, 0, 1, 0, 0}, DateTime{2024, 13, 1, 0, 0}, DateTime{2024, 1, 0, 0, 0},
          DateTime{2023, 2, 29, 0, 0}, DateTime{1900, 2, 29, 0, 0}, DateTime{2024, 3, 15, 24, 0},
          DateTime{2024, 3, 15, 25, 0}, DateTime{2024, 3, 15, 10, 60}}) {
        EXPECT_EQ(epoch_seconds(dt), kNotATime) << dt.year << "-" << dt.month << "-" << dt.day;
    }
    EXPECT_NE(epoch_seconds({2024, 3, 15, 23, 59}), kNotATime);
}

}  // namespace
}  // namespace quillan::columns
