#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quillan::probe {

// The latency of a server that could not be reached, whatever the reason.
inline constexpr uint64_t kUnreachable = 9999;

// How long a probe waits for its connection to complete.
inline constexpr std::chrono::milliseconds kConnectBudget{2000};

// The stack of each worker thread.
inline constexpr size_t kWorkerStack = 2 * 1024 * 1024;

// An address text as the caller wrote it, and a port.
using Server = std::pair<std::string, uint16_t>;

struct Latency {
    std::string ip;
    uint16_t port;
    uint64_t millis;  // kUnreachable when no connection was made
};

// Connects to `ip`:`port` (numeric addresses only, IPv6 in brackets) and closes the
// connection again without sending anything. Returns the time from before the address is
// parsed to the completed connection, in whole milliseconds rounded down, on the monotonic
// clock; kUnreachable for an address that does not parse and for any failure to connect
// within kConnectBudget. Never throws.
uint64_t measure_latency(const std::string& ip, uint16_t port) noexcept;

// Probes every server at once, one thread per entry (duplicates included), all started before
// any is joined; returns the entries ordered by latency, ties in the order given. Throws
// Error(Internal) "failed to spawn thread: " + system text when a thread cannot be started:
// the workers started so far are left to finish on their own, each owning its inputs.
std::vector<Latency> ping_servers(std::vector<Server> servers);

}  // namespace quillan::probe
