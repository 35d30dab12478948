#pragma once

// Small helpers for building results; each throws PyErrAlreadySet when the interpreter fails.

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "py_ref.h"

namespace quillan::py {

inline PyRef float_obj(double v) { return PyRef::steal(PyFloat_FromDouble(v)); }
inline PyRef int_obj(int64_t v) { return PyRef::steal(PyLong_FromLongLong(v)); }
inline PyRef uint_obj(uint64_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); }
inline PyRef bytes_obj(std::span<const uint8_t> v) {
    return PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                                  static_cast<Py_ssize_t>(v.size())));
}
// A str from UTF-8 that is known to be valid (ours, or already checked).
inline PyRef str_obj(std::string_view utf8) {
    return PyRef::steal(
        PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
// A str from ASCII text, copied straight into a compact one-byte string.
inline PyRef ascii_obj(std::string_view ascii) {
    PyRef s = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127));
    std::copy(ascii.begin(), ascii.end(), static_cast<char*>(PyUnicode_DATA(s.get())));
    return s;
}

// Sets dict[key] = value; the dict takes its own reference.
inline void dict_set(PyObject* dict, PyObject* key, const PyRef& value) {
    if (PyDict_SetItem(dict, key, value.get()) < 0) throw_py_error();
}

// A list holding make(item) for each item, in order; presized, so no append ever grows it.
template <class T, class Make>
PyRef list_of(const std::vector<T>& items, Make&& make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(items[i]).release());
    }
    return list;
}

// A fixed set of result keys, made into interned str once when the module loads (see
// KeyTable::intern_all). Declare one per result shape, at namespace scope:
//     static KeyTable kBarKeys{"datetime", "open", ...};
class KeyTable {
  public:
    KeyTable(std::initializer_list<const char*> names);
    // The same from a name table kept elsewhere (it must outlive the module).
    explicit KeyTable(std::span<const char* const> names);
    KeyTable(const KeyTable&) = delete;
    KeyTable& operator=(const KeyTable&) = delete;

    PyObject* operator[](size_t i) const { return keys_[i]; }
    size_t size() const { return keys_.size(); }

    // Interns the keys of every table declared in the module; false with an exception set.
    static bool intern_all();

  private:
    std::vector<const char*> names_;
    std::vector<PyObject*> keys_;  // immortal once made: the module lives as long as the process
};

}  // namespace quillan::py
