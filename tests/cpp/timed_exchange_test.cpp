#include "net/timed_exchange.h"

#include <sys/socket.h>
#include <zlib.h>

#include <chrono>
#include <thread>

#include "base/unique_fd.h"
#include "net/framing.h"
#include "test_util.h"

using namespace quillan;
using namespace quillan::net;
using namespace std::chrono_literals;
using quillan::testing::Bytes;

namespace {

struct SocketPair {
    UniqueFd ours, theirs;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        ours.reset(fds[0]);
        theirs.reset(fds[1]);
        timeval tv{5, 0};  // a broken test fails instead of hanging
        ::setsockopt(ours.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    void send(const Bytes& data) const {
        if (data.empty()) return;
        ASSERT_EQ(::send(theirs.get(), data.data(), data.size(), 0),
                  static_cast<ssize_t>(data.size()));
    }
};

Bytes response(uint16_t zs, uint16_t us, const Bytes& payload) {
    Bytes out(12, 0x5A);
    for (uint16_t v : {zs, us}) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes deflate(const Bytes& plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    Bytes out(size);
    compress(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()));
    out.resize(size);
    return out;
}

Deadline in(std::chrono::nanoseconds budget) { return Deadline::after(budget, "peer:1"); }

// What a reader made of some bytes: the body, or the error's kind and text.
struct Outcome {
    Bytes body;
    ErrorKind kind = ErrorKind::Internal;
    std::string error;
    bool operator==(const Outcome&) const = default;
};

template <class Read>
Outcome outcome(const Bytes& wire, bool close_after, Read read) {
    SocketPair pair;
    pair.send(wire);
    if (close_after) pair.theirs.reset();
    try {
        return {read(pair.ours.get()), ErrorKind::Internal, ""};
    } catch (const Error& e) {
        return {{}, e.kind, e.text};
    }
}

class SameAsReadResponse : public ::testing::TestWithParam<std::pair<Bytes, bool>> {};

TEST_P(SameAsReadResponse, BodyOrError) {
    const auto& [wire, close_after] = GetParam();
    const Outcome plain = outcome(wire, close_after, [](int fd) { return read_response(fd); });
    const Outcome timed =
        outcome(wire, close_after, [](int fd) { return read_response_before(fd, in(2s)); });
    EXPECT_EQ(timed, plain) << timed.error << " / " << plain.error;
}

const Bytes kPlain = {1, 2, 3, 4, 5};
const Bytes kHundred(100, 7);

INSTANTIATE_TEST_SUITE_P(
    Responses, SameAsReadResponse,
    ::testing::Values(
        std::pair{response(5, 5, kPlain), false}, std::pair{response(0, 0, {}), false},
        std::pair{response(static_cast<uint16_t>(deflate(kHundred).size()), 100, deflate(kHundred)),
                  false},
        std::pair{response(static_cast<uint16_t>(deflate(kHundred).size()), 0, deflate(kHundred)),
                  false},
        // Inflates to fewer bytes than announced; not zlib at all; cut by the peer's close.
        std::pair{response(static_cast<uint16_t>(deflate(kHundred).size()), 120, deflate(kHundred)),
                  false},
        std::pair{response(5, 9, kPlain), false}, std::pair{response(9, 9, kPlain), true},
        std::pair{Bytes(10, 0), true}));

TEST(TimedExchange, TricklingPeerEndsAtTheDeadline) {
    SocketPair pair;
    std::thread trickle([&] {
        // A valid header, then one body byte every 20 ms: each wait alone is short.
        Bytes wire = response(200, 200, Bytes(200, 1));
        for (uint8_t b : wire) {
            if (::send(pair.theirs.get(), &b, 1, MSG_NOSIGNAL) != 1) return;
            std::this_thread::sleep_for(20ms);
        }
    });
    const auto start = Clock::now();
    EXPECT_QUILLAN_ERROR(read_response_before(pair.ours.get(), in(250ms)), ErrorKind::Os,
                         "no answer from peer:1 within 0.25 s");
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 1s);
    ::shutdown(pair.ours.get(), SHUT_RDWR);
    trickle.join();
}

TEST(TimedExchange, TimeOutIsEtimedout) {
    SocketPair pair;
    try {
        read_response_before(pair.ours.get(), in(10ms));
        ADD_FAILURE() << "no time-out";
    } catch (const Error& e) {
        EXPECT_EQ(e.os_errno, ETIMEDOUT);
    }
}

TEST(TimedExchange, SendToAPeerThatNeverReads) {
    SocketPair pair;
    const Bytes big(8 << 20, 0);  // far more than the socket buffers hold
    EXPECT_QUILLAN_ERROR(send_before(pair.ours.get(), big, in(100ms)), ErrorKind::Os,
                         "could not send the request to peer:1 within 0.1 s");
}

TEST(TimedDrain, SilentPeerEndsQuietlyAfterTheFirstWait) {
    SocketPair pair;
    const auto start = Clock::now();
    drain_response_before(pair.ours.get(), in(5s), 50ms);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(TimedDrain, BodyStillComingAtTheDeadlineIsATimeOut) {
    SocketPair pair;
    pair.send(response(10, 10, {1, 2, 3}));
    EXPECT_QUILLAN_ERROR(drain_response_before(pair.ours.get(), in(100ms), 5s), ErrorKind::Os,
                         "no answer from peer:1 within 0.1 s");
}

TEST(TimedDrain, WholeOrClosedAnswersAreQuiet) {
    SocketPair pair;
    pair.send(response(3, 3, {1, 2, 3}));
    pair.send(response(0, 0, {9}));
    drain_response_before(pair.ours.get(), in(1s), 1s);
    uint8_t next = 0;
    ASSERT_EQ(::recv(pair.ours.get(), &next, 1, 0), 1);  // the drain took exactly one answer
    EXPECT_EQ(next, 0x5A);
    pair.send(response(10, 10, {1}));
    pair.theirs.reset();
    drain_response_before(pair.ours.get(), in(1s), 1s);
}

TEST(BudgetText, Seconds) {
    EXPECT_EQ(budget_text(30s), "30 s");
    EXPECT_EQ(budget_text(250ms), "0.25 s");
}

}  // namespace
