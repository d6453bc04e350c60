// NumPy access: array views, typed element access for any strides, result creation, ufunc inner
// loops, and calls of NumPy functions for the general paths.
#pragma once
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

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

inline bool is_array(PyObject* o) noexcept {
    return PyArray_Check(o);
}
inline PyArrayObject* as_array(PyObject* o) noexcept {
    return reinterpret_cast<PyArrayObject*>(o);
}

// A NumPy-typed element `T` at byte offset `offset` from `base`.
template <class T>
inline T& at(char* base, npy_intp offset) noexcept {
    return *reinterpret_cast<T*>(base + offset);
}

// One inner loop of a ufunc for one operand type, called as NumPy calls it: with one pointer
// and one byte step per operand (inputs first, then the output) and the element count.
//
// Some of NumPy's loops (arctan2 on CPUs with AVX-512, for one) choose between a SIMD and a
// scalar code by the operands' strides and by where they lie: when an input's byte range, taken
// as step * count from its first element, meets the output's, they run the scalar code, whose
// results differ in the last bit. NumPy's own answer for a strided operand therefore depends on
// where its freshly allocated output happens to land. These calls never let the ranges meet
// (the results go through a private block placed apart when they would), so they always give the
// answer NumPy gives for these input strides with an output lying apart from them.
template <int Inputs>
struct Loop {
    PyUFuncGenericFunction function = nullptr;
    void* data = nullptr;
    npy_intp itemsize = 0;  // of every operand

    explicit operator bool() const noexcept { return function != nullptr; }

    // out[i * out_step] = f(in[0][i * in_steps[0]], ...) for i < n (byte steps).
    void operator()(const void* const (&in)[Inputs], const npy_intp (&in_steps)[Inputs], void* out, npy_intp out_step,
                    npy_intp n) const noexcept {
        if (n <= 0) return;
        if (!meets_inputs(in, in_steps, out, out_step, n)) return run(in, in_steps, out, out_step, n);
        // Results go to a window of a private block that lies apart from the inputs, chunk by
        // chunk, with the output step's direction kept (some loops choose their code by it).
        constexpr npy_intp block = 256, gap = 128;
        constexpr int windows = 4;
        alignas(64) char local[windows * (block * 8 + gap)];
        const npy_intp window_step = out_step < 0 ? -itemsize : itemsize;
        for (npy_intp base = 0; base < n; base += block) {
            const npy_intp m = n - base < block ? n - base : block;
            const void* chunk_in[Inputs];
            for (int k = 0; k < Inputs; ++k) chunk_in[k] = static_cast<const char*>(in[k]) + base * in_steps[k];
            char* to = static_cast<char*>(out) + base * out_step;
            char* window = nullptr;
            for (int w = 0; w < windows && !window; ++w) {
                char* first = local + w * (block * itemsize + gap) + (out_step < 0 ? (m - 1) * itemsize : 0);
                if (!meets_inputs(chunk_in, in_steps, first, window_step, m)) window = first;
            }
            if (!window) {  // inputs spanning the whole stack block: the caller's output as it is
                run(chunk_in, in_steps, to, out_step, m);
                continue;
            }
            run(chunk_in, in_steps, window, window_step, m);
            for (npy_intp i = 0; i < m; ++i)
                std::memcpy(to + i * out_step, window + i * window_step, static_cast<std::size_t>(itemsize));
        }
    }

private:
    void run(const void* const (&in)[Inputs], const npy_intp (&in_steps)[Inputs], void* out, npy_intp out_step,
             npy_intp n) const noexcept {
        char* args[Inputs + 1];
        npy_intp steps[Inputs + 1];
        for (int k = 0; k < Inputs; ++k) {
            args[k] = static_cast<char*>(const_cast<void*>(in[k]));
            steps[k] = in_steps[k];
        }
        args[Inputs] = static_cast<char*>(out);
        steps[Inputs] = out_step;
        npy_intp dims[1] = {n};
        function(args, dims, steps, data);
    }

    // Whether NumPy could see an input's range as meeting the output's; a margin on both sides
    // keeps this conservative for any NumPy's way of measuring them.
    bool meets_inputs(const void* const (&in)[Inputs], const npy_intp (&in_steps)[Inputs], const void* out,
                      npy_intp out_step, npy_intp n) const noexcept {
        constexpr std::uintptr_t margin = 64;
        auto range = [&](const void* p, npy_intp step) {
            const auto start = reinterpret_cast<std::uintptr_t>(p);
            const auto span = static_cast<std::uintptr_t>(step < 0 ? -step : step) * static_cast<std::uintptr_t>(n);
            const std::uintptr_t lo = step < 0 ? start - span : start;
            return std::pair<std::uintptr_t, std::uintptr_t>{lo - margin, lo + span + itemsize + margin};
        };
        const auto [out_lo, out_hi] = range(out, out_step);
        for (int k = 0; k < Inputs; ++k) {
            const auto [lo, hi] = range(in[k], in_steps[k]);
            if (lo <= out_hi && out_lo <= hi) return true;
        }
        return false;
    }
};

using UnaryLoop = Loop<1>;
using BinaryLoop = Loop<2>;

// The loop NumPy itself runs for `ufunc` when all its operands have type `type_num` (so results
// are bit-identical with the ufunc); empty if the ufunc has none or is not a ufunc of that arity.
UnaryLoop unary_loop(PyObject* ufunc, int type_num);
BinaryLoop binary_loop(PyObject* ufunc, int type_num);

// One inner loop of a generalized ufunc for one signature of operand types, called as NumPy
// calls it: one pointer per operand; the outer count followed by the core dimensions (numbered
// in the order they first appear in the ufunc's signature); the operands' outer steps followed
// by every operand's core strides, operand by operand.
struct GufuncLoop {
    PyUFuncGenericFunction function = nullptr;
    void* data = nullptr;

    explicit operator bool() const noexcept { return function != nullptr; }
    void operator()(char** args, npy_intp* dimensions, npy_intp* steps) const noexcept {
        function(args, dimensions, steps, data);
    }
};

// The loop NumPy runs for the generalized ufunc `ufunc` with `nin` inputs when its operands
// (inputs, then outputs) have the types `types`; empty if it has none or is not a gufunc.
GufuncLoop gufunc_loop(PyObject* ufunc, int nin, std::initializer_list<int> types);

// Calls numpy.<name>(*args, **kwargs).
Ref call(const char* name, PyObject* args, PyObject* kwargs = nullptr);

// `obj` to hand to NumPy's conversion to an array: a list (and every list nested in it, down to
// NumPy's greatest number of dimensions) copied into new lists that only the caller holds; any
// other object as it is. NumPy keeps borrowed pointers to a list's items while it calls their
// hooks (`__float__`, `__len__`, ...), so a hook that empties the caller's list would free them
// under it; the copies hold their own references, which no hook can drop.
Ref private_lists(PyObject* obj);

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

// Whether `o.shape == dims` (`o.shape` read as Python reads it; arrays compared on their dimensions).
bool shape_is(PyObject* o, std::initializer_list<Py_ssize_t> dims);

// The data of a plain array, typed.
template <class T>
T* data_of(PyObject* o) {
    return static_cast<T*>(PyArray_DATA(as_array(o)));
}

// Whether array `o` has exactly these dimensions (-1: any size).
bool dims_are(PyObject* o, std::initializer_list<npy_intp> dims);

// NPY_DOUBLE or NPY_FLOAT for a plain float64 / float32 array, else -1.
int float_type(PyObject* o);

// Whether array `o` can be written element by element (writeable, no element sharing memory).
bool writable_in_place(PyObject* o);

// A new C-ordered array.
Ref new_array(int type, std::initializer_list<npy_intp> dims);

// Whether the memory of two arrays may overlap (compared by address ranges).
bool spans_overlap(PyArrayObject* a, PyArrayObject* b);

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
