#include "columns/market_connection.h"

#include <sys/socket.h>

#include <array>

#include "base/error.h"
#include "commands/security_bars.h"
#include "commands/transaction_data.h"
#include "net/address.h"
#include "net/tcp_connect.h"
#include "net/timed_exchange.h"

namespace quillan::columns {
namespace {

constexpr std::chrono::milliseconds kConnectTimeout{5000};
// How long one set-up answer is awaited before the exchange goes on without it, as the
// receive time-out of net::Connection does.
constexpr std::chrono::seconds kSetupAnswerWait{10};

// The three set-up packets every new connection sends first (the same as net::Connection's).
constexpr std::array<uint8_t, 13> kSetup1 = {0x0C, 0x02, 0x18, 0x93, 0x00, 0x01, 0x03,
                                             0x00, 0x03, 0x00, 0x0D, 0x00, 0x01};
constexpr std::array<uint8_t, 13> kSetup2 = {0x0C, 0x02, 0x18, 0x94, 0x00, 0x01, 0x03,
                                             0x00, 0x03, 0x00, 0x0D, 0x00, 0x02};
constexpr std::array<uint8_t, 42> kSetup3 = {
    0x0C, 0x03, 0x18, 0x99, 0x00, 0x01, 0x20, 0x00, 0x20, 0x00, 0xDB, 0x0F, 0xD5, 0xD0,
    0xC9, 0xCC, 0xD6, 0xA4, 0xA8, 0xAF, 0x00, 0x00, 0x00, 0x8F, 0xC2, 0x25, 0x40, 0x13,
    0x00, 0x00, 0xD5, 0x00, 0xC9, 0xCC, 0xBD, 0xF0, 0xD7, 0xEA, 0x00, 0x00, 0x00, 0x02};

// The request carries six bytes of code: a longer one would be cut, and the answer would be
// about another security.
void check_code(std::string_view code) {
    if (code.size() > 6) {
        throw Error(
            ErrorKind::InvalidArgument,
            "code '" + std::string(code) + "' is longer than the six bytes a request carries");
    }
}

// The host as the address parser takes it: IPv6 in brackets, "localhost" as 127.0.0.1.
std::string numeric_host(std::string_view host) {
    if (host == "localhost") return "127.0.0.1";
    if (host.find(':') != std::string_view::npos && host.front() != '[') {
        std::string bracketed;  // appended piece by piece: GCC 12 misreads "[" + s + "]"
        bracketed.reserve(host.size() + 2);
        bracketed.append(1, '[').append(host).append(1, ']');
        return bracketed;
    }
    return std::string(host);
}

}  // namespace

void MarketConnection::connect(std::string_view host, uint16_t port) {
    std::string text = net::address_text(numeric_host(host), port);
    auto addr = net::parse_socket_address(text);
    if (!addr) {
        throw Error(ErrorKind::InvalidArgument,
                    "Invalid address '" + text + "': invalid socket address syntax");
    }

    UniqueFd sock = net::tcp_connect(*addr, kConnectTimeout);
    const auto deadline = net::Deadline::after(timeout_, text);
    for (std::span<const uint8_t> packet :
         {std::span<const uint8_t>(kSetup1), std::span<const uint8_t>(kSetup2),
          std::span<const uint8_t>(kSetup3)}) {
        net::send_before(sock.get(), packet, deadline);
        net::drain_response_before(sock.get(), deadline, kSetupAnswerWait);
    }

    sock_ = std::move(sock);  // closes the old socket, if any, with a plain close
    peer_ = std::move(text);
    lost_.clear();
}

void MarketConnection::disconnect() noexcept {
    UniqueFd sock = std::move(sock_);
    if (sock) ::shutdown(sock.get(), SHUT_RDWR);
    lost_.clear();
}

void MarketConnection::require_connected() const {
    if (sock_) return;
    if (lost_.empty()) throw Error(ErrorKind::NotConnected, "Not connected");
    throw Error(ErrorKind::NotConnected,
                "Not connected: the connection was closed when a request failed (" + lost_ +
                    "); connect again");
}

std::vector<uint8_t> MarketConnection::exchange(std::span<const uint8_t> frame) {
    const auto deadline = net::Deadline::after(timeout_, peer_);
    try {
        net::send_before(sock_.get(), frame, deadline);
        return net::read_response_before(sock_.get(), deadline);
    } catch (const Error& e) {
        lost_ = e.text;
        sock_.reset();
        throw;
    } catch (...) {
        lost_ = "an internal failure";
        sock_.reset();
        throw;
    }
}

ColumnList MarketConnection::security_bars(uint16_t category, uint8_t market, std::string_view code,
                                           uint16_t start, uint16_t count) {
    check_code(code);
    require_connected();
    const auto body = exchange(net::security_bars_request(category, market, code, start, count));
    return bar_columns(net::decode_security_bars(category, body));
}

ColumnList MarketConnection::security_quotes(net::StockList stocks) {
    for (const auto& stock : stocks) check_code(stock.second);
    require_connected();
    if (stocks.empty()) return quote_columns({});
    if (stocks.size() > net::kMaxQuoteStocks) {
        throw Error(ErrorKind::InvalidArgument, "stock_list has " + std::to_string(stocks.size()) +
                                                    " pairs, but one request can carry at most " +
                                                    std::to_string(net::kMaxQuoteStocks));
    }
    const auto body = exchange(net::security_quotes_request(stocks));
    return quote_columns(net::decode_security_quotes(body));
}

ColumnList MarketConnection::transaction_data(uint8_t market, std::string_view code, uint16_t start,
                                              uint16_t count) {
    check_code(code);
    require_connected();
    const auto body = exchange(net::transaction_data_request(market, code, start, count));
    return trade_columns(net::decode_transaction_data(body));
}

}  // namespace quillan::columns
