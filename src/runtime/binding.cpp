// Argument binding: vectorcall arguments to declared parameters, with the interpreter's messages,
// and the checks and conversions of each parameter.
#include "runtime/function_internal.hpp"

namespace vh {

namespace {

PyTypeObject* conv_exact_type(Conv conv) {
    switch (conv) {
        case Conv::List:
            return &PyList_Type;
        case Conv::Dict:
            return &PyDict_Type;
        case Conv::Tuple:
            return &PyTuple_Type;
        case Conv::Str:
            return &PyUnicode_Type;
        default:
            return nullptr;
    }
}

bool is_number(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb && (nb->nb_float || nb->nb_index || nb->nb_int);
}

}  // namespace

void raise_argument_type(const char* name, const char* expected, PyObject* got) {
    raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
           Py_TYPE(got)->tp_name);
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

// Binds arguments as the interpreter binds a Python function's, then checks and converts them.
void Binder::bind(Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& b) {
    const FunctionDef& def = *f.def;
    const auto params = def.params;
    const char* fname = def.name;
    b.def_ = &def;
    b.param_names_ = f.param_names;
    b.raw_args_ = args;
    b.raw_nargs_ = nargs;
    b.raw_kwnames_ = kwnames;
    const Py_ssize_t npos = static_cast<Py_ssize_t>(detail::count_positional(def));
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

void Binder::convert(const Param& p, Bound& b, std::size_t i) {
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

void Binder::raise_count(const char* fname, Py_ssize_t min, Py_ssize_t max, bool varargs, Py_ssize_t found) {
    const bool exact = min == max && !varargs;
    Py_ssize_t expected = found < min ? min : max;
    const char* more_or_less = found < min ? "at least" : "at most";
    if (exact) more_or_less = "exactly";
    raisef(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname, more_or_less,
           expected, expected == 1 ? "" : "s", found);
}

}  // namespace vh
