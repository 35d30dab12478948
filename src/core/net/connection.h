#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "net/wait.h"

namespace quillan::net {

// A client's connection to one quote server: either none, or one open TCP socket that has
// been through the set-up exchange. The socket is the only state.
class Connection {
  public:
    bool connected() const { return static_cast<bool>(sock_); }

    // The hook every wait of this connection calls after a signal (net/wait.h); none at first.
    // A hook that stops a wait makes the call fail with Error(Interrupted); the connection is
    // then as after any failed exchange (a request may be half sent or its response half read,
    // so the next exchange cannot be trusted until the caller reconnects).
    void set_interrupt_hook(InterruptHook hook) { hook_ = hook; }

    // A flag another thread may set to end this connection's waits (net/wait.h); none at first.
    // The flag must outlive the connection.
    void set_cancel_flag(const std::atomic<bool>* flag) { cancel_ = flag; }

    // Opens a new connection to `ip`:`port` (numeric addresses only) and runs the set-up
    // exchange; on success it replaces the current socket, which is closed without shutdown.
    // On failure the new socket is closed and the current one is left untouched. Throws
    // Error(InvalidArgument) for an address that does not parse, Error(ConnectFailed),
    // Error(FileAccess) when a time-out cannot be set, or the send error of a set-up packet.
    // The TCP connect may take 5 s, and each send or receive of the set-up 10 s.
    void connect(std::string_view ip, uint16_t port);

    // The same, all of it done by `deadline`: the TCP connect gets what is left of its 5 s up
    // to the deadline (Error(ConnectFailed) "... connection timed out" when that runs out), and
    // a set-up exchange still going at the deadline fails with Error(TimedOut).
    void connect(std::string_view ip, uint16_t port, WaitClock::time_point deadline);

    // Shuts the socket down in both directions (errors ignored) and closes it. No-op without one.
    void disconnect() noexcept;

    // Throws Error(NotConnected) "Not connected" when there is no socket.
    void require_connected() const;

    // One request/response exchange: sends `frame`, returns the response body. The caller has
    // checked the connection. A failure leaves the socket as it is. Each send or receive call
    // may wait 10 s (Error(Os, EAGAIN) beyond), signals included, however long the whole takes.
    std::vector<uint8_t> exchange(std::span<const uint8_t> frame);

    // The same with one deadline for the whole exchange, the request sent and its response read
    // by then, and no limit of its own on each send or receive: Error(TimedOut) at the
    // deadline, however the peer spreads out its bytes. Callers typically pass
    // WaitClock::now() + their time-out.
    std::vector<uint8_t> exchange(std::span<const uint8_t> frame, WaitClock::time_point deadline);

    // The same, and in `*command` the command code the response's header names (0: none).
    std::vector<uint8_t> exchange(std::span<const uint8_t> frame, WaitClock::time_point deadline,
                                  uint16_t* command);

  private:
    void open(std::string_view ip, uint16_t port, std::optional<WaitClock::time_point> deadline);
    std::vector<uint8_t> exchange(std::span<const uint8_t> frame, const WaitPolicy& policy,
                                  uint16_t* command = nullptr);

    UniqueFd sock_;
    InterruptHook hook_ = nullptr;
    const std::atomic<bool>* cancel_ = nullptr;
};

}  // namespace quillan::net
