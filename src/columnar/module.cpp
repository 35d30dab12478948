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
    register_probe(module.get());
    return module;
}

// The one module object, and the interpreter that made it.
PyObject* the_module = nullptr;
PyInterpreterState* the_interpreter = nullptr;

}  // namespace

void add_function(PyObject* module, PyMethodDef* def) {
    add_function(module, def, "quillan._columnar");
}

}  // namespace quillan::py

PyMODINIT_FUNC PyInit__columnar(void) {
    using namespace quillan::py;
    return init_once("quillan._columnar", create_module, the_module, the_interpreter);
}
