// read_daily_bars and read_minute_bars: the terminal's bar files as lists of dicts.

#include "py_build.h"
#include "py_client.h"
#include "py_methods.h"
#include "reader/bars.h"

namespace quillan::py {
namespace {

KeyTable kDailyKeys{"date", "open", "high", "low", "close", "amount", "volume"};
KeyTable kMinuteKeys{"datetime", "open", "high", "low", "close", "amount", "volume"};

// A dict of every key of `keys`, in order, each mapped to None. A result dict is a copy of it
// with its values replaced: an empty dict's first table holds five keys, so inserting seven
// one by one would allocate and fill a second table for every record (about a tenth of the
// time of a whole call). Made on first use and kept for the life of the process, like the keys.
PyObject* dict_shape(const KeyTable& keys) {
    PyRef shape = PyRef::steal(PyDict_New());
    for (size_t i = 0; i < keys.size(); ++i) {
        if (PyDict_SetItem(shape.get(), keys[i], Py_None) < 0) throw_py_error();
    }
    return shape.release();
}

// {text key: text, price keys...: values}, in the order of `keys`.
PyRef bar_dict(const KeyTable& keys, PyObject* shape, std::string_view text,
               const double (&values)[6]) {
    PyRef dict = PyRef::steal(PyDict_Copy(shape));
    dict_set(dict.get(), keys[0], ascii_obj(text));
    for (size_t i = 0; i < 6; ++i) dict_set(dict.get(), keys[i + 1], float_obj(values[i]));
    return dict;
}

PyRef daily_dicts(const std::vector<reader::DailyBar>& bars) {
    static PyObject* const shape = dict_shape(kDailyKeys);
    return list_of(bars, [](const reader::DailyBar& bar) {
        char date[reader::kDailyDateMax];
        size_t length = reader::format_daily_date(bar.date, date);
        return bar_dict(kDailyKeys, shape, {date, length},
                        {bar.open, bar.high, bar.low, bar.close, bar.amount, bar.volume});
    });
}

PyRef minute_dicts(const std::vector<reader::MinuteBar>& bars) {
    static PyObject* const shape = dict_shape(kMinuteKeys);
    return list_of(bars, [](const reader::MinuteBar& bar) {
        char datetime[reader::kMinuteDateTimeMax];
        size_t length = reader::format_minute_datetime(bar.date, bar.time, datetime);
        return bar_dict(kMinuteKeys, shape, {datetime, length},
                        {bar.open, bar.high, bar.low, bar.close, bar.amount, bar.volume});
    });
}

}  // namespace

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

}  // namespace quillan::py
