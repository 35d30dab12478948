#include "reader/bars.h"

#include <bit>
#include <cstring>
#include <new>

#include "protocol/codecs.h"

namespace quillan::reader {
namespace {

// The files are little-endian; copying their bytes straight into a value relies on the host
// being so too.
static_assert(std::endian::native == std::endian::little);

template <class T>
T load(Record rec, size_t offset) {
    T value;
    std::memcpy(&value, rec.data() + offset, sizeof value);
    return value;
}

uint32_t u32(Record rec, size_t offset) { return load<uint32_t>(rec, offset); }
uint16_t u16(Record rec, size_t offset) { return load<uint16_t>(rec, offset); }
double f32(Record rec, size_t offset) { return static_cast<double>(load<float>(rec, offset)); }

// Decodes every record of `file` with `decode`, into a vector reserved once for the size the
// file had when it was opened.
template <class Bar, class Decode>
std::vector<Bar> read_all(RecordFile& file, Decode decode) {
    std::vector<Bar> bars;
    if (file.record_count() > bars.max_size()) throw std::bad_alloc();
    bars.reserve(static_cast<size_t>(file.record_count()));
    for (auto chunk = file.next(); !chunk.empty(); chunk = file.next()) {
        for (size_t pos = 0; pos < chunk.size(); pos += kRecordSize) {
            bars.push_back(decode(Record(chunk.data() + pos, kRecordSize)));
        }
    }
    return bars;
}

}  // namespace

//   0 4 u32  date, yyyymmdd
//   4 4 u32  open      (raw; times price_coeff)
//   8 4 u32  high
//  12 4 u32  low
//  16 4 u32  close
//  20 4 f32  amount    (never scaled)
//  24 4 u32  volume    (raw; times vol_coeff)
//  28 4 -    not read
DailyBar decode_daily_bar(Record rec, double price_coeff, double vol_coeff) {
    return DailyBar{
        .date = u32(rec, 0),
        .open = static_cast<double>(u32(rec, 4)) * price_coeff,
        .high = static_cast<double>(u32(rec, 8)) * price_coeff,
        .low = static_cast<double>(u32(rec, 12)) * price_coeff,
        .close = static_cast<double>(u32(rec, 16)) * price_coeff,
        .amount = f32(rec, 20),
        .volume = static_cast<double>(u32(rec, 24)) * vol_coeff,
    };
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
MinuteBar decode_minute_bar(Record rec) {
    return MinuteBar{
        .date = u16(rec, 0),
        .time = u16(rec, 2),
        .open = f32(rec, 4),
        .high = f32(rec, 8),
        .low = f32(rec, 12),
        .close = f32(rec, 16),
        .amount = f32(rec, 20),
        .volume = static_cast<double>(u32(rec, 24)),
    };
}

size_t format_daily_date(uint32_t date, char (&out)[kDailyDateMax]) {
    char* p = protocol::put_decimal(out, date / 10000, 1);
    *p++ = '-';
    p = protocol::put_decimal(p, date % 10000 / 100, 2);
    *p++ = '-';
    p = protocol::put_decimal(p, date % 100, 2);
    return static_cast<size_t>(p - out);
}

size_t format_minute_datetime(uint16_t date, uint16_t time, char (&out)[kMinuteDateTimeMax]) {
    const uint32_t month_day = date & 0x7FFu;
    char* p = protocol::put_decimal(out, (date >> 11) + 2004u, 1);
    *p++ = '-';
    p = protocol::put_decimal(p, month_day / 100, 2);
    *p++ = '-';
    p = protocol::put_decimal(p, month_day % 100, 2);
    *p++ = ' ';
    p = protocol::put_decimal(p, time / 60u, 2);
    *p++ = ':';
    p = protocol::put_decimal(p, time % 60u, 2);
    return static_cast<size_t>(p - out);
}

std::vector<DailyBar> read_daily_file(const std::string& path, double price_coeff,
                                      double vol_coeff) {
    RecordFile file(path);
    return read_all<DailyBar>(
        file, [&](Record rec) { return decode_daily_bar(rec, price_coeff, vol_coeff); });
}

std::vector<MinuteBar> read_minute_file(const std::string& path) {
    RecordFile file(path);
    return read_all<MinuteBar>(file, decode_minute_bar);
}

}  // namespace quillan::reader
