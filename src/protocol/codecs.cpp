#include "protocol/codecs.h"

#include <algorithm>

namespace quillan::protocol {
namespace {

// Writes `v` in decimal with at least `width` digits; returns the position after it.
char* put_decimal(char* out, uint32_t v, int width) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n < width) digits[n++] = '0';
    while (n > 0) *out++ = digits[--n];
    return out;
}

}  // namespace

size_t format_datetime(const DateTime& dt, char* out) {
    char* at = put_decimal(out, dt.year, 1);
    *at++ = '-';
    at = put_decimal(at, dt.month, 2);
    *at++ = '-';
    at = put_decimal(at, dt.day, 2);
    *at++ = ' ';
    at = put_decimal(at, dt.hour, 2);
    *at++ = ':';
    at = put_decimal(at, dt.minute, 2);
    return static_cast<size_t>(at - out);
}

size_t format_time(TimeOfDay t, char* out) {
    char* at = put_decimal(out, t.hour, 2);
    *at++ = ':';
    at = put_decimal(at, t.minute, 2);
    return static_cast<size_t>(at - out);
}

std::array<uint8_t, 6> pack_code(std::string_view code) {
    std::array<uint8_t, 6> field{};
    std::copy_n(code.begin(), std::min(code.size(), field.size()), field.begin());
    return field;
}

}  // namespace quillan::protocol
