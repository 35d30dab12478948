#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "columns/market_columns.h"

namespace quillan::columns {
namespace {

using protocol::DateTime;

template <class T>
std::vector<T> values(const MarketColumn& c) {
    if constexpr (std::is_same_v<T, std::string>) {
        return std::get<std::vector<std::string>>(c.values);
    } else {
        const Column& column = std::get<Column>(c.values);
        EXPECT_EQ(column.item_size(), sizeof(T));
        const T* first = static_cast<const T*>(column.data());
        return std::vector<T>(first, first + column.size());
    }
}

ColumnKind kind(const MarketColumn& c) { return std::get<Column>(c.values).kind(); }

std::vector<std::string> names(const ColumnList& cols) {
    std::vector<std::string> out;
    for (const auto& c : cols) out.emplace_back(c.name);
    return out;
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

TEST(MarketColumns, BarsInRecordOrder) {
    std::vector<net::SecurityBar> bars(2);
    bars[0] = {{2024, 3, 15, 15, 0}, 12340, 12300, 12400, 12240, 1000.0, 1e7};
    bars[1] = {{2024, 3, 15, 25, 0}, 29490, 1, 2, 3, 0.5, 0.25};
    const ColumnList cols = bar_columns(bars);
    EXPECT_EQ(names(cols), (std::vector<std::string>{"datetime", "open", "high", "low", "close",
                                                     "vol", "amount"}));
    EXPECT_EQ(values<int64_t>(cols[0]), (std::vector<int64_t>{1710514800, kNotATime}));
    EXPECT_EQ(kind(cols[0]), ColumnKind::Seconds);
    // Divided, not multiplied by 0.001: 29490 thousandths is exactly the double nearest 29.49.
    EXPECT_EQ(values<double>(cols[1]), (std::vector<double>{12.34, 29.49}));
    EXPECT_EQ(values<double>(cols[2]), (std::vector<double>{12.4, 0.002}));
    EXPECT_EQ(values<double>(cols[3]), (std::vector<double>{12.24, 0.003}));
    EXPECT_EQ(values<double>(cols[4]), (std::vector<double>{12.3, 0.001}));
    EXPECT_EQ(values<double>(cols[6]), (std::vector<double>{1e7, 0.25}));
}

TEST(MarketColumns, QuoteLevelsAndTexts) {
    std::vector<net::SecurityQuote> quotes(1);
    net::SecurityQuote& q = quotes[0];
    q.market = 1;
    q.code = "600036";
    q.price = 1234;
    for (int64_t i = 0; i < 5; ++i)
        q.levels[static_cast<size_t>(i)] = {i, 10 + i, 100 + i, 1000 + i};
    const ColumnList cols = quote_columns(quotes);
    ASSERT_EQ(cols.size(), 33u);
    EXPECT_EQ(values<std::string>(cols[1]), std::vector<std::string>{"600036"});
    EXPECT_EQ(values<double>(cols[2]), std::vector<double>{12.34});
    for (size_t i = 0; i < 5; ++i) {
        const auto n = std::to_string(i + 1);
        const size_t at = 13 + 4 * i;
        EXPECT_EQ(names(cols)[at], "bid" + n);
        EXPECT_EQ(names(cols)[at + 3], "ask_vol" + n);
        EXPECT_EQ(values<double>(cols[at + 1]),
                  std::vector<double>{static_cast<double>(10 + i) / 100});
        EXPECT_EQ(values<int64_t>(cols[at + 2]),
                  std::vector<int64_t>{static_cast<int64_t>(100 + i)});
    }
}

TEST(MarketColumns, TradeTimesKeepHoursPastMidnight) {
    std::vector<net::Transaction> trades = {{{9, 30}, 1234, 1, 2, 3}, {{1092, 15}, -1, 0, 0, 0}};
    const ColumnList cols = trade_columns(trades);
    EXPECT_EQ(names(cols), (std::vector<std::string>{"time", "price", "vol", "num", "buyorsell"}));
    EXPECT_EQ(kind(cols[0]), ColumnKind::Int64);
    EXPECT_EQ(values<int64_t>(cols[0]), (std::vector<int64_t>{34200, 1092 * 3600 + 900}));
    EXPECT_EQ(values<double>(cols[1]), (std::vector<double>{12.34, -0.01}));
}

}  // namespace
}  // namespace quillan::columns
