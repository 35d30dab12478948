#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "columns/market_columns.h"

// The columns themselves are checked against the dict API's values in
// tests/python/test_columnar_net.py; here, the calendar arithmetic over a wide range of dates,
// and the rules of the columns that the record form does not share.

namespace quillan::columns {
namespace {

using protocol::DateTime;

// The values of the column `name`, which holds `T`s.
template <class T>
std::vector<T> values_of(const ColumnList& columns, const std::string& name) {
    for (const MarketColumn& c : columns) {
        if (name != c.name) continue;
        const Column& column = std::get<Column>(c.values);
        EXPECT_EQ(column.item_size(), sizeof(T)) << name;
        std::vector<T> out(column.size());
        if (!out.empty()) std::memcpy(out.data(), column.data(), out.size() * sizeof(T));
        return out;
    }
    ADD_FAILURE() << "no column " << name;
    return {};
}

std::vector<std::string> names_of(const ColumnList& columns) {
    std::vector<std::string> names;
    for (const MarketColumn& c : columns) names.emplace_back(c.name);
    return names;
}

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

TEST(MarketBarColumns, BarsWithADateAloneAreAtMidnight) {
    // The decoder gives the date layout's bars 15:00; a minute bar may truly end at 15:00.
    const net::SecurityBar bar{{2024, 3, 15, 15, 0}, 1000, 2000, 3000, 500, 7.0, 8.0};
    for (uint16_t category = 0; category <= 12; ++category) {
        const bool minute = category <= 3 || category == 7 || category == 8;
        const ColumnList columns = bar_columns(category, std::span(&bar, 1));
        ASSERT_EQ(names_of(columns), (std::vector<std::string>{"datetime", "open", "high", "low",
                                                               "close", "amount", "volume"}));
        EXPECT_EQ(values_of<int64_t>(columns, "datetime")[0],
                  minute ? 1710514800 : 1710514800 - 15 * 3600)
            << "category " << category;
        EXPECT_EQ(values_of<double>(columns, "volume")[0], 7.0);
        EXPECT_EQ(values_of<double>(columns, "amount")[0], 8.0);
    }
}

TEST(XdxrColumns, EachShapeFillsItsOwnValues) {
    const std::vector<net::XdxrRecord> records = {
        {2024, 6, 14, 1, {1, 2, 3, 4}},    // dividend
        {2024, 6, 15, 11, {1, 2, 3, 4}},   // consolidation
        {2024, 6, 16, 14, {1, 2, 3, 4}},   // warrant
        {2024, 6, 17, 5, {1, 2, 3, 4}},    // share capital
        {2023, 2, 29, 200, {1, 2, 3, 4}},  // no such date; an unknown category's shape
    };
    // Per column, the value of each record; 0 for NaN.
    const std::map<std::string, std::vector<double>> expected = {
        {"fenhong", {1, 0, 0, 0, 0}},       {"peigujia", {2, 0, 0, 0, 0}},
        {"songzhuangu", {3, 0, 0, 0, 0}},   {"peigu", {4, 0, 0, 0, 0}},
        {"suogu", {0, 3, 0, 0, 0}},         {"xingquanjia", {0, 0, 1, 0, 0}},
        {"fenshu", {0, 0, 3, 0, 0}},        {"panqianliutong", {0, 0, 0, 1, 1}},
        {"qianzongguben", {0, 0, 0, 2, 2}}, {"panhouliutong", {0, 0, 0, 3, 3}},
        {"houzongguben", {0, 0, 0, 4, 4}},
    };
    const ColumnList columns = xdxr_columns(records);
    ASSERT_EQ(
        names_of(columns),
        (std::vector<std::string>{"date", "category", "name", "fenhong", "peigujia", "songzhuangu",
                                  "peigu", "suogu", "xingquanjia", "fenshu", "panqianliutong",
                                  "qianzongguben", "panhouliutong", "houzongguben"}));
    EXPECT_EQ(values_of<int64_t>(columns, "date"),
              (std::vector<int64_t>{19888, 19889, 19890, 19891, kNotATime}));
    EXPECT_EQ(std::get<std::vector<std::string>>(columns[2].values)[0], "除权除息");
    for (const auto& [name, want] : expected) {
        const auto got = values_of<double>(columns, name);
        ASSERT_EQ(got.size(), want.size()) << name;
        for (size_t i = 0; i < got.size(); ++i) {
            if (want[i] == 0) {
                EXPECT_TRUE(std::isnan(got[i])) << name << " of record " << i;
            } else {
                EXPECT_EQ(got[i], want[i]) << name << " of record " << i;
            }
        }
    }
}

}  // namespace
}  // namespace quillan::columns
