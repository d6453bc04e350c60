// NumPy access: array views, typed element access for any strides, result creation, ufunc inner
// loops, and calls of NumPy functions for the general paths.
#pragma once
#include "runtime/error.hpp"

#ifndef VH_NUMPY_IMPORT_HERE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

namespace vh::np {

// Imports NumPy's C API and the functions the general paths call; once per module.
void import();

PyObject* numpy();  // the numpy module

inline bool is_array(PyObject* o) noexcept { return PyArray_Check(o); }
inline PyArrayObject* as_array(PyObject* o) noexcept { return reinterpret_cast<PyArrayObject*>(o); }

// A NumPy-typed element `T` at byte offset `offset` from `base`.
template <class T>
inline T& at(char* base, npy_intp offset) noexcept {
    return *reinterpret_cast<T*>(base + offset);
}

// One inner loop of a unary ufunc for one input/output type pair.
struct UnaryLoop {
    PyUFuncGenericFunction function = nullptr;
    void* data = nullptr;

    explicit operator bool() const noexcept { return function != nullptr; }
    // out[i * out_step] = f(in[i * in_step]) for i < n (byte steps).
    void operator()(const void* in, npy_intp in_step, void* out, npy_intp out_step, npy_intp n) const noexcept {
        char* args[2] = {static_cast<char*>(const_cast<void*>(in)), static_cast<char*>(out)};
        npy_intp dims[1] = {n};
        npy_intp steps[2] = {in_step, out_step};
        function(args, dims, steps, data);
    }
};

// The loop NumPy itself runs for `ufunc` on `type_num` input and output (so results are
// bit-identical with the ufunc); empty if the ufunc has none.
UnaryLoop unary_loop(PyObject* ufunc, int type_num);

// Calls numpy.<name>(*args, **kwargs).
Ref call(const char* name, PyObject* args, PyObject* kwargs = nullptr);

// Reads `obj.shape[index]` as Python does (attribute lookup, indexing), converted to a C integer.
Py_ssize_t shape_at(PyObject* obj, Py_ssize_t index);

// `obj.shape` (a tuple for arrays).
Ref shape_of(PyObject* obj);

// Whether `obj.shape == (d0, d1, ...)` holds, compared as Python compares a shape with a tuple.
bool shape_equals(PyObject* shape, std::initializer_list<Py_ssize_t> dims);

}  // namespace vh::np

namespace vh::np {

// Whether two elements of `a` may share memory (zero or interleaved strides); conservative.
bool may_overlap_internally(PyArrayObject* a) noexcept;

// Whether `a` is a plain ndarray of dtype `type_num` in native byte order and aligned.
inline bool is_plain(PyObject* o, int type_num) noexcept {
    if (!PyArray_CheckExact(o)) return false;
    PyArrayObject* a = as_array(o);
    return PyArray_TYPE(a) == type_num && PyArray_ISNOTSWAPPED(a) && PyArray_ISALIGNED(a);
}

// Scratch memory: on the stack for small sizes.
template <class T, std::size_t Local = 64>
class Scratch {
public:
    explicit Scratch(std::size_t n) : data_(n <= Local ? local_ : new T[n]) {}
    ~Scratch() {
        if (data_ != local_) delete[] data_;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    T* data() noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }

private:
    T local_[Local];
    T* data_;
};

}  // namespace vh::np
