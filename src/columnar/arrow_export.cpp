// export_arrow_stream / export_arrow_schema: a Table's NumPy columns lent to Arrow consumers
// through the Arrow C stream interface, wrapped in the PyCapsules that __arrow_c_stream__ and
// __arrow_c_schema__ return.

#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "base/error.h"
#include "columns/arrow.h"
#include "columns/column.h"
#include "members.h"
#include "py_args.h"
#include "py_error.h"

namespace quillan::py {
namespace {

using columns::ExportColumn;

// Holds a NumPy array's buffer (and so the array) until the consumer releases the column,
// which it may do on any thread: the interpreter lock is taken for the release.
struct PyBufferKeeper : columns::Keeper {
    Py_buffer view{};
    ~PyBufferKeeper() override {
        // Once the interpreter is gone, or going, there is nothing left to give back to.
        if (!Py_IsInitialized()) return;
#if PY_VERSION_HEX >= 0x030D0000
        if (Py_IsFinalizing()) return;
#endif
        PyGILState_STATE gil = PyGILState_Ensure();
        PyBuffer_Release(&view);
        PyGILState_Release(gil);
    }
};

// A valid address for the values of an empty column.
const int64_t kNoValues = 0;

// The C-contiguous buffer of `array`, kept by `column`; returns its first byte.
const void* keep_buffer(ExportColumn& column, PyObject* array, Py_ssize_t item_size) {
    auto keeper = std::make_unique<PyBufferKeeper>();
    if (PyObject_GetBuffer(array, &keeper->view, PyBUF_C_CONTIGUOUS) < 0) throw_py_error();
    const Py_buffer& view = keeper->view;
    const void* data = view.len > 0 ? view.buf : &kNoValues;
    column.length = view.len / item_size;
    column.keepers.push_back(std::move(keeper));
    return data;
}

[[noreturn]] void unsupported(const std::string& name, std::string_view dtype) {
    // The dtype is copied into a string of its own: "%.*s" is not understood by every
    // supported Python's PyErr_Format.
    const std::string text(dtype);
    PyErr_Format(PyExc_TypeError, "column '%s' has the dtype %s, which has no Arrow type here",
                 name.c_str(), text.c_str());
    throw_py_error();
}

// The Arrow format of a fixed-width NumPy dtype string (native byte order), or null.
const char* number_format(std::string_view dtype) {
    static constexpr struct {
        std::string_view dtype;
        const char* format;
    } kFormats[] = {
        {"<f8", "g"}, {"<f4", "f"}, {"<f2", "e"}, {"<i8", "l"}, {"<i4", "i"}, {"<i2", "s"},
        {"|i1", "c"}, {"<u8", "L"}, {"<u4", "I"}, {"<u2", "S"}, {"|u1", "C"},
    };
    for (const auto& f : kFormats) {
        if (f.dtype == dtype) return f.format;
    }
    return nullptr;
}

// "s", "ms", "us", "ns" -> Arrow's unit letter; 0 for any other unit.
char time_unit(std::string_view unit) {
    if (unit == "s") return 's';
    if (unit == "ms") return 'm';
    if (unit == "us") return 'u';
    if (unit == "ns") return 'n';
    return 0;
}

// datetime64 / timedelta64 values (passed as their int64 view): NaT becomes null.
void export_times(ExportColumn& column, PyObject* array, std::string_view dtype,
                  const std::string& tz) {
    const bool is_date = dtype[1] == 'M';
    const std::string_view unit = dtype.substr(4, dtype.size() - 5);  // "<M8[" unit "]"
    const auto* values = static_cast<const int64_t*>(keep_buffer(column, array, 8));
    const uint8_t* validity = nullptr;
    std::vector<uint8_t> bits =
        columns::validity_of(values, column.length, columns::kNotATime, column.null_count);
    if (!bits.empty()) validity = column.keep(std::move(bits));
    if (is_date && unit == "D") {
        column.format = "tdD";
        const int32_t* days = column.keep(
            columns::narrow_days(values, column.length, columns::kNotATime, column.name));
        column.buffers = {validity, days};
        return;
    }
    const char letter = time_unit(unit);
    if (letter == 0) unsupported(column.name, dtype);
    column.format = is_date ? "ts" : "tD";
    column.format.push_back(letter);
    if (is_date) column.format.append(":").append(tz);
    column.buffers = {validity, values};
}

// An object array of str (None or NaN for a missing value) as Arrow text: 32-bit offsets
// unless the characters need more.
void export_text(ExportColumn& column, PyObject* array) {
    PyBufferKeeper items;
    if (PyObject_GetBuffer(array, &items.view, PyBUF_C_CONTIGUOUS) < 0) throw_py_error();
    const auto* objects = static_cast<PyObject* const*>(items.view.buf);
    const int64_t n = items.view.len / static_cast<Py_ssize_t>(sizeof(PyObject*));
    std::vector<int64_t> offsets(static_cast<size_t>(n) + 1, 0);
    std::vector<uint8_t> validity(static_cast<size_t>((n + 7) / 8), 0);
    std::vector<char> chars;
    for (int64_t i = 0; i < n; ++i) {
        PyObject* item = objects[i];
        if (PyUnicode_Check(item)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
            if (utf8 == nullptr) throw_py_error();
            chars.insert(chars.end(), utf8, utf8 + size);
            validity[static_cast<size_t>(i / 8)] |= uint8_t(1u << (i % 8));
        } else if (item == Py_None ||
                   (PyFloat_Check(item) && std::isnan(PyFloat_AS_DOUBLE(item)))) {
            ++column.null_count;
        } else {
            PyErr_Format(PyExc_TypeError, "column '%s' holds a %.200s where text is expected",
                         column.name.c_str(), Py_TYPE(item)->tp_name);
            throw_py_error();
        }
        offsets[static_cast<size_t>(i) + 1] = static_cast<int64_t>(chars.size());
    }
    column.length = n;
    const void* valid = column.null_count ? column.keep(std::move(validity)) : nullptr;
    const void* offset_data;
    if (chars.size() <= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        // assign(1, c) rather than = "c": GCC 12 misreads the latter as an overlapping copy.
        column.format.assign(1, 'u');
        std::vector<int32_t> narrow(offsets.begin(), offsets.end());
        offset_data = column.keep(std::move(narrow));
    } else {
        column.format.assign(1, 'U');
        offset_data = column.keep(std::move(offsets));
    }
    if (chars.empty()) chars.push_back('\0');  // a valid address for no characters
    column.buffers = {valid, offset_data, column.keep(std::move(chars))};
}

// One (name, NumPy dtype string, array) triple of Table._arrow_columns().
ExportColumn export_column(PyObject* item, const std::string& tz) {
    PyObject *name_obj, *dtype_obj, *array;
    if (!PyArg_ParseTuple(item, "UUO", &name_obj, &dtype_obj, &array)) throw_py_error();
    ExportColumn column;
    column.name = to_text(name_obj);
    const std::string dtype = to_text(dtype_obj);
    if (const char* format = number_format(dtype)) {
        column.format = format;
        const void* values = keep_buffer(column, array, std::stoi(dtype.substr(2)));
        column.buffers = {nullptr, values};
    } else if (dtype == "|b1") {
        const auto* bytes = static_cast<const uint8_t*>(keep_buffer(column, array, 1));
        column.format.assign(1, 'b');
        column.buffers = {nullptr, column.keep(columns::pack_bits(bytes, column.length))};
    } else if (dtype.size() > 5 && (dtype.starts_with("<M8[") || dtype.starts_with("<m8["))) {
        export_times(column, array, dtype, tz);
    } else if (dtype == "|O") {
        export_text(column, array);
    } else {
        unsupported(column.name, dtype);
    }
    return column;
}

std::vector<ExportColumn> export_columns(PyObject* columns, PyObject* tz_obj) {
    const std::string tz = tz_obj == Py_None ? std::string() : to_text(tz_obj);
    PyRef seq = PyRef::steal(PySequence_Fast(columns, "the columns must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<ExportColumn> out;
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        out.push_back(export_column(PySequence_Fast_GET_ITEM(seq.get(), i), tz));
        if (out.back().length != out.front().length) {
            PyErr_SetString(PyExc_ValueError, "the columns have different lengths");
            throw_py_error();
        }
    }
    return out;
}

// Capsule destructors: a structure the consumer did not take is released here.
void free_stream_capsule(PyObject* capsule) {
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) return;
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

void free_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) return;
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

struct AnyObject {
    using type = PyObject*;
    static constexpr bool kRequired = true;
    static PyObject* convert(PyObject* obj) { return obj; }
};

PyObject* export_arrow_stream(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    static Signature<AnyObject, AnyObject> sig{"export_arrow_stream", {"columns", "tz"}};
    return guarded([&]() -> PyRef {
        auto [columns, tz] = sig.convert(sig.bind(args, nargsf, kwnames));
        auto stream = std::make_unique<ArrowArrayStream>();
        stream->release = nullptr;
        columns::export_stream(export_columns(columns, tz), stream.get());
        PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", free_stream_capsule);
        if (capsule == nullptr) {
            stream->release(stream.get());
            throw_py_error();
        }
        stream.release();
        return PyRef::steal(capsule);
    });
}

PyObject* export_arrow_schema(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    static Signature<AnyObject, AnyObject> sig{"export_arrow_schema", {"columns", "tz"}};
    return guarded([&]() -> PyRef {
        auto [columns, tz] = sig.convert(sig.bind(args, nargsf, kwnames));
        auto schema = std::make_unique<ArrowSchema>();
        schema->release = nullptr;
        columns::export_schema(export_columns(columns, tz), schema.get());
        PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", free_schema_capsule);
        if (capsule == nullptr) {
            schema->release(schema.get());
            throw_py_error();
        }
        schema.release();
        return PyRef::steal(capsule);
    });
}

PyMethodDef kFunctions[] = {
    {"export_arrow_stream", fastcall(export_arrow_stream), METH_FASTCALL | METH_KEYWORDS,
     "export_arrow_stream(columns, tz)\n--\n\n"
     "An 'arrow_array_stream' PyCapsule yielding the columns as one record batch. `columns`\n"
     "is a sequence of (name, NumPy dtype string, C-contiguous array) in native byte order,\n"
     "datetime64 and timedelta64 arrays passed as their int64 view. The arrays are not\n"
     "copied (but for booleans, dates and text): the consumer holds them until it releases\n"
     "the batch. Use quillan.Table.__arrow_c_stream__."},
    {"export_arrow_schema", fastcall(export_arrow_schema), METH_FASTCALL | METH_KEYWORDS,
     "export_arrow_schema(columns, tz)\n--\n\n"
     "An 'arrow_schema' PyCapsule of the struct of the columns, as export_arrow_stream.\n"
     "Use quillan.Table.__arrow_c_schema__."},
};

}  // namespace

void register_arrow_export(PyObject* module) {
    for (PyMethodDef& def : kFunctions) add_function(module, &def);
}

}  // namespace quillan::py
