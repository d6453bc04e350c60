// The module globals whose identity decides a native path: a native path stands in for Python
// code that looks these names up at call time, so it applies only while each still holds what
// the module bound to it, and a replaced global is seen as it would be in Python.
#pragma once
#include <initializer_list>
#include <vector>

#include "runtime/object.hpp"

namespace vh {

class NativeGlobals {
public:
    // Names in the order of the caller's enumeration; an index's bit is `1u << index`.
    void name(std::initializer_list<const char*> names);
    // Records what global `index` holds now (`must_hold`: that object; otherwise any binding does).
    void record(PyObject* globals, int index, bool must_hold = true);

    // Whether every global of `mask` still holds what was recorded. A lookup in the module
    // namespace can run Python code (the __eq__ of a colliding key), so native paths ask before
    // they read anything from their arrays.
    bool intact(unsigned mask) const;

    PyObject* interned(int index) const { return entries_[index].name; }
    PyObject* recorded(int index) const { return entries_[index].object; }
    // `name(*args, **keywords)` through the module globals, the function held while it runs.
    Ref call(int index, std::initializer_list<PyObject*> args, Keywords keywords = {}) const;

private:
    struct Entry {
        PyObject* name = nullptr;    // interned, kept for the life of the process
        PyObject* object = nullptr;  // what it held, or null: bound to anything
    };
    PyObject* globals_ = nullptr;
    std::vector<Entry> entries_;
};

}  // namespace vh
