// The error model: a C++ exception that means "a Python exception is set", helpers that set
// one and throw, and the catch at every entry from Python.
#pragma once
#include <new>
#include <stdexcept>

#include "runtime/ref.hpp"

namespace vh {

// Thrown after a Python exception has been set; carries nothing.
struct PyError {};

[[noreturn]] void throw_error();  // the current Python error is already set
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raisef(PyObject* type, const char* format, ...);
[[noreturn]] void raise_assertion();  // bare AssertionError, as `assert cond` raises
[[noreturn]] void raise_assertion(const char* message);

// Result of a C API call that returns a new reference or null with an error set.
inline Ref check(PyObject* p) {
    if (!p) throw_error();
    return Ref::steal(p);
}
// Status of a C API call that returns -1 with an error set.
inline int check_status(int status) {
    if (status < 0) throw_error();
    return status;
}
// A borrowed reference that must not be null.
inline PyObject* check_borrowed(PyObject* p) {
    if (!p) throw_error();
    return p;
}

// Converts whatever escapes a native body into a Python exception.
void set_error_from_current_exception() noexcept;

// Adds a traceback entry naming a native function to the exception being raised.
void add_traceback(const char* funcname, const char* filename, int line) noexcept;

// Runs `body` (returning PyObject*, int, ...) with every exception turned into a Python error;
// `failed` is the value returned to the interpreter in that case.
template <class R, class F>
R guarded(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return failed;
    }
}

}  // namespace vh
