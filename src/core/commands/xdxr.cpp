#include "commands/xdxr.h"

#include <algorithm>

#include "net/framing.h"
#include "protocol/cursor.h"

namespace quillan::net {
namespace {

constexpr size_t kHeadSize = 11;
constexpr size_t kRecordSize = 29;

// The date is read in the date layout, which bar category 9 selects.
constexpr uint16_t kDateLayout = 9;

// A share count in the volume form; a stored 0 means none, not the form's smallest value.
double share_count(uint32_t v) { return v == 0 ? 0.0 : protocol::decode_volume(v); }

}  // namespace

XdxrShape xdxr_shape(uint8_t category) {
    switch (category) {
        case 1:
            return XdxrShape::Dividend;
        case 11:
        case 12:
            return XdxrShape::Consolidation;
        case 13:
        case 14:
            return XdxrShape::Warrant;
        default:
            return XdxrShape::ShareCapital;
    }
}

std::string_view xdxr_category_name(uint8_t category) {
    static constexpr std::string_view kNames[] = {
        "未知",          // 0
        "除权除息",      // 1: ex-rights, ex-dividend
        "送配股上市",    // 2: bonus and rights shares listed
        "非流通股上市",  // 3: non-tradable shares listed
        "未知股本变动",  // 4: unexplained change of share capital
        "股本变化",      // 5: change of share capital
        "增发新股",      // 6: additional issue
        "股份回购",      // 7: share buy-back
        "增发新股上市",  // 8: additional issue listed
        "转配股上市",    // 9: transferred rights shares listed
        "可转债上市",    // 10: convertible bonds listed
        "扩缩股",        // 11: share split or consolidation
        "非流通股缩股",  // 12: consolidation of non-tradable shares
        "送认购权证",    // 13: call warrants distributed
        "送认沽权证",    // 14: put warrants distributed
    };
    return category < std::size(kNames) ? kNames[category] : kNames[0];
}

std::vector<uint8_t> xdxr_request(uint8_t market, std::string_view code) {
    //  12  2  u16 1
    //  14  1  market
    //  15  6  code field
    return RequestFrame({0x0C, 0x1F, 0x18, 0x76, 0x00, 0x01}, 0x000F, 9)
        .u16(1)
        .u8(market)
        .bytes(protocol::pack_code(code))
        .finish();
}

std::vector<XdxrRecord> decode_xdxr(std::span<const uint8_t> body) {
    std::vector<XdxrRecord> records;
    protocol::Cursor in(body);
    if (!in.has(kHeadSize)) return records;
    in.skip(9);
    const size_t announced = in.u16();
    // N is only an upper bound: reserve no more than the body can hold.
    records.reserve(std::min(announced, in.remaining() / kRecordSize));
    // A record counts only when all 29 bytes are there; every read below lies inside them.
    for (size_t i = 0; i < announced && in.has(kRecordSize); ++i) {
        protocol::Cursor rec(in.bytes(kRecordSize));
        rec.skip(8);
        const protocol::DateTime date = *rec.datetime(kDateLayout);
        XdxrRecord& r = records.emplace_back();
        r.year = date.year;
        r.month = date.month;
        r.day = date.day;
        r.category = rec.u8();
        r.values = {};
        switch (xdxr_shape(r.category)) {
            case XdxrShape::Dividend:
                for (double& v : r.values) v = rec.f32();
                break;
            case XdxrShape::Consolidation:
                rec.skip(8);
                r.values[2] = rec.f32();
                break;
            case XdxrShape::Warrant:
                r.values[0] = rec.f32();
                rec.skip(4);
                r.values[2] = rec.f32();
                break;
            case XdxrShape::ShareCapital:
                for (double& v : r.values) v = share_count(rec.u32());
                break;
        }
    }
    return records;
}

std::vector<XdxrRecord> get_xdxr_info(Connection& conn, uint8_t market, std::string_view code) {
    conn.require_connected();
    return decode_xdxr(conn.exchange(xdxr_request(market, code)));
}

}  // namespace quillan::net
