// The error model: raising Python exceptions from C++, and traceback entries for native functions.
#include "runtime/error.hpp"

#include <cstdarg>

#if PY_VERSION_HEX >= 0x030D0000
// Exported by the interpreter, declared only in its internal headers from 3.13 on.
extern "C" void _PyTraceback_Add(const char*, const char*, int);
#endif

namespace vh {

void throw_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw PyError{};
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

void raisef(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PyError{};
}

void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw PyError{};
}

void raise_assertion(const char* message) {
    raise(PyExc_AssertionError, message);
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native code reported an error without setting one");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in native code");
    }
}

void add_traceback(const char* funcname, const char* filename, int line) noexcept {
    if (PyErr_Occurred()) _PyTraceback_Add(funcname, filename, line);
}

}  // namespace vh
