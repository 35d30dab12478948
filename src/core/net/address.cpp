#include "net/address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace quillan::net {
namespace {

std::optional<uint16_t> parse_port(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(value);
}

}  // namespace

std::string address_text(std::string_view ip, uint16_t port) {
    std::string text(ip);
    text += ':';
    text += std::to_string(port);
    return text;
}

std::optional<SocketAddress> parse_socket_address(std::string_view text) {
    // inet_pton stops at a NUL, which would let "1.2.3.4\0junk" through.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;

    SocketAddress addr;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        auto port = parse_port(text.substr(close + 2));
        if (!port) return std::nullopt;
        std::string host(text.substr(1, close - 1));
        auto* sa = reinterpret_cast<sockaddr_in6*>(&addr.storage);
        if (inet_pton(AF_INET6, host.c_str(), &sa->sin6_addr) != 1) return std::nullopt;
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(*port);
        addr.length = sizeof(sockaddr_in6);
        addr.family = AF_INET6;
        return addr;
    }

    size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto port = parse_port(text.substr(colon + 1));
    if (!port) return std::nullopt;
    std::string host(text.substr(0, colon));
    auto* sa = reinterpret_cast<sockaddr_in*>(&addr.storage);
    if (inet_pton(AF_INET, host.c_str(), &sa->sin_addr) != 1) return std::nullopt;
    sa->sin_family = AF_INET;
    sa->sin_port = htons(*port);
    addr.length = sizeof(sockaddr_in);
    addr.family = AF_INET;
    return addr;
}

}  // namespace quillan::net
