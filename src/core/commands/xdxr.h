#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "net/connection.h"

namespace quillan::net {

// Which values an ex-rights record carries, chosen by its category byte.
enum class XdxrShape {
    Dividend,       // 1: fenhong, peigujia, songzhuangu, peigu (values 1 to 4, float32)
    Consolidation,  // 11, 12: suogu (value 3, float32)
    Warrant,        // 13, 14: xingquanjia, fenshu (values 1 and 3, float32)
    ShareCapital,   // every other category: four share counts (values 1 to 4, volume form)
};

// One ex-rights or ex-dividend event.
struct XdxrRecord {
    uint32_t year, month, day;
    uint8_t category;
    // Values 1 to 4 of the record, each decoded as its category reads it; the ones that the
    // category does not read are 0.0.
    std::array<double, 4> values;
};

XdxrShape xdxr_shape(uint8_t category);

// The category's Chinese name in UTF-8; "未知" (unknown) outside 1 to 14.
std::string_view xdxr_category_name(uint8_t category);

// The 21-byte request for the events of one security.
std::vector<uint8_t> xdxr_request(uint8_t market, std::string_view code);

// Body layout:
//   0  9  not read
//   9  2  u16 N, the number of records
//   11 .  N records of 29 bytes:
//           0  8  not read
//           8  4  u32 date, yyyymmdd
//           12 1  u8 category
//           13 16 values 1 to 4, four bytes each
// Float32 values are widened to double unscaled; share counts are volume forms, except that a
// stored 0 is 0.0. Returns the complete records, at most N; never fails.
std::vector<XdxrRecord> decode_xdxr(std::span<const uint8_t> body);

// "Not connected" without a socket, else one exchange and the decoded records.
std::vector<XdxrRecord> get_xdxr_info(Connection& conn, uint8_t market, std::string_view code);

}  // namespace quillan::net
