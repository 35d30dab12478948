#pragma once

// Request/response I/O that ends by a deadline whatever the server does. Every wait is a
// poll(2) given only the time left, so neither a silent server nor one that trickles a byte at a
// time can stretch an exchange past its deadline; a wait cut short by a signal resumes with the
// time left. Framing, inflating and the failures other than the deadline are those of
// send_request and read_response.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quillan::net {

using Clock = std::chrono::steady_clock;

// When an exchange must be over, and how to word its time-out: "no answer from <peer> within
// <budget>" while receiving, "could not send the request to <peer> within <budget>" while
// sending, both Error(Os, ETIMEDOUT).
struct Deadline {
    Clock::time_point at;
    std::string peer;
    std::chrono::nanoseconds budget;

    static Deadline after(std::chrono::nanoseconds budget, std::string peer) {
        return {Clock::now() + budget, std::move(peer), budget};
    }
};

// Writes the whole frame (no SIGPIPE). Throws as send_request, or the time-out.
void send_before(int fd, std::span<const uint8_t> frame, const Deadline& deadline);

// Reads one response and returns its body. Throws as read_response, or the time-out.
std::vector<uint8_t> read_response_before(int fd, const Deadline& deadline);

// Reads one response and throws it away, as drain_response does: one receive for the header,
// which waits at most `first_wait` and no later than the deadline, and ends the drain quietly
// when it fails or gets nothing. The ZS body bytes it announces are then read to the deadline:
// throws the time-out if they do not all come by then (the stream would be out of step), and
// nothing else.
void drain_response_before(int fd, const Deadline& deadline, std::chrono::nanoseconds first_wait);

// "30 s", "0.25 s": a budget as the time-out messages show it.
std::string budget_text(std::chrono::nanoseconds budget);

}  // namespace quillan::net
