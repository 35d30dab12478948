// TdxClient methods for reference data kept on the server: ex-rights records, finance
// summaries, company information and report files.

#include "commands/company_info.h"
#include "commands/finance.h"
#include "commands/report_file.h"
#include "commands/xdxr.h"
#include "py_build.h"
#include "py_client.h"
#include "py_methods.h"

namespace quillan::py {
namespace {

// The five keys of every record, then the keys of each shape's values.
// clang-format off
KeyTable kXdxrKeys{
    "year", "month", "day", "category", "name",
    "fenhong", "peigujia", "songzhuangu", "peigu",                      // 5: dividend
    "suogu",                                                            // 9: consolidation
    "xingquanjia", "fenshu",                                            // 10: warrant
    "panqianliutong", "qianzongguben", "panhouliutong", "houzongguben", // 12: share capital
};
// clang-format on
constexpr size_t kDividendKeys = 5;
constexpr size_t kSuoguKey = 9;
constexpr size_t kWarrantKeys = 10;
constexpr size_t kShareCapitalKeys = 12;

KeyTable kFinanceKeys{"market",   "code",         "liutongguben", "province",
                      "industry", "updated_date", "ipo_date"};
KeyTable kFinanceFigureKeys(net::kFinanceFigureNames);

KeyTable kCompanyInfoKeys{"name", "filename", "start", "length"};

PyRef new_dict() { return PyRef::steal(PyDict_New()); }

PyRef xdxr_dict(const net::XdxrRecord& r) {
    PyRef dict = new_dict();
    auto set = [&](size_t key, PyRef value) { dict_set(dict.get(), kXdxrKeys[key], value); };
    set(0, uint_obj(r.year));
    set(1, uint_obj(r.month));
    set(2, uint_obj(r.day));
    set(3, uint_obj(r.category));
    set(4, str_obj(net::xdxr_category_name(r.category)));
    switch (net::xdxr_shape(r.category)) {
        case net::XdxrShape::Dividend:
            for (size_t k = 0; k < 4; ++k) set(kDividendKeys + k, float_obj(r.values[k]));
            break;
        case net::XdxrShape::Consolidation:
            set(kSuoguKey, float_obj(r.values[2]));
            break;
        case net::XdxrShape::Warrant:
            set(kWarrantKeys, float_obj(r.values[0]));
            set(kWarrantKeys + 1, float_obj(r.values[2]));
            break;
        case net::XdxrShape::ShareCapital:
            for (size_t k = 0; k < 4; ++k) set(kShareCapitalKeys + k, float_obj(r.values[k]));
            break;
    }
    return dict;
}

// The summary under the caller's own market and code; an empty dict for a short body.
PyRef finance_dict(uint8_t market, const std::string& code,
                   const std::optional<net::FinanceInfo>& info) {
    PyRef dict = new_dict();
    if (!info) return dict;
    auto set = [&](size_t key, PyRef value) { dict_set(dict.get(), kFinanceKeys[key], value); };
    set(0, uint_obj(market));
    set(1, str_obj(code));
    set(2, float_obj(info->liutongguben));
    set(3, uint_obj(info->province));
    set(4, uint_obj(info->industry));
    set(5, uint_obj(info->updated_date));
    set(6, uint_obj(info->ipo_date));
    for (size_t k = 0; k < info->figures.size(); ++k) {
        dict_set(dict.get(), kFinanceFigureKeys[k], float_obj(info->figures[k]));
    }
    return dict;
}

PyRef company_info_dict(const net::CompanyInfoEntry& e) {
    PyRef dict = new_dict();
    dict_set(dict.get(), kCompanyInfoKeys[0], str_obj(e.name));
    dict_set(dict.get(), kCompanyInfoKeys[1], str_obj(e.filename));
    dict_set(dict.get(), kCompanyInfoKeys[2], uint_obj(e.start));
    dict_set(dict.get(), kCompanyInfoKeys[3], uint_obj(e.length));
    return dict;
}

}  // namespace

QUILLAN_FASTCALL(client_get_xdxr_info) {
    static Signature<U8, Text> sig{"TdxClient.get_xdxr_info", {"market", "code"}};
    return client_call(sig, self, args, nargsf, kwnames,
                       [](net::Connection& conn, uint8_t market, std::string code) {
                           return list_of(net::get_xdxr_info(conn, market, code), xdxr_dict);
                       });
}

QUILLAN_FASTCALL(client_get_finance_info) {
    static Signature<U8, Text> sig{"TdxClient.get_finance_info", {"market", "code"}};
    return client_call(sig, self, args, nargsf, kwnames,
                       [](net::Connection& conn, uint8_t market, std::string code) {
                           return finance_dict(market, code,
                                               net::get_finance_info(conn, market, code));
                       });
}

QUILLAN_FASTCALL(client_get_company_info_category) {
    static Signature<U8, Text> sig{"TdxClient.get_company_info_category", {"market", "code"}};
    return client_call(sig, self, args, nargsf, kwnames,
                       [](net::Connection& conn, uint8_t market, std::string code) {
                           return list_of(net::get_company_info_category(conn, market, code),
                                          company_info_dict);
                       });
}

QUILLAN_FASTCALL(client_get_company_info_content) {
    static Signature<U8, Text, Text, U32, U32> sig{
        "TdxClient.get_company_info_content", {"market", "code", "filename", "start", "length"}};
    return client_call(sig, self, args, nargsf, kwnames,
                       [](net::Connection& conn, uint8_t market, std::string code,
                          std::string filename, uint32_t start, uint32_t length) {
                           return str_obj(net::get_company_info_content(conn, market, code,
                                                                        filename, start, length));
                       });
}

QUILLAN_FASTCALL(client_get_report_file) {
    static Signature<Text, U32> sig{"TdxClient.get_report_file", {"filename", "offset"}};
    return client_call(sig, self, args, nargsf, kwnames,
                       [](net::Connection& conn, std::string filename, uint32_t offset) {
                           net::ReportPiece piece = net::get_report_file(conn, filename, offset);
                           PyRef size = uint_obj(piece.chunk_size);
                           PyRef data = bytes_obj(piece.data);
                           return PyRef::steal(PyTuple_Pack(2, size.get(), data.get()));
                       });
}

}  // namespace quillan::py
