#include "protocol/codecs.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "protocol/cursor.h"
#include "test_util.h"

using namespace quillan::protocol;

namespace {

using quillan::testing::Bytes;

struct PriceCase {
    Bytes bytes;
    int64_t value;
    size_t end;
};

std::string text_of(char* buf, size_t n) { return std::string(buf, n); }

}  // namespace

TEST(Price, DecodesAndAdvances) {
    const PriceCase cases[] = {
        {{0x05}, 5, 1},
        {{0x45}, -5, 1},
        {{0x40}, 0, 1},  // negative zero
        {{0x85, 0x01}, 69, 2},
        {{0xC1, 0x83, 0x02}, -16577, 3},
        {{0xFF, 0x7F}, -8191, 2},
        {{0xB4, 0xC0, 0x01}, 12340, 3},
        {{0xE4, 0x01}, -100, 2},
        // Cut by the end of the body: the bits so far, and the position one past the end.
        {{0x85}, 5, 2},
        {{0xC1, 0x83}, -193, 3},
        // Eleven bytes: the last one lands on shift 69, taken as 5.
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 32, 11},
        // 0x7F at shift 62 keeps only its two low bits; the magnitude wraps, and so does its
        // negation.
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F},
         static_cast<int64_t>(0xC000000000000000u),
         10},
        {{0xC0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F}, 0x4000000000000000, 10},
        // Bits that land on bits already set are added, not or-ed.
        {{0xBF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02}, 63 + 64, 11},
    };
    for (const auto& c : cases) {
        size_t p = 0;
        EXPECT_EQ(read_price(c.bytes, p), c.value) << testing::PrintToString(c.bytes);
        EXPECT_EQ(p, c.end) << testing::PrintToString(c.bytes);
    }
}

TEST(Price, AtTheEndGivesZeroAndStays) {
    const Bytes body = {0x05};
    size_t p = 1;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(read_price(body, p), 0);
        EXPECT_EQ(p, 1u);
    }
    p = 2;  // after a cut varint
    EXPECT_EQ(read_price(body, p), 0);
    EXPECT_EQ(p, 2u);
    EXPECT_EQ(read_price(Bytes{}, p = 0), 0);
    EXPECT_EQ(p, 0u);
}

TEST(Price, SkipEndsWhereReadEnds) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        Bytes body(rng() % 8);
        for (auto& b : body) b = static_cast<uint8_t>(rng() % 3 == 0 ? rng() % 0x80 : rng());
        for (size_t start = 0; start <= body.size() + 1; ++start) {
            size_t p = start;
            read_price(body, p);
            EXPECT_EQ(skip_price(body, start), p) << testing::PrintToString(body) << " @" << start;
        }
    }
}

TEST(Cursor, CutVarintLeavesNothingToHave) {
    const Bytes body = {0x07, 0x85};
    Cursor in(body);
    EXPECT_EQ(in.price(), 7);
    EXPECT_TRUE(in.has(1));
    EXPECT_EQ(in.price(), 5);
    EXPECT_EQ(in.pos(), 3u);
    EXPECT_TRUE(in.cut());
    EXPECT_FALSE(in.has(0));
    EXPECT_EQ(in.remaining(), 0u);
    // Every later read finds no data and leaves the position where it is.
    EXPECT_EQ(in.price(), 0);
    in.skip_price();
    EXPECT_EQ(in.u8(), 0);
    EXPECT_EQ(in.u32(), 0u);
    EXPECT_TRUE(in.bytes(0).empty());
    EXPECT_FALSE(in.datetime(9));
    EXPECT_EQ(in.pos(), 3u);
}

TEST(Cursor, FixedWidthReadsNeedAllTheirBytes) {
    const Bytes whole = {0x01, 0x02, 0x03, 0x04, 0x05};
    for (size_t len = 0; len <= whole.size(); ++len) {
        const Bytes body(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(len));
        const auto expect_read = [&](const char* what, size_t width, auto read, auto value) {
            Cursor in(body, 1);
            const auto got = read(in);
            const bool fits = len >= 1 + width;
            EXPECT_EQ(got, fits ? value : decltype(value){}) << what << " len " << len;
            EXPECT_EQ(in.pos(), fits ? 1 + width : 1) << what << " len " << len;
        };
        expect_read(
            "u8", 1, [](Cursor& c) { return c.u8(); }, uint8_t{0x02});
        expect_read(
            "u16", 2, [](Cursor& c) { return c.u16(); }, uint16_t{0x0302});
        expect_read(
            "u32", 4, [](Cursor& c) { return c.u32(); }, uint32_t{0x05040302});
        expect_read(
            "bytes", 3,
            [](Cursor& c) {
                const Body got = c.bytes(3);
                return Bytes(got.begin(), got.end());
            },
            Bytes{0x02, 0x03, 0x04});
        expect_read(
            "skip", 3, [](Cursor& c) { return (c.skip(3), 0); }, 0);
    }
}

TEST(Volume, WorkedValues) {
    const std::pair<uint32_t, double> cases[] = {
        {0x447A0000, 1000.0},
        {0x4B189680, 10000000.0},
        {0x41200000, 10.0},
        {0x3F800000, 1.0},
        {0x40400000, 3.0},
        {0x00000000, 5.877471754111438e-39},  // 2^-127, never 0.0
        {0x80000000, std::ldexp(1.0, 129)},   // bit 31 is exponent, not sign
        {0xBF800000, std::ldexp(1.0, 256)},
        {0x7F800000, std::ldexp(1.0, 128)},  // finite where a float is infinite
        {0x7FC00000, std::ldexp(1.5, 128)},  // and where it is NaN
        {0xFFFFFFFF, std::ldexp(2.0 - std::ldexp(1.0, -23), 384)},
        {0x007FFFFF, std::ldexp(2.0 - std::ldexp(1.0, -23), -127)},  // no subnormals either
    };
    for (auto [v, expected] : cases) EXPECT_EQ(decode_volume(v), expected) << std::hex << v;
    EXPECT_NEAR(decode_volume(0xFFFFFFFF), 7.8804e+115, 1e112);
}

TEST(Volume, MatchesSinglePrecisionWhereTheyOverlap) {
    std::mt19937 rng(11);
    for (int i = 0; i < 100000; ++i) {
        uint32_t v = 0x00800000 + static_cast<uint32_t>(rng() % (0x7F7FFFFFu - 0x00800000u + 1));
        EXPECT_EQ(decode_volume(v), static_cast<double>(std::bit_cast<float>(v))) << v;
    }
}

TEST(DateTime, Layouts) {
    struct Case {
        uint16_t category;
        Bytes bytes;
        DateTime expected;
    };
    const Case cases[] = {
        {0, {0x3B, 0xA1, 0x76, 0x02}, {2024, 3, 15, 10, 30}},
        {7, {0x3B, 0xA1, 0x76, 0x02}, {2024, 3, 15, 10, 30}},
        {8, {0x3B, 0xA1, 0x76, 0x02}, {2024, 3, 15, 10, 30}},
        {9, {0xBB, 0xD7, 0x34, 0x01}, {2024, 3, 15, 15, 0}},
        {4, {0xBB, 0xD7, 0x34, 0x01}, {2024, 3, 15, 15, 0}},
        {6, {0xBB, 0xD7, 0x34, 0x01}, {2024, 3, 15, 15, 0}},
        // The mask is consulted only up to category 8: 264 has bit 8 of the mask in its low
        // bits but uses the date layout, like 300 and 65535.
        {264, {0xBB, 0xD7, 0x34, 0x01}, {2024, 3, 15, 15, 0}},
        {300, {0xBB, 0xD7, 0x34, 0x01}, {2024, 3, 15, 15, 0}},
        {65535, {0xFF, 0xFF, 0xFF, 0xFF}, {429496, 72, 95, 15, 0}},
        // Nothing is validated.
        {1, {0x00, 0x00, 0xDC, 0x05}, {2004, 0, 0, 25, 0}},
        {2, {0xFF, 0xFF, 0xFF, 0xFF}, {2004 + 31, 20, 47, 1092, 15}},
    };
    for (const auto& c : cases) {
        size_t p = 0;
        auto dt = read_datetime(c.category, c.bytes, p);
        ASSERT_TRUE(dt) << c.category;
        EXPECT_EQ(std::tie(dt->year, dt->month, dt->day, dt->hour, dt->minute),
                  std::tie(c.expected.year, c.expected.month, c.expected.day, c.expected.hour,
                           c.expected.minute))
            << c.category;
        EXPECT_EQ(p, 4u);
    }
}

TEST(DateTime, NeedsFourBytes) {
    const Bytes body = {0x00, 0x3B, 0xA1, 0x76, 0x02};
    size_t p = 1;
    EXPECT_TRUE(read_datetime(0, body, p));  // exactly four left
    EXPECT_EQ(p, 5u);
    for (size_t start : {size_t{2}, size_t{4}, size_t{5}, size_t{6}}) {
        p = start;
        EXPECT_FALSE(read_datetime(0, body, p));
        EXPECT_EQ(p, start);  // not advanced
    }
}

TEST(Text, DateTimeAndTime) {
    char buf[kDateTimeTextMax];
    EXPECT_EQ(text_of(buf, format_datetime({2024, 3, 15, 10, 30}, buf)), "2024-03-15 10:30");
    EXPECT_EQ(text_of(buf, format_datetime({2024, 3, 15, 15, 0}, buf)), "2024-03-15 15:00");
    EXPECT_EQ(text_of(buf, format_datetime({2004, 0, 0, 25, 0}, buf)), "2004-00-00 25:00");
    EXPECT_EQ(text_of(buf, format_datetime({429496, 72, 95, 1092, 15}, buf)),
              "429496-72-95 1092:15");
    EXPECT_EQ(text_of(buf, format_datetime({0, 0, 0, 0, 0}, buf)), "0-00-00 00:00");
    // Either side of the short paths for two- and four-digit numbers.
    EXPECT_EQ(text_of(buf, format_datetime({999, 9, 10, 99, 100}, buf)), "999-09-10 99:100");
    EXPECT_EQ(text_of(buf, format_datetime({1000, 100, 999, 1000, 9999}, buf)),
              "1000-100-999 1000:9999");
    EXPECT_EQ(text_of(buf, format_datetime({9999, 10000, 0, 0, 0}, buf)), "9999-10000-00 00:00");
    EXPECT_EQ(text_of(buf, format_datetime({10000, 1, 1, 0, 0}, buf)), "10000-01-01 00:00");
    EXPECT_EQ(text_of(buf, format_datetime({9, 0, 0, 0, 0}, buf)), "9-00-00 00:00");
    EXPECT_EQ(
        text_of(buf, format_datetime(
                         {4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u}, buf)),
        "4294967295-4294967295-4294967295 4294967295:4294967295");

    const std::pair<uint16_t, const char*> times[] = {
        {570, "09:30"},  {0, "00:00"},     {897, "14:57"},
        {1500, "25:00"}, {6000, "100:00"}, {65535, "1092:15"},
    };
    for (auto [t, expected] : times) {
        EXPECT_EQ(text_of(buf, format_time(decode_time(t), buf)), expected) << t;
    }
}

TEST(Code, PacksSixBytes) {
    using Field = std::array<uint8_t, 6>;
    EXPECT_EQ(pack_code("600036"), (Field{0x36, 0x30, 0x30, 0x30, 0x33, 0x36}));
    EXPECT_EQ(pack_code("1"), (Field{0x31, 0, 0, 0, 0, 0}));
    EXPECT_EQ(pack_code("12345678"), (Field{0x31, 0x32, 0x33, 0x34, 0x35, 0x36}));
    EXPECT_EQ(pack_code(""), Field{});
    // Cut by bytes, even inside a character.
    EXPECT_EQ(pack_code("\xE4\xB8\xAD\xE5\x9B\xBD"
                        "A"),
              (Field{0xE4, 0xB8, 0xAD, 0xE5, 0x9B, 0xBD}));
    EXPECT_EQ(pack_code("a\xE4\xB8\xAD\xE5\x9B\xBD"), (Field{0x61, 0xE4, 0xB8, 0xAD, 0xE5, 0x9B}));
}
