// The native function type: a vectorcall object that behaves like a Python function (binding
// as a method, its attributes, inspect.signature, pickling by qualified name).
#include "runtime/function.hpp"

#include <structmember.h>

#include "runtime/function_internal.hpp"

namespace vh {

namespace {

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function& f = *reinterpret_cast<Function*>(callable);
    PyObject* result = guarded<PyObject*>(nullptr, [&] {
        Bound b;
        Binder::bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, b);
        return f.def->body(f, b).release();
    });
    if (!result) add_traceback(f.def->name, f.filename, f.def->line);
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function& f = *reinterpret_cast<Function*>(self);
    Py_VISIT(f.name);
    Py_VISIT(f.qualname);
    Py_VISIT(f.module);
    Py_VISIT(f.doc);
    Py_VISIT(f.annotations);
    Py_VISIT(f.defaults);
    Py_VISIT(f.kwdefaults);
    Py_VISIT(f.dict);
    Py_VISIT(f.closure);
    Py_VISIT(f.owner);
    Py_VISIT(f.param_names);
    return 0;
}

int function_clear(PyObject* self) {
    Function& f = *reinterpret_cast<Function*>(self);
    Py_CLEAR(f.name);
    Py_CLEAR(f.qualname);
    Py_CLEAR(f.module);
    Py_CLEAR(f.doc);
    Py_CLEAR(f.annotations);
    Py_CLEAR(f.defaults);
    Py_CLEAR(f.kwdefaults);
    Py_CLEAR(f.dict);
    Py_CLEAR(f.closure);
    Py_CLEAR(f.owner);
    Py_CLEAR(f.param_names);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Function& f = *reinterpret_cast<Function*>(self);
    if (f.weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    Function& f = *reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f.qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->name, Py_NewRef(value));
    return 0;
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->qualname, Py_NewRef(value));
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
    Function& f = *reinterpret_cast<Function*>(self);
    if (!f.annotations) {
        f.annotations = PyDict_New();
        if (!f.annotations) return nullptr;
    }
    return Py_NewRef(f.annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->annotations, Py_XNewRef(value));
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
    Function& f = *reinterpret_cast<Function*>(self);
    return Py_NewRef(f.defaults ? f.defaults : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->defaults, Py_XNewRef(value));
    return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    Function& f = *reinterpret_cast<Function*>(self);
    return Py_NewRef(f.kwdefaults ? f.kwdefaults : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* signature_key() {
    static PyObject* key = check(PyUnicode_InternFromString("__signature__")).release();
    return key;
}

// The `__signature__` stored in the function's `__dict__` (borrowed), or null.
PyObject* stored_signature(Function& f) {
    if (!f.dict) return nullptr;
    PyObject* found = PyDict_GetItemWithError(f.dict, signature_key());
    if (!found && PyErr_Occurred()) throw_error();
    return found;
}

// inspect.signature() reads this: one set on the function (as on a Python function, where it
// lives in `__dict__`) or, when none is set or it is None, the declared parameters with the
// current defaults and annotations.
PyObject* get_signature(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        Function& f = *reinterpret_cast<Function*>(self);
        if (PyObject* stored = stored_signature(f); stored && stored != Py_None) return Py_NewRef(stored);
        static PyObject* inspect = nullptr;
        if (!inspect) inspect = check(PyImport_ImportModule("inspect")).release();
        Ref parameter_cls = check(PyObject_GetAttrString(inspect, "Parameter"));
        Ref signature_cls = check(PyObject_GetAttrString(inspect, "Signature"));
        Ref empty = check(PyObject_GetAttrString(parameter_cls.get(), "empty"));
        Ref annotations = check(get_annotations(self, nullptr));
        const auto params = f.def->params;
        Ref list = check(PyList_New(0));
        const Py_ssize_t npos = static_cast<Py_ssize_t>(detail::count_positional(*f.def));
        // Held while the parameters are made: Python code run meanwhile may replace them.
        const Ref defaults = Ref::borrow(f.defaults);
        const Ref kwdefaults = Ref::borrow(f.kwdefaults);
        const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        Py_ssize_t pos_index = 0;
        for (const Param& p : params) {
            static const char* kind_names[] = {"POSITIONAL_OR_KEYWORD", "KEYWORD_ONLY", "VAR_POSITIONAL",
                                               "VAR_KEYWORD"};
            Ref kind = check(PyObject_GetAttrString(parameter_cls.get(), kind_names[static_cast<int>(p.kind)]));
            Ref name = check(PyUnicode_FromString(p.name));
            Ref def = empty;
            if (p.kind == Kind::Positional) {
                Py_ssize_t k = pos_index - (npos - ndefaults);
                if (k >= 0 && k < ndefaults) def = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), k));
                ++pos_index;
            } else if (p.kind == Kind::KeywordOnly && kwdefaults) {
                PyObject* d = PyDict_GetItemWithError(kwdefaults.get(), name.get());
                if (!d && PyErr_Occurred()) throw_error();
                if (d) def = Ref::borrow(d);
            }
            Ref ann = Ref::borrow(PyDict_GetItemWithError(annotations.get(), name.get()));
            if (!ann && PyErr_Occurred()) throw_error();
            Ref kwargs =
                check(Py_BuildValue("{sOsO}", "default", def.get(), "annotation", ann ? ann.get() : empty.get()));
            Ref posargs = check(PyTuple_Pack(2, name.get(), kind.get()));
            Ref parameter = check(PyObject_Call(parameter_cls.get(), posargs.get(), kwargs.get()));
            check_status(PyList_Append(list.get(), parameter.get()));
        }
        Ref return_key = check(PyUnicode_FromString("return"));
        Ref ret = Ref::borrow(PyDict_GetItemWithError(annotations.get(), return_key.get()));
        if (!ret && PyErr_Occurred()) throw_error();
        Ref posargs = check(PyTuple_Pack(1, list.get()));
        Ref kwargs = check(Py_BuildValue("{sO}", "return_annotation", ret ? ret.get() : empty.get()));
        return check(PyObject_Call(signature_cls.get(), posargs.get(), kwargs.get())).release();
    });
}

int set_signature(PyObject* self, PyObject* value, void*) {
    return guarded<int>(-1, [&] {
        Function& f = *reinterpret_cast<Function*>(self);
        if (!value) {
            if (!stored_signature(f))
                raisef(PyExc_AttributeError, "'%.100s' object has no attribute '__signature__'",
                       Py_TYPE(self)->tp_name);
            return check_status(PyDict_DelItem(f.dict, signature_key()));
        }
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        return check_status(PyDict_SetItem(dict.get(), signature_key(), value));
    });
}

// Pickling and copying refer to the function by its qualified name, as for Python functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return get_qualname(self, nullptr);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type_object = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "vornhaven.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function implemented natively.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}();
#pragma GCC diagnostic pop

}  // namespace

PyTypeObject* function_type() {
    return &function_type_object;
}

void ready_function_type() {
    check_status(PyType_Ready(&function_type_object));
}

Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* module_name, const char* filename, Ref closure) {
    Ref name = check(PyUnicode_InternFromString(def.name));
    Ref qualname = check(PyUnicode_FromString(def.qualified()));
    // Without a module name (a maker whose own `__module__` was deleted), the module's
    // `__name__`, as a Python function takes it from its globals.
    Ref module = Ref::borrow(module_name);
    if (!module && globals && PyDict_Check(globals)) module = Ref::borrow(PyDict_GetItemString(globals, "__name__"));
    if (!module) module = Ref::borrow(Py_None);
    Ref annotations = check(PyDict_New());
    Ref defaults, kwdefaults;
    Ref positional_defaults = check(PyList_New(0));
    for (const Param& p : def.params) {
        if (p.annotation) {
            Ref text = check(PyUnicode_FromString(p.annotation));
            check_status(PyDict_SetItemString(annotations.get(), p.name, text.get()));
        }
        if (p.def.tag == Default::Tag::Absent) continue;
        Ref value = detail::default_value(p.def, globals);
        if (p.kind == Kind::Positional) {
            check_status(PyList_Append(positional_defaults.get(), value.get()));
        } else {
            if (!kwdefaults) kwdefaults = check(PyDict_New());
            check_status(PyDict_SetItemString(kwdefaults.get(), p.name, value.get()));
        }
    }
    if (def.returns) {
        Ref text = check(PyUnicode_FromString(def.returns));
        check_status(PyDict_SetItemString(annotations.get(), "return", text.get()));
    }
    if (PyList_GET_SIZE(positional_defaults.get()) > 0) defaults = check(PyList_AsTuple(positional_defaults.get()));
    Ref doc = Ref::borrow(Py_None);
    if (def.doc) {
        Ref line = signature_line(def, globals);
        doc = check(PyUnicode_FromFormat("%U\n\n%s", line.get(), def.doc));
    }

    if (def.params.size() > kMaxParams) raisef(PyExc_SystemError, "%s declares too many parameters", def.qualified());
    Ref param_names = check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size())));
    for (std::size_t i = 0; i < def.params.size(); ++i)
        PyTuple_SET_ITEM(param_names.get(), i, check(PyUnicode_InternFromString(def.params[i].name)).release());

    Function* f = PyObject_GC_New(Function, &function_type_object);
    if (!f) throw_error();
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->filename = filename;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->kwdefaults = kwdefaults.release();
    f->dict = nullptr;
    f->closure = closure.release();
    f->owner = nullptr;
    f->param_names = param_names.release();
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace vh
