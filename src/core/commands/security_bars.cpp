#include "commands/security_bars.h"

#include <algorithm>

#include "net/framing.h"
#include "protocol/cursor.h"

namespace quillan::net {
namespace {

// A bar takes at least 16 bytes: datetime, four one-byte deltas, vol and amount.
constexpr size_t kMinBarSize = 16;

}  // namespace

std::vector<uint8_t> security_bars_request(uint16_t category, uint8_t market, std::string_view code,
                                           uint16_t start, uint16_t count) {
    //  12  2  u16 market
    //  14  6  code field
    //  20  2  u16 category
    //  22  2  u16 1
    //  24  2  u16 start
    //  26  2  u16 count
    //  28 10  zero
    return RequestFrame({0x0C, 0x01, 0x08, 0x64, 0x01, 0x01}, 0x052D, 26)
        .u16(market)
        .bytes(protocol::pack_code(code))
        .u16(category)
        .u16(1)
        .u16(start)
        .u16(count)
        .zeros(10)
        .finish();
}

std::vector<SecurityBar> decode_security_bars(uint16_t category, std::span<const uint8_t> body) {
    using protocol::wrapping_add;
    std::vector<SecurityBar> bars;
    protocol::Cursor in(body);
    if (!in.has(2)) return bars;
    const size_t announced = in.u16();
    // N is only an upper bound: reserve no more than the body can hold.
    bars.reserve(std::min(announced, in.remaining() / kMinBarSize));
    int64_t base = 0;
    for (size_t i = 0; i < announced; ++i) {
        const auto datetime = in.datetime(category);
        if (!datetime) break;
        const int64_t open_delta = in.price();
        const int64_t close_delta = in.price();
        const int64_t high_delta = in.price();
        const int64_t low_delta = in.price();
        // A cut delta leaves nothing to have, so this test also drops that bar.
        if (!in.has(8)) break;
        SecurityBar& bar = bars.emplace_back();
        bar.datetime = *datetime;
        bar.vol = in.volume();
        bar.amount = in.volume();
        bar.open = wrapping_add(base, open_delta);
        bar.close = wrapping_add(bar.open, close_delta);
        bar.high = wrapping_add(bar.open, high_delta);
        bar.low = wrapping_add(bar.open, low_delta);
        base = bar.close;
    }
    return bars;
}

std::vector<SecurityBar> get_security_bars(Connection& conn, uint16_t category, uint8_t market,
                                           std::string_view code, uint16_t start, uint16_t count) {
    conn.require_connected();
    const auto body = conn.exchange(security_bars_request(category, market, code, start, count));
    return decode_security_bars(category, body);
}

}  // namespace quillan::net
