#include "commands/security_bars.h"

#include <algorithm>

#include "net/framing.h"

namespace quillan::net {
namespace {

// A bar takes at least 16 bytes: datetime, four one-byte deltas, vol and amount.
constexpr size_t kMinBarSize = 16;

int64_t wrapping_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

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
    std::vector<SecurityBar> bars;
    const size_t len = body.size();
    if (len < 2) return bars;
    const size_t announced = protocol::load_u16(body.data());
    // N is only an upper bound: reserve no more than the body can hold.
    bars.reserve(std::min(announced, (len - 2) / kMinBarSize));
    size_t p = 2;
    int64_t base = 0;
    for (size_t i = 0; i < announced; ++i) {
        const auto datetime = protocol::read_datetime(category, body, p);
        if (!datetime) break;
        const int64_t open_delta = protocol::read_price(body, p);
        const int64_t close_delta = protocol::read_price(body, p);
        const int64_t high_delta = protocol::read_price(body, p);
        const int64_t low_delta = protocol::read_price(body, p);
        // A delta cut by the end leaves p past the end, so this test also drops that bar.
        if (p > len || len - p < 8) break;
        SecurityBar& bar = bars.emplace_back();
        bar.datetime = *datetime;
        bar.vol = protocol::decode_volume(protocol::load_u32(body.data() + p));
        bar.amount = protocol::decode_volume(protocol::load_u32(body.data() + p + 4));
        p += 8;
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
