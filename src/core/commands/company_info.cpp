#include "commands/company_info.h"

#include <algorithm>

#include "net/framing.h"
#include "protocol/codecs.h"
#include "protocol/cursor.h"
#include "protocol/gbk.h"

namespace quillan::net {
namespace {

constexpr size_t kEntrySize = 152;
constexpr size_t kTitleWidth = 64;
constexpr size_t kTextLengthAt = 10;

// The field up to its first zero byte, or all of it when it has none.
std::span<const uint8_t> until_nul(std::span<const uint8_t> field) {
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    return field.first(static_cast<size_t>(end - field.begin()));
}

}  // namespace

std::vector<uint8_t> company_info_category_request(uint8_t market, std::string_view code) {
    //  12  2  u16 market
    //  14  6  code field
    //  20  4  u32 0
    return RequestFrame({0x0C, 0x0F, 0x10, 0x9B, 0x00, 0x01}, 0x02CF, 12)
        .u16(market)
        .bytes(protocol::pack_code(code))
        .u32(0)
        .finish();
}

std::vector<CompanyInfoEntry> decode_company_info_category(std::span<const uint8_t> body) {
    std::vector<CompanyInfoEntry> entries;
    protocol::Cursor in(body);
    if (!in.has(2)) return entries;
    const size_t announced = in.u16();
    const size_t count = std::min(announced, in.remaining() / kEntrySize);
    entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const auto title = in.bytes(kTitleWidth);
        const auto filename = in.bytes(kCompanyFileNameWidth);
        const uint32_t start = in.u32();
        const uint32_t length = in.u32();
        entries.push_back({
            protocol::decode_gbk(until_nul(title)),
            protocol::decode_utf8(until_nul(filename)),
            start,
            length,
        });
    }
    return entries;
}

std::vector<CompanyInfoEntry> get_company_info_category(Connection& conn, uint8_t market,
                                                        std::string_view code) {
    conn.require_connected();
    return decode_company_info_category(conn.exchange(company_info_category_request(market, code)));
}

std::vector<uint8_t> company_info_content_request(uint8_t market, std::string_view code,
                                                  std::string_view filename, uint32_t start,
                                                  uint32_t length) {
    //  12  2  u16 market
    //  14  6  code field
    //  20  2  u16 0
    //  22 80  file name, UTF-8, cut and zero-padded
    //  102 4  u32 start
    //  106 4  u32 length
    //  110 4  u32 0
    return RequestFrame({0x0C, 0x07, 0x10, 0x9C, 0x00, 0x01}, 0x02D0, 102)
        .u16(market)
        .bytes(protocol::pack_code(code))
        .u16(0)
        .text(filename, kCompanyFileNameWidth)
        .u32(start)
        .u32(length)
        .u32(0)
        .finish();
}

std::string decode_company_info_content(std::span<const uint8_t> body) {
    protocol::Cursor in(body);
    if (!in.has(kTextLengthAt + 2)) return {};
    in.skip(kTextLengthAt);
    const size_t announced = in.u16();
    return protocol::decode_gbk(in.bytes(std::min(announced, in.remaining())));
}

std::string get_company_info_content(Connection& conn, uint8_t market, std::string_view code,
                                     std::string_view filename, uint32_t start, uint32_t length) {
    conn.require_connected();
    return decode_company_info_content(
        conn.exchange(company_info_content_request(market, code, filename, start, length)));
}

}  // namespace quillan::net
