#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "network/security_bars.h"
#include "network/security_quotes.h"
#include "network/transaction_data.h"

using namespace quillan::net;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const char* text) {
    Bytes out;
    int nibbles = 0, value = 0;
    for (const char* c = text; *c; ++c) {
        int v = *c >= '0' && *c <= '9'   ? *c - '0'
                : *c >= 'A' && *c <= 'F' ? *c - 'A' + 10
                : *c >= 'a' && *c <= 'f' ? *c - 'a' + 10
                                         : -1;
        if (v < 0) continue;
        value = value * 16 + v;
        if (++nibbles == 2) {
            out.push_back(static_cast<uint8_t>(value));
            nibbles = value = 0;
        }
    }
    return out;
}

// Builds bodies: little-endian integers and price varints.
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
    Writer& raw(const Bytes& b) {
        out.insert(out.end(), b.begin(), b.end());
        return *this;
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
Bytes prefix(const Bytes& body, size_t n) {
    return Bytes(body.begin(), body.begin() + static_cast<ptrdiff_t>(n));
}

std::string text(const quillan::protocol::DateTime& dt) {
    char buf[quillan::protocol::kDateTimeTextMax];
    return std::string(buf, quillan::protocol::format_datetime(dt, buf));
}

}  // namespace

// ---- security bars ---------------------------------------------------------------------------

TEST(BarsRequest, Bytes) {
    EXPECT_EQ(security_bars_request(9, 1, "600036", 0, 100),
              hex("0C 01 08 64 01 01 1C 00 1C 00 2D 05 01 00 36 30 30 30 33 36 09 00 01 00 00 00"
                  "64 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(security_bars_request(65535, 255, "6000361", 65535, 0),
              hex("0C 01 08 64 01 01 1C 00 1C 00 2D 05 FF 00 36 30 30 30 33 36 FF FF 01 00 FF FF"
                  "00 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(security_bars_request(7, 0, "1", 258, 800),
              hex("0C 01 08 64 01 01 1C 00 1C 00 2D 05 00 00 31 00 00 00 00 00 07 00 01 00 02 01"
                  "20 03 00 00 00 00 00 00 00 00 00 00"));
}

TEST(Bars, WorkedExample) {
    auto bars = decode_security_bars(
        9, hex("01 00 BB D7 34 01 B4 C0 01 68 3C E4 01 00 00 7A 44 80 96 18 4B"));
    ASSERT_EQ(bars.size(), 1u);
    EXPECT_EQ(text(bars[0].datetime), "2024-03-15 15:00");
    EXPECT_EQ(bars[0].open, 12340);
    EXPECT_EQ(bars[0].close, 12300);
    EXPECT_EQ(bars[0].high, 12400);
    EXPECT_EQ(bars[0].low, 12240);
    EXPECT_EQ(bars[0].vol, 1000.0);
    EXPECT_EQ(bars[0].amount, 10000000.0);
}

TEST(Bars, ChainsFromThePreviousClose) {
    Writer w;
    w.u16(2);
    w.raw(hex("3B A1 76 02")).price(12340).price(-40).price(60).price(-100).u32(0).u32(0);
    w.raw(hex("3B A1 77 02")).price(10).price(5).price(0).price(-1).u32(0x3F800000).u32(0);
    auto bars = decode_security_bars(7, w.out);
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(text(bars[0].datetime), "2024-03-15 10:30");
    EXPECT_EQ(text(bars[1].datetime), "2024-03-15 10:31");
    EXPECT_EQ(bars[1].open, 12310);  // 12300 + 10
    EXPECT_EQ(bars[1].close, 12315);
    EXPECT_EQ(bars[1].high, 12310);
    EXPECT_EQ(bars[1].low, 12309);
    EXPECT_EQ(bars[0].vol, 5.877471754111438e-39);  // a stored 0 is not 0.0
    EXPECT_EQ(bars[1].vol, 1.0);
}

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

TEST(TradesRequest, Bytes) {
    EXPECT_EQ(transaction_data_request(1, "600036", 0, 2000),
              hex("0C 17 08 01 01 01 0E 00 0E 00 C5 0F 01 00 36 30 30 30 33 36 00 00 D0 07"));
    EXPECT_EQ(transaction_data_request(0, "12", 65535, 1),
              hex("0C 17 08 01 01 01 0E 00 0E 00 C5 0F 00 00 31 32 00 00 00 00 FF FF 01 00"));
}

TEST(Trades, WorkedExample) {
    auto trades =
        decode_transaction_data(hex("02 00 3A 02 92 13 A4 01 05 01 00 3B 02 01 14 02 00 00"));
    ASSERT_EQ(trades.size(), 2u);
    EXPECT_EQ(trades[0].time.hour, 9u);
    EXPECT_EQ(trades[0].time.minute, 30u);
    EXPECT_EQ(trades[0].price, 1234);
    EXPECT_EQ(trades[0].vol, 100);
    EXPECT_EQ(trades[0].num, 5);
    EXPECT_EQ(trades[0].buyorsell, 1);
    EXPECT_EQ(trades[1].time.minute, 31u);
    EXPECT_EQ(trades[1].price, 1235);
    EXPECT_EQ(trades[1].vol, 20);
    EXPECT_EQ(trades[1].num, 2);
    EXPECT_EQ(trades[1].buyorsell, 0);
}

TEST(Trades, CountsAndShortBodies) {
    EXPECT_TRUE(decode_transaction_data(Bytes{}).empty());
    EXPECT_TRUE(decode_transaction_data(Bytes{0x05}).empty());
    EXPECT_TRUE(decode_transaction_data(hex("00 00 3A 02 01 01 01 01 00")).empty());
    // N = 5 with three trades: three, the last zero-filled after its time.
    auto trades =
        decode_transaction_data(hex("05 00 3A 02 01 01 01 01 00 3A 02 01 01 01 01 00 3B 02"));
    ASSERT_EQ(trades.size(), 3u);
    EXPECT_EQ(trades[2].price, 2);
    EXPECT_EQ(trades[2].vol, 0);
    EXPECT_EQ(trades[2].num, 0);
    EXPECT_EQ(trades[2].buyorsell, 0);
    // N = 1 with two trades: one.
    EXPECT_EQ(
        decode_transaction_data(hex("01 00 3A 02 01 01 01 01 00 3A 02 01 01 01 01 00")).size(), 1u);
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

TEST(QuotesRequest, Bytes) {
    std::vector<std::pair<uint8_t, std::string>> stocks = {{0, "000001"}, {1, "600036"}};
    EXPECT_EQ(security_quotes_request(stocks),
              hex("0C 01 20 63 00 02 1A 00 1A 00 3E 05 05 00 00 00 00 00 00 00 02 00"
                  "00 30 30 30 30 30 31 01 36 30 30 30 33 36"));
    stocks = {{255, "60003612"}, {7, ""}};
    EXPECT_EQ(security_quotes_request(stocks),
              hex("0C 01 20 63 00 02 1A 00 1A 00 3E 05 05 00 00 00 00 00 00 00 02 00"
                  "FF 36 30 30 30 33 36 07 00 00 00 00 00 00"));
}

TEST(QuotesRequest, LargestList) {
    std::vector<std::pair<uint8_t, std::string>> stocks(kMaxQuoteStocks, {1, "600036"});
    const auto frame = security_quotes_request(stocks);
    ASSERT_EQ(frame.size(), 22 + 7 * kMaxQuoteStocks);
    EXPECT_EQ(kMaxQuoteStocks, 9360u);
    EXPECT_EQ(frame[6] | frame[7] << 8, 65532);
    EXPECT_EQ(frame[20] | frame[21] << 8, 9360);
}

namespace {

const char* kWorkedQuote =
    "00 00 01 00"
    "01 36 30 30 30 33 36 00 00 92 13 62 00 06 44 0E 00 A8 0F 0A 00 00 7A 44 90 06 98 09 00 00"
    "41 01 05 07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "00 00 00 00 00 00 00 00 00 00";

struct QuoteSpec {
    uint8_t market;
    Bytes code;
    int64_t v[9];  // price, four deltas, servertime, unused, vol, cur_vol
    uint32_t amount;
    int64_t w[4];  // s_vol, b_vol, two unused
    int64_t levels[20];
    Bytes tail_fixed;  // the two unused bytes
    int64_t tail_varints[4];
    Bytes tail_last;  // the four unused bytes
};

// Appends one record; returns the offset just past its fifth level.
size_t put_quote(Writer& w, const QuoteSpec& q) {
    w.u8(q.market).raw(q.code).u16(0xBEEF);
    for (int64_t v : q.v) w.price(v);
    w.u32(q.amount);
    for (int64_t v : q.w) w.price(v);
    for (int64_t v : q.levels) w.price(v);
    const size_t level_end = w.size();
    w.raw(q.tail_fixed);
    for (int64_t v : q.tail_varints) w.price(v);
    w.raw(q.tail_last);
    return level_end;
}

std::vector<QuoteSpec> sample_quotes() {
    return {
        {1,
         hex("36 30 30 30 33 36"),
         {1234, -34, 0, 6, -4, 14, 0, 1000, 10},
         0x447A0000,
         {400, 600, 0, 0},
         {-1, 1, 5, 7},
         hex("00 00"),
         {0, 0, 0, 0},
         hex("00 00 00 00")},
        {0,
         hex("30 30 30 30 30 31"),
         {98765, 100000, -8192, 8191, -1, 93000123, 77, 1LL << 33, 3},
         0x4B189680,
         {-5, 1LL << 21, 9999, -9999},
         {-10, 10,  100, 200, -20, 20,  300, 400, -30, 30,
          500, 600, -40, 40,  700, 800, -50, 50,  900, 1000},
         hex("FF FF"),
         {123456, -1, 0, 70000},
         hex("80 80 80 80")},
        {1,
         hex("36 30 30 30 33 00"),
         {5, 0, 0, 0, 0, 0, 0, 0, 0},
         0,
         {0, 0, 0, 0},
         {},
         hex("81 01"),
         {-300, 1, 2, 3},
         hex("01 02 03 04")},
    };
}

}  // namespace

TEST(Quotes, WorkedExample) {
    auto quotes = decode_security_quotes(hex(kWorkedQuote));
    ASSERT_EQ(quotes.size(), 1u);
    const auto& q = quotes[0];
    EXPECT_EQ(q.market, 1);
    EXPECT_EQ(q.code, "600036");
    EXPECT_EQ(q.price, 1234);
    EXPECT_EQ(q.last_close, 1200);
    EXPECT_EQ(q.open, 1234);
    EXPECT_EQ(q.high, 1240);
    EXPECT_EQ(q.low, 1230);
    EXPECT_EQ(q.servertime, 14);
    EXPECT_EQ(q.vol, 1000);
    EXPECT_EQ(q.cur_vol, 10);
    EXPECT_EQ(q.amount, 1000.0);
    EXPECT_EQ(q.s_vol, 400);
    EXPECT_EQ(q.b_vol, 600);
    EXPECT_EQ(q.levels[0].bid, 1233);
    EXPECT_EQ(q.levels[0].ask, 1235);
    EXPECT_EQ(q.levels[0].bid_vol, 5);
    EXPECT_EQ(q.levels[0].ask_vol, 7);
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(q.levels[i].bid, 1234);
        EXPECT_EQ(q.levels[i].ask, 1234);
        EXPECT_EQ(q.levels[i].bid_vol, 0);
        EXPECT_EQ(q.levels[i].ask_vol, 0);
    }
}

TEST(Quotes, CodeText) {
    const std::pair<const char*, std::string> cases[] = {
        {"36 30 30 30 33 00", "60003"},
        {"36 30 00 00 00 00", "60"},
        {"00 00 00 00 00 00", ""},
        {"00 36 00 30 00 00", std::string("\0"
                                          "6\0"
                                          "0",
                                          4)},  // only trailing NULs go
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
    for (const auto& q : sample_quotes()) put_quote(w, q);
    EXPECT_EQ(decode_security_quotes(w.out).size(), 2u);  // records beyond N unread
    w.out[2] = 0xFF;
    w.out[3] = 0xFF;
    EXPECT_EQ(decode_security_quotes(w.out).size(), 3u);
}

TEST(Quotes, DroppedWithoutAByteAfterTheLevels) {
    Writer w;
    w.u16(0).u16(1);
    const size_t level_end = put_quote(w, sample_quotes()[0]);
    EXPECT_TRUE(decode_security_quotes(prefix(w.out, level_end)).empty());
    EXPECT_EQ(decode_security_quotes(prefix(w.out, level_end + 1)).size(), 1u);
}

TEST(Quotes, EveryCutKeepsTheRecordsWithTheirLevels) {
    const auto specs = sample_quotes();
    Writer w;
    w.u16(0x1234).u16(static_cast<uint16_t>(specs.size()));
    std::vector<size_t> level_ends;
    for (const auto& q : specs) level_ends.push_back(put_quote(w, q));
    const auto full = decode_security_quotes(w.out);
    ASSERT_EQ(full.size(), specs.size());
    for (size_t i = 0; i < specs.size(); ++i) {
        const auto& s = specs[i];
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
        EXPECT_EQ(q.s_vol, s.w[0]);
        EXPECT_EQ(q.b_vol, s.w[1]);
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
    for (const auto& q : sample_quotes()) put_quote(quotes, q);
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
