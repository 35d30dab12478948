#include "commands/finance.h"

#include "net/framing.h"
#include "protocol/cursor.h"

namespace quillan::net {
namespace {

constexpr size_t kBodySize = 141;
constexpr double kUnit = 10000.0;

}  // namespace

std::vector<uint8_t> finance_request(uint8_t market, std::string_view code) {
    //  12  2  u16 1
    //  14  1  market
    //  15  6  code field
    return RequestFrame({0x0C, 0x1F, 0x18, 0x76, 0x00, 0x01}, 0x0010, 9)
        .u16(1)
        .u8(market)
        .bytes(protocol::pack_code(code))
        .finish();
}

std::optional<FinanceInfo> decode_finance(std::span<const uint8_t> body) {
    protocol::Cursor in(body);
    if (!in.has(kBodySize)) return std::nullopt;
    in.skip(9);
    FinanceInfo info;
    info.liutongguben = in.f32() * kUnit;
    info.province = in.u16();
    info.industry = in.u16();
    info.updated_date = in.u32();
    info.ipo_date = in.u32();
    for (size_t k = 0; k < kFinanceFigureNames.size(); ++k) {
        const double v = in.f32();
        info.figures[k] = finance_figure_scaled(kFinanceFigureNames[k]) ? v * kUnit : v;
    }
    return info;
}

std::optional<FinanceInfo> get_finance_info(Connection& conn, uint8_t market,
                                            std::string_view code) {
    conn.require_connected();
    return decode_finance(conn.exchange(finance_request(market, code)));
}

}  // namespace quillan::net
