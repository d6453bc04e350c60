// super(): base-class lookups made at call time as `super()` makes them.
#include "runtime/function.hpp"

namespace vh {

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

}  // namespace vh
