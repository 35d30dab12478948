#include "net/framing.h"

#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/error.h"
#include "base/unique_fd.h"
#include "protocol/codecs.h"

namespace quillan::net {
namespace {

constexpr size_t kHeaderSize = 16;
constexpr size_t kFrameHead = 10;  // prefix and the two length fields

// Fills `buf` completely from the socket.
void recv_exact(int fd, uint8_t* buf, size_t len, const WaitPolicy& policy) {
    size_t got = 0;
    while (got < len) {
        size_t n = receive_some(fd, buf + got, len - got, policy);
        if (n == 0) throw Error(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
        got += n;
    }
}

// Owns a zlib inflate stream; inflateEnd runs on every path out.
class Inflater {
  public:
    Inflater() {
        int rc = inflateInit(&zs_);
        if (rc == Z_MEM_ERROR) throw Error(ErrorKind::Os, os_error_text(ENOMEM), ENOMEM);
        if (rc != Z_OK) throw Error(ErrorKind::Internal, "zlib inflateInit failed");
    }
    ~Inflater() { inflateEnd(&zs_); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Inflates `in` into exactly `out.size()` bytes and stops there, leaving whatever the
    // stream holds beyond them (its trailer included) unread.
    void inflate_exact(std::span<const uint8_t> in, std::span<uint8_t> out) {
        zs_.next_in = const_cast<Bytef*>(in.data());
        zs_.avail_in = static_cast<uInt>(in.size());
        zs_.next_out = out.data();
        zs_.avail_out = static_cast<uInt>(out.size());
        while (zs_.avail_out > 0) {
            const uInt out_before = zs_.avail_out;
            const uInt in_before = zs_.avail_in;
            int rc = ::inflate(&zs_, Z_NO_FLUSH);
            bool progressed = zs_.avail_out != out_before || zs_.avail_in != in_before;
            switch (rc) {
                case Z_OK:
                    if (progressed) continue;
                    break;  // no output and no error: treat as exhausted input
                case Z_STREAM_END:
                    if (zs_.avail_out == 0) return;
                    break;  // the stream ended early
                case Z_BUF_ERROR:
                    break;  // input exhausted before the output was full
                case Z_MEM_ERROR:
                    throw Error(ErrorKind::Os, os_error_text(ENOMEM), ENOMEM);
                default:  // Z_DATA_ERROR, Z_NEED_DICT, Z_STREAM_ERROR
                    throw Error(ErrorKind::InvalidData, "corrupt deflate stream");
            }
            throw Error(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
        }
    }

  private:
    z_stream zs_{};
};

}  // namespace

RequestFrame::RequestFrame(const std::array<uint8_t, 6>& prefix, uint16_t command,
                           size_t param_bytes) {
    buf_.reserve(kFrameHead + 2 + param_bytes);
    buf_.insert(buf_.end(), prefix.begin(), prefix.end());
    zeros(4);  // the two length fields, filled in by finish()
    u16(command);
}

RequestFrame& RequestFrame::u8(uint8_t v) {
    buf_.push_back(v);
    return *this;
}

RequestFrame& RequestFrame::u16(uint16_t v) {
    buf_.push_back(static_cast<uint8_t>(v));
    buf_.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
}

RequestFrame& RequestFrame::u32(uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) buf_.push_back(static_cast<uint8_t>(v >> shift));
    return *this;
}

RequestFrame& RequestFrame::zeros(size_t n) {
    buf_.insert(buf_.end(), n, 0);
    return *this;
}

RequestFrame& RequestFrame::bytes(std::span<const uint8_t> v) {
    buf_.insert(buf_.end(), v.begin(), v.end());
    return *this;
}

RequestFrame& RequestFrame::text(std::string_view text, size_t width) {
    size_t n = std::min(text.size(), width);
    buf_.insert(buf_.end(), text.begin(), text.begin() + static_cast<ptrdiff_t>(n));
    return zeros(width - n);
}

std::vector<uint8_t> RequestFrame::finish() {
    size_t length = buf_.size() - kFrameHead;
    if (length > 0xFFFF) throw Error(ErrorKind::Internal, "request frame longer than 65535 bytes");
    for (size_t at : {size_t{6}, size_t{8}}) {
        buf_[at] = static_cast<uint8_t>(length);
        buf_[at + 1] = static_cast<uint8_t>(length >> 8);
    }
    return std::move(buf_);
}

void send_request(int fd, std::span<const uint8_t> frame, const WaitPolicy& policy) {
    size_t sent = 0;
    while (sent < frame.size()) {
        size_t n = send_some(fd, frame.data() + sent, frame.size() - sent, policy);
        if (n == 0) throw Error(ErrorKind::WriteZero, "failed to write whole buffer");
        sent += n;
    }
}

std::vector<uint8_t> read_response(int fd, const WaitPolicy& policy) {
    return read_response(fd, policy, nullptr);
}

std::vector<uint8_t> read_response(int fd, const WaitPolicy& policy, uint16_t* command) {
    uint8_t header[kHeaderSize];
    recv_exact(fd, header, sizeof header, policy);
    if (command != nullptr) *command = protocol::load_u16(header + 10);
    const uint16_t zipped = protocol::load_u16(header + 12);
    const uint16_t unzipped = protocol::load_u16(header + 14);

    std::vector<uint8_t> wire(zipped);
    if (zipped > 0) recv_exact(fd, wire.data(), wire.size(), policy);
    if (zipped == unzipped) return wire;

    Inflater inflater;
    if (unzipped == 0) return {};
    std::vector<uint8_t> body(unzipped);
    inflater.inflate_exact(wire, body);
    return body;
}

void drain_response(int fd, const WaitPolicy& policy) {
    uint8_t header[kHeaderSize] = {};
    try {
        // One receive only: a header that arrives in pieces leaves its missing bytes zero.
        receive_some(fd, header, sizeof header, policy);
        const uint16_t zipped = protocol::load_u16(header + 12);
        if (zipped == 0) return;
        std::vector<uint8_t> discard(zipped);
        recv_exact(fd, discard.data(), discard.size(), policy);
    } catch (const Error& error) {
        // A failed drain is not an error: the set-up answers are not used. A wait that was
        // told to stop is another matter.
        if (error.kind == ErrorKind::Interrupted || error.kind == ErrorKind::TimedOut) throw;
    } catch (...) {
    }
}

}  // namespace quillan::net
