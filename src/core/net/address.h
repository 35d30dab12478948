#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillan::net {

// A numeric IPv4 or IPv6 socket address, ready for connect(2).
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = 0;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// "ip:port", the text that parse_socket_address reads and error messages show.
std::string address_text(std::string_view ip, uint16_t port);

// Parses "a.b.c.d:port" or "[v6]:port". No name lookup: anything else, a host name or an
// unbracketed IPv6 address included, gives nullopt.
std::optional<SocketAddress> parse_socket_address(std::string_view text);

}  // namespace quillan::net
