#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillan::net {

using WaitClock = std::chrono::steady_clock;

// Called on the waiting thread each time a signal cuts a send, a receive or a wait for the
// socket short (EINTR), with whatever the caller holds still held. It returns true to stop
// the wait, which then fails with Error(Interrupted); false resumes the wait with the time
// that is left. A binding uses it to run its signal handlers and to learn whether one of them
// wants the call to end; the reason stays with the binding (a pending exception, say).
using InterruptHook = bool (*)();

// How long the sends and receives of one exchange may wait for the socket.
struct WaitPolicy {
    // Each send or receive call may wait this long, counted from its start: signals do not
    // extend it. A call that runs out fails with Error(Os, EAGAIN), the error a socket
    // time-out gives. No value: no limit per call.
    std::optional<std::chrono::milliseconds> per_call = std::chrono::seconds(10);
    // When set, every wait ends by then and fails with Error(TimedOut): a bound on a whole
    // exchange, however the peer spreads its bytes out.
    std::optional<WaitClock::time_point> deadline;
    InterruptHook on_interrupt = nullptr;
    // When set, another thread may set the flag to end every wait within kCancelSlice: the
    // wait then fails with the error of `cancelled_error`.
    const std::atomic<bool>* cancel = nullptr;
};

// How soon a wait notices that its cancel flag was set.
inline constexpr std::chrono::milliseconds kCancelSlice{50};

// Error(Os, ECONNABORTED) "the request was cancelled": a wait whose cancel flag was set.
[[noreturn]] void cancelled_error();

// Throws `cancelled_error` when `flag` is set (a null flag never is).
void check_cancel(const std::atomic<bool>* flag);

// One receive call: waits, as `policy` allows, until the socket has data, end of stream or an
// error, then receives up to `len` (> 0) bytes. Returns the count, 0 at end of stream. Throws
// Error(Os) for the call's error, Error(Os, EAGAIN) when the call's time runs out,
// Error(TimedOut) at the deadline, Error(Interrupted) when the hook stops the wait, the error
// of `cancelled_error` when the policy's cancel flag is set.
size_t receive_some(int fd, uint8_t* buf, size_t len, const WaitPolicy& policy);

// One send call, the counterpart of receive_some: returns the count of bytes written (0 only
// if the system call wrote none). Never raises SIGPIPE; a peer-closed socket gives EPIPE.
size_t send_some(int fd, const uint8_t* buf, size_t len, const WaitPolicy& policy);

// Runs the hook of `policy` after an EINTR; throws Error(Interrupted) when it says stop.
void on_interrupt(const WaitPolicy& policy);

}  // namespace quillan::net
