#include "net/wait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "net/connection.h"
#include "net/framing.h"
#include "test_util.h"

using namespace quillan;
using namespace quillan::net;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;
using Seconds = std::chrono::duration<double>;

std::atomic<int> hook_calls{0};
bool count_and_go_on() {
    ++hook_calls;
    return false;
}
bool count_and_stop() {
    ++hook_calls;
    return true;
}

// SIGALRM every `period` while it lives, with a handler installed without SA_RESTART, so that
// every blocked system call of the process returns EINTR.
class Ticker {
  public:
    explicit Ticker(std::chrono::microseconds period) {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGALRM, &sa, &old_);
        const auto us = static_cast<suseconds_t>(period.count());
        itimerval timer{{0, us}, {0, us}};
        ::setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~Ticker() {
        itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &old_, nullptr);
    }
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

  private:
    struct sigaction old_ {};
};

struct Pair {
    UniqueFd ours, theirs;
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        ours.reset(fds[0]);
        theirs.reset(fds[1]);
    }
    // Fills our send buffer, so that the next send has to wait.
    void fill_ours() const {
        int size = 4096;
        ::setsockopt(ours.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        uint8_t junk[4096] = {};
        while (::send(ours.get(), junk, sizeof junk, MSG_DONTWAIT) > 0) {
        }
    }
};

Bytes header(uint16_t zs, uint16_t us) {
    return quillan::testing::Writer{}.raw(Bytes(12, 0)).u16(zs).u16(us).out;
}

// Sends `head`, then one byte every `gap` for as long as the peer takes them.
void trickle(int fd, const Bytes& head, std::chrono::milliseconds gap, int bytes = 1000) {
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    for (int i = 0; i < bytes; ++i) {
        std::this_thread::sleep_for(gap);
        uint8_t b = 0x55;
        if (::send(fd, &b, 1, MSG_NOSIGNAL) != 1) return;
    }
}

double since(WaitClock::time_point start) { return Seconds(WaitClock::now() - start).count(); }

// The kind of the core error `fn` throws, and how long it took to throw it.
template <class Fn>
std::pair<ErrorKind, double> failure(Fn fn) {
    const auto start = WaitClock::now();
    try {
        fn();
    } catch (const Error& e) {
        return {e.kind, since(start)};
    }
    ADD_FAILURE() << "no error";
    return {ErrorKind::Internal, since(start)};
}

enum class Direction { Receive, Send };

class SignalledWait : public ::testing::TestWithParam<Direction> {
  protected:
    // One receive or send that has to wait, under `policy`.
    void wait_once(const WaitPolicy& policy) {
        uint8_t buf[64] = {};
        if (GetParam() == Direction::Receive) {
            receive_some(pair_.ours.get(), buf, sizeof buf, policy);
        } else {
            pair_.fill_ours();
            send_some(pair_.ours.get(), buf, sizeof buf, policy);
        }
    }
    Pair pair_;
};

TEST_P(SignalledWait, SignalsDoNotExtendTheTimeOfACall) {
    WaitPolicy policy;
    policy.per_call = 400ms;
    policy.on_interrupt = count_and_go_on;
    hook_calls = 0;
    Ticker ticker(30ms);
    auto [kind, took] = failure([&] { wait_once(policy); });
    EXPECT_EQ(kind, ErrorKind::Os);  // EAGAIN, as a socket time-out gives
    EXPECT_GE(took, 0.39);
    EXPECT_LT(took, 1.5);
    EXPECT_GE(hook_calls.load(), 5);  // the hook saw the signals as they came
}

TEST_P(SignalledWait, HookStopsTheWaitAtOnce) {
    WaitPolicy policy;  // 10 s a call
    policy.on_interrupt = count_and_stop;
    hook_calls = 0;
    Ticker ticker(50ms);
    auto [kind, took] = failure([&] { wait_once(policy); });
    EXPECT_EQ(kind, ErrorKind::Interrupted);
    EXPECT_LT(took, 1.0);
    EXPECT_EQ(hook_calls.load(), 1);
}

TEST_P(SignalledWait, DeadlineEndsTheWait) {
    WaitPolicy policy;
    policy.deadline = WaitClock::now() + 300ms;
    auto [kind, took] = failure([&] { wait_once(policy); });
    EXPECT_EQ(kind, ErrorKind::TimedOut);
    EXPECT_GE(took, 0.29);
    EXPECT_LT(took, 1.5);
}

INSTANTIATE_TEST_SUITE_P(Both, SignalledWait,
                         ::testing::Values(Direction::Receive, Direction::Send));

TEST(Wait, ACancelFromAnotherThreadEndsAWaitWithinASlice) {
    for (bool sending : {false, true}) {
        Pair p;
        if (sending) p.fill_ours();
        std::atomic<bool> cancel{false};
        WaitPolicy policy;
        policy.per_call = std::nullopt;  // no limit of its own: only the cancel ends the wait
        policy.cancel = &cancel;
        std::thread other([&] {
            std::this_thread::sleep_for(100ms);
            cancel.store(true);
        });
        const auto began = WaitClock::now();
        uint8_t byte = 0;
        EXPECT_QUILLAN_ERROR(sending ? send_some(p.ours.get(), &byte, 1, policy)
                                     : receive_some(p.ours.get(), &byte, 1, policy),
                             ErrorKind::Os, "the request was cancelled");
        EXPECT_LT(Seconds(WaitClock::now() - began).count(),
                  0.1 + 2 * Seconds(kCancelSlice).count());
        other.join();
    }
}

TEST(Wait, DrainLetsTheCallersErrorsThrough) {
    Pair p;
    WaitPolicy policy;
    policy.deadline = WaitClock::now() + 100ms;
    std::thread peer([&] { trickle(p.theirs.get(), header(50, 50), 20ms, 8); });
    EXPECT_QUILLAN_ERROR(drain_response(p.ours.get(), policy), ErrorKind::TimedOut,
                         "request timed out");
    peer.join();
}

// A loopback quote server on a thread of its own: it answers the three set-up packets as
// `answer_setup` says and the next request as `answer`.
class Peer {
  public:
    using Script = std::function<void(int fd)>;
    Peer(Script answer_setup, Script answer) {
        listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(listener_.get(), 1) != 0 ||
            ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::abort();
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, answer_setup, answer] {
            UniqueFd conn(::accept(listener_.get(), nullptr, nullptr));
            for (int i = 0; i < 3 && read_frame(conn.get()); ++i) answer_setup(conn.get());
            if (read_frame(conn.get())) answer(conn.get());
        });
    }
    ~Peer() {
        ::shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    uint16_t port() const { return port_; }

  private:
    static bool read_frame(int fd) {
        uint8_t head[10];
        if (::recv(fd, head, sizeof head, MSG_WAITALL) != 10) return false;
        std::vector<uint8_t> rest(static_cast<size_t>(head[6] | head[7] << 8));
        return ::recv(fd, rest.data(), rest.size(), MSG_WAITALL) ==
               static_cast<ssize_t>(rest.size());
    }

    UniqueFd listener_;
    uint16_t port_ = 0;
    std::thread thread_;
};

void answer_empty(int fd) {
    Bytes h = header(0, 0);
    ::send(fd, h.data(), h.size(), MSG_NOSIGNAL);
}

const Bytes kRequest = {0x0C, 0, 0, 0, 0, 0, 2, 0, 2, 0, 0x34, 0x12};

// A set-up answer or a response that trickles, one byte every 50 ms: each receive is quick,
// the whole would take about 50 s.
class TricklingWait : public ::testing::TestWithParam<bool /* during set-up */> {};

TEST_P(TricklingWait, FailsAtTheDeadline) {
    const Peer::Script slow = [](int fd) { trickle(fd, header(1000, 1000), 50ms); };
    Peer peer(GetParam() ? slow : answer_empty, GetParam() ? answer_empty : slow);
    Connection conn;
    auto [kind, took] = failure([&] {
        conn.connect("127.0.0.1", peer.port(), WaitClock::now() + 400ms);
        conn.exchange(kRequest, WaitClock::now() + 400ms);
    });
    EXPECT_EQ(kind, ErrorKind::TimedOut);
    EXPECT_GE(took, 0.39);
    EXPECT_LT(took, 2.0);
    if (GetParam()) {
        EXPECT_FALSE(conn.connected());
    }
}

INSTANTIATE_TEST_SUITE_P(SetUpOrResponse, TricklingWait, ::testing::Bool());

TEST(Wait, ResponseInTimeIsReturned) {
    Peer peer(answer_empty, [](int fd) {
        Bytes reply = header(3, 3);
        reply.insert(reply.end(), {7, 8, 9});
        for (uint8_t b : reply) {
            ::send(fd, &b, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(5ms);
        }
    });
    Connection conn;
    conn.connect("127.0.0.1", peer.port(), WaitClock::now() + 5s);
    EXPECT_EQ(conn.exchange(kRequest, WaitClock::now() + 5s), (Bytes{7, 8, 9}));
    conn.disconnect();
}

}  // namespace
