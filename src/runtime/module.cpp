// Module initialisation: multi-phase, once per process and interpreter; the module context.
#include "runtime/module.hpp"

#include "runtime/numpy.hpp"

namespace vh {

bool debug = true;

namespace {

const ModuleSpec* the_spec = nullptr;
PyModuleDef the_def;
PyObject* the_module = nullptr;  // strong: a module is initialised once per process
PY_INT64_T the_interpreter = -1;

bool check_single_interpreter() {
    PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    if (the_interpreter == -1) {
        the_interpreter = current;
    } else if (the_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return false;
    }
    return true;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (!check_single_interpreter()) return nullptr;
    if (the_module) return Py_NewRef(the_module);
    return guarded<PyObject*>(nullptr, [&] {
        Ref name = check(PyObject_GetAttrString(spec, "name"));
        return check(PyModule_NewObject(name.get())).release();
    });
}

int module_exec(PyObject* module) {
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     the_spec->short_name);
        return -1;
    }
    the_module = Py_NewRef(module);
    int status = guarded<int>(-1, [&] {
        PyObject* builtins = check_borrowed(PyEval_GetBuiltins());
        PyObject* flag = PyDict_GetItemString(builtins, "__debug__");
        debug = flag ? PyObject_IsTrue(flag) == 1 : true;
        ready_function_type();
        np::import();
        if (the_spec->doc) {
            Ref doc = check(PyUnicode_FromString(the_spec->doc));
            check_status(PyObject_SetAttrString(module, "__doc__", doc.get()));
        }
        ModuleContext context(module, the_spec->filename);
        the_spec->exec(context);
        return 0;
    });
    if (status < 0) Py_CLEAR(the_module);
    return status;
}

PyModuleDef_Slot the_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

}  // namespace

PyObject* module_init(const ModuleSpec& spec) {
    the_spec = &spec;
    the_def =
        PyModuleDef{PyModuleDef_HEAD_INIT, spec.full_name, spec.doc, 0, nullptr, the_slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&the_def);
}

ModuleContext::ModuleContext(PyObject* module, const char* filename)
    : module_(module), globals_(check_borrowed(PyModule_GetDict(module))), filename_(filename) {
    name_ = check(PyObject_GetAttrString(module, "__name__"));
}

void ModuleContext::set(const char* name, PyObject* value) {
    check_status(PyDict_SetItemString(globals_, name, value));
}

Ref ModuleContext::import_as(const char* module, const char* as) {
    Ref m = check(PyImport_ImportModule(module));
    set(as, m.get());
    return m;
}

void ModuleContext::import_from(const char* module, std::initializer_list<const char*> names) {
    Ref m = check(PyImport_ImportModule(module));
    for (const char* n : names) {
        Ref value = check(PyObject_GetAttrString(m.get(), n));
        set(n, value.get());
    }
}

Ref ModuleContext::function(const FunctionDef& def, Ref closure) const {
    return make_function(def, globals_, name_.get(), filename_, std::move(closure));
}

Ref ModuleContext::define(const FunctionDef& def) {
    Ref f = function(def);
    set(def.name, f.get());
    return f;
}

PyObject* global(PyObject* globals, PyObject* interned_name) {
    PyObject* value = PyDict_GetItemWithError(globals, interned_name);
    if (value) return value;
    if (PyErr_Occurred()) throw_error();
    value = PyDict_GetItemWithError(check_borrowed(PyEval_GetBuiltins()), interned_name);
    if (value) return value;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", interned_name);
    throw_error();
}

}  // namespace vh
