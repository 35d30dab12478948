#pragma once

// The records of the market-data commands, turned into named, typed columns: one vector per
// field, in the order and with the values of the record form, so that a column-wise result
// reads like the list of records it replaces.

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "commands/security_bars.h"
#include "commands/security_quotes.h"
#include "commands/transaction_data.h"
#include "protocol/codecs.h"

namespace quillan::columns {

// How the values of a column are meant: Int64 and Float64 as they are; DateTime as seconds
// since 1970-01-01 00:00 (no zone), Duration as seconds; Text as UTF-8.
enum class ColumnKind { Float64, Int64, DateTime, Duration, Text };

using ColumnValues =
    std::variant<std::vector<double>, std::vector<int64_t>, std::vector<std::string>>;

struct NamedColumn {
    const char* name;  // a literal: it outlives every column
    ColumnKind kind;
    ColumnValues values;
};

// Equal-length columns in a fixed order.
using ColumnList = std::vector<NamedColumn>;

// The DateTime and Duration value that stands for "no time" (NumPy's NaT).
inline constexpr int64_t kNoTime = std::numeric_limits<int64_t>::min();

// Seconds since 1970-01-01 00:00 in the proleptic Gregorian calendar, or kNoTime when a field
// is out of its range (month 1-12, day within the month, hour 0-23, minute 0-59): the decoders
// pass every field through unchecked, and a wrong instant is worse than none.
int64_t epoch_seconds(const protocol::DateTime& dt);

// datetime (DateTime), open, high, low, close (thousandths as the nearest double), vol, amount.
ColumnList bar_columns(std::span<const net::SecurityBar> bars);

// market, code (Text), price, last_close, open, high, low (hundredths as the nearest double),
// servertime, vol, cur_vol (Int64), amount (Float64), s_vol, b_vol (Int64), then bidN, askN
// (hundredths), bid_volN, ask_volN (Int64) for N = 1..5.
ColumnList quote_columns(std::span<const net::SecurityQuote> quotes);

// time (Duration since midnight; the hour is not limited to 23), price (hundredths as the
// nearest double), vol, num, buyorsell (Int64).
ColumnList trade_columns(std::span<const net::Transaction> trades);

}  // namespace quillan::columns
