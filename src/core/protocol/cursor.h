#pragma once

// A read position in a response body, for the decoders of the commands.
//
// No read fails and none touches a byte outside the body. A varint cut off by the end of the
// body leaves the position one past the end (L + 1); from then on has(n) is false for every n,
// so the test that a decoder makes before the fixed-width fields of a record also drops a
// record whose varints were cut.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/codecs.h"

namespace quillan::protocol {

class Cursor {
  public:
    explicit Cursor(Body body, size_t pos = 0) : body_(body), pos_(pos) {}

    Body body() const { return body_; }
    size_t pos() const { return pos_; }

    // Whether at least `n` bytes are left; false for every n once a varint has been cut.
    bool has(size_t n) const { return pos_ <= body_.size() && body_.size() - pos_ >= n; }
    // The bytes left; 0 once a varint has been cut.
    size_t remaining() const { return pos_ < body_.size() ? body_.size() - pos_ : 0; }
    // Whether a varint was cut off by the end of the body (the position is past the end).
    bool cut() const { return pos_ > body_.size(); }

    // Fixed-width reads. With fewer bytes left than they take they give 0 (or an empty span)
    // and leave the position alone: a decoder tests has(n) first when a short record must end
    // the list.
    uint8_t u8() { return has(1) ? body_[pos_++] : 0; }
    uint16_t u16() { return has(2) ? load_u16(advance(2)) : 0; }
    uint32_t u32() { return has(4) ? load_u32(advance(4)) : 0; }
    double f32() { return has(4) ? load_f32(advance(4)) : 0.0; }
    double volume() { return has(4) ? decode_volume(load_u32(advance(4))) : 0.0; }
    Body bytes(size_t n) { return has(n) ? Body(advance(n), n) : Body(); }
    // Moves past `n` bytes when that many are left; else stays.
    void skip(size_t n) {
        if (has(n)) pos_ += n;
    }

    // A price varint, as read_price: 0 at or past the end, and a cut one leaves the position
    // at L + 1.
    int64_t price() { return read_price(body_, pos_); }
    void skip_price() { pos_ = protocol::skip_price(body_, pos_); }

    // Four datetime bytes in the layout of `category`, as read_datetime: nothing, without
    // moving, when fewer than four are left.
    std::optional<DateTime> datetime(uint16_t category) {
        return read_datetime(category, body_, pos_);
    }

  private:
    const uint8_t* advance(size_t n) {
        const uint8_t* at = body_.data() + pos_;
        pos_ += n;
        return at;
    }

    Body body_;
    size_t pos_;
};

}  // namespace quillan::protocol
