// The table of module globals the native paths depend on.
#include "runtime/natives.hpp"

#include "runtime/module.hpp"

namespace vh {

void NativeGlobals::name(std::initializer_list<const char*> names) {
    entries_.clear();
    for (const char* n : names) entries_.push_back({intern(n), nullptr});
}

void NativeGlobals::record(PyObject* globals, int index, bool must_hold) {
    globals_ = globals;
    Entry& e = entries_[index];
    PyObject* value = global(globals, e.name);
    Py_XSETREF(e.object, must_hold ? Py_NewRef(value) : nullptr);
}

bool NativeGlobals::intact(unsigned mask) const {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!(mask & (1u << i))) continue;
        PyObject* now = PyDict_GetItem(globals_, entries_[i].name);
        if (entries_[i].object ? now != entries_[i].object : !now) return false;
    }
    return true;
}

Ref NativeGlobals::call(int index, std::initializer_list<PyObject*> args, Keywords keywords) const {
    Ref function = Ref::borrow(global(globals_, entries_[index].name));
    return vh::call(function.get(), args, keywords);
}

}  // namespace vh
