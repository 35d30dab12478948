#pragma once

// Method tables. Each file keeps the rows of its entry points beside them and hands them out
// here: py_client.cpp joins the TdxClient rows into the type's table, module.cpp registers
// the module functions.

#include <span>

#include "py_ref.h"

namespace quillan::py {

#define QUILLAN_FASTCALL(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)

// The flags of an entry point that takes the fast-call-with-keywords convention.
inline constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

// Stores such an entry point in a PyMethodDef; the interpreter calls it with that signature.
// The detour through void(*)() is the sanctioned way to convert the function pointer.
template <class Fn>
constexpr PyCFunction fastcall(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// TdxClient methods, in the order the type lists them after connect and disconnect.
std::span<const PyMethodDef> market_methods();     // py_market.cpp
std::span<const PyMethodDef> reference_methods();  // py_reference.cpp

// Module functions (`self` is the module), in the order __all__ lists them. The rows must stay
// where they are: each function object keeps a pointer to its own.
std::span<PyMethodDef> file_functions();  // py_files.cpp
std::span<PyMethodDef> ping_functions();  // py_ping.cpp

}  // namespace quillan::py
