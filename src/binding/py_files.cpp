// read_daily_bars and read_minute_bars: the terminal's bar files as lists of dicts.

#include "py_build.h"
#include "py_client.h"
#include "py_methods.h"
#include "reader/bars.h"

namespace quillan::py {
namespace {

DictShape kDailyShape{"date", "open", "high", "low", "close", "amount", "volume"};
DictShape kMinuteShape{"datetime", "open", "high", "low", "close", "amount", "volume"};

PyRef daily_dicts(const std::vector<reader::DailyBar>& bars) {
    return list_of(bars, [](const reader::DailyBar& bar) {
        char date[reader::kDailyDateMax];
        const size_t length = reader::format_daily_date(bar.date, date);
        return DictFill(kDailyShape)
            .add(ascii_obj({date, length}))
            .add(float_obj(bar.open))
            .add(float_obj(bar.high))
            .add(float_obj(bar.low))
            .add(float_obj(bar.close))
            .add(float_obj(bar.amount))
            .add(float_obj(bar.volume))
            .done();
    });
}

PyRef minute_dicts(const std::vector<reader::MinuteBar>& bars) {
    return list_of(bars, [](const reader::MinuteBar& bar) {
        char datetime[reader::kMinuteDateTimeMax];
        const size_t length = reader::format_minute_datetime(bar.date, bar.time, datetime);
        return DictFill(kMinuteShape)
            .add(ascii_obj({datetime, length}))
            .add(float_obj(bar.open))
            .add(float_obj(bar.high))
            .add(float_obj(bar.low))
            .add(float_obj(bar.close))
            .add(float_obj(bar.amount))
            .add(float_obj(bar.volume))
            .done();
    });
}

// The file is read and closed before the first dict is made.
QUILLAN_FASTCALL(module_read_daily_bars) {
    (void)self;
    static Signature<Text, RealOr<0.01>, RealOr<0.01>> sig{
        "read_daily_bars", {"filepath", "price_coeff", "vol_coeff"}};
    return function_call(
        sig, args, nargsf, kwnames, [](std::string filepath, double price_coeff, double vol_coeff) {
            return daily_dicts(reader::read_daily_file(filepath, price_coeff, vol_coeff));
        });
}

QUILLAN_FASTCALL(module_read_minute_bars) {
    (void)self;
    static Signature<Text> sig{"read_minute_bars", {"filepath"}};
    return function_call(sig, args, nargsf, kwnames, [](std::string filepath) {
        return minute_dicts(reader::read_minute_file(filepath));
    });
}

PyMethodDef kFunctions[] = {
    {"read_daily_bars", fastcall(module_read_daily_bars), kFastKw,
     "read_daily_bars(filepath, price_coeff=0.01, vol_coeff=0.01)\n--\n\n"
     "Read daily bars from a .day file. Returns a list of dicts.\n\n"
     "Each dict has keys: date, open, high, low, close, amount, volume.\n"
     "Price values are divided by the given `price_coeff` (default 0.01 "
     "\xE2\x86\x92 \xE5\x88\x86\xE2\x86\x92\xE5\x85\x83).\n"
     "Amount values are divided by `vol_coeff` (default 0.01)."},
    {"read_minute_bars", fastcall(module_read_minute_bars), kFastKw,
     "read_minute_bars(filepath)\n--\n\n"
     "Read minute bars from a .lc1 or .lc5 file. Returns a list of dicts.\n\n"
     "Each dict has keys: datetime, open, high, low, close, amount, volume."},
};

}  // namespace

std::span<PyMethodDef> file_functions() { return kFunctions; }

}  // namespace quillan::py
