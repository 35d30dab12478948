// TdxClient methods for reference data kept on the server: ex-rights records, finance
// summaries, company information and report files.

#include <algorithm>
#include <array>

#include "commands/company_info.h"
#include "commands/finance.h"
#include "commands/report_file.h"
#include "commands/xdxr.h"
#include "py_build.h"
#include "py_client.h"
#include "py_methods.h"

namespace quillan::py {
namespace {

// An ex-rights record holds five keys, then the keys of the values its category carries: one
// shape per kind of category.
#define QUILLAN_XDXR_KEYS "year", "month", "day", "category", "name"
DictShape kDividendShape{QUILLAN_XDXR_KEYS, "fenhong", "peigujia", "songzhuangu", "peigu"};
DictShape kConsolidationShape{QUILLAN_XDXR_KEYS, "suogu"};
DictShape kWarrantShape{QUILLAN_XDXR_KEYS, "xingquanjia", "fenshu"};
DictShape kShareCapitalShape{QUILLAN_XDXR_KEYS, "panqianliutong", "qianzongguben", "panhouliutong",
                             "houzongguben"};
#undef QUILLAN_XDXR_KEYS

// Seven keys, then the figures under their own names.
constexpr auto kFinanceNames = [] {
    std::array<const char*, 7 + net::kFinanceFigureNames.size()> names = {
        "market", "code", "liutongguben", "province", "industry", "updated_date", "ipo_date"};
    std::copy(net::kFinanceFigureNames.begin(), net::kFinanceFigureNames.end(), names.begin() + 7);
    return names;
}();
DictShape kFinanceShape(kFinanceNames);

DictShape kCompanyInfoShape{"name", "filename", "start", "length"};

PyRef xdxr_dict(const net::XdxrRecord& r) {
    const net::XdxrShape kind = net::xdxr_shape(r.category);
    const DictShape& shape = kind == net::XdxrShape::Dividend        ? kDividendShape
                             : kind == net::XdxrShape::Consolidation ? kConsolidationShape
                             : kind == net::XdxrShape::Warrant       ? kWarrantShape
                                                                     : kShareCapitalShape;
    DictFill dict(shape);
    dict.add(uint_obj(r.year))
        .add(uint_obj(r.month))
        .add(uint_obj(r.day))
        .add(uint_obj(r.category))
        .add(str_obj(net::xdxr_category_name(r.category)));
    switch (kind) {
        case net::XdxrShape::Dividend:
        case net::XdxrShape::ShareCapital:
            for (double v : r.values) dict.add(float_obj(v));
            break;
        case net::XdxrShape::Consolidation:
            dict.add(float_obj(r.values[2]));
            break;
        case net::XdxrShape::Warrant:
            dict.add(float_obj(r.values[0])).add(float_obj(r.values[2]));
            break;
    }
    return dict.done();
}

// The summary under the caller's own market and code; an empty dict for a short body.
PyRef finance_dict(uint8_t market, const std::string& code,
                   const std::optional<net::FinanceInfo>& info) {
    if (!info) return PyRef::steal(PyDict_New());
    DictFill dict(kFinanceShape);
    dict.add(uint_obj(market))
        .add(str_obj(code))
        .add(float_obj(info->liutongguben))
        .add(uint_obj(info->province))
        .add(uint_obj(info->industry))
        .add(uint_obj(info->updated_date))
        .add(uint_obj(info->ipo_date));
    for (double v : info->figures) dict.add(float_obj(v));
    return dict.done();
}

PyRef company_info_dict(const net::CompanyInfoEntry& e) {
    return DictFill(kCompanyInfoShape)
        .add(str_obj(e.name))
        .add(str_obj(e.filename))
        .add(uint_obj(e.start))
        .add(uint_obj(e.length))
        .done();
}

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

const PyMethodDef kMethods[] = {
    {"get_report_file", fastcall(client_get_report_file), kFastKw,
     "get_report_file($self, filename, offset)\n--\n\n"},
    {"get_xdxr_info", fastcall(client_get_xdxr_info), kFastKw,
     "get_xdxr_info($self, market, code)\n--\n\n"},
    {"get_finance_info", fastcall(client_get_finance_info), kFastKw,
     "get_finance_info($self, market, code)\n--\n\n"},
    {"get_company_info_category", fastcall(client_get_company_info_category), kFastKw,
     "get_company_info_category($self, market, code)\n--\n\n"},
    {"get_company_info_content", fastcall(client_get_company_info_content), kFastKw,
     "get_company_info_content($self, market, code, filename, start, length)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> reference_methods() { return kMethods; }

}  // namespace quillan::py
