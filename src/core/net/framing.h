#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "net/wait.h"

namespace quillan::net {

// A request frame under construction:
//   0   6  prefix (starts with 0x0C)
//   6   2  u16 L, the number of bytes from offset 10 to the end
//   8   2  u16 L again
//   10  2  u16 command code
//   12  .  parameters
// The put_* calls append parameters little-endian; finish() fills in both length fields.
class RequestFrame {
  public:
    RequestFrame(const std::array<uint8_t, 6>& prefix, uint16_t command, size_t param_bytes = 0);

    RequestFrame& u8(uint8_t v);
    RequestFrame& u16(uint16_t v);
    RequestFrame& u32(uint32_t v);
    RequestFrame& zeros(size_t n);
    RequestFrame& bytes(std::span<const uint8_t> v);
    // The first `width` bytes of `text`, zero-padded to `width`.
    RequestFrame& text(std::string_view text, size_t width);

    // The finished frame (the builder is left empty). Throws Error(Internal) if L does not fit in
    // 16 bits; callers refuse such requests before they build them.
    std::vector<uint8_t> finish();

  private:
    std::vector<uint8_t> buf_;
};

// Writes the whole frame, repeating short and interrupted sends, each send waiting as `policy`
// allows. Never raises SIGPIPE. Throws Error(Os) from send(2) (EPIPE, ECONNRESET, EAGAIN when a
// send's time runs out ...), Error(WriteZero) "failed to write whole buffer" when a send writes
// nothing, and the Interrupted and TimedOut errors of the policy (net/wait.h).
void send_request(int fd, std::span<const uint8_t> frame, const WaitPolicy& policy = {});

// Reads one response: the 16-byte header (ZS at offset 12, US at offset 14), then ZS body
// bytes, inflated to exactly US bytes when ZS != US. Returns the body (0 to 65535 bytes).
// Throws Error(UnexpectedEof) "failed to fill whole buffer" when the peer closes early or the
// stream inflates to fewer than US bytes, Error(InvalidData) "corrupt deflate stream", or
// Error(Os) from recv(2) (EAGAIN when a receive's time runs out, ECONNRESET ...), or the
// Interrupted and TimedOut errors of the policy. Each receive waits as `policy` allows.
std::vector<uint8_t> read_response(int fd, const WaitPolicy& policy = {});

// The same, and the u16 at offset 10 of the header in `*command`: the command code of the
// request a response answers, where the server says it (0 where it does not).
std::vector<uint8_t> read_response(int fd, const WaitPolicy& policy, uint16_t* command);

// Reads one response with a single receive for the header and throws it away. Whatever goes
// wrong ends the drain quietly, except the Interrupted and TimedOut errors of the policy, which
// go through: they are the caller's, not the peer's.
void drain_response(int fd, const WaitPolicy& policy = {});

}  // namespace quillan::net
