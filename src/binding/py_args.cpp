#include "py_args.h"

#include <string>
#include <vector>

#include "py_error.h"

namespace quillan::py {
namespace {

// collections.abc.Sequence, imported on first need and kept.
PyObject* abc_sequence() {
    static PyObject* cls = nullptr;
    if (cls == nullptr) {
        PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
        PyRef found = PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
        // The import may let another thread run and get here first; keep the first one.
        if (cls == nullptr) cls = found.release();
    }
    return cls;
}

// Renders 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ',';
            out += ' ';
            if (i + 1 == names.size()) out += "and ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

size_t find_param(const ParamTable& table, PyObject* key) {
    for (size_t i = 0; i < table.count; ++i) {
        if (table.interned[i] == nullptr) {
            table.interned[i] = PyUnicode_InternFromString(table.names[i]);
            if (table.interned[i] == nullptr) throw_py_error();
        }
        if (table.interned[i] == key) return i;
    }
    if (!PyUnicode_Check(key)) return table.count;
    for (size_t i = 0; i < table.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, table.names[i]) == 0) return i;
    }
    return table.count;
}

void bind_common(const ParamTable& table, PyObject* const* args, size_t nargs,
                 std::span<PyObject* const> kw_names, std::span<PyObject* const> kw_values,
                 PyObject** out) {
    if (nargs > table.count) {
        const char* verb = nargs == 1 ? "was" : "were";
        if (table.required == table.count) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zu %s given",
                         table.func, table.count, nargs, verb);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zu to %zu positional arguments but %zu %s given",
                         table.func, table.required, table.count, nargs, verb);
        }
        throw_py_error();
    }
    for (size_t i = 0; i < nargs; ++i) out[i] = args[i];

    for (size_t k = 0; k < kw_names.size(); ++k) {
        size_t i = find_param(table, kw_names[k]);
        if (i == table.count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         table.func, kw_names[k]);
            throw_py_error();
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", table.func,
                         kw_names[k]);
            throw_py_error();
        }
        out[i] = kw_values[k];
    }

    std::vector<const char*> missing;
    for (size_t i = 0; i < table.required; ++i) {
        if (out[i] == nullptr) missing.push_back(table.names[i]);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                     table.func, missing.size(), missing.size() == 1 ? "" : "s",
                     quoted_list(missing).c_str());
        throw_py_error();
    }
}

}  // namespace

unsigned long to_unsigned(PyObject* obj, unsigned long max) {
    long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) throw_py_error();
    if (value < 0 || static_cast<unsigned long>(value) > max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw_py_error();
    }
    return static_cast<unsigned long>(value);
}

std::string to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw_cast_error(obj, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) throw_py_error();
    return std::string(data, static_cast<size_t>(size));
}

double to_double(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw_py_error();
    return value;
}

PyRef iterate_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw_py_error();
    }
    if (!PySequence_Check(obj)) {
        int is_seq = PyObject_IsInstance(obj, abc_sequence());
        if (is_seq < 0) throw_py_error();
        if (is_seq == 0) throw_cast_error(obj, "Sequence");
    }
    return PyRef::steal(PyObject_GetIter(obj));
}

PyRef next_item(PyObject* iter) {
    PyObject* item = PyIter_Next(iter);
    if (item == nullptr) {
        if (PyErr_Occurred()) throw_py_error();
        return PyRef();
    }
    return PyRef::steal(item);
}

std::pair<PyObject*, PyObject*> unpack_pair(PyObject* item) {
    if (!PyTuple_Check(item)) throw_cast_error(item, "tuple");
    Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                     size);
        throw_py_error();
    }
    return {PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)};
}

void bind_fastcall(const ParamTable& table, PyObject* const* args, size_t nargs, PyObject* kwnames,
                   PyObject** out) {
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    std::span<PyObject* const> names;
    if (nkw > 0) names = {&PyTuple_GET_ITEM(kwnames, 0), nkw};
    bind_common(table, args, nargs, names, {args + nargs, nkw}, out);
}

void bind_tuple(const ParamTable& table, PyObject* args, PyObject* kwargs, PyObject** out) {
    std::vector<PyObject*> names, values;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            names.push_back(key);
            values.push_back(value);
        }
    }
    size_t nargs = static_cast<size_t>(PyTuple_GET_SIZE(args));
    PyObject* const* items = nargs > 0 ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    bind_common(table, items, nargs, names, values, out);
}

void prefix_argument_error(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return;
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(raised);
        return;
    }
    PyRef first = PyRef::steal(raised);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return;
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Py_DECREF(type);
    Py_XDECREF(tb);
    PyRef first = PyRef::steal(value);
#endif
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, first.get()));
    PyRef renamed = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(renamed.get(), PyException_GetCause(first.get()));
    PyErr_SetObject(PyExc_TypeError, renamed.get());
}

}  // namespace quillan::py
