// read_bar_columns and read_bar_files: terminal bar files as column buffers, read without the
// interpreter lock.

#include <limits>

#include "column_buffer.h"
#include "gil.h"
#include "members.h"
#include "py_args.h"
#include "py_build.h"
#include "py_error.h"
#include "reader/bar_columns.h"

namespace quillan::py {
namespace {

using columns::Column;
using columns::ColumnKind;

// A path as the bytes the system gets: the caller encodes it (os.fsencode), so a name that is
// not UTF-8 still reaches the file it names.
struct PathBytes {
    using type = std::string;
    static constexpr bool kRequired = true;
    static std::string convert(PyObject* obj) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (!PyBytes_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "expected bytes, not %.200s", Py_TYPE(obj)->tp_name);
            throw_py_error();
        }
        if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) throw_py_error();
        return std::string(data, static_cast<size_t>(size));
    }
};

// One keyword-free bool.
struct Flag {
    using type = bool;
    static constexpr bool kRequired = true;
    static bool convert(PyObject* obj) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) throw_py_error();
        return truth != 0;
    }
};

// The columns of every Table of bars.
DictShape kBarNames{"datetime", "open", "high", "low", "close", "amount", "volume"};

// ({"datetime": buffer, "open": buffer, ...}, number of impossible times)
PyRef bar_columns(reader::BarColumns bars) {
    DictFill columns(kBarNames);
    columns.add(make_column_buffer(Column(std::move(bars.time), ColumnKind::Seconds)));
    for (columns::Values<double>* values :
         {&bars.open, &bars.high, &bars.low, &bars.close, &bars.amount, &bars.volume}) {
        columns.add(make_column_buffer(Column(std::move(*values))));
    }
    return columns.done();
}

PyRef bar_table(reader::BarColumns bars) {
    PyRef impossible = uint_obj(bars.impossible);
    PyRef dict = bar_columns(std::move(bars));
    return PyRef::steal(PyTuple_Pack(2, dict.get(), impossible.get()));
}

void check_scale(double scale) {
    if (!(scale > 0 && scale <= std::numeric_limits<double>::max())) {
        PyRef value = float_obj(scale);
        PyErr_Format(PyExc_ValueError, "scale must be a positive finite number, not %R",
                     value.get());
        throw_py_error();
    }
}

// The exception a core error raises, as an object rather than a pending error.
PyRef exception_of(const Error& error) {
    set_python_error(error);
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

PyObject* read_bar_columns(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static Signature<PathBytes, Flag, RealOr<100.0>> sig{"read_bar_columns",
                                                         {"path", "minute", "scale"}};
    return guarded([&]() -> PyRef {
        auto [path, minute, scale] = sig.convert(sig.bind(args, nargsf, kwnames));
        check_scale(scale);
        reader::BarColumns bars = without_gil([&] {
            return minute ? reader::read_minute_columns(path)
                          : reader::read_daily_columns(path, scale);
        });
        return bar_table(std::move(bars));
    });
}

PyObject* read_bar_files(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static Signature<PairList<PathBytes, RealOr<100.0>>, Flag> sig{"read_bar_files",
                                                                   {"files", "minute"}};
    return guarded([&]() -> PyRef {
        auto [files, minute] = sig.convert(sig.bind(args, nargsf, kwnames));
        for (const auto& file : files) check_scale(file.second);
        reader::BarFiles read = without_gil([&] { return reader::read_bar_files(files, minute); });
        PyRef counts = list_of(read.counts, uint_obj);
        PyRef impossible = list_of(read.impossible, uint_obj);
        PyRef errors = list_of(read.errors, [](const std::optional<Error>& error) {
            return error ? exception_of(*error) : PyRef::borrow(Py_None);
        });
        PyRef columns = bar_columns(std::move(read.bars));
        return PyRef::steal(
            PyTuple_Pack(4, columns.get(), counts.get(), impossible.get(), errors.get()));
    });
}

PyMethodDef kFunctions[] = {
    {"read_bar_columns", fastcall(read_bar_columns), METH_FASTCALL | METH_KEYWORDS,
     "read_bar_columns(path, minute, scale=100.0)\n--\n\n"
     "The records of a bar file as ({name: ColumnBuffer}, impossible): `path` is bytes,\n"
     "`minute` selects the .lc1/.lc5 layout over the .day one, daily prices are the stored\n"
     "integer divided by `scale`; `impossible` counts the records whose time is NaT.\n"
     "Use quillan.read_bars."},
    {"read_bar_files", fastcall(read_bar_files), METH_FASTCALL | METH_KEYWORDS,
     "read_bar_files(files, minute)\n--\n\n"
     "The records of several bar files of one kind, one file after another, as\n"
     "({name: ColumnBuffer}, counts, impossible, errors): `files` holds (path bytes, scale)\n"
     "pairs; per file, its record count, how many of them have a NaT time, and the exception\n"
     "that kept it out (None when it was read). Used by quillan.Store's import.\n"},
};

}  // namespace

void register_files(PyObject* module) {
    for (PyMethodDef& def : kFunctions) add_function(module, &def);
}

}  // namespace quillan::py
