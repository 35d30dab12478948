#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/connection.h"

namespace quillan::net {

// One section of a security's company information: where its text lies on the server.
struct CompanyInfoEntry {
    std::string name;      // the section title, UTF-8
    std::string filename;  // UTF-8, malformed sequences replaced by U+FFFD
    uint32_t start;        // byte offset of the section in the file
    uint32_t length;       // byte length of the section
};

// The width of the file name field of a content request (and of an index entry): a longer name
// would be cut.
inline constexpr size_t kCompanyFileNameWidth = 80;

// The 24-byte request for the section index of one security.
std::vector<uint8_t> company_info_category_request(uint8_t market, std::string_view code);

// Body layout:
//   0  2  u16 N, the number of entries
//   2  .  N entries of 152 bytes:
//           0   64 title, GBK, up to the first zero byte
//           64  80 file name, UTF-8, up to the first zero byte
//           144 4  u32 start
//           148 4  u32 length
// Returns the whole entries, at most N; never fails.
std::vector<CompanyInfoEntry> decode_company_info_category(std::span<const uint8_t> body);

// "Not connected" without a socket, else one exchange and the decoded index.
std::vector<CompanyInfoEntry> get_company_info_category(Connection& conn, uint8_t market,
                                                        std::string_view code);

// The 114-byte request for `length` bytes of `filename` from `start`.
std::vector<uint8_t> company_info_content_request(uint8_t market, std::string_view code,
                                                  std::string_view filename, uint32_t start,
                                                  uint32_t length);

// Body layout:
//   0  10 not read
//   10 2  u16 T, the text length
//   12 T  the text, GBK
// Returns the text in UTF-8: the T bytes, or as many of them as the body holds, decoded whole
// (zero bytes included). Empty when the body is shorter than 12 bytes; never fails.
std::string decode_company_info_content(std::span<const uint8_t> body);

// The command behind get_company_info_content, on converted values: "Not connected" without a
// socket, else one exchange and the decoded text.
std::string get_company_info_content(Connection& conn, uint8_t market, std::string_view code,
                                     std::string_view filename, uint32_t start, uint32_t length);

}  // namespace quillan::net
