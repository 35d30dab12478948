#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "net/connection.h"
#include "protocol/codecs.h"

namespace quillan::net {

// One K-line bar. Prices are in thousandths of the currency unit.
struct SecurityBar {
    protocol::DateTime datetime;
    int64_t open, close, high, low;
    double vol, amount;  // the volume form, unscaled
};

// The 38-byte request for `count` bars of kind `category` from offset `start`.
std::vector<uint8_t> security_bars_request(uint16_t category, uint8_t market, std::string_view code,
                                           uint16_t start, uint16_t count);

// Body layout:
//   0  2  u16 N, the number of bars
//   2  .  N bars, back to back:
//           4  datetime, layout chosen by `category`
//           .  varint open delta (to the previous bar's close; the first bar's is its open)
//           .  varint close, high and low deltas (to this bar's open)
//           4  volume form: vol
//           4  volume form: amount
// Returns the complete bars, at most N: a bar cut anywhere by the end of the body ends the
// list, and so does a missing datetime. Never fails.
std::vector<SecurityBar> decode_security_bars(uint16_t category, std::span<const uint8_t> body);

// "Not connected" without a socket, else one exchange and the decoded bars.
std::vector<SecurityBar> get_security_bars(Connection& conn, uint16_t category, uint8_t market,
                                           std::string_view code, uint16_t start, uint16_t count);

}  // namespace quillan::net
