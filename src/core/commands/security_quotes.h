#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "net/connection.h"

namespace quillan::net {

// One level of the order book; prices in hundredths.
struct QuoteLevel {
    int64_t bid, ask, bid_vol, ask_vol;
};

// One real-time quote. Prices are in hundredths, already added to the record's base price.
struct SecurityQuote {
    uint8_t market;
    std::string code;  // empty when the six code bytes are not UTF-8
    int64_t price, last_close, open, high, low;
    int64_t servertime, vol, cur_vol;
    double amount;  // the volume form, unscaled
    int64_t s_vol, b_vol;
    std::array<QuoteLevel, 5> levels;
};

using StockList = std::span<const std::pair<uint8_t, std::string>>;

// The most stocks one request can carry: its length field, 7 * n + 12, is 16 bits wide.
inline constexpr size_t kMaxQuoteStocks = (0xFFFF - 12) / 7;

// The request for the quotes of `stocks` (at most kMaxQuoteStocks of them): 22 + 7 * n bytes.
std::vector<uint8_t> security_quotes_request(StockList stocks);

// Body layout:
//   0  2  not read
//   2  2  u16 N, the number of records
//   4  .  records, back to back:
//           1  market          6  code, UTF-8 with trailing NULs    2  not read
//           .  varints: price; last close, open, high and low deltas to it; servertime;
//              one unused; vol; cur_vol
//           4  volume form: amount
//           .  varints: s_vol, b_vol, two unused
//           .  five levels of four varints: bid and ask deltas to price, bid and ask volumes
//           2  unused      .  four unused varints      4  unused
// A record is kept only when everything up to its fifth level is there and at least one byte
// follows; its unused tail may be cut. Decoding stops at the first record that is not kept, or
// after N records. Never fails.
std::vector<SecurityQuote> decode_security_quotes(std::span<const uint8_t> body);

// "Not connected" without a socket; an empty list gives no quotes without any I/O; more than
// kMaxQuoteStocks stocks fail with Error(InvalidArgument) before anything is sent. Else one
// exchange and the decoded quotes.
std::vector<SecurityQuote> get_security_quotes(Connection& conn, StockList stocks);

}  // namespace quillan::net
