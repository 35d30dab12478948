// TdxClient methods for market data: bars, quotes and tick-by-tick trades.

#include "commands/security_bars.h"
#include "commands/security_quotes.h"
#include "commands/transaction_data.h"
#include "py_build.h"
#include "py_client.h"
#include "py_methods.h"

namespace quillan::py {
namespace {

DictShape kBarShape{"datetime", "open", "high", "low", "close", "vol", "amount"};

// The 13 keys of a quote, then bid, ask, bid_vol and ask_vol for each of the five levels.
// clang-format off
DictShape kQuoteShape{
    "market", "code", "price", "last_close", "open", "high", "low",
    "servertime", "vol", "cur_vol", "amount", "s_vol", "b_vol",
    "bid1", "ask1", "bid_vol1", "ask_vol1",
    "bid2", "ask2", "bid_vol2", "ask_vol2",
    "bid3", "ask3", "bid_vol3", "ask_vol3",
    "bid4", "ask4", "bid_vol4", "ask_vol4",
    "bid5", "ask5", "bid_vol5", "ask_vol5",
};
// clang-format on

DictShape kTradeShape{"time", "price", "vol", "num", "buyorsell"};

PyRef hundredths(int64_t v) { return float_obj(static_cast<double>(v) / 100.0); }
PyRef thousandths(int64_t v) { return float_obj(static_cast<double>(v) / 1000.0); }

PyRef bar_dict(const net::SecurityBar& bar) {
    char text[protocol::kDateTimeTextMax];
    const size_t n = protocol::format_datetime(bar.datetime, text);
    return DictFill(kBarShape)
        .add(ascii_obj({text, n}))
        .add(thousandths(bar.open))
        .add(thousandths(bar.high))
        .add(thousandths(bar.low))
        .add(thousandths(bar.close))
        .add(float_obj(bar.vol))
        .add(float_obj(bar.amount))
        .done();
}

PyRef code_obj(const std::string& code) {
    // Codes are nearly always ASCII digits; the decoder has checked that the rest is UTF-8.
    for (char c : code) {
        if (static_cast<unsigned char>(c) >= 0x80) return str_obj(code);
    }
    return ascii_obj(code);
}

PyRef quote_dict(const net::SecurityQuote& q) {
    DictFill r(kQuoteShape);
    r.add(int_obj(q.market))
        .add(code_obj(q.code))
        .add(hundredths(q.price))
        .add(hundredths(q.last_close))
        .add(hundredths(q.open))
        .add(hundredths(q.high))
        .add(hundredths(q.low))
        .add(int_obj(q.servertime))
        .add(int_obj(q.vol))
        .add(int_obj(q.cur_vol))
        .add(float_obj(q.amount))
        .add(int_obj(q.s_vol))
        .add(int_obj(q.b_vol));
    for (const net::QuoteLevel& level : q.levels) {
        r.add(hundredths(level.bid))
            .add(hundredths(level.ask))
            .add(int_obj(level.bid_vol))
            .add(int_obj(level.ask_vol));
    }
    return r.done();
}

PyRef trade_dict(const net::Transaction& t) {
    char text[protocol::kDateTimeTextMax];
    const size_t n = protocol::format_time(t.time, text);
    return DictFill(kTradeShape)
        .add(ascii_obj({text, n}))
        .add(hundredths(t.price))
        .add(int_obj(t.vol))
        .add(int_obj(t.num))
        .add(int_obj(t.buyorsell))
        .done();
}

QUILLAN_FASTCALL(client_get_security_bars) {
    static Signature<U16, U8, Text, U16, U16> sig{"TdxClient.get_security_bars",
                                                  {"category", "market", "code", "start", "count"}};
    return client_call(sig, self, args, nargsf, kwnames,
                       [](net::Connection& conn, uint16_t category, uint8_t market,
                          std::string code, uint16_t start, uint16_t count) {
                           return list_of(
                               net::get_security_bars(conn, category, market, code, start, count),
                               bar_dict);
                       });
}

QUILLAN_FASTCALL(client_get_security_quotes) {
    static Signature<PairList<U8, Text>> sig{"TdxClient.get_security_quotes", {"stock_list"}};
    return client_call(sig, self, args, nargsf, kwnames,
                       [](net::Connection& conn, PairList<U8, Text>::type stocks) {
                           return list_of(net::get_security_quotes(conn, stocks), quote_dict);
                       });
}

QUILLAN_FASTCALL(client_get_transaction_data) {
    static Signature<U8, Text, U16, U16> sig{"TdxClient.get_transaction_data",
                                             {"market", "code", "start", "count"}};
    return client_call(
        sig, self, args, nargsf, kwnames,
        [](net::Connection& conn, uint8_t market, std::string code, uint16_t start,
           uint16_t count) {
            return list_of(net::get_transaction_data(conn, market, code, start, count), trade_dict);
        });
}

const PyMethodDef kMethods[] = {
    {"get_security_bars", fastcall(client_get_security_bars), kFastKw,
     "get_security_bars($self, category, market, code, start, count)\n--\n\n"
     "category: 0..11, market: 0/1, code: \"600036\", start: offset, count: num"},
    {"get_security_quotes", fastcall(client_get_security_quotes), kFastKw,
     "get_security_quotes($self, stock_list)\n--\n\n"},
    {"get_transaction_data", fastcall(client_get_transaction_data), kFastKw,
     "get_transaction_data($self, market, code, start, count)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> market_methods() { return kMethods; }

}  // namespace quillan::py
