#include "protocol/codecs.h"

#include <algorithm>

namespace quillan::protocol {
namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* put_pair(char* out, uint32_t v) {
    out[0] = kDigitPairs[2 * v];
    out[1] = kDigitPairs[2 * v + 1];
    return out + 2;
}

}  // namespace

// Result texts are built for every record, so the usual sizes, two and four digits, take a
// short path.
char* put_decimal(char* out, uint32_t v, int width) {
    if (v < 100 && (width == 2 || v >= 10)) return put_pair(out, v);
    if (v >= 1000 && v < 10000) return put_pair(put_pair(out, v / 100), v % 100);
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
