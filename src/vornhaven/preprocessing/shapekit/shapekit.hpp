// shapekit's shared declarations, used by the module file and every file of functions.
// The module state made at import, the module globals the native paths depend on, the NumPy loops
// and array layouts the kernels use, and what each file of functions defines for the module file
// to collect.
#pragma once
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "geometry/boxes.hpp"
#include "geometry/rotation.hpp"
#include "runtime/klass.hpp"
#include "runtime/module.hpp"
#include "runtime/natives.hpp"
#include "runtime/numpy.hpp"
#include "runtime/object.hpp"

namespace vh::shapekit {

using np::data_of;
using np::dims_are;
using np::float_type;
using np::new_array;
using np::shape_is;
using np::spans_overlap;
using np::writable_in_place;

inline constexpr const char* kArray = "np.ndarray[Any, Any]";

enum class MatrixOrder { Unknown, Running, Pairwise };

// The module globals the native paths depend on: NumPy as `np`, the module functions that others
// call through the globals, `cast` (typing.cast) and `Any` (bound). A native path stands in for
// such calls only while they hold what the module bound, so a replaced one is seen as it would
// be in Python.
enum Global : int {
    kNpGlobal,
    kAnglesFn,
    kParallelogramFn,
    kCornersFn,
    kRotPointsFn,
    kCastGlobal,
    kAnyGlobal,
    kIntersectFn,
    kCoordinateTransformationFn,
};
inline constexpr unsigned kGetAngles = 1u << kAnglesFn, kParallelogramToBox = 1u << kParallelogramFn,
                          kCornerPoints = 1u << kCornersFn, kRotPoints = 1u << kRotPointsFn,
                          kCast = 1u << kCastGlobal | 1u << kAnyGlobal;

// Prepared at import.
struct State {
    PyObject* globals;
    np::UnaryLoop cos64, sin64, cos32, sin32;
    np::BinaryLoop atan2_64, atan2_32;
    // np.linalg.svd's loop (reduced matrices) and np.matmul's, for float64.
    np::GufuncLoop svd64, matmul64;
    // How einsum sums a rotated matrix entry for float64/float64, float32/float32 and
    // float64 matrices with float32 angles.
    MatrixOrder matrix_order[3];
    // How einsum orders the factors and terms of a rotated point, for the same three combinations
    // and each kind of inner loop (PointLoop).
    geometry::PointOrder point_order[3][3];
    // Which NaN the additions of the NumPy steps keep, by row (float64 and float32 where both
    // occur): parallelogram_to_box's in-place updates, top + right of the corner points, the
    // centre added to the corners of the fit, vexl_to_keypoints' right keypoints, vexl_to_box_corners'
    // and keypoints_to_box_corners' corners, and inference_boxes_to_corners' half sides times
    // size_factor, to_bottom and to_right.
    geometry::NanOrder inplace_add[2], inplace_subtract[2], corner_sum[2], fit_center_sum, vexl_right_sum[2],
        vexl_corner_sum[2], keypoint_center_sum[2], inference_scaling, inference_bottom_sum, inference_right_sum;
    PyObject* box_reconstruction_name;
    PyObject* box_reconstruction;  // the class as defined here
    NativeGlobals natives;         // the module globals the native paths depend on (Global)
    // The string dtypes of the trivial lookups: np.arange(n).astype(str) and the position names.
    PyArray_Descr* instance_descr;
    PyArray_Descr* position_descr;
};

extern State state;

inline PyObject* numpy_global() {
    return global(state.globals, state.natives.interned(kNpGlobal));
}
// The module's `np`, held for a series of calls: any of them may rebind the global.
inline Ref numpy_held() {
    return Ref::borrow(numpy_global());
}

// The native paths stand in for NumPy calls; they apply while the module's `np` is NumPy itself,
// so a replaced `np` sees every call, as it would in Python. A lookup in the module namespace can
// run Python code (the __eq__ of a key whose hash collides with the name's), so native paths make
// it before they read anything from their arrays.
inline bool numpy_is_native() {
    return state.natives.intact(1u << kNpGlobal);
}

// np.<name>(...) with the module's `np`.
inline Ref np_call(const char* name, std::initializer_list<PyObject*> args, Keywords keywords = {}) {
    return method(numpy_global(), name, args, keywords);
}
inline Ref np_attr(const char* name) {
    return attr(numpy_global(), name);
}

// Whether `np` and the globals of `mask` are as the module bound them.
inline bool natives_intact(unsigned mask) {
    return state.natives.intact(mask | 1u << kNpGlobal);
}

// A call of a module function through the module globals.
inline Ref call_global(Global function, std::initializer_list<PyObject*> args, Keywords keywords = {}) {
    return state.natives.call(function, args, keywords);
}

// The check that an in-place operation handed back the array it worked on. The very object
// passes whatever its values (NaN included); another object must hold equal values.
inline bool same_array(PyObject* result, PyObject* target) {
    if (result == target) return true;
    Ref equal = check(PyObject_RichCompare(result, target, Py_EQ));
    Ref all = np_call("all", {equal.get()});
    return truth(all.get());
}

// ---------------------------------------------------------------------------------------------
// Native paths: NumPy's loops for the transcendental functions, and result arrays laid out as
// the NumPy steps lay them out.

// The Math policy of the kernels: NumPy's own cos, sin and arctan2 loops (bit-identical with
// the ufuncs), or the C library where NumPy has no such loop.
template <class T>
struct NumpyMath {
    static constexpr bool single = std::is_same_v<T, float>;

    void cos(const T* in, npy_intp in_step, T* out, npy_intp n) const noexcept {
        unary(single ? state.cos32 : state.cos64, in, in_step, out, n, [](T x) { return std::cos(x); });
    }
    void sin(const T* in, npy_intp in_step, T* out, npy_intp n) const noexcept {
        unary(single ? state.sin32 : state.sin64, in, in_step, out, n, [](T x) { return std::sin(x); });
    }
    void atan2(const T* y, npy_intp y_step, const T* x, npy_intp x_step, T* out, npy_intp n) const noexcept {
        if (n <= 0) return;
        const np::BinaryLoop& loop = single ? state.atan2_32 : state.atan2_64;
        if (loop) return loop({y, x}, {y_step, x_step}, out, sizeof(T), n);
        for (npy_intp i = 0; i < n; ++i)
            out[i] = std::atan2(geometry::strided<const T>(reinterpret_cast<char*>(const_cast<T*>(y)), i * y_step),
                                geometry::strided<const T>(reinterpret_cast<char*>(const_cast<T*>(x)), i * x_step));
    }

private:
    template <class F>
    static void unary(const np::UnaryLoop& loop, const T* in, npy_intp in_step, T* out, npy_intp n, F fallback) {
        if (n <= 0) return;
        if (loop) return loop({in}, {in_step}, out, sizeof(T), n);
        for (npy_intp i = 0; i < n; ++i)
            out[i] = fallback(geometry::strided<const T>(reinterpret_cast<char*>(const_cast<T*>(in)), i * in_step));
    }
};

template <class T>
geometry::View1<T> view1(PyObject* o) {
    PyArrayObject* a = np::as_array(o);
    return {PyArray_BYTES(a), PyArray_STRIDE(a, 0)};
}
template <class T>
geometry::View2<T> view2(PyObject* o) {
    PyArrayObject* a = np::as_array(o);
    return {PyArray_BYTES(a), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1)};
}
template <class T>
geometry::View3<T> view3(PyObject* o) {
    PyArrayObject* a = np::as_array(o);
    return {PyArray_BYTES(a), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1), PyArray_STRIDE(a, 2)};
}
// The view `base.swapaxes(0, 1)` of a new C-ordered `base` of shape (d0, d1) or (d0, d1, d2):
// what stacking rows with np.array and swapping the axes leaves behind.
inline Ref new_swapped(int type, npy_intp d0, npy_intp d1, npy_intp d2 = -1) {
    const int nd = d2 < 0 ? 2 : 3;
    npy_intp dims[3] = {d0, d1, d2};
    Ref base = check(PyArray_SimpleNew(nd, dims, type));
    PyArrayObject* b = np::as_array(base.get());
    npy_intp view_dims[3] = {d1, d0, d2};
    npy_intp strides[3] = {PyArray_STRIDE(b, 1), PyArray_STRIDE(b, 0), nd == 3 ? PyArray_STRIDE(b, 2) : 0};
    PyArray_Descr* descr = PyArray_DESCR(b);
    Py_INCREF(descr);
    Ref view = check(PyArray_NewFromDescr(&PyArray_Type, descr, nd, view_dims, strides, PyArray_DATA(b),
                                          NPY_ARRAY_WRITEABLE, nullptr));
    check_status(PyArray_SetBaseObject(np::as_array(view.get()), base.release()));
    return view;
}

// A new (P, 4, 2) array laid out as NumPy lays out the result of an elementwise operation on
// the corners of get_corner_points_from_box_tuples: corner-major from two boxes on.
inline Ref new_corner_major(int type, npy_intp P, npy_intp item_size) {
    npy_intp dims[3] = {P, 4, 2};
    if (P < 2) return check(PyArray_SimpleNew(3, dims, type));
    npy_intp strides[3] = {2 * item_size, 2 * P * item_size, item_size};
    return check(
        PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type), 3, dims, strides, nullptr, 0, nullptr));
}

// Cosines and sines of all angles, computed by NumPy's own loops before anything is written
// (the angles may be a view into the array being rotated).
template <class C>
void angles_cos_sin(PyArrayObject* angles, C* cosines, C* sines) {
    const npy_intp n = PyArray_DIM(angles, 0);
    const npy_intp step = PyArray_STRIDE(angles, 0);
    const C* data = reinterpret_cast<const C*>(PyArray_BYTES(angles));
    NumpyMath<C>{}.cos(data, step, cosines, n);
    NumpyMath<C>{}.sin(data, step, sines, n);
}

// The choice between a native kernel and the NumPy steps for an array of dtype `type` (as
// float_type gives it, read after the module globals were looked up): `kernel(double{})` for
// float64, `kernel(float{})` for float32; false for anything else, which the NumPy steps handle.
template <class Kernel>
bool dispatch_float(int type, Kernel&& kernel) {
    if (type == NPY_DOUBLE)
        kernel(double{});
    else if (type == NPY_FLOAT)
        kernel(float{});
    else
        return false;
    return true;
}

// Defined by the files of functions, in the module's source order.
extern const FunctionDef get_rotation_matrix_2d_def, coordinate_transformation_def, rot_mats_multi_rads_def,
    rot_points_multi_rads_def;
extern const FunctionDef get_angles_from_points_def, parallelogram_to_box_def, get_corner_points_from_box_tuples_def,
    get_box_and_rotation_from_parallelogram_keypoints_def;
extern const FunctionDef assemble_keypoints_after_shuffle_def;
extern const FunctionDef vexl_to_keypoints_def, keypoints_trivial_lookup_def, vexl_to_box_corners_def,
    box_corners_to_vexl_def, keypoints_to_vexl_def, keypoints_to_box_corners_def, inference_boxes_to_corners_def;
extern const FunctionDef intersect_def, clipper_def, surrounding_rectangle_from_corners_def, intersections_def;

// The kinds of inner loop einsum("rcR,Rxc->Rxr", matrices, points, out=points) runs, each with
// its own order of arithmetic: the sum over the two coordinates innermost, over coordinates and
// matrix entries adjacent in memory (Contiguous: a single rotation, or matrices einsum casts into
// its buffer) or not (Strided); or the sum outside the inner loop (Outer).
enum PointLoop { kContiguous, kStrided, kOuter };

// The kind of einsum's inner loop for n sets of m points with byte strides s0, s1, s2.
PointLoop point_loop(npy_intp n, npy_intp m, npy_intp s0, npy_intp s1, npy_intp s2, npy_intp item_size,
                     npy_intp angle_size);

// The stacked rotation matrices np.array([[cr, -sr], [sr, cr]]).reshape((2, 2, n)).
Ref stacked_rotation_matrices(PyObject* rotation_rads, Py_ssize_t number_of_rotations);

// np.einsum(subscripts, *operands, out=out)
void einsum_into(const char* subscripts, std::initializer_list<PyObject*> operands, PyObject* out);

// The order of the rotations inside the box functions, whose points have the coordinates
// innermost and contiguous (combination 2: float64 points, float32 angles, which einsum casts).
geometry::PointOrder inner_point_order(int combination, npy_intp n);

// np.linalg.pinv of a float64 2 x 2 matrix (row-major) through NumPy's own SVD and matmul loops,
// so bit-identical with it; false when those loops are missing or the result is not finite (the
// NumPy steps then give NumPy's own warnings and errors).
bool pinv_2x2(const double (&matrix)[2][2], double (&inverse)[2][2]);

// The coordinate system spanned by three float64 points A, B, C as coordinate_transformation
// computes it: origin B, base_system (columns A - B and C - B) and its pseudo-inverse.
struct Frame {
    double origin[2];
    double base[2][2];
    double inverse[2][2];
};
// False when the points are not finite or pinv_2x2 refuses (the NumPy steps then decide).
bool frame_of(const double (&points)[3][2], Frame& frame);

// Finds, at import, the orders of operations of this NumPy that the kernels reproduce.
void calibrate();

// Finds, at import, how NumPy compares a float32 scalar with a Python float (overlap.cpp).
void prepare_overlap(PyObject* numpy);

}  // namespace vh::shapekit
