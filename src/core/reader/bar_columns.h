#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "columns/column.h"

namespace quillan::reader {

// The records of a bar file as columns, in file order.
struct BarColumns {
    // Seconds since 1970-01-01 00:00 of the wall-clock time stored: a daily record's at
    // midnight of its date. kNotATime where the record's date is impossible.
    columns::Values<int64_t> time;
    columns::Values<double> open, high, low, close;
    columns::Values<double> amount;  // the stored float32, widened exactly
    columns::Values<double> volume;  // the stored u32, exactly
    uint64_t impossible = 0;         // records whose time is kNotATime
};

// The day number (days since 1970-01-01) of a daily record's yyyymmdd date, or kNotATime
// unless it is a calendar date of the years 1900 to 2199: the years a market file can hold,
// and a range no record of another kind of file falls in by chance (a minute record read as
// a daily one gives years from 3700 on).
int64_t daily_day_number(uint32_t yyyymmdd);

// The seconds since 1970-01-01 00:00 of a minute record's packed date (bits 15..11 year - 2004,
// bits 10..0 month * 100 + day) and minutes since midnight, or kNotATime unless the date is a
// calendar date and the minutes are less than 24 hours.
int64_t minute_seconds(uint16_t date, uint16_t minutes);

// Every whole record of a .day file. Prices are the stored integer divided by `scale` (the
// nearest double to the decimal price: 2949 / 100 is 29.49, where 2949 * 0.01 is
// 29.490000000000002); volume and amount are not scaled. Throws the errors of RecordFile; a
// file that shrinks while it is read gives the records read before it ended.
BarColumns read_daily_columns(const std::string& path, double scale);

// Every whole record of a .lc1 or .lc5 file: the float32 prices and amount widened exactly,
// the volume as stored. Errors as read_daily_columns.
BarColumns read_minute_columns(const std::string& path);

// The records of several bar files of one kind, one file after another, and per file how
// many there are, how many of them have an impossible time, and the error that kept it out.
struct BarFiles {
    BarColumns bars;  // bars.impossible is the sum over the files
    std::vector<uint64_t> counts;
    std::vector<uint64_t> impossible;
    std::vector<std::optional<Error>> errors;  // a file that failed adds no record
};

// Reads each (path, scale) file as read_daily_columns (or read_minute_columns, which takes no
// scale) does. A file that fails with the core's Error is reported in `errors` and the others
// are read; any other failure (out of memory) is thrown.
BarFiles read_bar_files(const std::vector<std::pair<std::string, double>>& files, bool minute);

}  // namespace quillan::reader
