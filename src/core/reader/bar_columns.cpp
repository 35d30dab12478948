#include "reader/bar_columns.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <new>

#include "columns/column.h"
#include "reader/data_file.h"

namespace quillan::reader {
namespace {

using columns::kNotATime;

template <class T>
T load(const uint8_t* rec, size_t offset) {
    T value;
    std::memcpy(&value, rec + offset, sizeof value);
    return value;
}

bool is_leap(uint32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool is_calendar_date(uint32_t year, uint32_t month, uint32_t day) {
    static constexpr uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    return day <= kDays[month - 1] + (month == 2 && is_leap(year) ? 1u : 0u);
}

// Days since 1970-01-01 of a valid proleptic Gregorian date (years from 1 on): the count of
// days of whole 400-year eras, years and months since 0000-03-01, March first so that the
// leap day ends the year.
int64_t days_from_civil(uint32_t year, uint32_t month, uint32_t day) {
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = y / 400;
    const int64_t year_of_era = y - era * 400;
    const int64_t m = month > 2 ? month - 3 : month + 9;
    const int64_t day_of_year = (153 * m + 2) / 5 + day - 1;
    const int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// Where the values of one run of records go: the next `count` slots of each column.
struct Slots {
    int64_t* time;
    double *open, *high, *low, *close, *amount, *volume;
};

// Appends the records of `path` to `out`, chunk by chunk, into columns reserved once for the
// size the file had when opened (growing at least twofold, so that appending many files costs
// no more than one). Each chunk grows the columns by its record count (leaving the new values
// unset), and `decode(chunk, count, slots)` fills them: plain stores, with no capacity check
// per value. Returns the number of impossible times among the records appended; on a failure
// `out` is left as it was.
template <class Decode>
uint64_t append_columns(const std::string& path, Decode decode, BarColumns& out) {
    RecordFile file(path);
    const size_t before = out.time.size();
    if (file.record_count() > out.time.max_size() - before) throw std::bad_alloc();
    const size_t needed = before + static_cast<size_t>(file.record_count());
    const std::array<columns::Values<double>*, 6> values{&out.open,  &out.high,   &out.low,
                                                         &out.close, &out.amount, &out.volume};
    if (out.time.capacity() < needed) {
        const size_t capacity = std::max(needed, 2 * out.time.capacity());
        out.time.reserve(capacity);
        for (auto* column : values) column->reserve(capacity);
    }
    auto resize = [&](size_t size) {
        out.time.resize(size);
        for (auto* column : values) column->resize(size);
    };
    uint64_t impossible = 0;
    try {
        for (auto chunk = file.next(); !chunk.empty(); chunk = file.next()) {
            const size_t base = out.time.size(), count = chunk.size() / kRecordSize;
            resize(base + count);
            impossible +=
                decode(chunk.data(), count,
                       Slots{out.time.data() + base, out.open.data() + base, out.high.data() + base,
                             out.low.data() + base, out.close.data() + base,
                             out.amount.data() + base, out.volume.data() + base});
        }
    } catch (...) {
        resize(before);
        throw;
    }
    out.impossible += impossible;
    return impossible;
}

template <class Decode>
BarColumns read_columns(const std::string& path, Decode decode) {
    BarColumns out;
    append_columns(path, decode, out);
    return out;
}

}  // namespace

int64_t daily_day_number(uint32_t yyyymmdd) {
    const uint32_t year = yyyymmdd / 10000, month = yyyymmdd / 100 % 100, day = yyyymmdd % 100;
    if (year < 1900 || year > 2199 || !is_calendar_date(year, month, day)) return kNotATime;
    return days_from_civil(year, month, day);
}

int64_t minute_seconds(uint16_t date, uint16_t minutes) {
    const uint32_t year = (date >> 11) + 2004u, month_day = date & 0x7FFu;
    if (minutes >= 24 * 60 || !is_calendar_date(year, month_day / 100, month_day % 100)) {
        return kNotATime;
    }
    return days_from_civil(year, month_day / 100, month_day % 100) * 86400 + minutes * 60;
}

//   0 4 u32  date, yyyymmdd
//   4 4 u32  open, in 1 / scale
//   8 4 u32  high
//  12 4 u32  low
//  16 4 u32  close
//  20 4 f32  amount
//  24 4 u32  volume
//  28 4 -    not read
namespace {

uint64_t decode_daily(const uint8_t* rec, size_t count, Slots to, double scale) {
    uint64_t impossible = 0;
    for (size_t i = 0; i < count; ++i, rec += kRecordSize) {
        const int64_t day = daily_day_number(load<uint32_t>(rec, 0));
        impossible += day == kNotATime;
        to.time[i] = day == kNotATime ? kNotATime : day * 86400;
        to.open[i] = static_cast<double>(load<uint32_t>(rec, 4)) / scale;
        to.high[i] = static_cast<double>(load<uint32_t>(rec, 8)) / scale;
        to.low[i] = static_cast<double>(load<uint32_t>(rec, 12)) / scale;
        to.close[i] = static_cast<double>(load<uint32_t>(rec, 16)) / scale;
        to.amount[i] = static_cast<double>(load<float>(rec, 20));
        to.volume[i] = static_cast<double>(load<uint32_t>(rec, 24));
    }
    return impossible;
}

}  // namespace

BarColumns read_daily_columns(const std::string& path, double scale) {
    return read_columns(path, [scale](const uint8_t* rec, size_t count, Slots to) {
        return decode_daily(rec, count, to, scale);
    });
}

//   0 2 u16  date: bits 15..11 year - 2004, bits 10..0 month * 100 + day
//   2 2 u16  minutes since midnight
//   4 4 f32  open
//   8 4 f32  high
//  12 4 f32  low
//  16 4 f32  close
//  20 4 f32  amount
//  24 4 u32  volume
//  28 4 -    not read
namespace {

// A day has hundreds of minute records: the date's day number is worked out once a run.
struct MinuteDecoder {
    uint16_t last_date = 0;
    int64_t last_day = minute_seconds(0, 0);
    uint64_t operator()(const uint8_t* rec, size_t count, Slots to);
};

uint64_t MinuteDecoder::operator()(const uint8_t* rec, size_t count, Slots to) {
    uint64_t impossible = 0;
    for (size_t i = 0; i < count; ++i, rec += kRecordSize) {
        const uint16_t date = load<uint16_t>(rec, 0), minutes = load<uint16_t>(rec, 2);
        if (date != last_date) {
            last_date = date;
            last_day = minute_seconds(date, 0);
        }
        const bool possible = last_day != kNotATime && minutes < 24 * 60;
        impossible += !possible;
        to.time[i] = possible ? last_day + minutes * 60 : kNotATime;
        to.open[i] = static_cast<double>(load<float>(rec, 4));
        to.high[i] = static_cast<double>(load<float>(rec, 8));
        to.low[i] = static_cast<double>(load<float>(rec, 12));
        to.close[i] = static_cast<double>(load<float>(rec, 16));
        to.amount[i] = static_cast<double>(load<float>(rec, 20));
        to.volume[i] = static_cast<double>(load<uint32_t>(rec, 24));
    }
    return impossible;
}

}  // namespace

BarColumns read_minute_columns(const std::string& path) {
    MinuteDecoder decode;
    return read_columns(path, std::ref(decode));
}

BarFiles read_bar_files(const std::vector<std::pair<std::string, double>>& files, bool minute) {
    BarFiles out;
    out.counts.reserve(files.size());
    out.impossible.reserve(files.size());
    out.errors.reserve(files.size());
    for (const auto& [path, scale] : files) {
        const size_t before = out.bars.time.size();
        uint64_t impossible = 0;
        try {
            if (minute) {
                MinuteDecoder decode;
                impossible = append_columns(path, std::ref(decode), out.bars);
            } else {
                impossible = append_columns(
                    path,
                    [scale](const uint8_t* rec, size_t count, Slots to) {
                        return decode_daily(rec, count, to, scale);
                    },
                    out.bars);
            }
        } catch (const Error& err) {
            out.counts.push_back(0);
            out.impossible.push_back(0);
            out.errors.emplace_back(err);
            continue;
        }
        out.counts.push_back(out.bars.time.size() - before);
        out.impossible.push_back(impossible);
        out.errors.emplace_back();
    }
    return out;
}

}  // namespace quillan::reader
