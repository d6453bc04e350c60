// Module initialisation (multi-phase, once per process, one interpreter) and the module
// context that module code defines its namespace through.
#pragma once
#include <initializer_list>

#include "runtime/function.hpp"

namespace vh {

// `__debug__` of the interpreter, read once when the module is imported.
extern bool debug;

// An `assert` statement: checked only while `__debug__` was true at import.
#define VH_ASSERT(cond)                                      \
    do {                                                     \
        if (::vh::debug && !(cond)) ::vh::raise_assertion(); \
    } while (0)
#define VH_ASSERT_MSG(cond, message)                                \
    do {                                                            \
        if (::vh::debug && !(cond)) ::vh::raise_assertion(message); \
    } while (0)

class ModuleContext {
public:
    ModuleContext(PyObject* module, const char* filename);

    PyObject* module() const noexcept { return module_; }
    PyObject* globals() const noexcept { return globals_; }
    PyObject* name() const noexcept { return name_.get(); }
    const char* filename() const noexcept { return filename_; }

    // Binds `value` in the module namespace.
    void set(const char* name, PyObject* value);
    // `import module as name` / `from module import a, b`.
    Ref import_as(const char* module, const char* as);
    void import_from(const char* module, std::initializer_list<const char*> names);
    // Makes a function of this module; `define` also binds it under its name.
    Ref function(const FunctionDef& def, Ref closure = {}) const;
    Ref define(const FunctionDef& def);

private:
    PyObject* module_;
    PyObject* globals_;
    Ref name_;
    const char* filename_;
};

struct ModuleSpec {
    const char* short_name;  // e.g. "shapekit": used in the re-initialisation message
    const char* full_name;   // e.g. "vornhaven.preprocessing.shapekit"
    const char* doc;
    const char* filename;  // the file name tracebacks show for this module's functions
    void (*exec)(ModuleContext&);
};

// The body of PyInit_<name>: returns the module definition for multi-phase initialisation.
PyObject* module_init(const ModuleSpec& spec);

// A global of the calling module looked up at call time (as a Python function body does).
PyObject* global(PyObject* globals, PyObject* interned_name);

}  // namespace vh
