#include "commands/security_quotes.h"

#include <algorithm>

#include "base/error.h"
#include "net/framing.h"
#include "protocol/codecs.h"

namespace quillan::net {
namespace {

// A kept record takes at least 47 bytes: 9 of head, 13 one-byte varints, the amount, 20
// one-byte level varints and the one byte that must follow them.
constexpr size_t kMinQuoteSize = 47;

int64_t wrapping_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// Well-formed UTF-8 (no overlongs, surrogates or code points above U+10FFFF).
bool is_utf8(const uint8_t* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        const uint8_t b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t more = 0;
        uint8_t lower = 0x80, upper = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            more = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            more = 2;
            if (b == 0xE0) lower = 0xA0;
            if (b == 0xED) upper = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            more = 3;
            if (b == 0xF0) lower = 0x90;
            if (b == 0xF4) upper = 0x8F;
        } else {
            return false;
        }
        if (n - i - 1 < more) return false;
        for (size_t k = 1; k <= more; ++k) {
            const uint8_t c = s[i + k];
            if (c < (k == 1 ? lower : 0x80) || c > (k == 1 ? upper : 0xBF)) return false;
        }
        i += more + 1;
    }
    return true;
}

// The six code bytes as text: empty unless UTF-8, else without its trailing NULs.
std::string code_text(const uint8_t* field) {
    constexpr size_t kWidth = 6;
    if (!is_utf8(field, kWidth)) return {};
    size_t n = kWidth;
    while (n > 0 && field[n - 1] == 0) --n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

}  // namespace

std::vector<uint8_t> security_quotes_request(StockList stocks) {
    //  12  2  u16 5
    //  14  6  zero
    //  20  2  u16 n
    //  22 7n  per stock: u8 market, code field
    const size_t n = stocks.size();
    RequestFrame frame({0x0C, 0x01, 0x20, 0x63, 0x00, 0x02}, 0x053E, 10 + 7 * n);
    frame.u16(5).zeros(6).u16(static_cast<uint16_t>(n));
    for (const auto& [market, code] : stocks) frame.u8(market).bytes(protocol::pack_code(code));
    return frame.finish();
}

std::vector<SecurityQuote> decode_security_quotes(std::span<const uint8_t> body) {
    using protocol::read_price;
    using protocol::skip_price;
    std::vector<SecurityQuote> quotes;
    const size_t len = body.size();
    if (len < 4) return quotes;
    const uint16_t announced = protocol::load_u16(body.data() + 2);
    if (announced == 0) return quotes;
    quotes.reserve(std::min<size_t>(announced, (len - 4) / kMinQuoteSize + 1));
    size_t p = 4;
    uint16_t built = 0;  // records decoded up to their levels, kept or not
    for (;;) {
        if (p > len || len - p < 9) break;
        SecurityQuote q;
        q.market = body[p];
        q.code = code_text(body.data() + p + 1);
        p += 9;
        q.price = read_price(body, p);
        q.last_close = wrapping_add(q.price, read_price(body, p));
        q.open = wrapping_add(q.price, read_price(body, p));
        q.high = wrapping_add(q.price, read_price(body, p));
        q.low = wrapping_add(q.price, read_price(body, p));
        q.servertime = read_price(body, p);
        p = skip_price(body, p);
        q.vol = read_price(body, p);
        q.cur_vol = read_price(body, p);
        if (p > len || len - p < 4) break;
        q.amount = protocol::decode_volume(protocol::load_u32(body.data() + p));
        p += 4;
        q.s_vol = read_price(body, p);
        q.b_vol = read_price(body, p);
        p = skip_price(body, p);
        p = skip_price(body, p);
        ++built;
        for (QuoteLevel& level : q.levels) {
            level.bid = wrapping_add(q.price, read_price(body, p));
            level.ask = wrapping_add(q.price, read_price(body, p));
            level.bid_vol = read_price(body, p);
            level.ask_vol = read_price(body, p);
        }
        // Nothing after the fifth level: the record may be cut inside it, so it is dropped.
        if (p >= len) break;
        if (len - p >= 2) p += 2;
        for (int i = 0; i < 4; ++i) p = skip_price(body, p);
        quotes.push_back(std::move(q));
        if (p <= len && len - p >= 4) p += 4;
        if (built == announced) break;
    }
    return quotes;
}

std::vector<SecurityQuote> get_security_quotes(Connection& conn, StockList stocks) {
    conn.require_connected();
    if (stocks.empty()) return {};
    if (stocks.size() > kMaxQuoteStocks) {
        throw Error(ErrorKind::InvalidArgument, "stock_list has " + std::to_string(stocks.size()) +
                                                    " pairs, but one request can carry at most " +
                                                    std::to_string(kMaxQuoteStocks));
    }
    const auto body = conn.exchange(security_quotes_request(stocks));
    return decode_security_quotes(body);
}

}  // namespace quillan::net
