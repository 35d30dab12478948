// Module entry: creates quillan._columnar once per process and lets each source file add its
// members (members.h).

#include "members.h"
#include "py_build.h"
#include "py_error.h"

namespace quillan::py {
namespace {

constexpr const char kModuleDoc[] =
    "quillan._columnar \xE2\x80\x94 results as typed columns\n"
    "\n"
    "The native half of quillan's columnar API: readers and decoders that fill typed column\n"
    "buffers without a Python object per record, and the Arrow C stream export of a\n"
    "quillan.Table. Its entry points release the interpreter lock while they read, wait and\n"
    "decode. Use it through quillan.read_bars and quillan.Table.";

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_columnar",
    kModuleDoc,
    0,        // no per-module state
    nullptr,  // no method table: each file adds its members
    nullptr,  // no slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

PyRef create_module() {
    DictShape::make_all();
    PyRef module = PyRef::steal(PyModule_Create(&kModuleDef));
    register_column_buffer(module.get());
    register_files(module.get());
    register_arrow_export(module.get());
    register_connection(module.get());
    return module;
}

// The one module object, and the interpreter that made it.
PyObject* the_module = nullptr;
PyInterpreterState* the_interpreter = nullptr;

}  // namespace

void add_member(PyObject* module, const char* name, PyRef value) {
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    PyRef made;
    if (all == nullptr) {
        made = PyRef::steal(PyList_New(0));
        if (PyModule_AddObjectRef(module, "__all__", made.get()) < 0) throw_py_error();
        all = made.get();
    }
    PyRef key = PyRef::steal(PyUnicode_FromString(name));
    if (PyList_Append(all, key.get()) < 0) throw_py_error();
    if (PyModule_AddObjectRef(module, name, value.get()) < 0) throw_py_error();
}

void add_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyUnicode_InternFromString("quillan._columnar"));
    add_member(module, def->ml_name,
               PyRef::steal(PyCFunction_NewEx(def, module, module_name.get())));
}

}  // namespace quillan::py

PyMODINIT_FUNC PyInit__columnar(void) {
    using namespace quillan::py;
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (the_module != nullptr) {
        if (interp != the_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "quillan._columnar cannot be loaded in more than one interpreter of a "
                            "process");
            return nullptr;
        }
        return Py_NewRef(the_module);
    }
    return guarded([&] {
        PyRef module = create_module();
        the_module = Py_NewRef(module.get());  // kept for the life of the process
        the_interpreter = interp;
        return module;
    });
}
