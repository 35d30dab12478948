#pragma once

#include "py_ref.h"

namespace quillan {
struct Error;
}

namespace quillan::py {

// Raises the Python exception for a core error; the one place that knows the mapping.
void set_python_error(const Error& error);

// Turns the exception in flight (inside a catch block) into a pending Python exception.
void set_python_error_from_current() noexcept;

// Raises TypeError "'<qualified type name of obj>' object cannot be cast as '<target>'", the
// wording of every refused argument type and of a method called on the wrong object.
[[noreturn]] void throw_cast_error(PyObject* obj, const char* target);

// Runs `body`, which returns a PyRef, and hands its object to the interpreter; any exception
// becomes a pending Python exception and a null return. Every entry point goes through here.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_python_error_from_current();
        return nullptr;
    }
}

}  // namespace quillan::py
