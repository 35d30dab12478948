#pragma once

#include <chrono>

#include "base/unique_fd.h"
#include "net/address.h"

namespace quillan::net {

// Opens a TCP connection to `addr` and returns the connected socket: blocking, close-on-exec.
// The connect is started non-blocking and awaited with poll for `budget` in all, measured on
// the monotonic clock; a wait cut short by a signal resumes with the time left.
// Throws Error(ConnectFailed) whose text is "Connect failed: " + the system's error text,
// "connection timed out" or "no error set after POLLHUP". The new socket is closed on failure.
UniqueFd tcp_connect(const SocketAddress& addr, std::chrono::milliseconds budget);

}  // namespace quillan::net
