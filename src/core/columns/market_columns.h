#pragma once

// The records of the market-data commands, turned into named, typed columns: one vector per
// field, in the order and with the values of the record form, so that a column-wise result
// reads like the list of records it replaces.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "columns/column.h"
#include "commands/company_info.h"
#include "commands/finance.h"
#include "commands/security_bars.h"
#include "commands/security_quotes.h"
#include "commands/transaction_data.h"
#include "commands/xdxr.h"
#include "protocol/codecs.h"

namespace quillan::columns {

// One named column of a market-data result: typed values, or texts (UTF-8).
struct MarketColumn {
    const char* name;  // a literal: it outlives every column
    std::variant<Column, std::vector<std::string>> values;
};

// Equal-length columns in a fixed order.
using ColumnList = std::vector<MarketColumn>;

// Days since 1970-01-01 in the proleptic Gregorian calendar, or kNotATime when the month is
// not 1-12 or the day not within the month.
int64_t epoch_days(uint32_t year, uint32_t month, uint32_t day);

// Seconds since 1970-01-01 00:00 in the proleptic Gregorian calendar, or kNotATime when a field
// is out of its range (month 1-12, day within the month, hour 0-23, minute 0-59): the decoders
// pass every field through unchecked, and a wrong instant is worse than none.
int64_t epoch_seconds(const protocol::DateTime& dt);

// The bars of `category`: datetime (Seconds), open, high, low, close (thousandths as the
// nearest double), amount, volume. A category whose bars carry a date alone (not the minute
// layout) gets midnight of that date, not the 15:00 of the record form.
ColumnList bar_columns(uint16_t category, std::span<const net::SecurityBar> bars);

// market, code (Text), price, last_close, open, high, low (hundredths as the nearest double),
// servertime, vol, cur_vol (Int64), amount (Float64), s_vol, b_vol (Int64), then bidN, askN
// (hundredths), bid_volN, ask_volN (Int64) for N = 1..5.
ColumnList quote_columns(std::span<const net::SecurityQuote> quotes);

// time (Int64: seconds since midnight, a duration; the hour is not limited to 23), price
// (hundredths as the nearest double), vol, num, buyorsell (Int64).
ColumnList trade_columns(std::span<const net::Transaction> trades);

// date (Days; kNotATime when the record's fields name no real date), category (Int64), name
// (Text, xdxr_category_name), then the Float64 values of every shape: fenhong, peigujia,
// songzhuangu, peigu (Dividend), suogu (Consolidation), xingquanjia, fenshu (Warrant),
// panqianliutong, qianzongguben, panhouliutong, houzongguben (ShareCapital). A record fills
// the values of its own shape, as the record form names them; the others are NaN.
ColumnList xdxr_columns(std::span<const net::XdxrRecord> records);

// One row, or none without a summary: market (Int64), code (Text), both as the caller asked,
// liutongguben (Float64), province, industry, updated_date, ipo_date (Int64), then the figures
// (Float64) under kFinanceFigureNames.
ColumnList finance_columns(uint8_t market, std::string_view code,
                           const std::optional<net::FinanceInfo>& info);

// name, filename (Text), start, length (Int64).
ColumnList company_index_columns(std::span<const net::CompanyInfoEntry> entries);

}  // namespace quillan::columns
