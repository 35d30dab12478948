#include "columns/market_columns.h"

#include <array>
#include <limits>

namespace quillan::columns {
namespace {

// Days from 1970-01-01 to year-month-day in the proleptic Gregorian calendar, for a valid date
// (the era arithmetic of the civil calendar, 400-year cycles of 146097 days).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

uint32_t days_in_month(uint32_t year, uint32_t month) {
    static constexpr std::array<uint32_t, 12> kDays = {31, 28, 31, 30, 31, 30,
                                                       31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// One column filled with `get(record)` for every record.
template <class T, class Record, class Get>
std::vector<T> gather(std::span<const Record> records, Get get) {
    std::vector<T> values;
    values.reserve(records.size());
    for (const Record& r : records) values.push_back(get(r));
    return values;
}

template <class Record, class Get>
MarketColumn floats(const char* name, std::span<const Record> records, Get get) {
    return {name, Column(gather<double>(records, get))};
}

template <class Record, class Get>
MarketColumn integers(const char* name, std::span<const Record> records, Get get,
                      ColumnKind kind = ColumnKind::Int64) {
    return {name, Column(gather<int64_t>(records, get), kind)};
}

// Prices are stored as integers in hundredths or thousandths: the value is the nearest double
// to the decimal, which a division gives and a multiplication by 0.01 does not.
double hundredths(int64_t v) { return static_cast<double>(v) / 100.0; }
double thousandths(int64_t v) { return static_cast<double>(v) / 1000.0; }

}  // namespace

int64_t epoch_days(uint32_t year, uint32_t month, uint32_t day) {
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return kNotATime;
    return days_from_civil(year, month, day);
}

int64_t epoch_seconds(const protocol::DateTime& dt) {
    const int64_t days = epoch_days(dt.year, dt.month, dt.day);
    if (days == kNotATime || dt.hour > 23 || dt.minute > 59) return kNotATime;
    return days * 86400 + int64_t{dt.hour} * 3600 + int64_t{dt.minute} * 60;
}

ColumnList bar_columns(uint16_t category, std::span<const net::SecurityBar> bars) {
    using Bar = net::SecurityBar;
    // The date layout has no time of day: the record form's 15:00 is the decoder's filler.
    const bool dated = !protocol::minute_layout(category);
    ColumnList out;
    out.reserve(7);
    out.push_back(integers(
        "datetime", bars,
        [dated](const Bar& b) {
            const protocol::DateTime& dt = b.datetime;
            return epoch_seconds(dated ? protocol::DateTime{dt.year, dt.month, dt.day, 0, 0} : dt);
        },
        ColumnKind::Seconds));
    out.push_back(floats("open", bars, [](const Bar& b) { return thousandths(b.open); }));
    out.push_back(floats("high", bars, [](const Bar& b) { return thousandths(b.high); }));
    out.push_back(floats("low", bars, [](const Bar& b) { return thousandths(b.low); }));
    out.push_back(floats("close", bars, [](const Bar& b) { return thousandths(b.close); }));
    out.push_back(floats("amount", bars, [](const Bar& b) { return b.amount; }));
    out.push_back(floats("volume", bars, [](const Bar& b) { return b.vol; }));
    return out;
}

ColumnList quote_columns(std::span<const net::SecurityQuote> quotes) {
    using Q = net::SecurityQuote;
    // The names of the level columns, level by level.
    static constexpr std::array<std::array<const char*, 4>, 5> kLevelNames = {{
        {"bid1", "ask1", "bid_vol1", "ask_vol1"},
        {"bid2", "ask2", "bid_vol2", "ask_vol2"},
        {"bid3", "ask3", "bid_vol3", "ask_vol3"},
        {"bid4", "ask4", "bid_vol4", "ask_vol4"},
        {"bid5", "ask5", "bid_vol5", "ask_vol5"},
    }};
    auto price = [&](const char* name, auto get) {
        return floats(name, quotes, [&](const Q& q) { return hundredths(get(q)); });
    };
    auto integer = [&](const char* name, auto get) {
        return integers(name, quotes, [&](const Q& q) { return static_cast<int64_t>(get(q)); });
    };

    ColumnList out;
    out.reserve(13 + 20);
    out.push_back(integer("market", [](const Q& q) { return q.market; }));
    out.push_back({"code", gather<std::string>(quotes, [](const Q& q) { return q.code; })});
    out.push_back(price("price", [](const Q& q) { return q.price; }));
    out.push_back(price("last_close", [](const Q& q) { return q.last_close; }));
    out.push_back(price("open", [](const Q& q) { return q.open; }));
    out.push_back(price("high", [](const Q& q) { return q.high; }));
    out.push_back(price("low", [](const Q& q) { return q.low; }));
    out.push_back(integer("servertime", [](const Q& q) { return q.servertime; }));
    out.push_back(integer("vol", [](const Q& q) { return q.vol; }));
    out.push_back(integer("cur_vol", [](const Q& q) { return q.cur_vol; }));
    out.push_back(floats("amount", quotes, [](const Q& q) { return q.amount; }));
    out.push_back(integer("s_vol", [](const Q& q) { return q.s_vol; }));
    out.push_back(integer("b_vol", [](const Q& q) { return q.b_vol; }));
    for (size_t i = 0; i < kLevelNames.size(); ++i) {
        const auto& names = kLevelNames[i];
        out.push_back(price(names[0], [i](const Q& q) { return q.levels[i].bid; }));
        out.push_back(price(names[1], [i](const Q& q) { return q.levels[i].ask; }));
        out.push_back(integer(names[2], [i](const Q& q) { return q.levels[i].bid_vol; }));
        out.push_back(integer(names[3], [i](const Q& q) { return q.levels[i].ask_vol; }));
    }
    return out;
}

ColumnList trade_columns(std::span<const net::Transaction> trades) {
    using T = net::Transaction;
    ColumnList out;
    out.reserve(5);
    out.push_back(integers("time", trades, [](const T& t) {
        return int64_t{t.time.hour} * 3600 + int64_t{t.time.minute} * 60;
    }));
    out.push_back(floats("price", trades, [](const T& t) { return hundredths(t.price); }));
    out.push_back(integers("vol", trades, [](const T& t) { return t.vol; }));
    out.push_back(integers("num", trades, [](const T& t) { return t.num; }));
    out.push_back(integers("buyorsell", trades, [](const T& t) { return t.buyorsell; }));
    return out;
}

ColumnList xdxr_columns(std::span<const net::XdxrRecord> records) {
    using R = net::XdxrRecord;
    using Shape = net::XdxrShape;
    // Each value column: the shape whose records fill it, and from which of their values.
    struct ValueColumn {
        const char* name;
        Shape shape;
        size_t value;
    };
    static constexpr ValueColumn kValueColumns[] = {
        {"fenhong", Shape::Dividend, 0},
        {"peigujia", Shape::Dividend, 1},
        {"songzhuangu", Shape::Dividend, 2},
        {"peigu", Shape::Dividend, 3},
        {"suogu", Shape::Consolidation, 2},
        {"xingquanjia", Shape::Warrant, 0},
        {"fenshu", Shape::Warrant, 2},
        {"panqianliutong", Shape::ShareCapital, 0},
        {"qianzongguben", Shape::ShareCapital, 1},
        {"panhouliutong", Shape::ShareCapital, 2},
        {"houzongguben", Shape::ShareCapital, 3},
    };
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

    ColumnList out;
    out.reserve(3 + std::size(kValueColumns));
    out.push_back(integers(
        "date", records, [](const R& r) { return epoch_days(r.year, r.month, r.day); },
        ColumnKind::Days));
    out.push_back(integers("category", records, [](const R& r) { return int64_t{r.category}; }));
    out.push_back({"name", gather<std::string>(records, [](const R& r) {
                       return std::string(net::xdxr_category_name(r.category));
                   })});
    for (const ValueColumn& c : kValueColumns) {
        out.push_back(floats(c.name, records, [&c](const R& r) {
            return net::xdxr_shape(r.category) == c.shape ? r.values[c.value] : kNone;
        }));
    }
    return out;
}

ColumnList finance_columns(uint8_t market, std::string_view code,
                           const std::optional<net::FinanceInfo>& info) {
    using F = net::FinanceInfo;
    const std::span<const F> rows = info ? std::span<const F>(&*info, 1) : std::span<const F>();
    auto integer = [&](const char* name, auto get) {
        return integers(name, rows, [&](const F& f) { return static_cast<int64_t>(get(f)); });
    };

    ColumnList out;
    out.reserve(7 + net::kFinanceFigureNames.size());
    out.push_back(integer("market", [&](const F&) { return market; }));
    out.push_back({"code", gather<std::string>(rows, [&](const F&) { return std::string(code); })});
    out.push_back(floats("liutongguben", rows, [](const F& f) { return f.liutongguben; }));
    out.push_back(integer("province", [](const F& f) { return f.province; }));
    out.push_back(integer("industry", [](const F& f) { return f.industry; }));
    out.push_back(integer("updated_date", [](const F& f) { return f.updated_date; }));
    out.push_back(integer("ipo_date", [](const F& f) { return f.ipo_date; }));
    for (size_t i = 0; i < net::kFinanceFigureNames.size(); ++i) {
        out.push_back(
            floats(net::kFinanceFigureNames[i], rows, [i](const F& f) { return f.figures[i]; }));
    }
    return out;
}

ColumnList company_index_columns(std::span<const net::CompanyInfoEntry> entries) {
    using E = net::CompanyInfoEntry;
    ColumnList out;
    out.reserve(4);
    out.push_back({"name", gather<std::string>(entries, [](const E& e) { return e.name; })});
    out.push_back(
        {"filename", gather<std::string>(entries, [](const E& e) { return e.filename; })});
    out.push_back(integers("start", entries, [](const E& e) { return int64_t{e.start}; }));
    out.push_back(integers("length", entries, [](const E& e) { return int64_t{e.length}; }));
    return out;
}

}  // namespace quillan::columns
