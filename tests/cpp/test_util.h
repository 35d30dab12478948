#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace quillan::testing {

using Bytes = std::vector<uint8_t>;

// Bytes from hexadecimal text; anything but 0-9 and A-F (spaces, say) is skipped.
inline Bytes hex(const char* text) {
    Bytes out;
    int nibbles = 0, value = 0;
    for (const char* c = text; *c; ++c) {
        int v = *c >= '0' && *c <= '9' ? *c - '0' : *c >= 'A' && *c <= 'F' ? *c - 'A' + 10 : -1;
        if (v < 0) continue;
        value = value * 16 + v;
        if (++nibbles == 2) {
            out.push_back(static_cast<uint8_t>(value));
            nibbles = value = 0;
        }
    }
    return out;
}

// Builds response bodies: little-endian fields, fixed-width text and price varints.
struct Writer {
    Bytes out;
    Writer& u8(uint8_t v) {
        out.push_back(v);
        return *this;
    }
    Writer& u16(uint16_t v) { return u8(static_cast<uint8_t>(v)).u8(static_cast<uint8_t>(v >> 8)); }
    Writer& u32(uint32_t v) {
        return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16));
    }
    Writer& f32(float v) { return u32(std::bit_cast<uint32_t>(v)); }
    Writer& raw(const Bytes& b) {
        out.insert(out.end(), b.begin(), b.end());
        return *this;
    }
    // `text` cut or zero-padded to `width`.
    Writer& field(std::string_view text, size_t width) {
        Bytes f(width, 0);
        std::copy_n(text.begin(), std::min(text.size(), width), f.begin());
        return raw(f);
    }
    Writer& price(int64_t v) {
        uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        uint8_t first = static_cast<uint8_t>((m & 0x3F) | (v < 0 ? 0x40 : 0));
        m >>= 6;
        if (m) first |= 0x80;
        u8(first);
        while (m) {
            uint8_t b = static_cast<uint8_t>(m & 0x7F);
            m >>= 7;
            if (m) b |= 0x80;
            u8(b);
        }
        return *this;
    }
    size_t size() const { return out.size(); }
};

// The first `n` bytes in a buffer of their own, so the sanitizer sees any read past them.
inline Bytes prefix(const Bytes& body, size_t n) {
    return Bytes(body.begin(), body.begin() + static_cast<ptrdiff_t>(n));
}

}  // namespace quillan::testing

// Expects `stmt` to throw quillan::Error of `kind` whose text is `message`.
#define EXPECT_QUILLAN_ERROR(stmt, error_kind, message)       \
    do {                                                      \
        try {                                                 \
            stmt;                                             \
            ADD_FAILURE() << "no quillan::Error from " #stmt; \
        } catch (const quillan::Error& e) {                   \
            EXPECT_EQ(e.kind, error_kind) << e.text;          \
            EXPECT_EQ(e.text, message);                       \
        }                                                     \
    } while (0)
