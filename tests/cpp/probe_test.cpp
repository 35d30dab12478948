#include "probe.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "unique_fd.h"

using namespace quillan;
using namespace quillan::probe;

namespace {

// A loopback listener: the kernel completes handshakes on it without any accept.
struct Listener {
    UniqueFd sock{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    uint16_t port = 0;
    Listener() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(sock.get(), 64) != 0 ||
            ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::abort();
        }
        port = ntohs(addr.sin_port);
    }
};

// A loopback port with nothing behind it.
uint16_t refused_port() {
    Listener gone;
    return gone.port;  // closed again on return
}

}  // namespace

TEST(Probe, MeasuresOnlyWhatConnects) {
    Listener up;
    uint16_t down = refused_port();
    EXPECT_LT(measure_latency("127.0.0.1", up.port), kUnreachable);
    EXPECT_EQ(measure_latency("127.0.0.1", down), kUnreachable);
    for (const char* ip : {"localhost", "::1", " 127.0.0.1", "127.0.0.1 ", ""}) {
        EXPECT_EQ(measure_latency(ip, up.port), kUnreachable) << ip;
    }
}

TEST(Probe, SortsStablyAndKeepsDuplicates) {
    Listener up;
    uint16_t down = refused_port();
    std::vector<Server> servers = {
        {"bad", 1},          {"127.0.0.1", down}, {"127.0.0.1", up.port},
        {"127.0.0.1", down}, {"also bad", 2},     {"127.0.0.1", up.port}};
    auto results = ping_servers(servers);
    ASSERT_EQ(results.size(), servers.size());
    EXPECT_EQ(results[0].port, up.port);
    EXPECT_EQ(results[1].port, up.port);
    EXPECT_LE(results[0].millis, results[1].millis);
    const std::vector<Server> failed_in_order = {
        {"bad", 1}, {"127.0.0.1", down}, {"127.0.0.1", down}, {"also bad", 2}};
    for (size_t i = 0; i < failed_in_order.size(); ++i) {
        EXPECT_EQ(results[2 + i].ip, failed_in_order[i].first);
        EXPECT_EQ(results[2 + i].port, failed_in_order[i].second);
        EXPECT_EQ(results[2 + i].millis, kUnreachable);
    }
}

TEST(Probe, NothingToProbe) { EXPECT_TRUE(ping_servers({}).empty()); }
