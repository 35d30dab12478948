#pragma once

// The compact value forms of response bodies and the security code field of requests.
//
// Every read takes the body and a position that it advances. None of them fails: a read that
// runs into the end of the body gives a defined value (0, or no datetime) and a position at or
// just past the end, and the caller decides from the position when a record is complete.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillan::protocol {

using Body = std::span<const uint8_t>;

// Little-endian integers at `p`; the caller has checked that the bytes are there.
inline uint16_t load_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t load_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
// A little-endian IEEE-754 single at `p`, widened to double (exactly, without scaling).
inline double load_f32(const uint8_t* p) {
    return static_cast<double>(std::bit_cast<float>(load_u32(p)));
}

// a + b modulo 2^64. Prices are sums of deltas that the server lets wrap, so the sum wraps
// too instead of overflowing.
constexpr int64_t wrapping_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// A signed price varint at `p`:
//   first byte   bit 7 more bytes follow, bit 6 negative, bits 0-5 magnitude bits 0-5
//   next bytes   bit 7 more bytes follow, bits 0-6 the next 7 magnitude bits
// Returns the value and moves `p` past it. At or past the end of the body it returns 0 and
// leaves `p` alone. A varint cut off by the end of the body gives the bits read so far and
// leaves `p` at L + 1, so every later read of the record sees no data. Over-long varints wrap:
// the shift is taken modulo 64 and the magnitude modulo 2^64.
inline int64_t read_price(Body body, size_t& p) {
    const size_t len = body.size();
    if (p >= len) return 0;
    const uint8_t first = body[p];
    uint64_t magnitude = first & 0x3F;
    if (first & 0x80) {
        unsigned shift = 6;
        for (;;) {
            if (p == len - 1) {
                p = len;
                break;
            }
            const uint8_t b = body[++p];
            magnitude += static_cast<uint64_t>(b & 0x7F) << shift;
            shift = (shift + 7) & 63;
            if (!(b & 0x80)) break;
        }
    }
    ++p;
    // Negation in unsigned arithmetic: a magnitude of 2^63 or more wraps instead of overflowing.
    return static_cast<int64_t>((first & 0x40) ? 0 - magnitude : magnitude);
}

// Moves `p` past one price varint, with the positions read_price would give.
inline size_t skip_price(Body body, size_t p) {
    const size_t len = body.size();
    if (p >= len) return p;
    while (body[p] & 0x80) {
        if (p == len - 1) return len + 1;
        ++p;
    }
    return p + 1;
}

// The four-byte volume form: E = v >> 23 (nine bits), M = v & 0x7FFFFF, value
// 2^(E - 127) * (1 + M / 2^23). Unlike an IEEE single it has no zero, sign, infinity or NaN:
// v = 0 is 2^-127 and v = 0xFFFFFFFF about 7.88e115. Every value is a normal double, so its
// bits are built directly: exponent E - 127 + 1023, the 23 fraction bits at the top.
inline double decode_volume(uint32_t v) {
    const uint64_t exponent = (v >> 23) + 896;
    const uint64_t fraction = v & 0x7FFFFF;
    return std::bit_cast<double>(exponent << 52 | fraction << 29);
}

// A bar's date and time. Nothing is validated: month 0 or day 99 pass through.
struct DateTime {
    uint32_t year, month, day, hour, minute;
};

// Whether bars of `category` carry a time of day (the minute layout below); the others carry a
// date alone (the date layout).
constexpr bool minute_layout(uint16_t category) {
    constexpr uint32_t kMinuteLayouts = 0x18F;  // categories 0, 1, 2, 3, 7, 8
    return category <= 8 && ((kMinuteLayouts >> category) & 1) != 0;
}

// The four datetime bytes at `p`, in the layout that the bar category selects:
//   minute layout (categories 0, 1, 2, 3, 7, 8):
//     0  2  u16 d: year (d >> 11) + 2004, month (d & 0x7FF) / 100, day (d & 0x7FF) % 100
//     2  2  u16 t: hour t / 60, minute t % 60
//   date layout (every other category):
//     0  4  u32 v: year v / 10000, month v / 100 % 100, day v % 100; 15:00
// Returns nothing, without moving `p`, when fewer than four bytes are left; else moves `p` by 4.
inline std::optional<DateTime> read_datetime(uint16_t category, Body body, size_t& p) {
    if (p >= body.size() || body.size() - p < 4) return std::nullopt;
    const uint8_t* at = body.data() + p;
    p += 4;
    if (minute_layout(category)) {
        const uint32_t d = load_u16(at);
        const uint32_t t = load_u16(at + 2);
        return DateTime{(d >> 11) + 2004, (d & 0x7FF) / 100, (d & 0x7FF) % 100, t / 60, t % 60};
    }
    const uint32_t v = load_u32(at);
    return DateTime{v / 10000, v % 10000 / 100, v % 100, 15, 0};
}

struct TimeOfDay {
    uint32_t hour, minute;
};

// Minutes since midnight as hour and minute; t = 1500 is 25:00, nothing is validated.
inline TimeOfDay decode_time(uint16_t t) { return {t / 60u, t % 60u}; }

// Writes `v` in decimal with at least `width` (1 or 2) digits into `out`, which has room for
// ten; returns the position after the last digit. No NUL is written.
char* put_decimal(char* out, uint32_t v, int width);

// Room for any text that format_datetime or format_time writes.
inline constexpr size_t kDateTimeTextMax = 64;

// Writes "Y-MM-DD hh:mm" into `out` (at least kDateTimeTextMax bytes): the year in plain
// decimal, the other fields with at least two digits. Returns the length; no NUL is written.
size_t format_datetime(const DateTime& dt, char* out);

// Writes "hh:mm" (each at least two digits; a large hour keeps all its digits) into `out`.
size_t format_time(TimeOfDay t, char* out);

// The six-byte security code field: the first six bytes of the code's UTF-8 form, zero-padded.
std::array<uint8_t, 6> pack_code(std::string_view code);

}  // namespace quillan::protocol
