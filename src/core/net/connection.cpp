#include "net/connection.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "base/error.h"
#include "net/address.h"
#include "net/framing.h"
#include "net/tcp_connect.h"

namespace quillan::net {
namespace {

constexpr std::chrono::milliseconds kConnectTimeout{5000};
constexpr time_t kIoTimeoutSeconds = 10;

// The three set-up packets every new connection sends first. Constants: nothing in them
// depends on the address, the time or an earlier answer.
constexpr std::array<uint8_t, 13> kSetup1 = {0x0C, 0x02, 0x18, 0x93, 0x00, 0x01, 0x03,
                                             0x00, 0x03, 0x00, 0x0D, 0x00, 0x01};
constexpr std::array<uint8_t, 13> kSetup2 = {0x0C, 0x02, 0x18, 0x94, 0x00, 0x01, 0x03,
                                             0x00, 0x03, 0x00, 0x0D, 0x00, 0x02};
constexpr std::array<uint8_t, 42> kSetup3 = {
    0x0C, 0x03, 0x18, 0x99, 0x00, 0x01, 0x20, 0x00, 0x20, 0x00, 0xDB, 0x0F, 0xD5, 0xD0,
    0xC9, 0xCC, 0xD6, 0xA4, 0xA8, 0xAF, 0x00, 0x00, 0x00, 0x8F, 0xC2, 0x25, 0x40, 0x13,
    0x00, 0x00, 0xD5, 0x00, 0xC9, 0xCC, 0xBD, 0xF0, 0xD7, 0xEA, 0x00, 0x00, 0x00, 0x02};

void set_timeout(int fd, int option, const char* what) {
    timeval tv{kIoTimeoutSeconds, 0};
    if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == -1) {
        int err = errno;
        throw Error(ErrorKind::FileAccess, std::string(what) + os_error_text(err), err);
    }
}

}  // namespace

void Connection::connect(std::string_view ip, uint16_t port) { open(ip, port, std::nullopt); }

void Connection::connect(std::string_view ip, uint16_t port, WaitClock::time_point deadline) {
    open(ip, port, deadline);
}

void Connection::open(std::string_view ip, uint16_t port,
                      std::optional<WaitClock::time_point> deadline) {
    const std::string text = address_text(ip, port);
    auto addr = parse_socket_address(text);
    if (!addr) {
        throw Error(ErrorKind::InvalidArgument,
                    "Invalid address '" + text + "': invalid socket address syntax");
    }

    auto budget = kConnectTimeout;
    if (deadline) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - WaitClock::now());
        budget = std::clamp(left, std::chrono::milliseconds{0}, kConnectTimeout);
    }
    UniqueFd sock = tcp_connect(*addr, budget, hook_, cancel_);
    set_timeout(sock.get(), SO_RCVTIMEO, "Failed to set read timeout: ");
    set_timeout(sock.get(), SO_SNDTIMEO, "Failed to set write timeout: ");

    WaitPolicy setup;  // each send and receive 10 s, as ever
    setup.deadline = deadline;
    setup.on_interrupt = hook_;
    setup.cancel = cancel_;
    for (std::span<const uint8_t> packet :
         {std::span<const uint8_t>(kSetup1), std::span<const uint8_t>(kSetup2),
          std::span<const uint8_t>(kSetup3)}) {
        send_request(sock.get(), packet, setup);
        drain_response(sock.get(), setup);
        check_cancel(cancel_);  // draining ignores every failure, a cancel too
    }

    sock_ = std::move(sock);  // closes the old socket, if any, with a plain close
}

void Connection::disconnect() noexcept {
    UniqueFd sock = std::move(sock_);
    if (sock) ::shutdown(sock.get(), SHUT_RDWR);
}

void Connection::require_connected() const {
    if (!sock_) throw Error(ErrorKind::NotConnected, "Not connected");
}

std::vector<uint8_t> Connection::exchange(std::span<const uint8_t> frame) {
    WaitPolicy policy;  // each send and receive 10 s
    policy.on_interrupt = hook_;
    policy.cancel = cancel_;
    return exchange(frame, policy);
}

std::vector<uint8_t> Connection::exchange(std::span<const uint8_t> frame,
                                          WaitClock::time_point deadline) {
    return exchange(frame, deadline, nullptr);
}

std::vector<uint8_t> Connection::exchange(std::span<const uint8_t> frame,
                                          WaitClock::time_point deadline, uint16_t* command) {
    WaitPolicy policy;
    policy.per_call = std::nullopt;
    policy.deadline = deadline;
    policy.on_interrupt = hook_;
    policy.cancel = cancel_;
    return exchange(frame, policy, command);
}

std::vector<uint8_t> Connection::exchange(std::span<const uint8_t> frame, const WaitPolicy& policy,
                                          uint16_t* command) {
    send_request(sock_.get(), frame, policy);
    return read_response(sock_.get(), policy, command);
}

}  // namespace quillan::net
