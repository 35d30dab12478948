// ColumnBuffer: one typed column lent to NumPy through the buffer protocol.

#include "column_buffer.h"

#include <new>

#include "members.h"
#include "py_error.h"

namespace quillan::py {
namespace {

using columns::Column;
using columns::ColumnKind;

struct ColumnBufferObject {
    PyObject_HEAD
    Column column;
    Py_ssize_t shape;   // the number of values, for Py_buffer.shape
    Py_ssize_t stride;  // the size of one value, for Py_buffer.strides
};

// The type, made once when the module loads and kept for the life of the process.
PyTypeObject* the_type = nullptr;

// The struct-module format of a value of `kind`, which is what NumPy reads from a buffer.
const char* buffer_format(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Float64:
            return "d";
        case ColumnKind::Int64:
        case ColumnKind::Days:
        case ColumnKind::Seconds:
            return "q";
        case ColumnKind::Int32:
            return "i";
        case ColumnKind::UInt32:
            return "I";
        case ColumnKind::UInt16:
            return "H";
        case ColumnKind::UInt8:
            return "B";
        case ColumnKind::Bool:
            return "?";
    }
    return "B";
}

// A valid address for the buffer of an empty column, which owns no storage.
const uint8_t kNoValues = 0;

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    auto* obj = reinterpret_cast<ColumnBufferObject*>(self);
    const Column& column = obj->column;
    const void* data = column.data() != nullptr ? column.data() : &kNoValues;
    const auto bytes = static_cast<Py_ssize_t>(column.size() * column.item_size());
    // Read-only: a request for a writable buffer fails with BufferError.
    if (PyBuffer_FillInfo(view, self, const_cast<void*>(data), bytes, 1, flags) < 0) return -1;
    view->itemsize = obj->stride;
    view->format =
        (flags & PyBUF_FORMAT) ? const_cast<char*>(buffer_format(column.kind())) : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &obj->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &obj->stride : nullptr;
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<ColumnBufferObject*>(self)->column.~Column();
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t length(PyObject* self) { return reinterpret_cast<ColumnBufferObject*>(self)->shape; }

PyObject* get_dtype(PyObject* self, void*) {
    return PyUnicode_FromString(
        numpy_dtype_name(reinterpret_cast<ColumnBufferObject*>(self)->column.kind()));
}

PyObject* repr(PyObject* self) {
    auto* obj = reinterpret_cast<ColumnBufferObject*>(self);
    return PyUnicode_FromFormat("<ColumnBuffer %s, %zd values>",
                                numpy_dtype_name(obj->column.kind()), obj->shape);
}

PyGetSetDef kGetSet[] = {
    {"dtype", get_dtype, nullptr, "The NumPy dtype name of the values.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("Typed values produced by quillan._columnar, lent read-only through the "
                       "buffer protocol:\nnumpy.frombuffer(buf, buf.dtype) views them without "
                       "copying.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, kGetSet},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quillan._columnar.ColumnBuffer",
    sizeof(ColumnBufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

const char* numpy_dtype_name(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Float64:
            return "float64";
        case ColumnKind::Int64:
            return "int64";
        case ColumnKind::Int32:
            return "int32";
        case ColumnKind::UInt32:
            return "uint32";
        case ColumnKind::UInt16:
            return "uint16";
        case ColumnKind::UInt8:
            return "uint8";
        case ColumnKind::Bool:
            return "bool";
        case ColumnKind::Days:
            return "datetime64[D]";
        case ColumnKind::Seconds:
            return "datetime64[s]";
    }
    return "uint8";
}

PyRef make_column_buffer(Column column) {
    PyRef obj = PyRef::steal(the_type->tp_alloc(the_type, 0));
    auto* buf = reinterpret_cast<ColumnBufferObject*>(obj.get());
    buf->shape = static_cast<Py_ssize_t>(column.size());
    buf->stride = static_cast<Py_ssize_t>(column.item_size());
    new (&buf->column) Column(std::move(column));
    return obj;
}

void register_column_buffer(PyObject* module) {
    PyRef type = PyRef::steal(PyType_FromSpec(&kSpec));
    the_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));  // kept for good
    add_member(module, "ColumnBuffer", std::move(type));
}

}  // namespace quillan::py
