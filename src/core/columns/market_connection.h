#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "columns/market_columns.h"
#include "commands/report_file.h"
#include "commands/security_quotes.h"
#include "net/connection.h"

namespace quillan::columns {

// A connection to one quote server whose market-data requests give columns, and whose every
// request and its response together end by a deadline (`timeout` from the moment the request
// starts), however the server spreads its bytes out. The set-up exchange of connect shares one
// such deadline.
//
// The requests, the set-up exchange and the decoding are those of net::Connection and the
// commands. Unlike net::Connection, a connection that fails a request (time-out, reset, a cut
// or corrupt response ...) is closed at once: bytes of the failed exchange may still be on
// their way and would be taken for the next answer. The next request then fails with
// ConnectionError until connect is called again.
//
// Not thread-safe: the caller gives each call exclusive use.
class MarketConnection {
  public:
    explicit MarketConnection(std::chrono::nanoseconds timeout) : timeout_(timeout) {
        conn_.set_cancel_flag(&cancelled_);
    }
    MarketConnection(const MarketConnection&) = delete;  // the connection points at the flag
    MarketConnection& operator=(const MarketConnection&) = delete;

    bool connected() const { return conn_.connected(); }
    std::chrono::nanoseconds timeout() const { return timeout_; }
    void set_timeout(std::chrono::nanoseconds timeout) { timeout_ = timeout; }

    // The hook every wait calls after a signal (net/wait.h); a wait it stops fails with
    // Error(Interrupted), and a request so stopped closes the connection like any failure.
    void set_interrupt_hook(net::InterruptHook hook) { conn_.set_interrupt_hook(hook); }

    // Opens a connection to `host`:`port` and runs the set-up exchange; on success it replaces
    // the current one, which is closed without shutdown. `host` is a numeric IPv4 address, an
    // IPv6 address with or without brackets, or "localhost" (127.0.0.1). On failure the current
    // connection is left as it was. Throws Error(InvalidArgument) for an address that does not
    // parse, Error(ConnectFailed) when the TCP connection fails (within 5 s or the deadline,
    // whichever is first), a send error of a set-up packet, or Error(TimedOut) when the set-up
    // exchange is still going at the deadline.
    void connect(std::string_view host, uint16_t port);

    // Shuts the socket down in both directions (errors ignored) and closes it. No-op without one.
    void disconnect() noexcept;

    // Safe to call from any thread, while another thread's call is under way: that call and
    // every later one fail with Error(Os, ECONNABORTED) "the request was cancelled", within
    // net::kCancelSlice. The connection cannot be used again.
    void cancel() noexcept { cancelled_.store(true, std::memory_order_release); }

    // The market-data requests. Each checks its codes (Error(InvalidArgument) for a code of
    // more than six bytes, which the request could not carry), then the connection
    // (Error(NotConnected)), then runs one exchange and decodes it into columns.
    ColumnList security_bars(uint16_t category, uint8_t market, std::string_view code,
                             uint16_t start, uint16_t count);
    // No exchange for an empty list; Error(InvalidArgument) for more than kMaxQuoteStocks.
    ColumnList security_quotes(net::StockList stocks);
    ColumnList transaction_data(uint8_t market, std::string_view code, uint16_t start,
                                uint16_t count);

    // The reference-data requests, checked and run the same way. A file name longer than its
    // request's field (kCompanyFileNameWidth, kReportFileNameWidth) is Error(InvalidArgument)
    // too: the server would be asked for another file.
    ColumnList xdxr(uint8_t market, std::string_view code);
    // One row, or none when the answer is too short to hold a summary.
    ColumnList finance(uint8_t market, std::string_view code);
    ColumnList company_index(uint8_t market, std::string_view code);
    // `length` bytes of the company information file from `start`, in UTF-8.
    std::string company_text(uint8_t market, std::string_view code, std::string_view filename,
                             uint32_t start, uint32_t length);
    // The piece of a file kept on the server that starts at `offset`.
    net::ReportPiece report_piece(std::string_view filename, uint32_t offset);

  private:
    void require_connected() const;
    // One exchange on the open socket, by the deadline; closes the socket when it fails, and
    // rethrows (a time-out as Error(TimedOut) "no answer from <peer> within <timeout>").
    std::vector<uint8_t> exchange(std::span<const uint8_t> frame);

    net::Connection conn_;
    std::string peer_;  // "ip:port" of the open connection
    std::chrono::nanoseconds timeout_;
    std::string lost_;  // why the last connection was closed by a failure, if it was
    std::atomic<bool> cancelled_{false};
};

}  // namespace quillan::columns
