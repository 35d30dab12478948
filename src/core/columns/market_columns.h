#pragma once

// The records of the market-data commands, turned into named, typed columns: one vector per
// field, in the order and with the values of the record form, so that a column-wise result
// reads like the list of records it replaces.

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "columns/column.h"
#include "commands/security_bars.h"
#include "commands/security_quotes.h"
#include "commands/transaction_data.h"
#include "protocol/codecs.h"

namespace quillan::columns {

// One named column of a market-data result: typed values, or texts (UTF-8).
struct MarketColumn {
    const char* name;  // a literal: it outlives every column
    std::variant<Column, std::vector<std::string>> values;
};

// Equal-length columns in a fixed order.
using ColumnList = std::vector<MarketColumn>;

// Seconds since 1970-01-01 00:00 in the proleptic Gregorian calendar, or kNotATime when a field
// is out of its range (month 1-12, day within the month, hour 0-23, minute 0-59): the decoders
// pass every field through unchecked, and a wrong instant is worse than none.
int64_t epoch_seconds(const protocol::DateTime& dt);

// datetime (Seconds), open, high, low, close (thousandths as the nearest double), vol, amount.
ColumnList bar_columns(std::span<const net::SecurityBar> bars);

// market, code (Text), price, last_close, open, high, low (hundredths as the nearest double),
// servertime, vol, cur_vol (Int64), amount (Float64), s_vol, b_vol (Int64), then bidN, askN
// (hundredths), bid_volN, ask_volN (Int64) for N = 1..5.
ColumnList quote_columns(std::span<const net::SecurityQuote> quotes);

// time (Int64: seconds since midnight, a duration; the hour is not limited to 23), price
// (hundredths as the nearest double), vol, num, buyorsell (Int64).
ColumnList trade_columns(std::span<const net::Transaction> trades);

}  // namespace quillan::columns
