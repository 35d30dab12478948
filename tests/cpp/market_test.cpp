#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "commands/security_bars.h"
#include "commands/security_quotes.h"
#include "commands/transaction_data.h"
#include "test_util.h"

using namespace quillan::net;
using namespace quillan::testing;

// ---- security bars ---------------------------------------------------------------------------

TEST(Bars, CountsAndShortBodies) {
    const Bytes bar = hex("BB D7 34 01 00 00 00 00 00 00 7A 44 00 00 7A 44");
    auto body = [&](uint16_t n, int copies) {
        Writer w;
        w.u16(n);
        for (int i = 0; i < copies; ++i) w.raw(bar);
        return w.out;
    };
    EXPECT_TRUE(decode_security_bars(9, Bytes{}).empty());
    EXPECT_TRUE(decode_security_bars(9, Bytes{0x01}).empty());
    EXPECT_TRUE(decode_security_bars(9, body(0, 3)).empty());
    EXPECT_EQ(decode_security_bars(9, body(3, 2)).size(), 2u);  // N is an upper bound
    EXPECT_EQ(decode_security_bars(9, body(2, 5)).size(), 2u);  // records beyond N unread
    EXPECT_EQ(decode_security_bars(9, body(65535, 4)).size(), 4u);
}

TEST(Bars, EveryCutKeepsTheCompleteBars) {
    // Bars with wide and negative deltas, in both datetime layouts.
    for (uint16_t category : {uint16_t{0}, uint16_t{9}}) {
        Writer w;
        w.u16(4);
        std::vector<size_t> ends;
        const int64_t deltas[4][4] = {
            {1234567, -40, 70000, -5000000},
            {-3, 0, 1, -1},
            {8191, -8191, 8192, -8192},
            {-1234567, 1LL << 40, -(1LL << 40), 0},
        };
        for (const auto& d : deltas) {
            w.u32(20240315).price(d[0]).price(d[1]).price(d[2]).price(d[3]);
            w.u32(0x447A0000).u32(0x4B189680);
            ends.push_back(w.size());
        }
        const auto full = decode_security_bars(category, w.out);
        ASSERT_EQ(full.size(), 4u);
        EXPECT_EQ(full[3].open, full[2].close - 1234567);
        for (size_t cut = 0; cut <= w.size(); ++cut) {
            size_t expected = 0;
            while (expected < ends.size() && ends[expected] <= cut) ++expected;
            auto bars = decode_security_bars(category, prefix(w.out, cut));
            ASSERT_EQ(bars.size(), expected) << "cut " << cut;
            for (size_t i = 0; i < bars.size(); ++i) {
                EXPECT_EQ(bars[i].open, full[i].open);
                EXPECT_EQ(bars[i].close, full[i].close);
                EXPECT_EQ(bars[i].high, full[i].high);
                EXPECT_EQ(bars[i].low, full[i].low);
            }
        }
    }
}

// ---- transaction data ------------------------------------------------------------------------

TEST(Trades, CountsAndShortBodies) {
    const Bytes trade = hex("3A 02 01 01 01 01 00");
    auto body = [&](uint16_t n, int copies) {
        Writer w;
        w.u16(n);
        for (int i = 0; i < copies; ++i) w.raw(trade);
        return w.out;
    };
    EXPECT_TRUE(decode_transaction_data(Bytes{}).empty());
    EXPECT_TRUE(decode_transaction_data(Bytes{0x05}).empty());
    EXPECT_TRUE(decode_transaction_data(body(0, 2)).empty());
    EXPECT_EQ(decode_transaction_data(body(5, 3)).size(), 3u);
    EXPECT_EQ(decode_transaction_data(body(1, 2)).size(), 1u);
}

TEST(Trades, EveryCutKeepsEveryTradeWithATime) {
    Writer w;
    w.u16(4);
    std::vector<size_t> starts;
    const int64_t values[4][5] = {
        {1234, 100, 5, 1, 0},
        {1, 20, 2, 0, 7},
        {-2, 1 << 20, 300, 2, -9},
        {99999, 0, 0, 1, 1 << 30},
    };
    for (const auto& v : values) {
        starts.push_back(w.size());
        w.u16(570).price(v[0]).price(v[1]).price(v[2]).price(v[3]).price(v[4]);
    }
    const size_t end = w.size();
    const auto full = decode_transaction_data(w.out);
    ASSERT_EQ(full.size(), 4u);
    EXPECT_EQ(full[2].price, 1233);
    for (size_t cut = 0; cut <= end; ++cut) {
        size_t expected = 0;
        while (expected < starts.size() && starts[expected] + 2 <= cut) ++expected;
        auto trades = decode_transaction_data(prefix(w.out, cut));
        ASSERT_EQ(trades.size(), expected) << "cut " << cut;
        for (size_t i = 0; i + 1 < trades.size(); ++i) {
            EXPECT_EQ(trades[i].price, full[i].price);
            EXPECT_EQ(trades[i].vol, full[i].vol);
            EXPECT_EQ(trades[i].buyorsell, full[i].buyorsell);
        }
        if (expected > 0 && cut == starts[expected - 1] + 2) {
            // Only the time of the last trade: its price is the one before, the rest 0.
            const auto& last = trades.back();
            EXPECT_EQ(last.price, expected > 1 ? full[expected - 2].price : 0);
            EXPECT_EQ(last.vol, 0);
            EXPECT_EQ(last.num, 0);
            EXPECT_EQ(last.buyorsell, 0);
        }
    }
}

// ---- security quotes -------------------------------------------------------------------------

namespace {

constexpr const char* kWorkedQuote =
    "00 00 01 00"
    "01 36 30 30 30 33 36 00 00 92 13 62 00 06 44 0E 00 A8 0F 0A 00 00 7A 44 90 06 98 09 00 00"
    "41 01 05 07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "00 00 00 00 00 00 00 00 00 00";

// One quote record: the 31 varints and the amount between its 9-byte head and its tail.
struct QuoteRecord {
    uint8_t market;
    const char* code;  // hex of the six code bytes
    int64_t v[13];  // price, four deltas, servertime, unused, vol, cur_vol, s_vol, b_vol, 2 unused
    uint32_t amount;
    int64_t levels[20];
    const char* tail;  // hex: the two unused bytes, four unused varints, four unused bytes
};

// Appends one record; returns the offset just past its fifth level.
size_t put_quote(Writer& w, const QuoteRecord& q) {
    w.u8(q.market).raw(hex(q.code)).u16(0xBEEF);
    for (int i = 0; i < 9; ++i) w.price(q.v[i]);
    w.u32(q.amount);
    for (int i = 9; i < 13; ++i) w.price(q.v[i]);
    for (int64_t v : q.levels) w.price(v);
    const size_t level_end = w.size();
    w.raw(hex(q.tail));
    return level_end;
}

// clang-format off
const QuoteRecord kQuotes[] = {
    {1, "36 30 30 30 33 36", {1234, -34, 0, 6, -4, 14, 0, 1000, 10, 400, 600, 0, 0}, 0x447A0000,
     {-1, 1, 5, 7}, "00 00  00 00 00 00  00 00 00 00"},
    {0, "30 30 30 30 30 31", {98765, 100000, -8192, 8191, -1, 93000123, 77, 1LL << 33, 3, -5,
                              1LL << 21, 9999, -9999}, 0x4B189680,
     {-10, 10, 100, 200, -20, 20, 300, 400, -30, 30, 500, 600, -40, 40, 700, 800, -50, 50, 900,
      1000}, "FF FF  C0 C4 07 41 00 B0 A2 08  80 80 80 80"},
    {1, "36 30 30 30 33 00", {5}, 0, {}, "81 01  7F 01 02 03  01 02 03 04"},
};
// clang-format on

}  // namespace

TEST(Quotes, CodeText) {
    using namespace std::string_literals;
    const std::pair<const char*, std::string> cases[] = {
        {"36 30 30 30 33 00", "60003"},
        {"00 00 00 00 00 00", ""},
        {"00 36 00 30 00 00",
         "\0"
         "6\0"
         "0"s},  // only trailing NULs go
        {"E4 B8 AD 41 00 00",
         "\xE4\xB8\xAD"
         "A"},
        {"36 30 30 30 33 FF", ""},  // not UTF-8: empty
        {"36 30 30 30 E4 B8", ""},  // a character cut by the field
        {"36 30 30 ED A0 80", ""},  // a surrogate
        {"36 30 C0 80 00 00", ""},  // overlong
    };
    for (const auto& [code, expected] : cases) {
        Bytes body = hex(kWorkedQuote);
        Bytes field = hex(code);
        std::copy(field.begin(), field.end(), body.begin() + 5);
        auto quotes = decode_security_quotes(body);
        ASSERT_EQ(quotes.size(), 1u) << code;
        EXPECT_EQ(quotes[0].code, expected) << code;
    }
}

TEST(Quotes, CountsAndShortBodies) {
    EXPECT_TRUE(decode_security_quotes(Bytes{}).empty());
    EXPECT_TRUE(decode_security_quotes(hex("00 00 01")).empty());
    Bytes body = hex(kWorkedQuote);
    body[2] = 0;
    EXPECT_TRUE(decode_security_quotes(body).empty());  // N = 0
    body[2] = 3;
    EXPECT_EQ(decode_security_quotes(body).size(), 1u);  // N larger than the records

    Writer w;
    w.u16(0).u16(2);
    for (const auto& q : kQuotes) put_quote(w, q);
    EXPECT_EQ(decode_security_quotes(w.out).size(), 2u);  // records beyond N unread
    w.out[2] = 0xFF;
    w.out[3] = 0xFF;
    EXPECT_EQ(decode_security_quotes(w.out).size(), 3u);
}

TEST(Quotes, EveryCutKeepsTheRecordsWithTheirLevels) {
    Writer w;
    w.u16(0x1234).u16(3);
    std::vector<size_t> level_ends;
    for (const auto& q : kQuotes) level_ends.push_back(put_quote(w, q));
    const auto full = decode_security_quotes(w.out);
    ASSERT_EQ(full.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const auto& s = kQuotes[i];
        const auto& q = full[i];
        EXPECT_EQ(q.market, s.market);
        EXPECT_EQ(q.price, s.v[0]);
        EXPECT_EQ(q.last_close, s.v[0] + s.v[1]);
        EXPECT_EQ(q.open, s.v[0] + s.v[2]);
        EXPECT_EQ(q.high, s.v[0] + s.v[3]);
        EXPECT_EQ(q.low, s.v[0] + s.v[4]);
        EXPECT_EQ(q.servertime, s.v[5]);
        EXPECT_EQ(q.vol, s.v[7]);
        EXPECT_EQ(q.cur_vol, s.v[8]);
        EXPECT_EQ(q.s_vol, s.v[9]);
        EXPECT_EQ(q.b_vol, s.v[10]);
        for (size_t l = 0; l < 5; ++l) {
            EXPECT_EQ(q.levels[l].bid, s.v[0] + s.levels[4 * l]);
            EXPECT_EQ(q.levels[l].ask, s.v[0] + s.levels[4 * l + 1]);
            EXPECT_EQ(q.levels[l].bid_vol, s.levels[4 * l + 2]);
            EXPECT_EQ(q.levels[l].ask_vol, s.levels[4 * l + 3]);
        }
    }
    EXPECT_EQ(full[1].amount, 10000000.0);
    EXPECT_EQ(full[2].code, "60003");

    for (size_t cut = 0; cut <= w.size(); ++cut) {
        size_t expected = 0;
        while (expected < level_ends.size() && level_ends[expected] < cut) ++expected;
        auto quotes = decode_security_quotes(prefix(w.out, cut));
        ASSERT_EQ(quotes.size(), expected) << "cut " << cut;
        for (size_t i = 0; i < quotes.size(); ++i) {
            EXPECT_EQ(quotes[i].price, full[i].price);
            EXPECT_EQ(quotes[i].levels[4].ask_vol, full[i].levels[4].ask_vol);
        }
    }
}

// ---- hostile bodies ---------------------------------------------------------------------------

TEST(Decoders, SurviveRandomBodies) {
    std::mt19937 rng(20240315);
    Writer quotes;
    quotes.u16(0).u16(3);
    for (const auto& q : kQuotes) put_quote(quotes, q);
    const Bytes seeds[] = {
        hex("01 00 BB D7 34 01 B4 C0 01 68 3C E4 01 00 00 7A 44 80 96 18 4B"),
        hex("02 00 3A 02 92 13 A4 01 05 01 00 3B 02 01 14 02 00 00"),
        quotes.out,
    };
    for (int round = 0; round < 30000; ++round) {
        Bytes body;
        switch (round % 3) {
            case 0: {  // random bytes, biased to continuation bits and small counts
                body.resize(rng() % 200);
                for (auto& b : body) b = static_cast<uint8_t>(rng() % 2 ? rng() | 0x80 : rng() % 4);
                break;
            }
            case 1: {  // a well-formed body with a few bytes changed, then maybe cut
                body = seeds[rng() % 3];
                for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n; ++k)
                    body[rng() % body.size()] = static_cast<uint8_t>(rng());
                body.resize(rng() % (body.size() + 1));
                break;
            }
            default: {  // a well-formed body with a wrong count
                body = seeds[rng() % 3];
                const size_t at = body == seeds[2] ? 2 : 0;
                body[at] = static_cast<uint8_t>(rng());
                body[at + 1] = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : 0);
                break;
            }
        }
        const size_t announced_at0 = body.size() >= 2 ? (body[0] | body[1] << 8) : 0;
        const size_t announced_at2 = body.size() >= 4 ? (body[2] | body[3] << 8) : 0;
        for (uint16_t category : {uint16_t{0}, uint16_t{9}}) {
            EXPECT_LE(decode_security_bars(category, body).size(), announced_at0);
        }
        EXPECT_LE(decode_transaction_data(body).size(), announced_at0);
        EXPECT_LE(decode_security_quotes(body).size(), announced_at2);
    }
}
