#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillan::py {

// Thrown when a C-API call failed and left its exception set; guarded() lets it through.
struct PyErrAlreadySet {};

[[noreturn]] inline void throw_py_error() { throw PyErrAlreadySet{}; }

// Owns one strong reference; released on destruction, so a half-built result is freed when a
// later step throws.
class PyRef {
  public:
    PyRef() = default;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) Py_XSETREF(obj_, other.release());
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    // Takes over a new reference; a null one means the call that made it failed.
    static PyRef steal(PyObject* obj) {
        if (obj == nullptr) throw_py_error();
        return PyRef(obj);
    }
    // Adds a reference of its own to a borrowed one.
    static PyRef borrow(PyObject* obj) { return PyRef(Py_NewRef(obj)); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    explicit PyRef(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace quillan::py
