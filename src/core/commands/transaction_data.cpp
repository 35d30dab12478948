#include "commands/transaction_data.h"

#include <algorithm>

#include "net/framing.h"
#include "protocol/cursor.h"

namespace quillan::net {
namespace {

// A whole trade takes at least 7 bytes: time and five one-byte varints.
constexpr size_t kMinTradeSize = 7;

}  // namespace

std::vector<uint8_t> transaction_data_request(uint8_t market, std::string_view code, uint16_t start,
                                              uint16_t count) {
    //  12  2  u16 market
    //  14  6  code field
    //  20  2  u16 start
    //  22  2  u16 count
    return RequestFrame({0x0C, 0x17, 0x08, 0x01, 0x01, 0x01}, 0x0FC5, 12)
        .u16(market)
        .bytes(protocol::pack_code(code))
        .u16(start)
        .u16(count)
        .finish();
}

std::vector<Transaction> decode_transaction_data(std::span<const uint8_t> body) {
    std::vector<Transaction> trades;
    protocol::Cursor in(body);
    if (!in.has(2)) return trades;
    const size_t announced = in.u16();
    // One more than whole trades fit: the last may be a time with its varints cut off.
    trades.reserve(std::min(announced, in.remaining() / kMinTradeSize + 1));
    int64_t price = 0;
    for (size_t i = 0; i < announced; ++i) {
        if (!in.has(2)) break;
        Transaction& trade = trades.emplace_back();
        trade.time = protocol::decode_time(in.u16());
        price = protocol::wrapping_add(price, in.price());
        trade.price = price;
        trade.vol = in.price();
        trade.num = in.price();
        trade.buyorsell = in.price();
        in.skip_price();
    }
    return trades;
}

std::vector<Transaction> get_transaction_data(Connection& conn, uint8_t market,
                                              std::string_view code, uint16_t start,
                                              uint16_t count) {
    conn.require_connected();
    const auto body = conn.exchange(transaction_data_request(market, code, start, count));
    return decode_transaction_data(body);
}

}  // namespace quillan::net
