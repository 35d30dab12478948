#include "protocol/gbk.h"

#include <algorithm>
#include <cstddef>

namespace quillan::protocol {
namespace {

#include "protocol/gbk_table.inc"

constexpr char32_t kReplacement = 0xFFFD;

void put_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        const char bytes[] = {static_cast<char>(0xC0 | cp >> 6),
                              static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 2);
    } else if (cp < 0x10000) {
        const char bytes[] = {static_cast<char>(0xE0 | cp >> 12),
                              static_cast<char>(0x80 | (cp >> 6 & 0x3F)),
                              static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 3);
    } else {
        const char bytes[] = {
            static_cast<char>(0xF0 | cp >> 18), static_cast<char>(0x80 | (cp >> 12 & 0x3F)),
            static_cast<char>(0x80 | (cp >> 6 & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 4);
    }
}

// The code point of a four-byte sequence's pointer, or 0 when it has none.
char32_t ranges_code_point(uint32_t pointer) {
    if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
    // 81 35 F4 37: the one pointer below 39420 whose code point the ranges do not give.
    if (pointer == 7457) return 0xE7C7;
    const auto* end = std::end(kGbkRangePointer);
    const size_t i =
        static_cast<size_t>(std::upper_bound(std::begin(kGbkRangePointer), end, pointer) -
                            std::begin(kGbkRangePointer)) -
        1;  // pointer 0 starts the first range, so i is never before it
    return kGbkRangeCodePoint[i] + (pointer - kGbkRangePointer[i]);
}

bool between(uint8_t b, uint8_t lo, uint8_t hi) { return b >= lo && b <= hi; }

// The gb18030 decoder. Where the Standard restores bytes to the input after an error, they are
// the ones right behind the error's first byte, so restoring is stepping back to them.
void decode_gb18030(std::span<const uint8_t> in, std::string& out) {
    const size_t n = in.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t b1 = in[i];
        if (b1 < 0x80) {
            out += static_cast<char>(b1);
            ++i;
            continue;
        }
        if (b1 == 0x80 || b1 == 0xFF) {
            put_utf8(out, b1 == 0x80 ? 0x20AC : kReplacement);
            ++i;
            continue;
        }
        // A lead byte. At the end of the input an unfinished sequence is one error.
        if (i + 1 == n) {
            put_utf8(out, kReplacement);
            break;
        }
        const uint8_t b2 = in[i + 1];
        if (between(b2, 0x30, 0x39)) {
            if (i + 2 == n) {
                put_utf8(out, kReplacement);
                break;
            }
            const uint8_t b3 = in[i + 2];
            if (!between(b3, 0x81, 0xFE)) {
                put_utf8(out, kReplacement);  // b2 and b3 are read again
                i += 1;
                continue;
            }
            if (i + 3 == n) {
                put_utf8(out, kReplacement);
                break;
            }
            const uint8_t b4 = in[i + 3];
            if (!between(b4, 0x30, 0x39)) {
                put_utf8(out, kReplacement);  // b2, b3 and b4 are read again
                i += 1;
                continue;
            }
            const uint32_t pointer =
                (b1 - 0x81u) * 12600 + (b2 - 0x30u) * 1260 + (b3 - 0x81u) * 10 + (b4 - 0x30u);
            const char32_t cp = ranges_code_point(pointer);
            put_utf8(out, cp != 0 ? cp : kReplacement);
            i += 4;
            continue;
        }
        char32_t cp = 0;
        if (between(b2, 0x40, 0x7E) || between(b2, 0x80, 0xFE)) {
            const uint32_t offset = b2 < 0x7F ? 0x40 : 0x41;
            cp = kGbkTwoByte[(b1 - 0x81u) * 190 + (b2 - offset)];
        }
        if (cp != 0) {
            put_utf8(out, cp);
            i += 2;
        } else {
            put_utf8(out, kReplacement);
            i += b2 < 0x80 ? 1 : 2;  // an ASCII second byte is read again
        }
    }
}

// The UTF-8 sequence that starts with the non-ASCII byte in[i]: its length and whether it is
// well formed. An ill-formed one is its maximal subpart, at least the one byte; the first byte
// that does not fit is not part of it.
struct Utf8Sequence {
    size_t length;
    bool well_formed;
};

Utf8Sequence utf8_sequence(std::span<const uint8_t> in, size_t i) {
    const uint8_t b = in[i];
    size_t needed = 0;
    uint8_t lower = 0x80, upper = 0xBF;
    if (between(b, 0xC2, 0xDF)) {
        needed = 1;
    } else if (between(b, 0xE0, 0xEF)) {
        needed = 2;
        if (b == 0xE0) lower = 0xA0;
        if (b == 0xED) upper = 0x9F;
    } else if (between(b, 0xF0, 0xF4)) {
        needed = 3;
        if (b == 0xF0) lower = 0x90;
        if (b == 0xF4) upper = 0x8F;
    } else {
        return {1, false};
    }
    size_t seen = 0;
    while (seen < needed && i + 1 + seen < in.size() &&
           between(in[i + 1 + seen], seen == 0 ? lower : uint8_t{0x80},
                   seen == 0 ? upper : uint8_t{0xBF})) {
        ++seen;
    }
    return {1 + seen, seen == needed};
}

// The UTF-8 decoder, replacing each maximal ill-formed subpart with one U+FFFD.
void decode_utf8(std::span<const uint8_t> in, std::string& out) {
    size_t i = 0;
    while (i < in.size()) {
        if (in[i] < 0x80) {
            out += static_cast<char>(in[i]);
            ++i;
            continue;
        }
        // Well-formed input is copied as it is; the byte after an ill-formed subpart is read
        // again.
        const Utf8Sequence seq = utf8_sequence(in, i);
        if (seq.well_formed) {
            out.append(reinterpret_cast<const char*>(in.data() + i), seq.length);
        } else {
            put_utf8(out, kReplacement);
        }
        i += seq.length;
    }
}

bool is_leading_surrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_trailing_surrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The shared UTF-16 decoder.
void decode_utf16(std::span<const uint8_t> in, bool big_endian, std::string& out) {
    const size_t n = in.size();
    size_t i = 0;
    auto unit_at = [&](size_t at) -> uint32_t {
        return big_endian ? (uint32_t{in[at]} << 8 | in[at + 1])
                          : (uint32_t{in[at + 1]} << 8 | in[at]);
    };
    while (i + 1 < n) {
        const uint32_t unit = unit_at(i);
        i += 2;
        if (is_trailing_surrogate(unit)) {
            put_utf8(out, kReplacement);
            continue;
        }
        if (!is_leading_surrogate(unit)) {
            put_utf8(out, unit);
            continue;
        }
        if (i + 1 >= n) {
            // A leading surrogate at the end, with or without an odd byte after it: one error.
            put_utf8(out, kReplacement);
            return;
        }
        const uint32_t next = unit_at(i);
        if (is_trailing_surrogate(next)) {
            put_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            i += 2;
        } else {
            put_utf8(out, kReplacement);  // the next unit is read again
        }
    }
    if (i < n) put_utf8(out, kReplacement);  // an odd byte at the end
}

}  // namespace

std::string decode_gbk(std::span<const uint8_t> bytes) {
    std::string out;
    // Enough for Chinese text, where two bytes become three; the string grows if it must.
    out.reserve(bytes.size() * 3 / 2 + 4);
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        decode_utf8(bytes.subspan(3), out);
    } else if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        decode_utf16(bytes.subspan(2), false, out);
    } else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        decode_utf16(bytes.subspan(2), true, out);
    } else {
        decode_gb18030(bytes, out);
    }
    return out;
}

std::string decode_utf8(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    decode_utf8(bytes, out);
    return out;
}

bool is_utf8(std::span<const uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size();) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        const Utf8Sequence seq = utf8_sequence(bytes, i);
        if (!seq.well_formed) return false;
        i += seq.length;
    }
    return true;
}

}  // namespace quillan::protocol
