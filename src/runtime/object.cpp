// Python-object helpers, each raising as the interpreter would.
#include "runtime/object.hpp"

namespace vh {

Ref interned(const char* text) {
    return check(PyUnicode_InternFromString(text));
}

Ref attr(PyObject* o, const char* name) {
    Ref key = interned(name);
    return check(PyObject_GetAttr(o, key.get()));
}

Ref py_int(Py_ssize_t v) {
    return check(PyLong_FromSsize_t(v));
}

Ref attr(PyObject* o, PyObject* name) {
    return check(PyObject_GetAttr(o, name));
}

void set_attr(PyObject* o, PyObject* name, PyObject* value) {
    check_status(PyObject_SetAttr(o, name, value));
}

PyObject* intern(const char* text) {
    return check(PyUnicode_InternFromString(text)).release();
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs) {
    return check(PyObject_VectorcallDict(callable, const_cast<PyObject* const*>(args.begin()), args.size(), kwargs));
}

Ref slice(Py_ssize_t start, Py_ssize_t stop, Py_ssize_t step) {
    auto bound = [](Py_ssize_t v) { return v == kOpen ? Ref::borrow(Py_None) : py_int(v); };
    Ref a = bound(start), b = bound(stop), c = bound(step);
    return check(PySlice_New(a.get(), b.get(), c.get()));
}

Ref everything() {
    return slice(kOpen, kOpen);
}
Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t;
}

Ref item(PyObject* o, PyObject* key) {
    return check(PyObject_GetItem(o, key));
}
Ref item(PyObject* o, std::initializer_list<PyObject*> key) {
    return item(o, tuple_of(key).get());
}
void set_item(PyObject* o, PyObject* key, PyObject* value) {
    check_status(PyObject_SetItem(o, key, value));
}
void set_item(PyObject* o, std::initializer_list<PyObject*> key, PyObject* value) {
    set_item(o, tuple_of(key).get(), value);
}

Ref add(PyObject* a, PyObject* b) {
    return check(PyNumber_Add(a, b));
}
Ref subtract(PyObject* a, PyObject* b) {
    return check(PyNumber_Subtract(a, b));
}
Ref multiply(PyObject* a, PyObject* b) {
    return check(PyNumber_Multiply(a, b));
}
Ref divide(PyObject* a, PyObject* b) {
    return check(PyNumber_TrueDivide(a, b));
}
Ref remainder(PyObject* a, PyObject* b) {
    return check(PyNumber_Remainder(a, b));
}
Ref negative(PyObject* a) {
    return check(PyNumber_Negative(a));
}

bool truth(PyObject* o) {
    return check_status(PyObject_IsTrue(o)) != 0;
}

// `a == b` in a condition (no identity shortcut, as the interpreter evaluates it).
bool equals(PyObject* a, PyObject* b) {
    Ref result = check(PyObject_RichCompare(a, b, Py_EQ));
    return truth(result.get());
}

Ref call(PyObject* f, std::initializer_list<PyObject*> args, Keywords keywords) {
    Ref positional = tuple_of(args);
    Ref named;
    if (keywords.size()) {
        named = check(PyDict_New());
        for (const auto& [name, value] : keywords) {
            Ref key = interned(name);
            check_status(PyDict_SetItem(named.get(), key.get(), value));
        }
    }
    return check(PyObject_Call(f, positional.get(), named.get()));
}

Ref method(PyObject* o, const char* name, std::initializer_list<PyObject*> args, Keywords keywords) {
    Ref f = attr(o, name);
    return call(f.get(), args, keywords);
}

Ref shape_tuple(std::initializer_list<Py_ssize_t> dims) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
    Py_ssize_t i = 0;
    for (Py_ssize_t d : dims) PyTuple_SET_ITEM(t.get(), i++, py_int(d).release());
    return t;
}

// `array.shape = dims`
void set_shape(PyObject* array, std::initializer_list<Py_ssize_t> dims) {
    Ref key = interned("shape");
    check_status(PyObject_SetAttr(array, key.get(), shape_tuple(dims).get()));
}

// `a, b, c = sequence`, with the unpacking errors of compiled modules.
template <std::size_t N>
std::array<Ref, N> unpack(PyObject* sequence) {
    auto need_more = [](Py_ssize_t found) {
        raisef(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    };
    auto too_many = [] { raisef(PyExc_ValueError, "too many values to unpack (expected %zu)", N); };
    std::array<Ref, N> values;
    if (PyTuple_CheckExact(sequence) || PyList_CheckExact(sequence)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
        if (size > static_cast<Py_ssize_t>(N)) too_many();
        if (size < static_cast<Py_ssize_t>(N)) need_more(size);
        for (std::size_t i = 0; i < N; ++i)
            values[i] = Ref::borrow(PySequence_Fast_GET_ITEM(sequence, static_cast<Py_ssize_t>(i)));
        return values;
    }
    Ref iterator = check(PyObject_GetIter(sequence));
    for (std::size_t i = 0; i < N; ++i) {
        values[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[i]) {
            if (PyErr_Occurred()) throw_error();
            need_more(static_cast<Py_ssize_t>(i));
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) too_many();
    if (PyErr_Occurred()) throw_error();
    return values;
}

template std::array<Ref, 2> unpack<2>(PyObject*);
template std::array<Ref, 3> unpack<3>(PyObject*);

std::array<Py_ssize_t, 3> unpack3(PyObject* sequence) {
    const std::array<Ref, 3> values = unpack<3>(sequence);
    std::array<Py_ssize_t, 3> sizes;
    for (int i = 0; i < 3; ++i) {
        Ref index = check(PyNumber_Index(values[i].get()));
        sizes[i] = PyLong_AsSsize_t(index.get());
        if (sizes[i] == -1 && PyErr_Occurred()) throw_error();
    }
    return sizes;
}

}  // namespace vh
