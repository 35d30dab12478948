#pragma once

#include <chrono>

#include "base/unique_fd.h"
#include "net/address.h"
#include "net/wait.h"

namespace quillan::net {

// Opens a TCP connection to `addr` and returns the connected socket: blocking, close-on-exec.
// The connect is started non-blocking and awaited with poll for `budget` in all, measured on
// the monotonic clock; a wait cut short by a signal calls `hook` (if any: see
// net/wait.h), then resumes with the time left.
// Throws Error(ConnectFailed) whose text is "Connect failed: " + the system's error text,
// "connection timed out" or "no error set after POLLHUP", or Error(Interrupted) when the hook
// stops the wait. The new socket is closed on failure.
// With `cancel`, setting the flag ends the wait within kCancelSlice with `cancelled_error`.
UniqueFd tcp_connect(const SocketAddress& addr, std::chrono::milliseconds budget,
                     InterruptHook hook = nullptr, const std::atomic<bool>* cancel = nullptr);

}  // namespace quillan::net
