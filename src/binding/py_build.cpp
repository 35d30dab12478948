#include "py_build.h"

namespace quillan::py {
namespace {

std::vector<KeyTable*>& registry() {
    static std::vector<KeyTable*> tables;
    return tables;
}

}  // namespace

KeyTable::KeyTable(std::initializer_list<const char*> names)
    : names_(names), keys_(names.size(), nullptr) {
    registry().push_back(this);
}

KeyTable::KeyTable(std::span<const char* const> names)
    : names_(names.begin(), names.end()), keys_(names.size(), nullptr) {
    registry().push_back(this);
}

bool KeyTable::intern_all() {
    for (KeyTable* table : registry()) {
        for (size_t i = 0; i < table->names_.size(); ++i) {
            if (table->keys_[i] != nullptr) continue;
            table->keys_[i] = PyUnicode_InternFromString(table->names_[i]);
            if (table->keys_[i] == nullptr) return false;
        }
    }
    return true;
}

}  // namespace quillan::py
