#pragma once

// How the source files of quillan._columnar add their members to the module.
//
// Each file that defines members has one register function, declared here and called from
// create_module() in module.cpp, in this order. A register function adds its functions and
// types with add_function / add_member; it throws PyErrAlreadySet when the interpreter fails.

#include "py_build.h"
#include "py_methods.h"

namespace quillan::py {

// column_buffer.cpp: the ColumnBuffer type.
void register_column_buffer(PyObject* module);
// files.cpp: read_bar_columns, read_bar_files.
void register_files(PyObject* module);
// arrow_export.cpp: export_arrow_stream, export_arrow_schema.
void register_arrow_export(PyObject* module);

// connection.cpp: the Connection type.
void register_connection(PyObject* module);
// probe.cpp: probe_servers.
void register_probe(PyObject* module);

// Adds a module function (`def` must outlive the module: a static table). Its __module__ reads
// "quillan._columnar".
void add_function(PyObject* module, PyMethodDef* def);

}  // namespace quillan::py
