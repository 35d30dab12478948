#include "py_build.h"

#include "py_error.h"

namespace quillan::py {
namespace {

std::vector<DictShape*>& registry() {
    static std::vector<DictShape*> shapes;
    return shapes;
}

}  // namespace

DictShape::DictShape(std::initializer_list<const char*> names)
    : names_(names), keys_(names.size(), nullptr) {
    registry().push_back(this);
}

DictShape::DictShape(std::span<const char* const> names)
    : names_(names.begin(), names.end()), keys_(names.size(), nullptr) {
    registry().push_back(this);
}

void DictShape::make_all() {
    for (DictShape* shape : registry()) {
        for (size_t i = 0; i < shape->names_.size(); ++i) {
            if (shape->keys_[i] != nullptr) continue;
            shape->keys_[i] = PyRef::steal(PyUnicode_InternFromString(shape->names_[i])).release();
        }
        if (shape->template_ != nullptr || shape->size() <= kEmptyDictKeys) continue;
        PyRef tmpl = PyRef::steal(PyDict_New());
        for (PyObject* key : shape->keys_) {
            if (PyDict_SetItem(tmpl.get(), key, Py_None) < 0) throw_py_error();
        }
        shape->template_ = tmpl.release();
    }
}

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

void add_function(PyObject* module, PyMethodDef* def, const char* module_name) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString(module_name));
    add_member(module, def->ml_name, PyRef::steal(PyCFunction_NewEx(def, module, name.get())));
}

PyObject* init_once(const char* name, PyRef (*create)(), PyObject*& the_module,
                    PyInterpreterState*& the_interpreter) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (the_module != nullptr) {
        if (interp != the_interpreter) {
            PyErr_Format(PyExc_ImportError,
                         "%s cannot be loaded in more than one interpreter of a process", name);
            return nullptr;
        }
        return Py_NewRef(the_module);
    }
    return guarded([&] {
        PyRef module = create();
        the_module = Py_NewRef(module.get());  // kept for the life of the process
        the_interpreter = interp;
        return module;
    });
}

}  // namespace quillan::py
