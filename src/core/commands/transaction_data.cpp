#include "commands/transaction_data.h"

#include <algorithm>

#include "net/framing.h"

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
    const size_t len = body.size();
    if (len < 2) return trades;
    const size_t announced = protocol::load_u16(body.data());
    // One more than whole trades fit: the last may be a time with its varints cut off.
    trades.reserve(std::min(announced, (len - 2) / kMinTradeSize + 1));
    size_t p = 2;
    uint64_t total = 0;  // wraps like the server's running price
    for (size_t i = 0; i < announced; ++i) {
        if (p > len || len - p < 2) break;
        Transaction& trade = trades.emplace_back();
        trade.time = protocol::decode_time(protocol::load_u16(body.data() + p));
        p += 2;
        total += static_cast<uint64_t>(protocol::read_price(body, p));
        trade.vol = protocol::read_price(body, p);
        trade.num = protocol::read_price(body, p);
        trade.buyorsell = protocol::read_price(body, p);
        p = protocol::skip_price(body, p);
        trade.price = static_cast<int64_t>(total);
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
