#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "net/address.h"
#include "net/framing.h"
#include "test_util.h"

using namespace quillan;
using namespace quillan::net;

namespace {

using quillan::testing::Bytes;

// Both ends of a connected stream socket pair.
struct Pair {
    UniqueFd ours, theirs;
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        ours.reset(fds[0]);
        theirs.reset(fds[1]);
        timeval tv{5, 0};  // a broken test fails instead of hanging
        ::setsockopt(ours.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    void send(const Bytes& data) const {
        ASSERT_EQ(::send(theirs.get(), data.data(), data.size(), 0),
                  static_cast<ssize_t>(data.size()));
    }
};

Bytes header(uint16_t zs, uint16_t us) {
    Bytes h(16, 0xAB);
    h[12] = static_cast<uint8_t>(zs);
    h[13] = static_cast<uint8_t>(zs >> 8);
    h[14] = static_cast<uint8_t>(us);
    h[15] = static_cast<uint8_t>(us >> 8);
    return h;
}

Bytes deflate(const Bytes& plain) {
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    Bytes out(size);
    compress(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()));
    out.resize(size);
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(Address, AcceptsNumericForms) {
    auto v4 = parse_socket_address("127.0.0.1:7709");
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->family, AF_INET);
    auto v6 = parse_socket_address("[::1]:0");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->family, AF_INET6);
    EXPECT_TRUE(parse_socket_address("255.255.255.255:65535"));
}

TEST(Address, RefusesEverythingElse) {
    for (std::string text : {"localhost:1", "::1:1", "1.2.3:1", "1.2.3.4", "1.2.3.4:", "1.2.3.4:x",
                             "1.2.3.4:65536", "1.2.3.4:1:2", "[::1]", "[::1]1", "[::1:1",
                             " 1.2.3.4:1", "1.2.3.4 :1", "256.1.1.1:1", ":1", ""}) {
        EXPECT_FALSE(parse_socket_address(text)) << text;
    }
    EXPECT_FALSE(parse_socket_address(std::string("1.2.3.4\0x:1", 11)));
}

TEST(RequestFrame, LengthFieldsCountFromOffsetTen) {
    Bytes frame =
        RequestFrame({0x0C, 1, 2, 3, 4, 5}, 0x1234).u8(7).u32(0x0A0B0C0D).text("abc", 5).finish();
    EXPECT_EQ(frame, (Bytes{0x0C, 1, 2,    3,    4,    5,    12,  0,   12,  0, 0x34,
                            0x12, 7, 0x0D, 0x0C, 0x0B, 0x0A, 'a', 'b', 'c', 0, 0}));
}

TEST(RequestFrame, TextIsCutAtItsWidth) {
    Bytes frame = RequestFrame({0x0C, 0, 0, 0, 0, 0}, 1).text("abcdefgh", 6).finish();
    EXPECT_EQ(Bytes(frame.begin() + 12, frame.end()), (Bytes{'a', 'b', 'c', 'd', 'e', 'f'}));
}

TEST(RequestFrame, RefusesLengthsBeyondSixteenBits) {
    RequestFrame frame({0x0C, 0, 0, 0, 0, 0}, 1);
    frame.zeros(65534);
    EXPECT_QUILLAN_ERROR(frame.finish(), ErrorKind::Internal,
                         "request frame longer than 65535 bytes");
}

TEST(ReadResponse, PlainAndCompressed) {
    Pair p;
    p.send(concat(header(3, 3), {1, 2, 3}));
    EXPECT_EQ(read_response(p.ours.get()), (Bytes{1, 2, 3}));

    Bytes plain(1000, 'q');
    Bytes packed = deflate(plain);
    p.send(concat(header(static_cast<uint16_t>(packed.size()), 1000), packed));
    EXPECT_EQ(read_response(p.ours.get()), plain);
}

TEST(ReadResponse, ZeroSizes) {
    Pair p;
    p.send(header(0, 0));
    EXPECT_TRUE(read_response(p.ours.get()).empty());
    p.send(concat(header(4, 0), {9, 9, 9, 9}));  // read and dropped
    EXPECT_TRUE(read_response(p.ours.get()).empty());
    p.send(concat(header(1, 1), {5}));  // the stream is still in step
    EXPECT_EQ(read_response(p.ours.get()), Bytes{5});
}

TEST(ReadResponse, InflateFailures) {
    Pair p;
    Bytes packed = deflate(Bytes(60, 'z'));
    p.send(concat(header(static_cast<uint16_t>(packed.size()), 100), packed));
    EXPECT_QUILLAN_ERROR(read_response(p.ours.get()), ErrorKind::UnexpectedEof,
                         "failed to fill whole buffer");

    p.send(concat(header(4, 100), {1, 2, 3, 4}));
    EXPECT_QUILLAN_ERROR(read_response(p.ours.get()), ErrorKind::InvalidData,
                         "corrupt deflate stream");

    p.send(header(0, 10));  // nothing to inflate at all
    EXPECT_QUILLAN_ERROR(read_response(p.ours.get()), ErrorKind::UnexpectedEof,
                         "failed to fill whole buffer");
}

TEST(ReadResponse, PeerClosesEarly) {
    for (size_t cut : {0u, 10u, 16u, 18u}) {
        Pair p;
        Bytes whole = concat(header(5, 5), {1, 2, 3, 4, 5});
        p.send(Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut)));
        p.theirs.reset();
        EXPECT_QUILLAN_ERROR(read_response(p.ours.get()), ErrorKind::UnexpectedEof,
                             "failed to fill whole buffer");
    }
}

TEST(ReadResponse, ArrivesInPieces) {
    Pair p;
    Bytes whole = concat(header(4, 4), {7, 8, 9, 10});
    std::thread writer([&] {
        for (uint8_t b : whole) {
            ::send(p.theirs.get(), &b, 1, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_EQ(read_response(p.ours.get()), (Bytes{7, 8, 9, 10}));
    writer.join();
}

TEST(SendRequest, PeerGoneIsBrokenPipe) {
    Pair p;
    p.theirs.reset();
    Bytes frame(32, 1);
    EXPECT_QUILLAN_ERROR(send_request(p.ours.get(), frame), ErrorKind::Os, os_error_text(EPIPE));
}

TEST(DrainResponse, TakesSizeFromSingleReceive) {
    Pair p;
    // Only 13 header bytes are there when the drain looks: ZS reads as 0x03 | (missing) << 8.
    Bytes h = header(0x0203, 3);
    p.send(Bytes(h.begin(), h.begin() + 13));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p.send({1, 2, 3, 4});
    });
    drain_response(p.ours.get());
    late.join();
    // The drain read its 13 bytes and then exactly 3 more, whatever they were.
    p.send({5});
    uint8_t rest[2];
    ASSERT_EQ(::recv(p.ours.get(), rest, sizeof rest, MSG_WAITALL), 2);
    EXPECT_EQ(Bytes(rest, rest + 2), (Bytes{4, 5}));
}

TEST(DrainResponse, NeverFails) {
    Pair p;
    p.send(concat(header(50, 50), {1, 2}));  // body cut short
    p.theirs.reset();
    drain_response(p.ours.get());
    drain_response(-1);
}

TEST(ErrorText, NamesTheNumber) {
    EXPECT_EQ(os_error_text(ECONNREFUSED), "Connection refused (os error 111)");
}
