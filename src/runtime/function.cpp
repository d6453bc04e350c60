#include "runtime/function.hpp"

#include <structmember.h>

#include <string>

namespace vh {

namespace {

const char* conv_type_name(Conv conv) {
    switch (conv) {
        case Conv::Double: return "double";
        case Conv::Float: return "float";
        case Conv::Int: return "int";
        case Conv::Bool: return "bool";
        case Conv::List: return "list";
        case Conv::Dict: return "dict";
        case Conv::Tuple: return "tuple";
        case Conv::Str: return "str";
        case Conv::Any: break;
    }
    return nullptr;
}

PyTypeObject* conv_exact_type(Conv conv) {
    switch (conv) {
        case Conv::List: return &PyList_Type;
        case Conv::Dict: return &PyDict_Type;
        case Conv::Tuple: return &PyTuple_Type;
        case Conv::Str: return &PyUnicode_Type;
        default: return nullptr;
    }
}

bool is_number(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb && (nb->nb_float || nb->nb_index || nb->nb_int);
}

Ref default_value(const Default& d, PyObject* globals) {
    switch (d.tag) {
        case Default::Tag::None: return Ref::borrow(Py_None);
        case Default::Tag::Real: return check(PyFloat_FromDouble(d.real));
        case Default::Tag::Integer: return check(PyLong_FromLongLong(d.integer));
        case Default::Tag::Boolean: return Ref::borrow(d.integer ? Py_True : Py_False);
        case Default::Tag::Text: return check(PyUnicode_FromString(d.text));
        case Default::Tag::Computed: return d.compute(globals);
        case Default::Tag::Absent: break;
    }
    return {};
}

std::size_t count_positional(const FunctionDef& def) {
    std::size_t n = 0;
    for (const Param& p : def.params)
        if (p.kind == Kind::Positional) ++n;
    return n;
}

}  // namespace

void raise_argument_type(const char* name, const char* expected, PyObject* got) {
    raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
           expected, Py_TYPE(got)->tp_name);
}

PyObject* check_result(PyObject* value, PyTypeObject* expected) {
    if (value != Py_None && Py_TYPE(value) != expected)
        raisef(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name, Py_TYPE(value)->tp_name);
    return value;
}

namespace {

// The index of the named (positional-or-keyword or keyword-only) parameter, or params.size().
// `names` holds the parameters' names, interned: keywords written in Python code are interned
// too, so identity settles most lookups.
std::size_t find_param(std::span<const Param> params, PyObject* names, PyObject* key) {
    for (std::size_t i = 0; i < params.size(); ++i)
        if (PyTuple_GET_ITEM(names, i) == key)
            return params[i].kind == Kind::Positional || params[i].kind == Kind::KeywordOnly ? i : params.size();
    if (PyUnicode_CHECK_INTERNED(key)) return params.size();
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].kind != Kind::Positional && params[i].kind != Kind::KeywordOnly) continue;
        if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) return i;
    }
    return params.size();
}

}  // namespace

PyObject* Bound::kwargs() {
    if (kwargs_) return kwargs_.get();
    kwargs_ = check(PyDict_New());
    if (extra_keywords_) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(raw_kwnames_);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(raw_kwnames_, k);
            if (find_param(def_->params, param_names_, key) == def_->params.size())
                check_status(PyDict_SetItem(kwargs_.get(), key, raw_args_[raw_nargs_ + k]));
        }
    }
    return kwargs_.get();
}

PyObject* Bound::keyword(PyObject* name) const {
    if (!raw_kwnames_) return nullptr;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(raw_kwnames_);
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(raw_kwnames_, k) == name) return raw_args_[raw_nargs_ + k];
    const bool name_interned = PyUnicode_CHECK_INTERNED(name);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(raw_kwnames_, k);
        if (name_interned && PyUnicode_CHECK_INTERNED(key)) continue;  // distinct interned strings differ
        const int equal = PyUnicode_Compare(key, name);
        if (equal == 0) return raw_args_[raw_nargs_ + k];
        if (equal == -1 && PyErr_Occurred()) throw_error();
    }
    return nullptr;
}

// Binds vectorcall arguments to the declared parameters, as the interpreter binds a Python
// function's arguments, then checks and converts them.
struct Binder {
    static void bind(Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& b) {
        const FunctionDef& def = *f.def;
        const auto params = def.params;
        const char* fname = def.name;
        b.def_ = &def;
        b.param_names_ = f.param_names;
        b.raw_args_ = args;
        b.raw_nargs_ = nargs;
        b.raw_kwnames_ = kwnames;
        const Py_ssize_t npos = static_cast<Py_ssize_t>(count_positional(def));
        bool has_varargs = false, has_varkw = false;
        for (const Param& p : params) {
            has_varargs |= p.kind == Kind::VarArgs;
            has_varkw |= p.kind == Kind::VarKwargs;
        }
        // Held for the whole binding: a key's __eq__ may replace them while we look.
        const Ref defaults = Ref::borrow(f.defaults && PyTuple_Check(f.defaults) ? f.defaults : nullptr);
        const Ref kwdefaults = Ref::borrow(f.kwdefaults && PyDict_Check(f.kwdefaults) ? f.kwdefaults : nullptr);
        const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        const Py_ssize_t nrequired = npos > ndefaults ? npos - ndefaults : 0;

        if (nargs > npos && !has_varargs) raise_count(fname, nrequired, npos, false, nargs);

        // Positional arguments fill the positional parameters in order.
        const Py_ssize_t ntaken = nargs < npos ? nargs : npos;
        {
            Py_ssize_t k = 0;
            for (std::size_t i = 0; i < params.size() && k < ntaken; ++i)
                if (params[i].kind == Kind::Positional) b.values_[i] = Ref::borrow(args[k++]);
        }
        if (has_varargs) b.varargs_ = check(PyTuple_New(nargs - ntaken > 0 ? nargs - ntaken : 0));
        for (Py_ssize_t k = ntaken; k < nargs; ++k) PyTuple_SET_ITEM(b.varargs_.get(), k - ntaken, Py_NewRef(args[k]));

        // Keyword arguments.
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            const std::size_t slot = find_param(params, f.param_names, key);
            if (slot < params.size()) {
                b.named_keywords_ = true;
                if (b.values_[slot])
                    raisef(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname, key);
                b.values_[slot] = Ref::borrow(value);
            } else if (has_varkw) {
                b.extra_keywords_ = true;  // the dict is made when the body asks for it
            } else {
                raisef(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            }
        }

        // Missing arguments take their defaults.
        Py_ssize_t pos_index = 0;
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Param& p = params[i];
            if (p.kind == Kind::Positional) {
                if (!b.values_[i]) {
                    if (pos_index < nrequired) raise_count(fname, nrequired, npos, has_varargs, pos_index);
                    // The defaults align with the end of the positional parameters: the leading
                    // items of a longer tuple are never used, as for a Python function.
                    b.values_[i] = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), pos_index + ndefaults - npos));
                }
                ++pos_index;
            } else if (p.kind == Kind::KeywordOnly && !b.values_[i]) {
                PyObject* d = nullptr;
                if (kwdefaults) {
                    d = PyDict_GetItemWithError(kwdefaults.get(), PyTuple_GET_ITEM(f.param_names, i));
                    if (!d && PyErr_Occurred()) throw_error();
                }
                if (!d) raisef(PyExc_TypeError, "%s() needs keyword-only argument %s", fname, p.name);
                b.values_[i] = Ref::borrow(d);
            }
        }

        // Checks and conversions, in declaration order.
        for (std::size_t i = 0; i < params.size(); ++i) convert(params[i], b, i);
    }

    static void convert(const Param& p, Bound& b, std::size_t i) {
        if (p.kind == Kind::VarArgs || p.kind == Kind::VarKwargs || p.conv == Conv::Any) return;
        PyObject* v = b.values_[i].get();
        switch (p.conv) {
            case Conv::Double:
            case Conv::Float:
                if (PyFloat_CheckExact(v)) {
                    b.reals_[i] = PyFloat_AS_DOUBLE(v);
                } else if (v == Py_None && (p.conv == Conv::Float || p.none_ok)) {
                    b.reals_[i] = 0.0;
                } else if (is_number(v)) {
                    double d = PyFloat_AsDouble(v);
                    if (d == -1.0 && PyErr_Occurred()) throw_error();
                    b.reals_[i] = d;
                    b.values_[i] = check(PyFloat_FromDouble(d));
                } else {
                    raise_argument_type(p.name, "float", v);
                }
                return;
            case Conv::Int:
                if (PyLong_CheckExact(v) || (v == Py_None && p.none_ok)) return;
                if (!is_number(v)) raise_argument_type(p.name, "int", v);
                b.values_[i] = check(PyNumber_Long(v));
                return;
            case Conv::Bool: {
                int t = check_status(PyObject_IsTrue(v));
                b.reals_[i] = t ? 1.0 : 0.0;
                return;
            }
            default: {
                PyTypeObject* t = conv_exact_type(p.conv);
                if (Py_TYPE(v) != t && !(v == Py_None && p.none_ok)) raise_argument_type(p.name, t->tp_name, v);
                return;
            }
        }
    }

    [[noreturn]] static void raise_count(const char* fname, Py_ssize_t min, Py_ssize_t max, bool varargs,
                                         Py_ssize_t found) {
        const bool exact = min == max && !varargs;
        Py_ssize_t expected = found < min ? min : max;
        const char* more_or_less = found < min ? "at least" : "at most";
        if (exact) more_or_less = "exactly";
        raisef(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname,
               more_or_less, expected, expected == 1 ? "" : "s", found);
    }
};

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

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->name, Py_NewRef(value));
    return 0;
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Function*>(self)->qualname); }
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
        const Py_ssize_t npos = static_cast<Py_ssize_t>(count_positional(*f.def));
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
PyObject* function_reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

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

PyTypeObject* function_type() { return &function_type_object; }

void ready_function_type() { check_status(PyType_Ready(&function_type_object)); }

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs) {
    return check(PyObject_VectorcallDict(callable, const_cast<PyObject* const*>(args.begin()), args.size(), kwargs));
}

namespace {

// The namespace of a class (static builtin types keep theirs with the interpreter from 3.12 on).
Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return check(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

}  // namespace

namespace {

// What super(owner, self) finds for `name`: the first class after `owner` in the MRO of the
// start type whose namespace holds it (a borrowed reference, kept alive by that namespace), or
// null when the MRO does not contain `owner`. `start` receives the start type.
PyObject* lookup_after(Function& method, PyObject* self, PyObject* name, PyTypeObject*& start, bool& found_mro) {
    if (!method.owner) raisef(PyExc_RuntimeError, "%U(): super() is only available in methods", method.qualname);
    auto* owner = reinterpret_cast<PyTypeObject*>(method.owner);
    start = Py_TYPE(self);
    if (PyType_Check(self) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(self), owner))
        start = reinterpret_cast<PyTypeObject*>(self);
    PyObject* mro = start->tp_mro;
    found_mro = mro && PyTuple_Check(mro) && PyType_IsSubtype(start, owner);
    if (!found_mro) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != method.owner) ++i;
    for (++i; i < n; ++i) {
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!dict) continue;
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);
        if (found) return found;
        if (PyErr_Occurred()) throw_error();
    }
    return nullptr;
}

}  // namespace

Ref super_attr(Function& method, PyObject* self, PyObject* name) {
    PyTypeObject* start = nullptr;
    bool walked = false;
    PyObject* found = lookup_after(method, self, name, start, walked);
    if (found) {
        Ref value = Ref::borrow(found);
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        if (!get) return value;
        return check(get(found, reinterpret_cast<PyObject*>(start) == self ? nullptr : self,
                         reinterpret_cast<PyObject*>(start)));
    }
    // Not in the MRO's namespaces (or an unusual MRO): let super() itself report or find it.
    Ref super = call(reinterpret_cast<PyObject*>(&PySuper_Type), {method.owner, self});
    return check(PyObject_GetAttr(super.get(), name));
}

Ref super_forward(Function& method, Bound& args, PyObject* name, PyObject* first) {
    PyObject* self = args[0];
    PyTypeObject* start = nullptr;
    bool walked = false;
    PyObject* found = lookup_after(method, self, name, start, walked);
    const bool plain_call = found && PyFunction_Check(found) && reinterpret_cast<PyObject*>(start) != self &&
                            args.raw_nargs() == 2 && !args.named_keywords();
    if (plain_call) {
        Ref function = Ref::borrow(found);
        PyObject* kwnames = args.raw_kwnames();
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        constexpr Py_ssize_t kLocal = 32;
        if (nkw <= kLocal) {
            PyObject* stack[2 + kLocal];
            stack[0] = self;
            stack[1] = first;
            for (Py_ssize_t k = 0; k < nkw; ++k) stack[2 + k] = args.raw_args()[2 + k];
            return check(PyObject_Vectorcall(function.get(), stack, 2, kwnames));
        }
    }
    Ref bound = super_attr(method, self, name);
    return call(bound.get(), {first}, args.kwargs());
}

Ref signature_line(const FunctionDef& def, PyObject* globals) {
    std::string line = def.qualname;
    line += '(';
    bool first = true, star_written = false;
    for (const Param& p : def.params) {
        if (!first) line += ", ";
        first = false;
        if (p.kind == Kind::KeywordOnly && !star_written) {
            line += "*, ";
            star_written = true;
        }
        if (p.kind == Kind::VarArgs) {
            line += '*';
            star_written = true;
        }
        if (p.kind == Kind::VarKwargs) line += "**";
        if (const char* t = conv_type_name(p.conv); t && p.kind != Kind::VarArgs && p.kind != Kind::VarKwargs) {
            line += t;
            line += ' ';
        }
        line += p.name;
        if (p.annotation) {
            line += ": ";
            line += p.annotation;
        }
        if (p.def.tag != Default::Tag::Absent) {
            line += " = ";
            if (p.def.source) {
                line += p.def.source;
            } else {
                Ref value = default_value(p.def, globals);
                Ref text = check(PyObject_Repr(value.get()));
                const char* utf8 = PyUnicode_AsUTF8(text.get());
                if (!utf8) throw_error();
                line += utf8;
            }
        }
    }
    line += ')';
    if (def.returns) {
        line += " -> ";
        line += def.returns;
    }
    return check(PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
}

Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* module_name, const char* filename,
                  Ref closure) {
    Ref name = check(PyUnicode_InternFromString(def.name));
    Ref qualname = check(PyUnicode_FromString(def.qualname));
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
        Ref value = default_value(p.def, globals);
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

    if (def.params.size() > kMaxParams) raisef(PyExc_SystemError, "%s declares too many parameters", def.qualname);
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
