#include "commands/security_quotes.h"

#include <algorithm>

#include "base/error.h"
#include "net/framing.h"
#include "protocol/cursor.h"
#include "protocol/gbk.h"

namespace quillan::net {
namespace {

// A kept record takes at least 47 bytes: 9 of head, 13 one-byte varints, the amount, 20
// one-byte level varints and the one byte that must follow them.
constexpr size_t kMinQuoteSize = 47;

// The six code bytes as text: empty unless UTF-8, else without its trailing NULs.
std::string code_text(std::span<const uint8_t> field) {
    if (!protocol::is_utf8(field)) return {};
    size_t n = field.size();
    while (n > 0 && field[n - 1] == 0) --n;
    return std::string(reinterpret_cast<const char*>(field.data()), n);
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
    using protocol::wrapping_add;
    std::vector<SecurityQuote> quotes;
    protocol::Cursor in(body);
    if (!in.has(4)) return quotes;
    in.skip(2);
    const uint16_t announced = in.u16();
    if (announced == 0) return quotes;
    quotes.reserve(std::min<size_t>(announced, in.remaining() / kMinQuoteSize + 1));
    uint16_t built = 0;  // records decoded up to their levels, kept or not
    for (;;) {
        if (!in.has(9)) break;
        SecurityQuote q;
        q.market = in.u8();
        q.code = code_text(in.bytes(6));
        in.skip(2);
        q.price = in.price();
        q.last_close = wrapping_add(q.price, in.price());
        q.open = wrapping_add(q.price, in.price());
        q.high = wrapping_add(q.price, in.price());
        q.low = wrapping_add(q.price, in.price());
        q.servertime = in.price();
        in.skip_price();
        q.vol = in.price();
        q.cur_vol = in.price();
        if (!in.has(4)) break;
        q.amount = in.volume();
        q.s_vol = in.price();
        q.b_vol = in.price();
        in.skip_price();
        in.skip_price();
        ++built;
        for (QuoteLevel& level : q.levels) {
            level.bid = wrapping_add(q.price, in.price());
            level.ask = wrapping_add(q.price, in.price());
            level.bid_vol = in.price();
            level.ask_vol = in.price();
        }
        // Nothing after the fifth level: the record may be cut inside it, so it is dropped.
        // The unused tail may be cut anywhere.
        if (!in.has(1)) break;
        in.skip(2);
        for (int i = 0; i < 4; ++i) in.skip_price();
        quotes.push_back(std::move(q));
        in.skip(4);
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
