#include "net/tcp_connect.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "base/error.h"

namespace quillan::net {
namespace {

[[noreturn]] void fail(std::string reason, int err = 0) {
    throw Error(ErrorKind::ConnectFailed, "Connect failed: " + reason, err);
}
[[noreturn]] void fail_errno(int err) { fail(os_error_text(err), err); }

void set_nonblocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) fail_errno(errno);
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (fcntl(fd, F_SETFL, flags) == -1) fail_errno(errno);
}

}  // namespace

UniqueFd tcp_connect(const SocketAddress& addr, std::chrono::milliseconds budget,
                     InterruptHook hook, const std::atomic<bool>* cancel) {
    using Clock = std::chrono::steady_clock;

    UniqueFd sock(::socket(addr.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) fail_errno(errno);

    set_nonblocking(sock.get(), true);
    int rc = ::connect(sock.get(), addr.get(), addr.length);
    int connect_errno = errno;
    set_nonblocking(sock.get(), false);
    if (rc == 0) return sock;
    if (connect_errno != EINPROGRESS) fail_errno(connect_errno);

    const auto deadline = Clock::now() + budget;
    for (;;) {
        check_cancel(cancel);
        auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) fail("connection timed out");
        // Whole milliseconds, rounded down, but never a zero wait.
        auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        if (cancel != nullptr) wait_ms = std::min<long long>(wait_ms, kCancelSlice.count());
        pollfd pfd{sock.get(), POLLOUT, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(std::max<long long>(wait_ms, 1)));
        if (ready < 0) {
            if (errno == EINTR) {
                WaitPolicy policy;
                policy.on_interrupt = hook;
                on_interrupt(policy);
                continue;
            }
            fail_errno(errno);
        }
        if (ready == 0) continue;  // the deadline test above ends the loop
        if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &err, &len) == -1) fail_errno(errno);
            if (err != 0) fail_errno(err);
            fail("no error set after POLLHUP");
        }
        if (pfd.revents & POLLOUT) return sock;
    }
}

}  // namespace quillan::net
