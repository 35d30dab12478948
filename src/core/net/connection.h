#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"

namespace quillan::net {

// A client's connection to one quote server: either none, or one open TCP socket that has
// been through the set-up exchange. The socket is the only state.
class Connection {
  public:
    bool connected() const { return static_cast<bool>(sock_); }

    // Opens a new connection to `ip`:`port` (numeric addresses only) and runs the set-up
    // exchange; on success it replaces the current socket, which is closed without shutdown.
    // On failure the new socket is closed and the current one is left untouched. Throws
    // Error(InvalidArgument) for an address that does not parse, Error(ConnectFailed),
    // Error(FileAccess) when a time-out cannot be set, or the send error of a set-up packet.
    void connect(std::string_view ip, uint16_t port);

    // Shuts the socket down in both directions (errors ignored) and closes it. No-op without one.
    void disconnect() noexcept;

    // Throws Error(NotConnected) "Not connected" when there is no socket.
    void require_connected() const;

    // One request/response exchange: sends `frame`, returns the response body. The caller has
    // checked the connection. A failure leaves the socket as it is.
    std::vector<uint8_t> exchange(std::span<const uint8_t> frame);

  private:
    UniqueFd sock_;
};

}  // namespace quillan::net
