#pragma once

// Small helpers for building results; each throws PyErrAlreadySet when the interpreter fails.

#include <algorithm>
#include <cassert>
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

// A list holding make(item) for each item, in order; presized, so no append ever grows it.
template <class T, class Make>
PyRef list_of(const std::vector<T>& items, Make&& make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(items[i]).release());
    }
    return list;
}

// One shape of result dict: its keys, in order, as interned str, made when the module loads
// (DictShape::make_all) and kept for the life of the process. Declare one per shape, at
// namespace scope:
//     DictShape kTradeShape{"time", "price", "vol", "num", "buyorsell"};
// A result's values are set in key order (DictFill). An empty dict's first table holds five
// keys, and a dict with more would outgrow it and allocate a second table for every record.
// So a shape of more keys also makes a template dict that maps each key to None, and each
// result starts as a copy of it, with room for every key; a dict of five keys or fewer starts
// empty, which is cheaper than a copy.
class DictShape {
  public:
    static constexpr size_t kEmptyDictKeys = 5;

    DictShape(std::initializer_list<const char*> names);
    // The same from a name table kept elsewhere.
    explicit DictShape(std::span<const char* const> names);
    DictShape(const DictShape&) = delete;
    DictShape& operator=(const DictShape&) = delete;

    size_t size() const { return keys_.size(); }
    PyObject* key(size_t i) const { return keys_[i]; }
    // A new dict for one result: empty, or a copy of the template.
    PyRef fresh() const {
        return PyRef::steal(keys_.size() <= kEmptyDictKeys ? PyDict_New() : PyDict_Copy(template_));
    }

    // Makes the keys and templates of every shape declared in the module. Throws
    // PyErrAlreadySet; a second call makes only what the first did not.
    static void make_all();

  private:
    std::vector<const char*> names_;
    std::vector<PyObject*> keys_;
    PyObject* template_ = nullptr;
};

// Fills a new dict of one shape (DictShape::fresh), one value per key in key order; done()
// hands it over once every key has its value.
class DictFill {
  public:
    explicit DictFill(const DictShape& shape) : shape_(shape), dict_(shape.fresh()) {}

    DictFill& add(PyRef value) {
        if (PyDict_SetItem(dict_.get(), shape_.key(next_++), value.get()) < 0) throw_py_error();
        return *this;
    }
    PyRef done() {
        assert(next_ == shape_.size());
        return std::move(dict_);
    }

  private:
    const DictShape& shape_;
    PyRef dict_;
    size_t next_ = 0;
};

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
void add_member(PyObject* module, const char* name, PyRef value);

// Adds a built-in function bound to the module (`def` must outlive it: a static table) whose
// __module__ reads `module_name`, whatever name the module was imported under.
void add_function(PyObject* module, PyMethodDef* def, const char* module_name);

// The body of a single-phase module's PyInit function. The module is made once per process
// by `create`; importing it again in the same interpreter returns that module, and importing it
// in another interpreter raises ImportError "NAME cannot be loaded in more than one interpreter
// of a process". Returns a new reference, or null with an exception set.
PyObject* init_once(const char* name, PyRef (*create)(), PyObject*& the_module,
                    PyInterpreterState*& the_interpreter);

}  // namespace quillan::py
