#include "net/timed_exchange.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/error.h"
#include "net/framing.h"

namespace quillan::net {
namespace {

constexpr size_t kHeaderSize = 16;

uint16_t load_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

[[noreturn]] void time_out(const Deadline& deadline, bool sending) {
    const std::string what = sending ? "could not send the request to " : "no answer from ";
    throw Error(ErrorKind::Os, what + deadline.peer + " within " + budget_text(deadline.budget),
                ETIMEDOUT);
}

// Waits until `fd` is ready for `events` or `until` passes; false on the latter. Returns true
// as well when poll reports an error or a hang-up: the next call on the socket tells which.
bool wait_ready(int fd, short events, Clock::time_point until) {
    for (;;) {
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        // Rounded up to whole milliseconds, so the last wait does not spin at zero.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        pollfd pfd{fd, events, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(ms, 1 << 30)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) throw_os_error(errno);
    }
}

// One non-blocking receive, repeated when a signal interrupts it; -1 with errno EAGAIN when
// nothing is there yet.
ssize_t recv_now(int fd, uint8_t* buf, size_t len) {
    for (;;) {
        const ssize_t n = ::recv(fd, buf, len, MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) return n;
    }
}

void recv_before(int fd, uint8_t* buf, size_t len, const Deadline& deadline) {
    size_t got = 0;
    while (got < len) {
        const ssize_t n = recv_now(fd, buf + got, len - got);
        if (n < 0) {
            const int err = errno;
            if (err != EAGAIN && err != EWOULDBLOCK) throw_os_error(err);
            if (!wait_ready(fd, POLLIN, deadline.at)) time_out(deadline, false);
            continue;
        }
        if (n == 0) throw Error(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
        got += static_cast<size_t>(n);
    }
}

}  // namespace

std::string budget_text(std::chrono::nanoseconds budget) {
    char text[64];
    std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(budget).count());
    return text;
}

void send_before(int fd, std::span<const uint8_t> frame, const Deadline& deadline) {
    size_t sent = 0;
    while (sent < frame.size()) {
        // MSG_NOSIGNAL: a peer-closed socket gives EPIPE instead of killing the process.
        const ssize_t n =
            ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            if (err != EAGAIN && err != EWOULDBLOCK) throw_os_error(err);
            if (!wait_ready(fd, POLLOUT, deadline.at)) time_out(deadline, true);
            continue;
        }
        if (n == 0) throw Error(ErrorKind::WriteZero, "failed to write whole buffer");
        sent += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> read_response_before(int fd, const Deadline& deadline) {
    uint8_t header[kHeaderSize];
    recv_before(fd, header, sizeof header, deadline);
    std::vector<uint8_t> wire(load_u16(header + 12));
    if (!wire.empty()) recv_before(fd, wire.data(), wire.size(), deadline);
    return response_body(std::move(wire), load_u16(header + 14));
}

void drain_response_before(int fd, const Deadline& deadline, std::chrono::nanoseconds first_wait) {
    uint8_t header[kHeaderSize] = {};
    const auto until = std::min(deadline.at, Clock::now() + first_wait);
    ssize_t n = recv_now(fd, header, sizeof header);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!wait_ready(fd, POLLIN, until)) return;
        n = recv_now(fd, header, sizeof header);
    }
    // One receive only, as drain_response: missing header bytes stay zero.
    if (n <= 0) return;
    const uint16_t zipped = load_u16(header + 12);
    if (zipped == 0) return;
    std::vector<uint8_t> discard(zipped);
    try {
        recv_before(fd, discard.data(), discard.size(), deadline);
    } catch (const Error& e) {
        if (e.os_errno == ETIMEDOUT && e.kind == ErrorKind::Os) throw;
        // Any other failure ends the drain quietly, as it does for drain_response.
    }
}

}  // namespace quillan::net
