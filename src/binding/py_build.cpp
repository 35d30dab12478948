#include "py_build.h"

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

}  // namespace quillan::py
