// Module entry: creates quillan._core once per process and adds its members.

#include "py_build.h"
#include "py_client.h"
#include "py_methods.h"

namespace quillan::py {
namespace {

constexpr const char kModuleDoc[] =
    "quillan._core \xE2\x80\x94 High-performance TDX data reader\n"
    "\n"
    "TdxClient talks to a TDX quote server over TCP (bars, quotes, ticks, ex-rights records,\n"
    "finance summaries, company information, report files); read_daily_bars and\n"
    "read_minute_bars read a terminal's .day, .lc1 and .lc5 files; ping_servers measures\n"
    "connection latency to many servers at once. Every call holds the interpreter lock until\n"
    "it returns.";

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_core",
    kModuleDoc,
    0,        // no per-module state
    nullptr,  // no method table: members are added one by one below
    nullptr,  // no slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

PyRef create_module() {
    DictShape::make_all();
    PyRef module = PyRef::steal(PyModule_Create(&kModuleDef));
    for (std::span<PyMethodDef> rows : {file_functions(), ping_functions()}) {
        for (PyMethodDef& def : rows) add_function(module.get(), &def, "_core");
    }
    add_member(module.get(), "TdxClient", make_client_type());
    return module;
}

// The one module object, and the interpreter that made it.
PyObject* the_module = nullptr;
PyInterpreterState* the_interpreter = nullptr;

}  // namespace
}  // namespace quillan::py

PyMODINIT_FUNC PyInit__core(void) {
    using namespace quillan::py;
    return init_once("quillan._core", create_module, the_module, the_interpreter);
}
