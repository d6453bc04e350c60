// NumPy access: the C API import, ufunc inner loops, shapes read as Python reads them, array checks.
#define VH_NUMPY_IMPORT_HERE
#include "runtime/numpy.hpp"
#include "runtime/object.hpp"

namespace vh::np {

namespace {
PyObject* numpy_module = nullptr;  // held for the life of the process
}

void import() {
    if (PyArray_ImportNumPyAPI() < 0) throw_error();
    if (!numpy_module) numpy_module = check(PyImport_ImportModule("numpy")).release();
}

PyObject* numpy() {
    return numpy_module;
}

namespace {

// The inner loop of `ufunc` (nin inputs, nout outputs) whose operand types are `types`, or nulls.
std::pair<PyUFuncGenericFunction, void*> find_function(PyObject* ufunc, int nin, int nout, const int* types) {
    // The ufunc type comes from the numpy module: its C API table is not imported here.
    Ref ufunc_type = check(PyObject_GetAttrString(numpy_module, "ufunc"));
    if (!ufunc || !PyType_Check(ufunc_type.get()) ||
        !PyObject_TypeCheck(ufunc, reinterpret_cast<PyTypeObject*>(ufunc_type.get())))
        return {};
    auto* u = reinterpret_cast<PyUFuncObject*>(ufunc);
    if (u->nin != nin || u->nout != nout || !u->functions || !u->types) return {};
    const int nargs = nin + nout;
    for (int i = 0; i < u->ntypes; ++i) {
        const char* found = u->types + nargs * i;
        bool all = true;
        for (int k = 0; k < nargs; ++k) all = all && found[k] == types[k];
        if (all && u->functions[i]) return {u->functions[i], u->data ? u->data[i] : nullptr};
    }
    return {};
}

// The inner loop of `ufunc` whose operand types are all `type_num`.
template <int Inputs>
Loop<Inputs> find_loop(PyObject* ufunc, int type_num) {
    npy_intp itemsize = 0;
    if (type_num == NPY_DOUBLE)
        itemsize = sizeof(double);
    else if (type_num == NPY_FLOAT)
        itemsize = sizeof(float);
    else
        return {};
    int types[Inputs + 1];
    for (int& t : types) t = type_num;
    const auto [function, data] = find_function(ufunc, Inputs, 1, types);
    if (!function) return {};
    return {function, data, itemsize};
}

}  // namespace

UnaryLoop unary_loop(PyObject* ufunc, int type_num) {
    return find_loop<1>(ufunc, type_num);
}
BinaryLoop binary_loop(PyObject* ufunc, int type_num) {
    return find_loop<2>(ufunc, type_num);
}

GufuncLoop gufunc_loop(PyObject* ufunc, int nin, std::initializer_list<int> types) {
    const int nout = static_cast<int>(types.size()) - nin;
    if (nin < 1 || nout < 1) return {};
    const auto [function, data] = find_function(ufunc, nin, nout, types.begin());
    if (!function || reinterpret_cast<PyUFuncObject*>(ufunc)->core_enabled == 0) return {};
    return {function, data};
}

Ref call(const char* name, PyObject* args, PyObject* kwargs) {
    Ref f = attr(numpy_module, name);
    return check(PyObject_Call(f.get(), args, kwargs));
}

static Ref private_lists(PyObject* obj, int depth) {
    if (!PyList_CheckExact(obj) || depth > NPY_MAXDIMS) return Ref::borrow(obj);
    // The copy holds its own references, so nothing that runs meanwhile can free what it reads.
    Ref copy = check(PyList_GetSlice(obj, 0, PY_SSIZE_T_MAX));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(copy.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(copy.get(), i);
        if (!PyList_CheckExact(item)) continue;
        Ref inner = private_lists(item, depth + 1);
        PyList_SetItem(copy.get(), i, inner.release());  // the copy is ours alone: drops the shared list
    }
    return copy;
}

Ref private_lists(PyObject* obj) {
    return private_lists(obj, 1);
}

Ref shape_of(PyObject* obj) {
    if (PyArray_Check(obj)) {
        PyArrayObject* a = as_array(obj);
        return check(PyArray_IntTupleFromIntp(PyArray_NDIM(a), PyArray_SHAPE(a)));
    }
    return attr(obj, "shape");
}

Py_ssize_t shape_at(PyObject* obj, Py_ssize_t index) {
    if (PyArray_Check(obj)) {
        PyArrayObject* a = as_array(obj);
        if (index < PyArray_NDIM(a)) return PyArray_DIM(a, static_cast<int>(index));
        raise(PyExc_IndexError, "tuple index out of range");
    }
    Ref shape = shape_of(obj);
    Ref item = check(PySequence_GetItem(shape.get(), index));
    Ref as_int = check(PyNumber_Index(item.get()));
    Py_ssize_t v = PyLong_AsSsize_t(as_int.get());
    if (v == -1 && PyErr_Occurred()) throw_error();
    return v;
}

bool shape_equals(PyObject* shape, std::initializer_list<Py_ssize_t> dims) {
    if (PyTuple_CheckExact(shape)) {
        if (PyTuple_GET_SIZE(shape) != static_cast<Py_ssize_t>(dims.size())) return false;
        Py_ssize_t i = 0;
        for (Py_ssize_t d : dims) {
            PyObject* item = PyTuple_GET_ITEM(shape, i++);
            if (PyLong_CheckExact(item)) {
                int overflow = 0;
                long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
                if (overflow || v != d) return false;
                continue;
            }
            Ref expected = check(PyLong_FromSsize_t(d));
            if (!check_status(PyObject_RichCompareBool(item, expected.get(), Py_EQ))) return false;
        }
        return true;
    }
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
    Py_ssize_t i = 0;
    for (Py_ssize_t d : dims) PyTuple_SET_ITEM(tuple.get(), i++, check(PyLong_FromSsize_t(d)).release());
    return check_status(PyObject_RichCompareBool(shape, tuple.get(), Py_EQ));
}

}  // namespace vh::np

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace vh::np {

bool may_overlap_internally(PyArrayObject* a) noexcept {
    const int nd = PyArray_NDIM(a);
    std::pair<npy_intp, npy_intp> extent_stride[NPY_MAXDIMS];
    int k = 0;
    for (int i = 0; i < nd; ++i) {
        const npy_intp dim = PyArray_DIM(a, i);
        if (dim == 0) return false;
        if (dim == 1) continue;
        extent_stride[k] = {std::llabs(PyArray_STRIDE(a, i)), dim};
        ++k;
    }
    std::sort(extent_stride, extent_stride + k);
    npy_intp span = PyArray_ITEMSIZE(a);
    for (int i = 0; i < k; ++i) {
        if (extent_stride[i].first < span) return true;
        span = extent_stride[i].first * (extent_stride[i].second - 1) + span;
    }
    return false;
}

bool shape_is(PyObject* o, std::initializer_list<Py_ssize_t> dims) {
    if (PyArray_Check(o)) {
        PyArrayObject* array = as_array(o);
        if (PyArray_NDIM(array) != static_cast<int>(dims.size())) return false;
        int axis = 0;
        for (Py_ssize_t d : dims)
            if (PyArray_DIM(array, axis++) != d) return false;
        return true;
    }
    Ref shape = shape_of(o);
    return shape_equals(shape.get(), dims);
}

// Whether `o` is a plain float64 / float32 array of exactly these dimensions (-1: any size).
bool dims_are(PyObject* o, std::initializer_list<npy_intp> dims) {
    PyArrayObject* a = as_array(o);
    if (PyArray_NDIM(a) != static_cast<int>(dims.size())) return false;
    int axis = 0;
    for (npy_intp d : dims) {
        if (d >= 0 && PyArray_DIM(a, axis) != d) return false;
        ++axis;
    }
    return true;
}
int float_type(PyObject* o) {
    if (is_plain(o, NPY_DOUBLE)) return NPY_DOUBLE;
    if (is_plain(o, NPY_FLOAT)) return NPY_FLOAT;
    return -1;
}
bool writable_in_place(PyObject* o) {
    PyArrayObject* a = as_array(o);
    return PyArray_ISWRITEABLE(a) && !may_overlap_internally(a);
}

// A new array, C order.
Ref new_array(int type, std::initializer_list<npy_intp> dims) {
    npy_intp d[3];
    int nd = 0;
    for (npy_intp x : dims) d[nd++] = x;
    return check(PyArray_SimpleNew(nd, d, type));
}

// Whether the memory of two arrays may overlap (compared by address ranges).
bool spans_overlap(PyArrayObject* a, PyArrayObject* b) {
    auto span = [](PyArrayObject* x, char*& low, char*& high) {
        low = high = PyArray_BYTES(x);
        for (int i = 0; i < PyArray_NDIM(x); ++i) {
            const npy_intp extent = (PyArray_DIM(x, i) - 1) * PyArray_STRIDE(x, i);
            if (PyArray_DIM(x, i) == 0) return false;
            if (extent < 0)
                low += extent;
            else
                high += extent;
        }
        high += PyArray_ITEMSIZE(x);
        return true;
    };
    char *a_low, *a_high, *b_low, *b_high;
    if (!span(a, a_low, a_high) || !span(b, b_low, b_high)) return false;
    return a_low < b_high && b_low < a_high;
}

}  // namespace vh::np
