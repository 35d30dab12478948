#pragma once

#include "columns/column.h"
#include "py_ref.h"

namespace quillan::py {

// A new ColumnBuffer that owns `column`: the values are moved, never copied. It exposes them,
// read-only, through the buffer protocol, so numpy.frombuffer(buf, buf.dtype) views them in
// place; the NumPy array keeps the buffer alive.
PyRef make_column_buffer(columns::Column column);

// The NumPy dtype name of a column kind ("float64", "datetime64[s]", ...).
const char* numpy_dtype_name(columns::ColumnKind kind);

}  // namespace quillan::py
