#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "net/connection.h"
#include "protocol/codecs.h"

namespace quillan::net {

// One trade. The price is in hundredths.
struct Transaction {
    protocol::TimeOfDay time;
    int64_t price, vol, num, buyorsell;
};

// The 24-byte request for `count` trades from offset `start`.
std::vector<uint8_t> transaction_data_request(uint8_t market, std::string_view code, uint16_t start,
                                              uint16_t count);

// Body layout:
//   0  2  u16 N, the number of trades
//   2  .  N trades, back to back:
//           2  u16 minutes since midnight
//           .  varint price delta (to the previous trade; the first trade's is its price)
//           .  varints vol, num, buyorsell, then one unused varint
// Returns at most N trades. The list ends at the first trade whose two time bytes are
// missing; a trade whose varints are cut keeps 0 for each one missing. Never fails.
std::vector<Transaction> decode_transaction_data(std::span<const uint8_t> body);

// "Not connected" without a socket, else one exchange and the decoded trades.
std::vector<Transaction> get_transaction_data(Connection& conn, uint8_t market,
                                              std::string_view code, uint16_t start,
                                              uint16_t count);

}  // namespace quillan::net
