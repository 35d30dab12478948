#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "reader/data_file.h"

namespace quillan::reader {

// One record of a .day file, values ready for the caller.
struct DailyBar {
    uint32_t date;  // yyyymmdd as stored; see format_daily_date
    double open, high, low, close;
    double amount;
    double volume;
};

// One record of a .lc1 or .lc5 file.
struct MinuteBar {
    uint16_t date;  // packed; see format_minute_datetime
    uint16_t time;  // minutes since midnight
    double open, high, low, close;
    double amount;
    double volume;
};

using Record = std::span<const uint8_t, kRecordSize>;

// Decodes one daily record. Each u32 price is widened exactly and multiplied by `price_coeff`
// in one multiplication (35 * 0.01 is 0.35000000000000003, which is what the caller expects
// from a coefficient; dividing by 100 would give 0.35); the volume likewise by `vol_coeff`.
// The float32 amount is widened and never scaled.
DailyBar decode_daily_bar(Record rec, double price_coeff, double vol_coeff);

// Decodes one minute record: every float32 widened exactly, the u32 volume as a double.
MinuteBar decode_minute_bar(Record rec);

// The longest texts the formatters write: "429496-72-95" and "2035-20-99 1092:15".
inline constexpr size_t kDailyDateMax = 12;
inline constexpr size_t kMinuteDateTimeMax = 18;

// Writes the date as year-mm-dd (year = date / 10000 unpadded, month and day two digits),
// unvalidated: 0 gives 0-00-00, 20240021 gives 2024-00-21. Returns the length written.
size_t format_daily_date(uint32_t date, char (&out)[kDailyDateMax]);

// Writes year-mm-dd hh:mm from the packed fields: year = (date >> 11) + 2004, month and day
// from (date & 0x7FF) as month * 100 + day, hour and minute from `time`. Fields are padded to
// two digits and never cut (65535 minutes is 1092:15). Returns the length written.
size_t format_minute_datetime(uint16_t date, uint16_t time, char (&out)[kMinuteDateTimeMax]);

// Every record of a .day file, in file order (whatever the file is named). Throws the errors
// of RecordFile; the file is closed before the result is returned.
std::vector<DailyBar> read_daily_file(const std::string& path, double price_coeff,
                                      double vol_coeff);

// Every record of a .lc1 or .lc5 file, in file order, as read_daily_file.
std::vector<MinuteBar> read_minute_file(const std::string& path);

}  // namespace quillan::reader
