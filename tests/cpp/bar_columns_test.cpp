#include "reader/bar_columns.h"

#include <gtest/gtest.h>

#include "columns/column.h"

using quillan::columns::kNotATime;
using namespace quillan::reader;

namespace {

uint16_t packed(uint32_t year, uint32_t month, uint32_t day) {
    return static_cast<uint16_t>((year - 2004) << 11 | (month * 100 + day));
}

}  // namespace

TEST(BarColumns, DailyDayNumbers) {
    struct Case {
        uint32_t date;
        int64_t days;
    } cases[] = {
        {19700101, 0},         {19691231, -1},
        {19000101, -25567},    {20000229, 11016},
        {20000301, 11017},     {20240229, 19782},
        {20241231, 20088},     {21991231, 84005},
        {19000228, -25509},    {21000228, 47540},
        {21000301, 47541},     {19000229, kNotATime},  // 1900 and 2100 are not leap years
        {21000229, kNotATime}, {20230229, kNotATime},
        {20240431, kNotATime}, {20241301, kNotATime},
        {20240100, kNotATime}, {20240132, kNotATime},
        {18991231, kNotATime}, {22000101, kNotATime},
        {0, kNotATime},        {0xFFFFFFFF, kNotATime},
    };
    for (const Case& c : cases) EXPECT_EQ(daily_day_number(c.date), c.days) << c.date;
}

TEST(BarColumns, MinuteSeconds) {
    EXPECT_EQ(minute_seconds(packed(2024, 1, 5), 571), 19727 * 86400 + 571 * 60);
    EXPECT_EQ(minute_seconds(packed(2004, 1, 1), 0), 12418 * 86400);
    EXPECT_EQ(minute_seconds(packed(2035, 12, 31), 1439), 24105 * 86400 + 1439 * 60);
    EXPECT_EQ(minute_seconds(packed(2024, 1, 5), 1440), kNotATime);
    EXPECT_EQ(minute_seconds(packed(2023, 2, 29), 600), kNotATime);
    EXPECT_EQ(minute_seconds(0, 0), kNotATime);
    EXPECT_EQ(minute_seconds(0xFFFF, 0), kNotATime);
}
