// What the function type, argument binding and signature text share inside the runtime layer.
#pragma once
#include "runtime/function.hpp"

namespace vh::detail {

// The C type a conversion names in the signature line ("double", "int", ...), or null for Any.
const char* conv_type_name(Conv conv);

// The value of a declared default (computed ones are evaluated from `globals`).
Ref default_value(const Default& d, PyObject* globals);

// The number of positional-or-keyword parameters.
std::size_t count_positional(const FunctionDef& def);

}  // namespace vh::detail

namespace vh {

// Binds vectorcall arguments to the declared parameters, as the interpreter binds a Python
// function's arguments, then checks and converts them.
struct Binder {
    static void bind(Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& b);
    static void convert(const Param& p, Bound& b, std::size_t i);
    [[noreturn]] static void raise_count(const char* fname, Py_ssize_t min, Py_ssize_t max, bool varargs,
                                         Py_ssize_t found);
};

}  // namespace vh
