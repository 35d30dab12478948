#include "columns/market_connection.h"

#include <cerrno>
#include <cstdio>

#include "base/error.h"
#include "commands/company_info.h"
#include "commands/finance.h"
#include "commands/security_bars.h"
#include "commands/transaction_data.h"
#include "commands/xdxr.h"
#include "net/address.h"
#include "protocol/codecs.h"

namespace quillan::columns {
namespace {

// The request carries six bytes of code: a longer one would be cut, and the answer would be
// about another security.
void check_code(std::string_view code) {
    if (code.size() > 6) {
        throw Error(
            ErrorKind::InvalidArgument,
            "code '" + std::string(code) + "' is longer than the six bytes a request carries");
    }
}

// Likewise a file name: a request carries `width` bytes of it.
void check_filename(std::string_view filename, size_t width) {
    if (filename.size() > width) {
        throw Error(ErrorKind::InvalidArgument,
                    "file name '" + std::string(filename) + "' is longer than the " +
                        std::to_string(width) + " bytes a request carries");
    }
}

// The time-out of an exchange with `peer`, in words.
Error timed_out(const std::string& peer, std::chrono::nanoseconds budget) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", std::chrono::duration<double>(budget).count());
    return Error(ErrorKind::TimedOut,
                 "no answer from " + peer + " within " + std::string(seconds) + " s", ETIMEDOUT);
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
    net::check_cancel(&cancelled_);
    const std::string ip = numeric_host(host);
    try {
        conn_.connect(ip, port, net::WaitClock::now() + timeout_);
    } catch (const Error& e) {
        if (e.kind != ErrorKind::TimedOut) throw;
        throw timed_out(net::address_text(ip, port), timeout_);
    }
    peer_ = net::address_text(ip, port);
    lost_.clear();
}

void MarketConnection::disconnect() noexcept {
    conn_.disconnect();
    lost_.clear();
}

void MarketConnection::require_connected() const {
    net::check_cancel(&cancelled_);
    if (conn_.connected()) return;
    if (lost_.empty()) throw Error(ErrorKind::NotConnected, "Not connected");
    throw Error(ErrorKind::NotConnected,
                "Not connected: the connection was closed when a request failed (" + lost_ +
                    "); connect again");
}

std::vector<uint8_t> MarketConnection::exchange(std::span<const uint8_t> frame) {
    try {
        uint16_t answered = 0;
        auto body = conn_.exchange(frame, net::WaitClock::now() + timeout_, &answered);
        // A server that names the request its reply answers must name this one: a reply to
        // an earlier request that came late, or to none, would read as garbage or as nothing.
        const uint16_t asked = protocol::load_u16(frame.data() + 10);
        if (answered != 0 && answered != asked) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "the server answered another request (command 0x%04X, not 0x%04X)",
                          answered, asked);
            throw Error(ErrorKind::InvalidData, text);
        }
        return body;
    } catch (const Error& e) {
        // The stream is out of step now: part of the request or of its answer may still be
        // on its way. Close it rather than read a stale answer as the next one.
        conn_.disconnect();
        if (e.kind != ErrorKind::TimedOut) {
            lost_ = e.text;
            throw;
        }
        Error out = timed_out(peer_, timeout_);
        lost_ = out.text;
        throw out;
    } catch (...) {
        conn_.disconnect();
        lost_ = "an internal failure";
        throw;
    }
}

ColumnList MarketConnection::security_bars(uint16_t category, uint8_t market, std::string_view code,
                                           uint16_t start, uint16_t count) {
    check_code(code);
    require_connected();
    const auto body = exchange(net::security_bars_request(category, market, code, start, count));
    return bar_columns(category, net::decode_security_bars(category, body));
}

ColumnList MarketConnection::security_quotes(net::StockList stocks) {
    for (const auto& stock : stocks) check_code(stock.second);
    require_connected();
    if (stocks.empty()) return quote_columns({});
    if (stocks.size() > net::kMaxQuoteStocks) {
        throw Error(ErrorKind::InvalidArgument,
                    std::to_string(stocks.size()) +
                        " pairs asked for, but one request can carry at most " +
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

ColumnList MarketConnection::xdxr(uint8_t market, std::string_view code) {
    check_code(code);
    require_connected();
    return xdxr_columns(net::decode_xdxr(exchange(net::xdxr_request(market, code))));
}

ColumnList MarketConnection::finance(uint8_t market, std::string_view code) {
    check_code(code);
    require_connected();
    const auto body = exchange(net::finance_request(market, code));
    return finance_columns(market, code, net::decode_finance(body));
}

ColumnList MarketConnection::company_index(uint8_t market, std::string_view code) {
    check_code(code);
    require_connected();
    const auto body = exchange(net::company_info_category_request(market, code));
    return company_index_columns(net::decode_company_info_category(body));
}

std::string MarketConnection::company_text(uint8_t market, std::string_view code,
                                           std::string_view filename, uint32_t start,
                                           uint32_t length) {
    check_code(code);
    check_filename(filename, net::kCompanyFileNameWidth);
    require_connected();
    return net::decode_company_info_content(
        exchange(net::company_info_content_request(market, code, filename, start, length)));
}

net::ReportPiece MarketConnection::report_piece(std::string_view filename, uint32_t offset) {
    check_filename(filename, net::kReportFileNameWidth);
    require_connected();
    return net::decode_report_file(exchange(net::report_file_request(filename, offset)));
}

}  // namespace quillan::columns
