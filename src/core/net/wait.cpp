#include "net/wait.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "base/error.h"

namespace quillan::net {
namespace {

// Waits until `fd` reports one of `events` (or an error or hang-up, which the next system
// call on it will report). `call_end` is when this call's own time runs out, if it has a limit.
void await(int fd, short events, std::optional<WaitClock::time_point> call_end,
           const WaitPolicy& policy) {
    for (;;) {
        check_cancel(policy.cancel);
        const auto now = WaitClock::now();
        if (policy.deadline && now >= *policy.deadline) {
            throw Error(ErrorKind::TimedOut, "request timed out");
        }
        if (call_end && now >= *call_end) throw_os_error(EAGAIN);

        int wait_ms = -1;
        if (call_end || policy.deadline) {
            auto end = call_end && policy.deadline ? std::min(*call_end, *policy.deadline)
                       : call_end                  ? *call_end
                                                   : *policy.deadline;
            // Rounded up, so that a wait never ends just before its end and spins.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
            wait_ms = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        if (policy.cancel != nullptr) {  // wakes to look at the flag
            const int slice = static_cast<int>(kCancelSlice.count());
            wait_ms = wait_ms < 0 ? slice : std::min(wait_ms, slice);
        }
        pollfd pfd{fd, events, 0};
        int ready = ::poll(&pfd, 1, wait_ms);
        if (ready > 0) return;
        if (ready < 0) {
            int err = errno;
            if (err != EINTR) throw_os_error(err);
            on_interrupt(policy);
        }
        // A wait that ran out is caught by the tests at the top.
    }
}

std::optional<WaitClock::time_point> call_end(const WaitPolicy& policy) {
    if (!policy.per_call) return std::nullopt;
    return WaitClock::now() + *policy.per_call;
}

// Repeats `attempt` (a non-blocking system call) until it gets somewhere, waiting for
// `events` between tries.
template <class Attempt>
size_t io_call(int fd, short events, const WaitPolicy& policy, Attempt attempt) {
    const auto end = call_end(policy);
    for (;;) {
        ssize_t n = attempt();
        if (n >= 0) return static_cast<size_t>(n);
        int err = errno;
        if (err == EINTR) {
            on_interrupt(policy);
        } else if (err == EAGAIN || err == EWOULDBLOCK) {
            await(fd, events, end, policy);
        } else {
            throw_os_error(err);
        }
    }
}

}  // namespace

void cancelled_error() { throw Error(ErrorKind::Os, "the request was cancelled", ECONNABORTED); }

void check_cancel(const std::atomic<bool>* flag) {
    if (flag != nullptr && flag->load(std::memory_order_acquire)) cancelled_error();
}

void on_interrupt(const WaitPolicy& policy) {
    if (policy.on_interrupt != nullptr && policy.on_interrupt()) {
        throw Error(ErrorKind::Interrupted, "interrupted by a signal", EINTR);
    }
}

size_t receive_some(int fd, uint8_t* buf, size_t len, const WaitPolicy& policy) {
    return io_call(fd, POLLIN, policy, [&] { return ::recv(fd, buf, len, MSG_DONTWAIT); });
}

size_t send_some(int fd, const uint8_t* buf, size_t len, const WaitPolicy& policy) {
    // MSG_NOSIGNAL: a peer-closed socket gives EPIPE here instead of killing the process.
    return io_call(fd, POLLOUT, policy,
                   [&] { return ::send(fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL); });
}

}  // namespace quillan::net
