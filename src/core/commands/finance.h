#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "net/connection.h"

namespace quillan::net {

// The 29 figures of a finance summary, in body order; the result keys carry these names.
inline constexpr std::array<const char*, 29> kFinanceFigureNames = {
    "zongguben",
    "guojiagu",
    "faqirenfarengu",
    "farengu",
    "bgu",
    "hgu",
    "zhigonggu",
    "zongzichan",
    "liudongzichan",
    "gudingzichan",
    "wuxingzichan",
    "gudongrenshu",
    "liudongfuzhai",
    "changqifuzhai",
    "zibengongjijin",
    "jingzichan",
    "zhuyingshouru",
    "zhuyinglirun",
    "yingshouzhangkuan",
    "yingyelirun",
    "touzishouyu",
    "jingyingxianjinliu",
    "zongxianjinliu",
    "cunhuo",
    "lirunzonghe",
    "shuihoulirun",
    "jinglirun",
    "weifenpeilirun",
    "meigujingzichan",
};

// Whether the figure of this name is stored in units of 10000. Two are not: the number of
// shareholders and the net assets per share.
constexpr bool finance_figure_scaled(std::string_view name) {
    return name != "gudongrenshu" && name != "meigujingzichan";
}

// A security's finance summary. Money and share figures are scaled to units of one.
struct FinanceInfo {
    double liutongguben;
    uint16_t province, industry;
    uint32_t updated_date, ipo_date;  // yyyymmdd, as stored
    std::array<double, kFinanceFigureNames.size()> figures;
};

// The 21-byte request for the finance summary of one security.
std::vector<uint8_t> finance_request(uint8_t market, std::string_view code);

// Body layout (141 bytes; the rest is ignored):
//   0   9  not read
//   9   4  float32 liutongguben, in 10000 shares
//   13  2  u16 province
//   15  2  u16 industry
//   17  4  u32 updated_date
//   21  4  u32 ipo_date
//   25 116 29 float32 figures in kFinanceFigureNames order
// Float32 values are widened to double, then the scaled ones multiplied by 10000.0. Returns
// nothing when the body is shorter than 141 bytes; never fails.
std::optional<FinanceInfo> decode_finance(std::span<const uint8_t> body);

// "Not connected" without a socket, else one exchange and the decoded summary.
std::optional<FinanceInfo> get_finance_info(Connection& conn, uint8_t market,
                                            std::string_view code);

}  // namespace quillan::net
