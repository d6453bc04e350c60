// vornhaven.preprocessing.shapekit: plane geometry of rotated boxes and keypoints.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "geometry/boxes.hpp"
#include "geometry/rotation.hpp"
#include "runtime/klass.hpp"
#include "runtime/module.hpp"
#include "runtime/numpy.hpp"

namespace {

using namespace vh;

constexpr const char* kArray = "np.ndarray[Any, Any]";

enum class MatrixOrder { Unknown, Running, Pairwise };

// Prepared at import.
struct State {
    PyObject* np_name;  // interned "np", looked up in the module globals at call time
    PyObject* globals;
    np::UnaryLoop cos64, sin64, cos32, sin32;
    np::BinaryLoop atan2_64, atan2_32;
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
    // Module functions called through the globals (interned names, and the functions as defined).
    PyObject* helper_names[4];
    PyObject* helpers[4];
    PyObject* box_reconstruction_name;
    PyObject* box_reconstruction;  // the class as defined here
    PyObject* cast_name;
    PyObject* any_name;
    PyObject* typing_cast;
    // The string dtypes of the trivial lookups: np.arange(n).astype(str) and the position names.
    PyArray_Descr* instance_descr;
    PyArray_Descr* position_descr;
} state;

PyObject* numpy_global() {
    return global(state.globals, state.np_name);
}
// The module's `np`, held for a series of calls: any of them may rebind the global.
Ref numpy_held() {
    return Ref::borrow(numpy_global());
}

// The native paths stand in for NumPy calls; they apply while the module's `np` is NumPy itself,
// so a replaced `np` sees every call, as it would in Python. A lookup in the module namespace can
// run Python code (the __eq__ of a key whose hash collides with the name's), so native paths make
// it before they read anything from their arrays.
bool numpy_is_native() {
    return PyDict_GetItem(state.globals, state.np_name) == np::numpy();
}

Ref attr(PyObject* o, const char* name) {
    return check(PyObject_GetAttrString(o, name));
}

Ref py_int(Py_ssize_t v) {
    return check(PyLong_FromSsize_t(v));
}

// Whether `o.shape == dims`; arrays are compared on their dimensions.
bool shape_is(PyObject* o, std::initializer_list<Py_ssize_t> dims) {
    if (PyArray_Check(o)) {
        PyArrayObject* array = np::as_array(o);
        if (PyArray_NDIM(array) != static_cast<int>(dims.size())) return false;
        int axis = 0;
        for (Py_ssize_t d : dims)
            if (PyArray_DIM(array, axis++) != d) return false;
        return true;
    }
    Ref shape = np::shape_of(o);
    return np::shape_equals(shape.get(), dims);
}

// ---------------------------------------------------------------------------------------------
// The general paths: the NumPy steps, written out through the C API.

constexpr Py_ssize_t kOpen = PY_SSIZE_T_MIN;  // an omitted slice bound

Ref slice(Py_ssize_t start, Py_ssize_t stop, Py_ssize_t step = kOpen) {
    auto bound = [](Py_ssize_t v) { return v == kOpen ? Ref::borrow(Py_None) : py_int(v); };
    Ref a = bound(start), b = bound(stop), c = bound(step);
    return check(PySlice_New(a.get(), b.get(), c.get()));
}

Ref everything() {
    return slice(kOpen, kOpen);
}  // `:`

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

using Keywords = std::initializer_list<std::pair<const char*, PyObject*>>;

Ref call(PyObject* f, std::initializer_list<PyObject*> args, Keywords keywords = {}) {
    Ref positional = tuple_of(args);
    Ref named;
    if (keywords.size()) {
        named = check(PyDict_New());
        for (const auto& [name, value] : keywords) check_status(PyDict_SetItemString(named.get(), name, value));
    }
    return check(PyObject_Call(f, positional.get(), named.get()));
}

Ref method(PyObject* o, const char* name, std::initializer_list<PyObject*> args, Keywords keywords = {}) {
    Ref f = attr(o, name);
    return call(f.get(), args, keywords);
}

// np.<name>(...) with the module's `np`.
Ref np_call(const char* name, std::initializer_list<PyObject*> args, Keywords keywords = {}) {
    return method(numpy_global(), name, args, keywords);
}
Ref np_attr(const char* name) {
    return attr(numpy_global(), name);
}

Ref shape_tuple(std::initializer_list<Py_ssize_t> dims) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
    Py_ssize_t i = 0;
    for (Py_ssize_t d : dims) PyTuple_SET_ITEM(t.get(), i++, py_int(d).release());
    return t;
}

// `array.shape = dims`
void set_shape(PyObject* array, std::initializer_list<Py_ssize_t> dims) {
    check_status(PyObject_SetAttrString(array, "shape", shape_tuple(dims).get()));
}

// `a, b, c = sequence`, with the unpacking errors of compiled modules.
std::array<Py_ssize_t, 3> unpack3(PyObject* sequence) {
    auto need_more = [](Py_ssize_t found) {
        raisef(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    };
    Ref values[3];
    if (PyTuple_CheckExact(sequence) || PyList_CheckExact(sequence)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
        if (size > 3) raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        if (size < 3) need_more(size);
        for (Py_ssize_t i = 0; i < 3; ++i) values[i] = Ref::borrow(PySequence_Fast_GET_ITEM(sequence, i));
    } else {
        Ref iterator = check(PyObject_GetIter(sequence));
        for (Py_ssize_t i = 0; i < 3; ++i) {
            values[i] = Ref::steal(PyIter_Next(iterator.get()));
            if (!values[i]) {
                if (PyErr_Occurred()) throw_error();
                need_more(i);
            }
        }
        Ref extra = Ref::steal(PyIter_Next(iterator.get()));
        if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        if (PyErr_Occurred()) throw_error();
    }
    std::array<Py_ssize_t, 3> sizes;
    for (int i = 0; i < 3; ++i) {
        Ref index = check(PyNumber_Index(values[i].get()));
        sizes[i] = PyLong_AsSsize_t(index.get());
        if (sizes[i] == -1 && PyErr_Occurred()) throw_error();
    }
    return sizes;
}

// Module functions that other functions of the module call through the module globals. A
// native path stands in for such calls only while the globals still hold the functions defined
// here (and `np` is NumPy), so replacing one of them is seen as it would be in Python.
enum Helper : unsigned {
    kGetAngles = 1u << 0,
    kParallelogramToBox = 1u << 1,
    kCornerPoints = 1u << 2,
    kRotPoints = 1u << 3,
    kCast = 1u << 4,  // `cast` is typing.cast and `Any` is bound
};
constexpr int kHelpers = 4;
constexpr const char* kHelperNames[kHelpers] = {"get_angles_from_points", "parallelogram_to_box",
                                                "get_corner_points_from_box_tuples", "rot_points_multi_rads"};

bool natives_intact(unsigned helpers) {
    if (!numpy_is_native()) return false;
    for (int i = 0; i < kHelpers; ++i)
        if ((helpers & (1u << i)) && PyDict_GetItem(state.globals, state.helper_names[i]) != state.helpers[i])
            return false;
    if (helpers & kCast) {
        if (PyDict_GetItem(state.globals, state.cast_name) != state.typing_cast) return false;
        if (!PyDict_GetItem(state.globals, state.any_name)) return false;
    }
    return true;
}

// A call of a module function through the module globals.
Ref call_global(int helper, std::initializer_list<PyObject*> args, Keywords keywords = {}) {
    Ref function = Ref::borrow(global(state.globals, state.helper_names[helper]));  // held while it runs
    return call(function.get(), args, keywords);
}
constexpr int kAnglesFn = 0, kParallelogramFn = 1, kCornersFn = 2, kRotPointsFn = 3;

// The check that an in-place operation handed back the array it worked on. The very object
// passes whatever its values (NaN included); another object must hold equal values.
bool same_array(PyObject* result, PyObject* target) {
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
template <class T>
T* data_of(PyObject* o) {
    return static_cast<T*>(PyArray_DATA(np::as_array(o)));
}

// Whether `o` is a plain float64 / float32 array of exactly these dimensions (-1: any size).
bool dims_are(PyObject* o, std::initializer_list<npy_intp> dims) {
    PyArrayObject* a = np::as_array(o);
    if (PyArray_NDIM(a) != static_cast<int>(dims.size())) return false;
    int axis = 0;
    for (npy_intp d : dims) {
        if (d >= 0 && PyArray_DIM(a, axis) != d) return false;
        ++axis;
    }
    return true;
}
int float_type(PyObject* o) {
    if (np::is_plain(o, NPY_DOUBLE)) return NPY_DOUBLE;
    if (np::is_plain(o, NPY_FLOAT)) return NPY_FLOAT;
    return -1;
}
bool writable_in_place(PyObject* o) {
    PyArrayObject* a = np::as_array(o);
    return PyArray_ISWRITEABLE(a) && !np::may_overlap_internally(a);
}

// A new array, C order.
Ref new_array(int type, std::initializer_list<npy_intp> dims) {
    npy_intp d[3];
    int nd = 0;
    for (npy_intp x : dims) d[nd++] = x;
    return check(PyArray_SimpleNew(nd, d, type));
}

// The view `base.swapaxes(0, 1)` of a new C-ordered `base` of shape (d0, d1) or (d0, d1, d2):
// what stacking rows with np.array and swapping the axes leaves behind.
Ref new_swapped(int type, npy_intp d0, npy_intp d1, npy_intp d2 = -1) {
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
Ref new_corner_major(int type, npy_intp P, npy_intp item_size) {
    npy_intp dims[3] = {P, 4, 2};
    if (P < 2) return check(PyArray_SimpleNew(3, dims, type));
    npy_intp strides[3] = {2 * item_size, 2 * P * item_size, item_size};
    return check(
        PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type), 3, dims, strides, nullptr, 0, nullptr));
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

// ---------------------------------------------------------------------------------------------
// get_rotation_matrix_2d

double cos64(double x) {
    double r;
    if (state.cos64)
        state.cos64({&x}, {sizeof x}, &r, sizeof r, 1);
    else
        r = std::cos(x);
    return r;
}

double sin64(double x) {
    double r;
    if (state.sin64)
        state.sin64({&x}, {sizeof x}, &r, sizeof r, 1);
    else
        r = std::sin(x);
    return r;
}

const Param rotation_matrix_params[] = {
    {"angle_in_deg", "float | None", Conv::Float, Kind::KeywordOnly, dflt::none()},
    {"angle_in_rad", "float | None", Conv::Float, Kind::KeywordOnly, dflt::none()},
};

Ref get_rotation_matrix_2d(Function&, Bound& a) {
    const bool have_deg = !a.is_none(0), have_rad = !a.is_none(1);
    if (have_deg == have_rad) {
        Ref deg = check(PyObject_Format(a[0], nullptr));
        Ref rad = check(PyObject_Format(a[1], nullptr));
        raisef(PyExc_ValueError, "Pass angle either in degrees (%U) in radians (%U).", deg.get(), rad.get());
    }
    if (!numpy_is_native()) {
        Ref held = numpy_held();
        PyObject* numpy = held.get();
        Ref pi = attr(numpy, "pi");
        Ref angle = have_deg ? check(PyFloat_FromDouble(a.real(0) / 180)) : Ref::borrow(a[1]);
        if (have_deg) angle = check(PyNumber_Multiply(angle.get(), pi.get()));
        Ref c = check(PyObject_CallMethod(numpy, "cos", "O", angle.get()));
        Ref s = check(PyObject_CallMethod(numpy, "sin", "O", angle.get()));
        Ref minus_one = check(PyLong_FromLong(-1));
        Ref minus_s = check(PyNumber_Multiply(minus_one.get(), s.get()));
        Ref nested = check(Py_BuildValue("[[OO][OO]]", c.get(), minus_s.get(), s.get(), c.get()));
        return check(PyObject_CallMethod(numpy, "array", "O", nested.get()));
    }
    const double angle = have_deg ? a.real(0) / 180 * M_PI : a.real(1);
    npy_intp dims[2] = {2, 2};
    Ref result = check(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    auto* out = static_cast<double*>(PyArray_DATA(np::as_array(result.get())));
    const double c = cos64(angle), s = sin64(angle);
    out[0] = c;
    out[1] = geometry::ordered::mul(-1.0, s);  // a product, not a negation: the sign of NaN stays
    out[2] = s;
    out[3] = c;
    return result;
}

const FunctionDef get_rotation_matrix_2d_def{
    "get_rotation_matrix_2d",
    "get_rotation_matrix_2d",
    rotation_matrix_params,
    kArray,
    "Return the 2 dimensional rotation matrix.\n\n:param angle_in_deg: Angle in degrees.\n:param angle_in_rad: "
    "Angle in radians.\n:return:  the two -dimensional rotation matrix.",
    get_rotation_matrix_2d,
    10,
};

// ---------------------------------------------------------------------------------------------
// coordinate_transformation

const Param lambda_params[] = {{"a"}};

// Closure: (new_origin, base_system, coordinate_transform_matrix).
PyObject* captured(Function& f, Py_ssize_t i) {
    return PyTuple_GET_ITEM(f.closure, i);
}

// coordinate_transform_matrix.dot((a - new_origin).T).T
Ref to_new(Function& f, Bound& a) {
    Ref shifted = check(PyNumber_Subtract(a[0], captured(f, 0)));
    Ref shifted_t = attr(shifted.get(), "T");
    Ref product = check(PyObject_CallMethod(captured(f, 2), "dot", "O", shifted_t.get()));
    return attr(product.get(), "T");
}

// base_system.dot(a.T).T + new_origin
Ref to_canonical(Function& f, Bound& a) {
    Ref a_t = attr(a[0], "T");
    Ref product = check(PyObject_CallMethod(captured(f, 1), "dot", "O", a_t.get()));
    Ref product_t = attr(product.get(), "T");
    return check(PyNumber_Add(product_t.get(), captured(f, 0)));
}

const FunctionDef to_new_def{
    "<lambda>", "coordinate_transformation.<locals>.<lambda>", lambda_params, nullptr, nullptr, to_new, 68,
};
const FunctionDef to_canonical_def{
    "<lambda>", "coordinate_transformation.<locals>.<lambda>", lambda_params, nullptr, nullptr, to_canonical, 69,
};

const Param coordinate_transformation_params[] = {{"spanning_points", kArray}};

Ref coordinate_transformation(Function& self, Bound& a) {
    PyObject* spanning_points = a[0];
    const Py_ssize_t number_of_spanning_points = np::shape_at(spanning_points, 0);
    const Py_ssize_t dimensionality = np::shape_at(spanning_points, 1);
    VH_ASSERT(shape_is(spanning_points, {number_of_spanning_points, dimensionality}));
    VH_ASSERT(number_of_spanning_points == dimensionality + 1);
    VH_ASSERT_MSG(dimensionality == 2,
                  "The dimensionality of the points has to be two, otherwise slightly adapt and test.");

    Ref new_origin = check(PyObject_GetItem(spanning_points, py_int(1).get()));
    VH_ASSERT(shape_is(new_origin.get(), {dimensionality}));
    Ref rows = check(Py_BuildValue("[ii]", 0, 2));
    Ref outer = check(PyObject_GetItem(spanning_points, rows.get()));
    Ref difference = check(PyNumber_Subtract(outer.get(), new_origin.get()));
    Ref base_system = attr(difference.get(), "T");
    VH_ASSERT(shape_is(base_system.get(), {dimensionality, dimensionality}));
    Ref linalg = attr(numpy_global(), "linalg");
    Ref matrix = check(PyObject_CallMethod(linalg.get(), "pinv", "O", base_system.get()));
    VH_ASSERT(shape_is(matrix.get(), {dimensionality, dimensionality}));

    Ref closure = check(PyTuple_Pack(3, new_origin.get(), base_system.get(), matrix.get()));
    // The lambdas take their module from the globals, as Python's do, whatever the outer
    // function's __module__ has been set to.
    Ref forward = make_function(to_new_def, state.globals, nullptr, self.filename, closure);
    Ref backward = make_function(to_canonical_def, state.globals, nullptr, self.filename, closure);
    return check(PyTuple_Pack(2, forward.get(), backward.get()));
}

const FunctionDef coordinate_transformation_def{
    "coordinate_transformation",
    "coordinate_transformation",
    coordinate_transformation_params,
    "tuple[Callable[[np.ndarray[Any, Any] | list[np.ndarray[Any, Any]]], np.ndarray[Any, Any]], "
    "Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]]]",
    "Compute a coordinate transformation functions.\n\nTransform from the canonical euclidean coordinate system to "
    "the coordinate system spanned by the #spanning_points.\n\n:param spanning_points: Three points (A, B, C), "
    "each \\\\in \\\\R^2 that span a two-dimensional coordinate system\n                        through the "
    "vectors BA, BC.\n\n:return:                Tuple: Function to conduct transformation into the new "
    "coordinate system,\n                               function to convert backwards.\n\n                     "
    "   Each function takes as input a numpy array of size 2 or (n x 2), and emits an array\n                  "
    "      of the input size.",
    coordinate_transformation,
    31,
};

// ---------------------------------------------------------------------------------------------
// get_angles_from_points

const Param get_angles_params[] = {{"points", kArray}};

// np.arctan2(y, x) of each row, through NumPy's loop on the rows' own strides.
template <class T>
Ref angles_native(PyObject* points) {
    PyArrayObject* p = np::as_array(points);
    const npy_intp n = PyArray_DIM(p, 0), step = PyArray_STRIDE(p, 0);
    Ref angles = new_array(PyArray_TYPE(p), {n});
    const char* data = PyArray_BYTES(p);
    NumpyMath<T>{}.atan2(reinterpret_cast<const T*>(data + PyArray_STRIDE(p, 1)), step,
                         reinterpret_cast<const T*>(data), step, data_of<T>(angles.get()), n);
    return angles;
}

Ref get_angles_from_points(Function&, Bound& a) {
    PyObject* points = a[0];
    const Py_ssize_t number_of_points = np::shape_at(points, 0);
    const Py_ssize_t point_dimensionality = np::shape_at(points, 1);
    VH_ASSERT(shape_is(points, {number_of_points, point_dimensionality}));
    VH_ASSERT_MSG(point_dimensionality == 2, "Can only get angles from two-dimensional points. ");
    const int type = numpy_is_native() ? float_type(points) : -1;
    if (type >= 0 && dims_are(points, {-1, 2}))
        return type == NPY_DOUBLE ? angles_native<double>(points) : angles_native<float>(points);

    // np.arctan2(*points[:, ::-1].T)
    Ref reversed = item(points, {everything().get(), slice(kOpen, kOpen, -1).get()});
    Ref transposed = attr(reversed.get(), "T");
    Ref rows = check(PySequence_Tuple(transposed.get()));
    Ref arctan2 = np_attr("arctan2");
    Ref angles = check(PyObject_Call(arctan2.get(), rows.get(), nullptr));
    VH_ASSERT(shape_is(angles.get(), {number_of_points}));
    return angles;
}

const FunctionDef get_angles_from_points_def{
    "get_angles_from_points",
    "get_angles_from_points",
    get_angles_params,
    kArray,
    "Return the angles from a set of two-dimensional points.\n"
    "\n"
    ":param points:      points (shape N x 2)\n"
    ":return:            angles of points (shape N)",
    get_angles_from_points,
    135,
};

// ---------------------------------------------------------------------------------------------
// parallelogram_to_box

const Param parallelogram_to_box_params[] = {
    {"parallelogram_flat", kArray},
    {"longer_axis_index", kArray},
    {"box_reconstruction_mode", "BoxReconstruction"},
};

// The module's BoxReconstruction, held (comparing a mode may rebind the global).
Ref box_reconstruction_class() {
    return Ref::borrow(global(state.globals, state.box_reconstruction_name));
}

// The reconstruction a mode selects, compared with `==` against cls.MAX, .AVG and .MIN in turn
// (`cls` the module's BoxReconstruction); anything else keeps the axis.
geometry::Reconstruction reconstruction_of(PyObject* mode, PyObject* cls) {
    Ref member = attr(cls, "MAX");
    if (equals(mode, member.get())) return geometry::Reconstruction::Grow;
    member = attr(cls, "AVG");
    if (equals(mode, member.get())) return geometry::Reconstruction::Keep;
    member = attr(cls, "MIN");
    if (equals(mode, member.get())) return geometry::Reconstruction::Shrink;
    return geometry::Reconstruction::Keep;
}

// Whether reconstruction_of(mode, cls) runs no Python code: a member, None or a builtin number or
// string, compared with the members of the class defined here (by identity). Anything else may
// change the arrays of a call or the module globals while it is compared.
bool compares_natively(PyObject* mode, PyObject* cls) {
    if (cls != state.box_reconstruction) return false;
    PyTypeObject* type = Py_TYPE(mode);
    return (type == reinterpret_cast<PyTypeObject*>(cls) || mode == Py_None || type == &PyLong_Type ||
            type == &PyBool_Type || type == &PyFloat_Type || type == &PyUnicode_Type) &&
           reinterpret_cast<PyTypeObject*>(cls)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// A plain signed 32- or 64-bit integer array: its item size, else 0.
int index_size(PyObject* o) {
    if (!PyArray_CheckExact(o)) return 0;
    PyArrayObject* a = np::as_array(o);
    if (!PyArray_ISSIGNED(a) || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a)) return 0;
    const int size = static_cast<int>(PyArray_ITEMSIZE(a));
    return size == 4 || size == 8 ? size : 0;
}

// The parities of the n indices of a plain index array of that length (false for anything
// else): the NumPy steps derive the rows of the other half-axes from them.
bool index_parities(PyObject* indices, npy_intp n, unsigned char* parities) {
    const int size = index_size(indices);
    if (!size || !dims_are(indices, {n})) return false;
    auto parity = [&](auto tag) {
        const auto view = view1<const decltype(tag)>(indices);
        for (npy_intp k = 0; k < n; ++k) parities[k] = static_cast<unsigned char>(view(k) & 1);
    };
    if (size == 8)
        parity(std::int64_t{});
    else
        parity(std::int32_t{});
    return true;
}

// Whether every index lies in [0, limit) (and, given the parities taken before the mode was
// compared, still has its parity).
template <class I>
bool indices_within(PyObject* indices, npy_intp limit, const unsigned char* parities) {
    const auto view = view1<const I>(indices);
    const npy_intp n = PyArray_DIM(np::as_array(indices), 0);
    for (npy_intp k = 0; k < n; ++k)
        if (view(k) < 0 || view(k) >= limit) return false;
    if (parities) {
        for (npy_intp k = 0; k < n; ++k)
            if (static_cast<unsigned char>(view(k) & 1) != parities[k]) return false;
    }
    return true;
}

template <class T, class I>
void parallelogram_to_box_native(PyObject* flat, PyObject* longer, npy_intp P, geometry::Reconstruction mode) {
    np::Scratch<T> updated(static_cast<std::size_t>(P));
    const int single = std::is_same_v<T, float>;
    const geometry::NanOrder& rule =
        mode == geometry::Reconstruction::Shrink ? state.inplace_subtract[single] : state.inplace_add[single];
    if (!geometry::parallelogram_to_box<T, I>(view2<T>(flat), view1<const I>(longer), P, mode, vh::debug,
                                              updated.data(), rule))
        raise_assertion();
}

// Whether the kernel can work on the arrays as they are now, P parallelograms: `longer` a plain
// index array of P rows, `flat` a float array of 2 P rows that can be written in place apart from
// it (the index values are checked separately).
bool parallelogram_arrays_fit(PyObject* flat, PyObject* longer, Py_ssize_t P) {
    return index_size(longer) && dims_are(longer, {P}) && float_type(flat) >= 0 && dims_are(flat, {2 * P, 2}) &&
           writable_in_place(flat) && !spans_overlap(np::as_array(flat), np::as_array(longer));
}

Ref parallelogram_to_box(Function&, Bound& a) {
    PyObject* flat = a[0];
    PyObject* longer = a[1];
    PyObject* mode = a[2];
    const Py_ssize_t number_of_points = np::shape_at(flat, 0);
    const Py_ssize_t dimensionality = np::shape_at(flat, 1);
    VH_ASSERT(shape_is(flat, {number_of_points, dimensionality}));
    VH_ASSERT_MSG(dimensionality == 2,
                  "This method of transforming parallelograms to boxes only supports two-dimensional state-spaces.");
    VH_ASSERT_MSG(number_of_points % 2 == 0,
                  "the flat parallelogram points have to contain two points per parallelogram.");
    const Py_ssize_t number_of_parallelograms = np::shape_at(longer, 0);
    VH_ASSERT(shape_is(longer, {number_of_parallelograms}));
    VH_ASSERT(2 * number_of_parallelograms == number_of_points);

    // The NumPy steps take the rows of the other half-axes from the parities of the indices, then
    // compare the mode. Where that first step can neither fail nor be seen (a plain index array of
    // the checked length, NumPy as `np`), the mode is compared before it. A comparison that may run
    // Python code (a mode of another type) could change either array or the module globals: the
    // parities are then kept from before it. Everything the kernel relies on is read after it.
    std::optional<geometry::Reconstruction> compared;
    Ref other;
    if (numpy_is_native() && index_size(longer) && dims_are(longer, {number_of_parallelograms})) {
        const npy_intp P = number_of_parallelograms;
        Ref cls = box_reconstruction_class();
        const bool keep_parities = !compares_natively(mode, cls.get());
        np::Scratch<unsigned char, 256> parities(keep_parities ? static_cast<std::size_t>(P) : 0);
        // (taken after the lookups, which can run Python code too)
        if (!keep_parities || index_parities(longer, P, parities.data())) {
            compared = reconstruction_of(mode, cls.get());
            if ((!keep_parities || numpy_is_native()) && parallelogram_arrays_fit(flat, longer, P)) {
                const int type = float_type(flat);
                const int index = index_size(longer);
                const unsigned char* kept = keep_parities ? parities.data() : nullptr;
                const bool valid = index == 8 ? indices_within<std::int64_t>(longer, 2 * P, kept)
                                              : indices_within<std::int32_t>(longer, 2 * P, kept);
                if (valid) {
                    const auto mode_of = *compared;
                    if (type == NPY_DOUBLE) {
                        if (index == 8)
                            parallelogram_to_box_native<double, std::int64_t>(flat, longer, P, mode_of);
                        else
                            parallelogram_to_box_native<double, std::int32_t>(flat, longer, P, mode_of);
                    } else {
                        if (index == 8)
                            parallelogram_to_box_native<float, std::int64_t>(flat, longer, P, mode_of);
                        else
                            parallelogram_to_box_native<float, std::int32_t>(flat, longer, P, mode_of);
                    }
                    return Ref::borrow(flat);
                }
            }
            if (keep_parities) {
                other = new_array(NPY_INTP, {P});
                auto* rows = data_of<npy_intp>(other.get());
                for (npy_intp k = 0; k < P; ++k) rows[k] = (1 - parities[k]) + 2 * k;
            }
        }
    }
    if (!other) {
        // other_point_index = (longer_axis_index + 1) % 2 + np.arange(longer_axis_index.shape[0]) * 2
        Ref one = py_int(1), two = py_int(2);
        Ref shifted = add(longer, one.get());
        Ref parity = remainder(shifted.get(), two.get());
        Ref count = py_int(np::shape_at(longer, 0));
        Ref range = np_call("arange", {count.get()});
        Ref pair_start = multiply(range.get(), two.get());
        other = add(parity.get(), pair_start.get());
        if (!compared) VH_ASSERT(shape_is(other.get(), {number_of_parallelograms}));
    }

    Ref zero = py_int(0), one = py_int(1);
    const auto reconstruction = compared ? *compared : reconstruction_of(mode, box_reconstruction_class().get());
    if (reconstruction != geometry::Reconstruction::Keep) {
        // parallelogram_flat[longer_axis_index, 0] +=/-= np.abs(parallelogram_flat[other_point_index, 0])
        Ref key = tuple_of({longer, zero.get()});
        Ref longer_x = item(flat, key.get());
        Ref other_x = item(flat, {other.get(), zero.get()});
        Ref offset = np_call("abs", {other_x.get()});
        Ref updated = check(reconstruction == geometry::Reconstruction::Grow
                                ? PyNumber_InPlaceAdd(longer_x.get(), offset.get())
                                : PyNumber_InPlaceSubtract(longer_x.get(), offset.get()));
        set_item(flat, key.get(), updated.get());
    }
    set_item(flat, {other.get(), zero.get()}, zero.get());
    if (vh::debug) {
        // every longer half-axis lies on the x axis: no |y| of 1e-5 or more (NaN is no violation)
        Ref y = item(flat, {longer, one.get()});
        Ref magnitude = np_call("abs", {y.get()});
        Ref limit = check(PyFloat_FromDouble(1e-5));
        Ref off_axis = check(PyObject_RichCompare(magnitude.get(), limit.get(), Py_GE));
        Ref any = method(off_axis.get(), "any", {});
        if (truth(any.get())) raise_assertion();
    }
    return Ref::borrow(flat);
}

const FunctionDef parallelogram_to_box_def{
    "parallelogram_to_box",
    "parallelogram_to_box",
    parallelogram_to_box_params,
    kArray,
    "Convert a set of parallelograms into boxes.\n"
    "\n"
    ":param parallelogram_flat:  List of points that together form a set of zero-centered parallelograms\n"
    "                            (shape: total_number_of_points x state_dimensionality (=2))\n"
    ":param longer_axis_index:   Indices of the points corresponding to the longer axes in each parallelogram.\n"
    ":return:                    Parallelogram points (number_of",
    parallelogram_to_box,
    159,
};

// ---------------------------------------------------------------------------------------------
// get_corner_points_from_box_tuples

const Param corner_points_params[] = {{"box_tuples", kArray}};

template <class T>
Ref corner_points_native(PyObject* tuples, npy_intp B, int type) {
    Ref corners = new_swapped(type, 4, B, 2);
    geometry::corner_points_from_box_tuples<T>(view3<const T>(tuples), B, view3<T>(corners.get()),
                                               state.corner_sum[std::is_same_v<T, float>]);
    return corners;
}

Ref get_corner_points_from_box_tuples(Function&, Bound& a) {
    PyObject* tuples = a[0];
    const Py_ssize_t number_of_boxes = np::shape_at(tuples, 0);
    const Py_ssize_t number_of_support_points = np::shape_at(tuples, 1);
    const Py_ssize_t state_dimension = np::shape_at(tuples, 2);
    VH_ASSERT(shape_is(tuples, {number_of_boxes, number_of_support_points, state_dimension}));
    VH_ASSERT(number_of_support_points == 2);
    VH_ASSERT(state_dimension == 2);
    const int type = numpy_is_native() ? float_type(tuples) : -1;
    if (type >= 0 && dims_are(tuples, {number_of_boxes, 2, 2}))
        return type == NPY_DOUBLE ? corner_points_native<double>(tuples, number_of_boxes, type)
                                  : corner_points_native<float>(tuples, number_of_boxes, type);

    Ref zero = py_int(0), one = py_int(1);
    Ref top = item(tuples, {everything().get(), zero.get()});
    Ref right = item(tuples, {everything().get(), one.get()});
    VH_ASSERT(shape_is(top.get(), {number_of_boxes, state_dimension}));
    VH_ASSERT(shape_is(right.get(), {number_of_boxes, state_dimension}));
    // np.array([top - right, top + right, right - top, -right - top]).swapaxes(0, 1)
    Ref rows = check(PyList_New(4));
    PyList_SET_ITEM(rows.get(), 0, subtract(top.get(), right.get()).release());
    PyList_SET_ITEM(rows.get(), 1, add(top.get(), right.get()).release());
    PyList_SET_ITEM(rows.get(), 2, subtract(right.get(), top.get()).release());
    Ref minus_right = negative(right.get());
    PyList_SET_ITEM(rows.get(), 3, subtract(minus_right.get(), top.get()).release());
    Ref stacked = np_call("array", {rows.get()});
    Ref swapped = method(stacked.get(), "swapaxes", {zero.get(), one.get()});
    Ref shape = shape_tuple({number_of_boxes, 4, state_dimension});
    return method(swapped.get(), "reshape", {shape.get()});
}

const FunctionDef get_corner_points_from_box_tuples_def{
    "get_corner_points_from_box_tuples",
    "get_corner_points_from_box_tuples",
    corner_points_params,
    kArray,
    "Compute box corners from a numpy array of top and right coordinates of boxes.\n"
    "\n"
    ":param box_tuples: Top and right point of each box. (Shape: number of boxes x {top, right} (2) x "
    "dimensionality (2)\n"
    ":return:           Box corners for each box (Shape: number of boxes x number of box corners (4) x 2).",
    get_corner_points_from_box_tuples,
    202,
};

// ---------------------------------------------------------------------------------------------
// rot_mats_multi_rads, rot_points_multi_rads

// The stacked rotation matrices np.array([[cr, -sr], [sr, cr]]).reshape((2, 2, n)).
Ref stacked_rotation_matrices(PyObject* rotation_rads, Py_ssize_t number_of_rotations) {
    Ref held = numpy_held();
    PyObject* numpy = held.get();
    Ref cr = check(PyObject_CallMethod(numpy, "cos", "O", rotation_rads));
    Ref sr = check(PyObject_CallMethod(numpy, "sin", "O", rotation_rads));
    Ref minus_sr = check(PyNumber_Negative(sr.get()));
    Ref nested = check(Py_BuildValue("[[OO][OO]]", cr.get(), minus_sr.get(), sr.get(), cr.get()));
    Ref stacked = check(PyObject_CallMethod(numpy, "array", "O", nested.get()));
    Ref shape = check(Py_BuildValue("(iin)", 2, 2, number_of_rotations));
    return check(PyObject_CallMethod(stacked.get(), "reshape", "O", shape.get()));
}

// np.einsum(subscripts, *operands, out=out)
void einsum_into(const char* subscripts, std::initializer_list<PyObject*> operands, PyObject* out) {
    Ref args = check(PyTuple_New(static_cast<Py_ssize_t>(operands.size()) + 1));
    PyTuple_SET_ITEM(args.get(), 0, check(PyUnicode_FromString(subscripts)).release());
    Py_ssize_t i = 1;
    for (PyObject* o : operands) PyTuple_SET_ITEM(args.get(), i++, Py_NewRef(o));
    Ref kwargs = check(Py_BuildValue("{sO}", "out", out));
    Ref einsum = attr(numpy_global(), "einsum");
    check(PyObject_Call(einsum.get(), args.get(), kwargs.get()));
}

// Cosines and sines of all angles, computed by NumPy's own loops before anything is written
// (the angles may be a view into the array being rotated).
template <class C>
void angles_cos_sin(PyArrayObject* angles, C* cosines, C* sines) {
    const npy_intp n = PyArray_DIM(angles, 0);
    const npy_intp step = PyArray_STRIDE(angles, 0);
    const char* data = PyArray_BYTES(angles);
    const bool single = std::is_same_v<C, float>;
    const np::UnaryLoop& cos_loop = single ? state.cos32 : state.cos64;
    const np::UnaryLoop& sin_loop = single ? state.sin32 : state.sin64;
    if (cos_loop && sin_loop) {
        cos_loop({data}, {step}, cosines, sizeof(C), n);
        sin_loop({data}, {step}, sines, sizeof(C), n);
        return;
    }
    for (npy_intp k = 0; k < n; ++k) {
        const C t = *reinterpret_cast<const C*>(data + k * step);
        cosines[k] = std::cos(t);
        sines[k] = std::sin(t);
    }
}

// The kinds of inner loop einsum("rcR,Rxc->Rxr", matrices, points, out=points) runs, each with
// its own order of arithmetic: the sum over the two coordinates innermost, over coordinates and
// matrix entries adjacent in memory (Contiguous: a single rotation, or matrices einsum casts into
// its buffer) or not (Strided); or the sum outside the inner loop (Outer).
enum PointLoop { kContiguous, kStrided, kOuter };

// Whether einsum's iterator makes the coordinate axis innermost for n sets of m points with byte
// strides s0, s1, s2 (the matrices C-ordered, shape 2 x 2 x n). Its axes are R, x, r, c (the
// output's, then the summed one); NumPy's iterator moves an axis inside another when every operand
// stepping along both steps less along it (C order wins conflicts), and axes of length 1 do not
// step.
bool coordinates_innermost(npy_intp n, npy_intp m, npy_intp s0, npy_intp s1, npy_intp s2, npy_intp angle_size) {
    const npy_intp sets = n == 1 ? 0 : 1, points = m == 1 ? 0 : 1;
    const npy_intp steps[4][3] = {
        // per axis: the matrices, the points, the output
        {sets * angle_size, sets * s0, sets * s0},
        {0, points * s1, points * s1},
        {2 * n * angle_size, 0, s2},
        {n * angle_size, s2, 0},
    };
    int perm[4] = {3, 2, 1, 0};  // innermost first
    for (int i0 = 1; i0 < 4; ++i0) {
        const int j0 = perm[i0];
        int position = i0;
        for (int i1 = i0 - 1; i1 >= 0; --i1) {
            bool ambiguous = true, swap = false;
            for (int op = 0; op < 3; ++op) {
                const npy_intp outer = steps[j0][op], inner = steps[perm[i1]][op];
                if (outer == 0 || inner == 0) continue;
                if (std::abs(inner) <= std::abs(outer))
                    swap = false;
                else if (ambiguous)
                    swap = true;
                ambiguous = false;
            }
            if (ambiguous) continue;
            if (!swap) break;
            position = i1;
        }
        for (int i = i0; i > position; --i) perm[i] = perm[i - 1];
        perm[position] = j0;
    }
    return perm[0] == 3;
}

PointLoop point_loop(npy_intp n, npy_intp m, npy_intp s0, npy_intp s1, npy_intp s2, npy_intp item_size,
                     npy_intp angle_size) {
    if (!coordinates_innermost(n, m, s0, s1, s2, angle_size)) return kOuter;
    return s2 == item_size && (n == 1 || angle_size != item_size) ? kContiguous : kStrided;
}

// The order of the rotations inside the box functions, whose points have the coordinates
// innermost and contiguous (combination 2: float64 points, float32 angles, which einsum casts).
geometry::PointOrder inner_point_order(int combination, npy_intp n) {
    return state.point_order[combination][n == 1 || combination == 2 ? kContiguous : kStrided];
}

// The native path: plain float64 / float32 arrays of the expected shapes whose types einsum
// accepts for an in-place store. Returns false where NumPy has to decide.
template <int Dims>
bool rotate_native(PyObject* target, PyObject* rotation_rads, Py_ssize_t n) {
    if (!numpy_is_native()) return false;
    const bool target64 = np::is_plain(target, NPY_DOUBLE);
    if (!target64 && !np::is_plain(target, NPY_FLOAT)) return false;
    const bool angles64 = np::is_plain(rotation_rads, NPY_DOUBLE);
    if (!angles64 && !np::is_plain(rotation_rads, NPY_FLOAT)) return false;
    if (angles64 && !target64) return false;  // float64 into float32 is refused by NumPy
    PyArrayObject* t = np::as_array(target);
    PyArrayObject* r = np::as_array(rotation_rads);
    if (PyArray_NDIM(t) != 3 || PyArray_DIM(t, 0) != n || PyArray_DIM(t, 2) != 2) return false;
    if (Dims == 2 && PyArray_DIM(t, 1) != 2) return false;
    if (PyArray_NDIM(r) != 1 || PyArray_DIM(r, 0) != n) return false;
    if (!PyArray_ISWRITEABLE(t) || np::may_overlap_internally(t)) return false;

    char* data = PyArray_BYTES(t);
    const npy_intp m = PyArray_DIM(t, 1), s0 = PyArray_STRIDE(t, 0), s1 = PyArray_STRIDE(t, 1),
                   s2 = PyArray_STRIDE(t, 2);
    const int combination = !target64 ? 1 : angles64 ? 0 : 2;
    const MatrixOrder order = state.matrix_order[combination];
    if constexpr (Dims == 2) {
        // einsum orders the terms of a rotated matrix entry by the memory layout of the
        // matrices; the native kernel reproduces the order of row-major-like layouts.
        if (order == MatrixOrder::Unknown) return false;
        if (n > 1 && std::abs(s0) < std::abs(s1)) return false;
        if (std::abs(s1) < std::abs(s2)) return false;
    }
    auto run = [&](auto point_tag, auto angle_tag) {
        using T = decltype(point_tag);
        using C = decltype(angle_tag);
        np::Scratch<C> cosines(static_cast<std::size_t>(n)), sines(static_cast<std::size_t>(n));
        angles_cos_sin<C>(r, cosines.data(), sines.data());
        if constexpr (Dims == 3) {
            const PointLoop loop = point_loop(n, m, s0, s1, s2, sizeof(T), sizeof(C));
            geometry::rotate_points<T, C>(data, n, m, s0, s1, s2, cosines.data(), sines.data(),
                                          state.point_order[combination][loop]);
        } else if (order == MatrixOrder::Pairwise) {
            geometry::rotate_matrices<T, C, geometry::SumOrder::Pairwise>(data, n, s0, s1, s2, cosines.data(),
                                                                          sines.data());
        } else {
            geometry::rotate_matrices<T, C, geometry::SumOrder::Running>(data, n, s0, s1, s2, cosines.data(),
                                                                         sines.data());
        }
    };
    if (combination == 1)
        run(float{}, float{});
    else if (combination == 0)
        run(double{}, double{});
    else
        run(double{}, float{});
    return true;
}

// A quiet NaN with `mark` in its payload, so that a probe shows which operand's NaN came out.
template <class T>
T marked_nan(unsigned mark) {
    if constexpr (std::is_same_v<T, double>)
        return std::bit_cast<double>(0x7FF8000000000000ULL | mark);
    else
        return std::bit_cast<float>(0x7FC00000U | (mark & 0x3FFFFFU));
}

// Finds the order of einsum's arithmetic in each kind of inner loop of rot_points_multi_rads, by
// rotating probes laid out to get that loop (NaN angles, whose matrix entries are all NaN, and
// finite ones, with marked NaN among the points) and comparing with each order of the kernel.
// Where none matches, the default order stays.
template <class T, class C>
void calibrate_point_order(int point_type, int angle_type, int combination) {
    constexpr npy_intp m = 4;
    struct Layout {
        npy_intp n, steps[3];  // strides in items
    };
    const Layout layouts[3] = {{1, {8, 2, 1}}, {3, {16, 4, 2}}, {3, {2, 6, 48}}};  // by PointLoop
    const geometry::PointOrder orders[4] = {{false, false}, {true, false}, {false, true}, {true, true}};
    for (int kind = 0; kind < 3; ++kind) {
        const Layout& layout = layouts[kind];
        const npy_intp n = layout.n;
        const npy_intp s0 = layout.steps[0] * npy_intp{sizeof(T)}, s1 = layout.steps[1] * npy_intp{sizeof(T)},
                       s2 = layout.steps[2] * npy_intp{sizeof(T)};
        geometry::PointOrder& chosen = state.point_order[combination][kind];
        chosen = {false, kind == kOuter};
        if (point_loop(n, m, s0, s1, s2, sizeof(T), sizeof(C)) != kind) continue;
        npy_intp span = (n - 1) * layout.steps[0] + (m - 1) * layout.steps[1] + layout.steps[2] + 1;
        npy_intp dims[3] = {n, m, 2}, strides[3] = {s0, s1, s2};
        auto element = [&](PyObject* base, npy_intp k, npy_intp i, int d) -> T& {
            return geometry::strided<T>(PyArray_BYTES(np::as_array(base)), k * s0 + i * s1 + d * s2);
        };
        auto probe = [&]() {
            Ref base = check(PyArray_ZEROS(1, &span, point_type, 0));
            unsigned mark = 1;
            for (npy_intp k = 0; k < n; ++k) {
                const T values[m][2] = {{marked_nan<T>(mark), T(1.5)},
                                        {T(0.5), marked_nan<T>(mark + 1)},
                                        {marked_nan<T>(mark + 2), marked_nan<T>(mark + 3)},
                                        {T(2), T(-3)}};
                mark += 4;
                for (npy_intp i = 0; i < m; ++i)
                    for (int d = 0; d < 2; ++d) element(base.get(), k, i, d) = values[i][d];
            }
            return base;
        };
        bool matches[4] = {true, true, true, true};
        for (bool nan_angles : {true, false}) {
            Ref angles = check(PyArray_SimpleNew(1, &n, angle_type));
            C* rads = static_cast<C*>(PyArray_DATA(np::as_array(angles.get())));
            for (npy_intp k = 0; k < n; ++k)
                rads[k] = nan_angles ? marked_nan<C>(static_cast<unsigned>(100 + k))
                                     : static_cast<C>(0.3 + static_cast<double>(k));
            C cosines[3], sines[3];
            angles_cos_sin<C>(np::as_array(angles.get()), cosines, sines);
            Ref expected = probe();
            PyArray_Descr* descr = PyArray_DescrFromType(point_type);
            Ref points =
                check(PyArray_NewFromDescr(&PyArray_Type, descr, 3, dims, strides,
                                           PyArray_DATA(np::as_array(expected.get())), NPY_ARRAY_WRITEABLE, nullptr));
            check_status(PyArray_SetBaseObject(np::as_array(points.get()), Ref::borrow(expected.get()).release()));
            Ref rotation_matrix = stacked_rotation_matrices(angles.get(), n);
            einsum_into("rcR,Rxc->Rxr", {rotation_matrix.get(), points.get()}, points.get());
            for (int v = 0; v < 4; ++v) {
                Ref got = probe();
                geometry::rotate_points<T, C>(PyArray_BYTES(np::as_array(got.get())), n, m, s0, s1, s2, cosines, sines,
                                              orders[v]);
                for (npy_intp k = 0; k < n; ++k)
                    for (npy_intp i = 0; i < m; ++i)
                        for (int d = 0; d < 2; ++d)
                            if (std::memcmp(&element(got.get(), k, i, d), &element(expected.get(), k, i, d), sizeof(T)))
                                matches[v] = false;
            }
        }
        for (int v = 0; v < 4; ++v) {
            if (matches[v]) {
                chosen = orders[v];
                break;
            }
        }
    }
}

// Every element of the array `o` (up to three axes, any strides) set to `value`.
template <class T>
void fill_view(PyObject* o, T value) {
    PyArrayObject* a = np::as_array(o);
    const int nd = PyArray_NDIM(a);
    npy_intp dims[3] = {1, 1, 1}, strides[3] = {0, 0, 0};
    for (int i = 0; i < nd; ++i) {
        dims[3 - nd + i] = PyArray_DIM(a, i);
        strides[3 - nd + i] = PyArray_STRIDE(a, i);
    }
    for (npy_intp i = 0; i < dims[0]; ++i)
        for (npy_intp j = 0; j < dims[1]; ++j)
            for (npy_intp k = 0; k < dims[2]; ++k)
                geometry::strided<T>(PyArray_BYTES(a), i * strides[0] + j * strides[1] + k * strides[2]) = value;
}

template <class T>
Ref filled(int type, std::initializer_list<npy_intp> dims, T value) {
    Ref array = new_array(type, dims);
    fill_view(array.get(), value);
    return array;
}

// Finds which NaN the additions of the NumPy steps keep in each row, for every number of rows a
// NanOrder holds, by running each step on arrays laid out as the steps lay them out, its first
// operand all one marked NaN and its second another.
template <class T>
void calibrate_additions(int type) {
    constexpr int single = std::is_same_v<T, float>;
    const T a = marked_nan<T>(1), b = marked_nan<T>(2);
    const double a64 = static_cast<double>(a), b64 = marked_nan<double>(2);
    Ref all = everything(), pair = slice(0, 2), zero = py_int(0), one = py_int(1);
    auto rows = [&](geometry::NanOrder& order, auto kept, auto step) {
        for (npy_intp n = 1; n <= geometry::NanOrder::kRows; ++n) {
            Ref result = step(n);  // n rows along axis 0, the elements of a row in C order after them
            PyArrayObject* r = np::as_array(result.get());
            const int nd = PyArray_NDIM(r);
            const npy_intp last = nd == 3 ? PyArray_DIM(r, 2) : 1;
            const npy_intp elements = nd == 1 ? 1 : PyArray_DIM(r, 1) * last;
            for (npy_intp i = 0; i < n; ++i) {
                unsigned bits = 0;
                for (npy_intp e = 0; e < elements; ++e) {
                    npy_intp offset = i * PyArray_STRIDE(r, 0);
                    if (nd >= 2) offset += e / last * PyArray_STRIDE(r, 1);
                    if (nd == 3) offset += e % last * PyArray_STRIDE(r, 2);
                    if (!std::memcmp(PyArray_BYTES(r) + offset, &kept, sizeof kept)) bits |= 1U << e;
                }
                order.first_kept[n - 1][i] = static_cast<std::uint8_t>(bits);
            }
        }
    };
    for (const char* name : {"add", "subtract"}) {  // parallelogram_to_box: flat[longer, 0] += ...
        rows(name[0] == 'a' ? state.inplace_add[single] : state.inplace_subtract[single], a, [&](npy_intp n) {
            Ref x = filled(type, {n}, a), y = filled(type, {n}, b);
            np_call(name, {x.get(), y.get()}, {{"out", x.get()}});
            return x;
        });
    }
    rows(state.corner_sum[single], a, [&](npy_intp n) {  // top + right
        Ref tuples = filled(type, {n, 2, 2}, a);
        Ref top = item(tuples.get(), {all.get(), zero.get()}), right = item(tuples.get(), {all.get(), one.get()});
        fill_view(right.get(), b);
        return add(top.get(), right.get());
    });
    if constexpr (!single) {
        rows(state.fit_center_sum, a, [&](npy_intp n) {  // np.add(box_corners, center, out=box_corners)
            Ref keypoints = filled(type, {n, 3, 2}, b);
            Ref rows_ = item(keypoints.get(), {all.get(), zero.get(), all.get()});
            Ref center = np_call("expand_dims", {rows_.get(), one.get()});
            Ref corners = new_swapped(type, 4, n, 2);
            fill_view(corners.get(), a);
            np_call("add", {corners.get(), center.get()}, {{"out", corners.get()}});
            return corners;
        });
    }
    rows(state.vexl_right_sum[single], a64, [&](npy_intp n) {  // centers + distance_difference[:, 1]
        Ref vexl = filled(type, {n, 5}, a);
        Ref centers = item(vexl.get(), {all.get(), pair.get()});
        Ref differences = new_swapped(NPY_DOUBLE, 2, n, 2);
        fill_view(differences.get(), b64);
        Ref right = item(differences.get(), {all.get(), one.get()});
        return add(centers.get(), right.get());
    });
    rows(state.vexl_corner_sum[single], a64, [&](npy_intp n) {  // np.add(box, center[:, np.newaxis], out=box)
        Ref vexl = filled(type, {n, 5}, b);
        Ref centers = item(vexl.get(), {all.get(), pair.get()});
        Ref center = item(centers.get(), {all.get(), Py_None});
        Ref box = new_swapped(NPY_DOUBLE, 4, n, 2);
        fill_view(box.get(), a64);
        np_call("add", {box.get(), center.get()}, {{"out", box.get()}});
        return box;
    });
    rows(state.keypoint_center_sum[single], a, [&](npy_intp n) {  // box_corners + parallelogram_center
        Ref keypoints = filled(type, {n, 3, 2}, b);
        Ref centers = item(keypoints.get(), {all.get(), zero.get()});
        Ref center = item(centers.get(), {all.get(), Py_True});
        Ref corners = new_swapped(type, 4, n, 2);
        fill_view(corners.get(), a);
        return add(corners.get(), center.get());
    });
    if constexpr (single) {
        Ref factor = check(PyFloat_FromDouble(static_cast<double>(b)));
        rows(state.inference_scaling, a, [&](npy_intp n) {  // boxes[:, 2] / 2 * size_factor
            Ref half = filled(type, {n}, a);
            return multiply(half.get(), factor.get());
        });
        // np.add(bottom, to_bottom[:, np.newaxis], out=bottom), and the same with right, to_right
        for (int which = 0; which < 2; ++which) {
            rows(which ? state.inference_right_sum : state.inference_bottom_sum, a, [&](npy_intp n) {
                Ref corners = filled(type, {n, 4, 2}, a), distances = filled(type, {n, 4, 2}, b);
                Ref part = item(corners.get(), {all.get(), (which ? slice(2, kOpen) : slice(1, kOpen, 2)).get()});
                Ref row = item(distances.get(), {all.get(), (which ? one : zero).get()});
                Ref added = item(row.get(), {all.get(), Py_None});
                np_call("add", {part.get(), added.get()}, {{"out", part.get()}});
                return part;
            });
        }
    }
}

// Finds the order in which this NumPy's einsum sums the terms of a rotated matrix, by rotating
// a probe stack both ways; Unknown (NumPy does the work) unless exactly one order matches.
template <class T, class C>
MatrixOrder calibrate_matrix_order(int matrix_type, int angle_type) {
    constexpr npy_intp n = 32;
    npy_intp dims[3] = {n, 2, 2};
    Ref probe = check(PyArray_SimpleNew(3, dims, matrix_type));
    Ref angles = check(PyArray_SimpleNew(1, dims, angle_type));
    T* values = static_cast<T*>(PyArray_DATA(np::as_array(probe.get())));
    C* rads = static_cast<C*>(PyArray_DATA(np::as_array(angles.get())));
    for (npy_intp i = 0; i < 4 * n; ++i) {  // with some marked NaN, whose order has to match too
        const double value = std::sin(1.7 * static_cast<double>(i) + 0.3) * std::pow(10.0, i % 9 - 4);
        values[i] = i % 13 == 6 ? marked_nan<T>(static_cast<unsigned>(i + 1)) : static_cast<T>(value);
    }
    for (npy_intp k = 0; k < n; ++k)
        rads[k] = k % 8 == 5 ? marked_nan<C>(static_cast<unsigned>(k + 1))
                             : static_cast<C>(0.37 + 0.91 * static_cast<double>(k));
    Ref pairwise = check(PyArray_NewCopy(np::as_array(probe.get()), NPY_CORDER));
    Ref running = check(PyArray_NewCopy(np::as_array(probe.get()), NPY_CORDER));
    Ref rotation_matrix = stacked_rotation_matrices(angles.get(), n);
    einsum_into("tTR,RTS,sSR->Rts", {rotation_matrix.get(), probe.get(), rotation_matrix.get()}, probe.get());
    C cosines[n], sines[n];
    angles_cos_sin<C>(np::as_array(angles.get()), cosines, sines);
    const npy_intp s0 = 4 * sizeof(T), s1 = 2 * sizeof(T), s2 = sizeof(T);
    auto bytes = [](PyObject* a) { return PyArray_BYTES(np::as_array(a)); };
    geometry::rotate_matrices<T, C, geometry::SumOrder::Pairwise>(bytes(pairwise.get()), n, s0, s1, s2, cosines, sines);
    geometry::rotate_matrices<T, C, geometry::SumOrder::Running>(bytes(running.get()), n, s0, s1, s2, cosines, sines);
    const std::size_t size = 4 * n * sizeof(T);
    const bool is_pairwise = std::memcmp(bytes(pairwise.get()), bytes(probe.get()), size) == 0;
    const bool is_running = std::memcmp(bytes(running.get()), bytes(probe.get()), size) == 0;
    if (is_pairwise == is_running) return MatrixOrder::Unknown;
    return is_pairwise ? MatrixOrder::Pairwise : MatrixOrder::Running;
}

const Param rot_mats_params[] = {{"matrices", kArray}, {"rotation_rads", kArray}};

Ref rot_mats_multi_rads(Function&, Bound& a) {
    PyObject* matrices = a[0];
    PyObject* rotation_rads = a[1];
    const Py_ssize_t number_of_rotations = np::shape_at(matrices, 0);
    const Py_ssize_t state_dimensionality = np::shape_at(matrices, 1);
    VH_ASSERT(shape_is(matrices, {number_of_rotations, state_dimensionality, state_dimensionality}));
    VH_ASSERT(shape_is(rotation_rads, {number_of_rotations}));
    if (!rotate_native<2>(matrices, rotation_rads, number_of_rotations)) {
        Ref rotation_matrix = stacked_rotation_matrices(rotation_rads, number_of_rotations);
        VH_ASSERT(shape_is(rotation_matrix.get(), {state_dimensionality, state_dimensionality, number_of_rotations}));
        einsum_into("tTR,RTS,sSR->Rts", {rotation_matrix.get(), matrices, rotation_matrix.get()}, matrices);
        VH_ASSERT(shape_is(matrices, {number_of_rotations, state_dimensionality, state_dimensionality}));
    }
    return Ref::borrow(matrices);
}

const FunctionDef rot_mats_multi_rads_def{
    "rot_mats_multi_rads",
    "rot_mats_multi_rads",
    rot_mats_params,
    kArray,
    "Rotate covariance matrices by multiple rotations.\n\n:param matrices:       Matrices to be rotated (Shape: "
    "number_of_rotations, 2, 2)\n                       Attention: The rotation is performed inplace; hence the "
    "content of the \"points\" is\n                       overwritten.\n                       If you would like "
    "to keep the unrotated matrices, call this function on a copy of the\n                       matrices' numpy "
    "array.\n\n:param rotation_rads:  Angles along which points are rotated. (Shape: number_of_rotations)\n\n"
    ":return:               Rotated matrices (Shape: number_of_rotations, 2, 2) to offer\n                       "
    "the user the ability to call this function with a \"rvalue\" or a copy.",
    rot_mats_multi_rads,
    236,
};

const Param rot_points_params[] = {{"points", kArray}, {"rotation_rads", kArray}};

Ref rot_points_multi_rads(Function&, Bound& a) {
    PyObject* points = a[0];
    PyObject* rotation_rads = a[1];
    const Py_ssize_t number_of_rotations = np::shape_at(points, 0);
    const Py_ssize_t number_of_points_to_rotate_per_rotation = np::shape_at(points, 1);
    const Py_ssize_t state_dimensionality = np::shape_at(points, 2);
    VH_ASSERT(shape_is(points, {number_of_rotations, number_of_points_to_rotate_per_rotation, state_dimensionality}));
    VH_ASSERT(shape_is(rotation_rads, {number_of_rotations}));
    if (!rotate_native<3>(points, rotation_rads, number_of_rotations)) {
        Ref rotation_matrix = stacked_rotation_matrices(rotation_rads, number_of_rotations);
        VH_ASSERT(shape_is(rotation_matrix.get(), {state_dimensionality, state_dimensionality, number_of_rotations}));
        einsum_into("rcR,Rxc->Rxr", {rotation_matrix.get(), points}, points);
        VH_ASSERT(
            shape_is(points, {number_of_rotations, number_of_points_to_rotate_per_rotation, state_dimensionality}));
    }
    return Ref::borrow(points);
}

const FunctionDef rot_points_multi_rads_def{
    "rot_points_multi_rads",
    "rot_points_multi_rads",
    rot_points_params,
    kArray,
    "Rotate the box points inplace (!) and return a reference to the first argument.\n\n:param points:         "
    "Points to be rotated (Shape: number_of_rotations, number_of_points_per_rotation, 2)\n                       "
    "Attention: The rotation is performed inplace; hence the content of the \"points\" is\n                       "
    "overwritten.\n                       If you would like to keep the unrotated points, call this function on "
    "a copy of the points\n                       numpy array.\n\n:param rotation_rads:  Angles along which "
    "points are rotated. (Shape: number_of_rotations)\n\n:return:               Rotated points (Shape: "
    "number_of_rotations, number_of_points_per_rotation, 2) to offer\n                       the user the "
    "ability to call this function with a \"rvalue\" or a copy.",
    rot_points_multi_rads,
    277,
};

// ---------------------------------------------------------------------------------------------
// get_box_and_rotation_from_parallelogram_keypoints

Ref box_reconstruction_max(PyObject* globals) {
    Ref name = check(PyUnicode_InternFromString("BoxReconstruction"));
    return attr(global(globals, name.get()), "MAX");
}

const Param fit_params[] = {
    {"parallelogram_keypoints", kArray},
    {"box_reconstruction_mode", "BoxReconstruction", Conv::Any, Kind::KeywordOnly,
     dflt::computed(box_reconstruction_max, "BoxReconstruction.MAX")},
    {"visualize", "bool", Conv::Bool, Kind::KeywordOnly, dflt::boolean(false)},
};

template <class Tin>
Ref fit_native(PyObject* keypoints, npy_intp P, geometry::Reconstruction mode) {
    Ref corners = new_swapped(NPY_DOUBLE, 4, P, 2);
    Ref rotations = new_array(NPY_DOUBLE, {P});
    if (!geometry::fit_parallelograms<Tin>(
            view3<const Tin>(keypoints), P, mode, vh::debug, view3<double>(corners.get()),
            data_of<double>(rotations.get()), NumpyMath<double>{}, inner_point_order(0, P),
            mode == geometry::Reconstruction::Shrink ? state.inplace_subtract[0] : state.inplace_add[0],
            state.corner_sum[0], state.fit_center_sum))
        raise_assertion();  // a longer half-axis off the x axis, as parallelogram_to_box reports it
    return check(PyTuple_Pack(2, corners.get(), rotations.get()));
}

constexpr unsigned kFitHelpers = kGetAngles | kParallelogramToBox | kCornerPoints | kRotPoints;

// The dtype of keypoints the fit kernel can work on as they are now, else -1.
int fit_native_type(PyObject* keypoints) {
    const int type = float_type(keypoints);
    return type >= 0 && dims_are(keypoints, {-1, 3, 2}) ? type : -1;
}

// The NumPy steps.
Ref fit_steps(PyObject* input, PyObject* mode) {
    Ref float64 = np_attr("float64");
    Ref keypoints = method(input, "astype", {float64.get()}, {{"copy", Py_False}});
    Ref shape = attr(keypoints.get(), "shape");
    const auto [number_of_parallelograms, number_of_keypoints, dimensionality] = unpack3(shape.get());
    VH_ASSERT_MSG(dimensionality == 2, "This function is only designed to work for two-dimensional boxes");
    VH_ASSERT_MSG(number_of_keypoints == 3,
                  "For two dimensional boxes we need exactly three keypoints to represent a parallelogram");
    const Py_ssize_t P = number_of_parallelograms, D = dimensionality;
    Ref zero = py_int(0), one = py_int(1), two = py_int(2);

    Ref center_rows = item(keypoints.get(), {everything().get(), zero.get(), everything().get()});
    Ref center = np_call("expand_dims", {center_rows.get(), one.get()});
    VH_ASSERT(shape_is(center.get(), {P, 1, D}));
    Ref outer = item(keypoints.get(), {everything().get(), slice(1, 3).get()});
    Ref tuple = method(outer.get(), "copy", {});
    VH_ASSERT(shape_is(tuple.get(), {P, 2, D}));
    np_call("subtract", {tuple.get(), center.get()}, {{"out", tuple.get()}});

    Ref linalg = np_attr("linalg");
    Ref norms = method(linalg.get(), "norm", {tuple.get()}, {{"axis", two.get()}});
    Ref longer = np_call("argmax", {norms.get(), one.get()});
    VH_ASSERT(shape_is(longer.get(), {P}));
    Ref count = py_int(P);
    Ref range = np_call("arange", {count.get()});
    Ref pair_start = multiply(range.get(), two.get());
    np_call("add", {longer.get(), pair_start.get()}, {{"out", longer.get()}});
    VH_ASSERT(shape_is(longer.get(), {P}));

    set_shape(tuple.get(), {P * 2, D});
    Ref flat_shape = shape_tuple({P * 2, D});
    Ref flat = method(tuple.get(), "reshape", {flat_shape.get()});
    VH_ASSERT(shape_is(flat.get(), {P * 2, D}));
    Ref longer_axes = item(flat.get(), longer.get());
    Ref angle = call_global(kAnglesFn, {longer_axes.get()});
    VH_ASSERT(shape_is(angle.get(), {P}));

    set_shape(tuple.get(), {P, 2, D});
    Ref minus_angle = negative(angle.get());
    Ref result = call_global(kRotPointsFn, {}, {{"points", tuple.get()}, {"rotation_rads", minus_angle.get()}});
    VH_ASSERT(same_array(result.get(), tuple.get()));

    set_shape(tuple.get(), {P * 2, D});
    result = call_global(kParallelogramFn, {tuple.get(), longer.get()}, {{"box_reconstruction_mode", mode}});
    set_shape(tuple.get(), {P, 2, D});
    if (vh::debug && result.get() != tuple.get()) {
        VH_ASSERT(same_array(result.get(), tuple.get()));
        Ref result_flat = method(result.get(), "flatten", {});
        Ref tuple_flat = method(tuple.get(), "flatten", {});
        VH_ASSERT(same_array(result_flat.get(), tuple_flat.get()));
    }

    result = call_global(kRotPointsFn, {}, {{"points", tuple.get()}, {"rotation_rads", angle.get()}});
    VH_ASSERT(same_array(result.get(), tuple.get()));
    VH_ASSERT(shape_is(tuple.get(), {P, 2, D}));

    Ref corners = call_global(kCornersFn, {tuple.get()});
    VH_ASSERT(shape_is(corners.get(), {P, 4, 2}));
    np_call("add", {corners.get(), center.get()}, {{"out", corners.get()}});

    Ref tops = item(tuple.get(), {everything().get(), zero.get()});
    Ref top_angles = call_global(kAnglesFn, {tops.get()});
    Ref pi = np_attr("pi");
    Ref half_pi = divide(pi.get(), two.get());
    Ref rotations = add(top_angles.get(), half_pi.get());
    VH_ASSERT(shape_is(rotations.get(), {P}));
    return check(PyTuple_Pack(2, corners.get(), rotations.get()));
}

Ref get_box_and_rotation_from_parallelogram_keypoints(Function&, Bound& a) {
    PyObject* mode = a[1];
    if (natives_intact(kFitHelpers) && fit_native_type(a[0]) >= 0) {
        // The NumPy steps compare the mode after they have read the keypoints (but for the centres
        // of float64 keypoints, which they add through a view at the end). A comparison that may
        // run Python code (a mode of another type) could change the keypoints or the module
        // globals meanwhile: the kernel then works on a copy taken before it. Everything it relies
        // on is checked after the comparison.
        Ref keypoints = Ref::borrow(a[0]);
        Ref cls = box_reconstruction_class();
        const bool copied = !compares_natively(mode, cls.get());
        if (copied) keypoints = check(PyArray_NewCopy(np::as_array(a[0]), NPY_CORDER));
        const auto reconstruction = reconstruction_of(mode, cls.get());
        const int type = !copied || natives_intact(kFitHelpers) ? fit_native_type(keypoints.get()) : -1;
        if (type >= 0) {
            const npy_intp P = PyArray_DIM(np::as_array(keypoints.get()), 0);
            return type == NPY_DOUBLE ? fit_native<double>(keypoints.get(), P, reconstruction)
                                      : fit_native<float>(keypoints.get(), P, reconstruction);
        }
        // Changed meanwhile so that the kernel cannot run: the NumPy steps (which compare the mode again).
        return fit_steps(keypoints.get(), mode);
    }
    return fit_steps(a[0], mode);
}

const FunctionDef get_box_and_rotation_from_parallelogram_keypoints_def{
    "get_box_and_rotation_from_parallelogram_keypoints",
    "get_box_and_rotation_from_parallelogram_keypoints",
    fit_params,
    "tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
    "Transform parallelograms into a boxes, and return the boxes and their rotation.\n"
    "\n"
    ":param parallelogram_keypoints:     Keypoints of parallelograms (Shape number of parallelogram\n"
    "                                                                      x {center, top, right} x 2).\n"
    "\n"
    ":param visualize:                   If this value is set and a debug build is executed (see README), the\n"
    "                                    internals of this functions are visualized in a debug pyplot window.\n"
    "\n"
    ":return:                            The boxes (shape number of boxes x 4 x 2) and their rotation\n"
    "                                    (shape: number of boxes).",
    get_box_and_rotation_from_parallelogram_keypoints,
    320,
};

// ---------------------------------------------------------------------------------------------
// vexl_to_keypoints

const Param vexl_params[] = {{"vexl_boxes", kArray}};

Ref vexl_to_keypoints(Function&, Bound& a) {
    PyObject* vexl = a[0];
    const int type = natives_intact(kRotPoints) ? float_type(vexl) : -1;
    if (type >= 0 && dims_are(vexl, {-1, 5})) {
        const npy_intp N = PyArray_DIM(np::as_array(vexl), 0);
        Ref keypoints = new_array(NPY_DOUBLE, {N ? 3 * N : 0, N ? 2 : 6});
        if (!N) set_shape(keypoints.get(), {0, 2});  // the strides an empty (0, 6) array takes on reshaping
        if (type == NPY_DOUBLE)
            geometry::vexl_to_keypoints<double>(view2<const double>(vexl), N, data_of<double>(keypoints.get()),
                                                NumpyMath<double>{}, inner_point_order(0, N), state.vexl_right_sum[0]);
        else
            geometry::vexl_to_keypoints<float>(view2<const float>(vexl), N, data_of<double>(keypoints.get()),
                                               NumpyMath<float>{}, inner_point_order(2, N), state.vexl_right_sum[1]);
        return keypoints;
    }

    const Py_ssize_t number_of_boxes = np::shape_at(vexl, 0);
    VH_ASSERT(shape_is(vexl, {number_of_boxes, 5}));
    Ref two = py_int(2), minus_one = py_int(-1), zero = py_int(0), one = py_int(1), four = py_int(4);
    Ref centers = item(vexl, {everything().get(), slice(kOpen, 2).get()});
    Ref sizes = item(vexl, {everything().get(), slice(2, 4).get()});
    Ref distances = divide(sizes.get(), two.get());
    // (vexl_boxes[:, 4] * -1 + np.pi) % (2 * np.pi) - np.pi
    Ref angles = item(vexl, {everything().get(), four.get()});
    Ref negated = multiply(angles.get(), minus_one.get());
    Ref pi = np_attr("pi");
    Ref shifted = add(negated.get(), pi.get());
    Ref two_pi = multiply(two.get(), pi.get());
    Ref wrapped = remainder(shifted.get(), two_pi.get());
    Ref rotations = subtract(wrapped.get(), pi.get());
    VH_ASSERT(shape_is(centers.get(), {number_of_boxes, 2}));
    VH_ASSERT(shape_is(distances.get(), {number_of_boxes, 2}));
    VH_ASSERT(shape_is(rotations.get(), {number_of_boxes}));

    // np.array([distances * np.array([0, 1]), distances * np.array([1, 0])])
    //     .reshape((2, number_of_boxes, 2)).swapaxes(0, 1)
    Ref rows = check(PyList_New(2));
    for (int row = 0; row < 2; ++row) {
        Ref factors = check(Py_BuildValue("[ii]", row, 1 - row));
        Ref factor_array = np_call("array", {factors.get()});
        PyList_SET_ITEM(rows.get(), row, multiply(distances.get(), factor_array.get()).release());
    }
    Ref stacked = np_call("array", {rows.get()});
    Ref stacked_shape = shape_tuple({2, number_of_boxes, 2});
    Ref reshaped = method(stacked.get(), "reshape", {stacked_shape.get()});
    Ref difference = method(reshaped.get(), "swapaxes", {zero.get(), one.get()});
    VH_ASSERT(shape_is(difference.get(), {number_of_boxes, 2, 2}));

    Ref rotated = call_global(kRotPointsFn, {}, {{"points", difference.get()}, {"rotation_rads", rotations.get()}});
    VH_ASSERT_MSG(same_array(rotated.get(), difference.get()),
                  "Rotations are supposed to happen inplace, __tmp is therefore just a view to distance_difference.");
    VH_ASSERT(shape_is(difference.get(), {number_of_boxes, 2, 2}));

    Ref to_top = item(difference.get(), {everything().get(), zero.get()});
    Ref top = subtract(centers.get(), to_top.get());
    Ref to_right = item(difference.get(), {everything().get(), one.get()});
    Ref right = add(centers.get(), to_right.get());
    VH_ASSERT(shape_is(top.get(), {number_of_boxes, 2}));
    VH_ASSERT(shape_is(right.get(), {number_of_boxes, 2}));
    VH_ASSERT(shape_is(centers.get(), {number_of_boxes, 2}));
    VH_ASSERT(shape_is(rotations.get(), {number_of_boxes}));

    Ref parts = tuple_of({centers.get(), top.get(), right.get()});
    Ref keypoints = np_call("hstack", {parts.get()});
    set_shape(keypoints.get(), {number_of_boxes * 3, 2});
    return keypoints;
}

const FunctionDef vexl_to_keypoints_def{
    "vexl_to_keypoints",
    "vexl_to_keypoints",
    vexl_params,
    kArray,
    ".\n"
    "\n"
    ":param vexl_boxes:      boxes in VEXL format (shape number of boxes x 5)\n"
    ":return:                keypoints of the boxes as a triple of numpy arrays in flat representation:\n"
    "                        keypoints (shape: number_of_boxes *3, 2), instance lookup (shape: number_of_boxes "
    "* 3, ),\n"
    "                        position lookup.(shape: number_of_boxes * 3, ).",
    vexl_to_keypoints,
    530,
};

// ---------------------------------------------------------------------------------------------
// keypoints_trivial_lookup

const Param lookup_params[] = {{"number_of_keypoints", "int", Conv::Int}};

// The lookups of `boxes` boxes, filled in directly: decimal box indices and position names in
// the string dtypes NumPy gives them (prepared at import).
Ref trivial_lookup_native(npy_intp boxes) {
    npy_intp dims[1] = {3 * boxes};
    Py_INCREF(state.instance_descr);
    Ref instances =
        check(PyArray_NewFromDescr(&PyArray_Type, state.instance_descr, 1, dims, nullptr, nullptr, 0, nullptr));
    Py_INCREF(state.position_descr);
    Ref positions =
        check(PyArray_NewFromDescr(&PyArray_Type, state.position_descr, 1, dims, nullptr, nullptr, 0, nullptr));
    const npy_intp instance_chars = PyArray_ITEMSIZE(np::as_array(instances.get())) / 4;
    const npy_intp position_chars = PyArray_ITEMSIZE(np::as_array(positions.get())) / 4;
    auto* instance = data_of<Py_UCS4>(instances.get());
    auto* position = data_of<Py_UCS4>(positions.get());
    static constexpr const char* kPositions[3] = {"center", "top", "right"};
    for (npy_intp b = 0; b < boxes; ++b) {
        char digits[24];
        const int length = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(b));
        for (int k = 0; k < 3; ++k) {
            Py_UCS4* text = instance + (3 * b + k) * instance_chars;
            for (npy_intp c = 0; c < instance_chars; ++c) text[c] = c < length ? static_cast<Py_UCS4>(digits[c]) : 0;
            Py_UCS4* name = position + (3 * b + k) * position_chars;
            const npy_intp name_length = static_cast<npy_intp>(std::strlen(kPositions[k]));
            for (npy_intp c = 0; c < position_chars; ++c)
                name[c] = c < name_length ? static_cast<Py_UCS4>(kPositions[k][c]) : 0;
        }
    }
    return check(PyTuple_Pack(2, instances.get(), positions.get()));
}

Ref keypoints_trivial_lookup(Function&, Bound& a) {
    PyObject* count = a[0];
    Ref three = py_int(3), zero = py_int(0);
    if (vh::debug) {
        Ref rest = remainder(count, three.get());
        if (!equals(rest.get(), zero.get())) raise_assertion();
    }
    Ref quotient = divide(count, three.get());
    Ref boxes = check(PyNumber_Long(quotient.get()));
    int overflow = 0;
    const long long number_of_boxes = PyLong_AsLongLongAndOverflow(boxes.get(), &overflow);
    // (beyond 2**40 boxes no allocation succeeds; NumPy's steps report that in their own way)
    if (!overflow && number_of_boxes >= 0 && number_of_boxes <= (1LL << 40) && numpy_is_native() &&
        state.instance_descr && state.position_descr)
        return trivial_lookup_native(static_cast<npy_intp>(number_of_boxes));

    Ref three_boxes = multiply(boxes.get(), three.get());
    Ref expected = tuple_of({three_boxes.get()});
    Ref range = np_call("arange", {zero.get(), boxes.get()});
    Ref repeated = np_call("repeat", {range.get(), three.get()});
    Ref instances = method(repeated.get(), "astype", {reinterpret_cast<PyObject*>(&PyUnicode_Type)});
    if (vh::debug) {
        Ref shape = attr(instances.get(), "shape");
        if (!equals(shape.get(), expected.get())) raise_assertion();
    }
    Ref names = check(Py_BuildValue("[sss]", "center", "top", "right"));
    Ref name_array = np_call("array", {names.get()});
    Ref row = item(name_array.get(), Py_None);
    Ref rows = np_call("repeat", {row.get(), boxes.get()}, {{"axis", zero.get()}});
    Ref positions = method(rows.get(), "flatten", {});
    if (vh::debug) {
        Ref shape = attr(positions.get(), "shape");
        if (!equals(shape.get(), expected.get())) raise_assertion();
    }
    return check(PyTuple_Pack(2, instances.get(), positions.get()));
}

const FunctionDef keypoints_trivial_lookup_def{
    "keypoints_trivial_lookup",
    "keypoints_trivial_lookup",
    lookup_params,
    "tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
    "Create lookup.\n"
    "\n"
    ":param number_of_keypoints: The number of keypoints\n"
    ":return:                    Tuple of numpy arrays assigning keypoints trivially.\n"
    "                            keypoints (shape: number_of_boxes * 3, 2),\n"
    "                            instance lookup (shape: number_of_boxes * 3, ),\n"
    "                            position lookup.(shape: number_of_boxes * 3, ).",
    keypoints_trivial_lookup,
    574,
};

// ---------------------------------------------------------------------------------------------
// vexl_to_box_corners

Ref vexl_to_box_corners(Function&, Bound& a) {
    PyObject* vexl = a[0];
    const Py_ssize_t number_of_boxes = np::shape_at(vexl, 0);
    const Py_ssize_t number_of_vexl_box_coordinates = np::shape_at(vexl, 1);
    VH_ASSERT(shape_is(vexl, {number_of_boxes, number_of_vexl_box_coordinates}));
    VH_ASSERT_MSG(number_of_vexl_box_coordinates == 5,
                  "Boxes in VEXL format must consist of exactly five points: (center_x, center_y, width, height, "
                  "rotation).");
    const int type = natives_intact(kRotPoints) ? float_type(vexl) : -1;
    if (type >= 0 && dims_are(vexl, {number_of_boxes, 5})) {
        Ref corners = new_swapped(NPY_DOUBLE, 4, number_of_boxes, 2);
        if (type == NPY_DOUBLE)
            geometry::vexl_to_box_corners<double>(view2<const double>(vexl), number_of_boxes,
                                                  view3<double>(corners.get()), NumpyMath<double>{},
                                                  inner_point_order(0, number_of_boxes), state.vexl_corner_sum[0]);
        else
            geometry::vexl_to_box_corners<float>(view2<const float>(vexl), number_of_boxes,
                                                 view3<double>(corners.get()), NumpyMath<float>{},
                                                 inner_point_order(2, number_of_boxes), state.vexl_corner_sum[1]);
        return corners;
    }

    Ref two = py_int(2), minus_one = py_int(-1), zero = py_int(0), one = py_int(1), four = py_int(4);
    Ref center = item(vexl, {everything().get(), slice(kOpen, 2).get()});
    Ref size_columns = item(vexl, {everything().get(), slice(2, 4).get()});
    Ref sizes = divide(size_columns.get(), two.get());
    Ref rotations = item(vexl, {everything().get(), four.get()});
    VH_ASSERT(shape_is(center.get(), {number_of_boxes, 2}));
    VH_ASSERT(shape_is(sizes.get(), {number_of_boxes, 2}));
    VH_ASSERT(shape_is(rotations.get(), {number_of_boxes}));

    // np.array([sizes * np.array([-1, -1]), sizes * np.array([-1, 1]), sizes * np.array([1, 1]),
    //           sizes * np.array([1, -1])]).reshape((4, number_of_boxes, 2)).swapaxes(0, 1)
    static constexpr int kSigns[4][2] = {{-1, -1}, {-1, 1}, {1, 1}, {1, -1}};
    Ref rows = check(PyList_New(4));
    for (int k = 0; k < 4; ++k) {
        Ref signs = check(Py_BuildValue("[ii]", kSigns[k][0], kSigns[k][1]));
        Ref sign_array = np_call("array", {signs.get()});
        PyList_SET_ITEM(rows.get(), k, multiply(sizes.get(), sign_array.get()).release());
    }
    Ref stacked = np_call("array", {rows.get()});
    Ref stacked_shape = shape_tuple({4, number_of_boxes, 2});
    Ref reshaped = method(stacked.get(), "reshape", {stacked_shape.get()});
    Ref box = method(reshaped.get(), "swapaxes", {zero.get(), one.get()});
    VH_ASSERT(shape_is(box.get(), {number_of_boxes, 4, 2}));

    Ref negated = multiply(rotations.get(), minus_one.get());
    Ref rotated = call_global(kRotPointsFn, {}, {{"points", box.get()}, {"rotation_rads", negated.get()}});
    VH_ASSERT(same_array(rotated.get(), box.get()));
    Ref centers = item(center.get(), {everything().get(), Py_None});
    np_call("add", {box.get(), centers.get()}, {{"out", box.get()}});
    VH_ASSERT(shape_is(box.get(), {number_of_boxes, 4, 2}));
    return box;
}

const FunctionDef vexl_to_box_corners_def{
    "vexl_to_box_corners",
    "vexl_to_box_corners",
    vexl_params,
    kArray,
    "Transform rotated boxes from the VEXL format into box corner format.\n"
    "\n"
    "({Top Left, Top Right, Bottom Left, Bottom Right} in arbitrary order) to box corners.\n"
    "\n"
    ":param vexl_boxes:          Shape: (number of boxes x 5)\n"
    ":return:                    Shape: (number_of_boxes x number of corners (=4) x dimensionality (=2))",
    vexl_to_box_corners,
    595,
};

// ---------------------------------------------------------------------------------------------
// box_corners_to_vexl

const Param box_corners_to_vexl_params[] = {{"box_corners", kArray}, {"rotations", kArray}};

template <class Tc, class Tr, class Tout>
Ref box_corners_to_vexl_native(PyObject* corners, PyObject* rotations, npy_intp N, int out_type) {
    Ref vexl = new_swapped(out_type, 5, N);
    geometry::box_corners_to_vexl<Tc, Tr, Tout>(view3<const Tc>(corners), view1<const Tr>(rotations), N,
                                                view2<Tout>(vexl.get()), NumpyMath<Tr>{});
    return vexl;
}

Ref box_corners_to_vexl(Function&, Bound& a) {
    PyObject* corners = a[0];
    PyObject* rotations = a[1];
    const Py_ssize_t number_of_boxes = np::shape_at(corners, 0);
    const Py_ssize_t number_of_box_corners = np::shape_at(corners, 1);
    const Py_ssize_t state_dimensionality = np::shape_at(corners, 2);
    VH_ASSERT(shape_is(corners, {number_of_boxes, number_of_box_corners, state_dimensionality}));
    VH_ASSERT(shape_is(rotations, {number_of_boxes}));
    VH_ASSERT(number_of_box_corners == 4);
    VH_ASSERT(state_dimensionality == 2);
    const bool natives = natives_intact(kRotPoints);
    const int corner_type = natives ? float_type(corners) : -1, rotation_type = natives ? float_type(rotations) : -1;
    // float32 corners with float64 rotations: NumPy refuses the in-place rotation
    const bool native_types =
        corner_type >= 0 && rotation_type >= 0 && !(corner_type == NPY_FLOAT && rotation_type == NPY_DOUBLE);
    if (native_types && dims_are(corners, {number_of_boxes, 4, 2}) && dims_are(rotations, {number_of_boxes})) {
        const npy_intp N = number_of_boxes;
        if (corner_type == NPY_FLOAT)
            return box_corners_to_vexl_native<float, float, float>(corners, rotations, N, NPY_FLOAT);
        if (rotation_type == NPY_FLOAT)
            return box_corners_to_vexl_native<double, float, double>(corners, rotations, N, NPY_DOUBLE);
        return box_corners_to_vexl_native<double, double, double>(corners, rotations, N, NPY_DOUBLE);
    }

    Ref zero = py_int(0), one = py_int(1), three = py_int(3), minus_one = py_int(-1);
    Ref means = method(corners, "mean", {}, {{"axis", one.get()}});
    Ref centers = item(means.get(), {everything().get(), Py_None});
    VH_ASSERT(shape_is(centers.get(), {number_of_boxes, 1, state_dimensionality}));
    Ref centred = subtract(corners, centers.get());
    Ref negated = negative(rotations);
    Ref rotated = call_global(kRotPointsFn, {}, {{"points", centred.get()}, {"rotation_rads", negated.get()}});
    VH_ASSERT(shape_is(rotated.get(), {number_of_boxes, number_of_box_corners, state_dimensionality}));

    // widths, heights = np.abs(rotated_box_corners[:, 1, :] - rotated_box_corners[:, 3, :]).T
    Ref corner_1 = item(rotated.get(), {everything().get(), one.get(), everything().get()});
    Ref corner_3 = item(rotated.get(), {everything().get(), three.get(), everything().get()});
    Ref diagonal = subtract(corner_1.get(), corner_3.get());
    Ref extents = np_call("abs", {diagonal.get()});
    Ref extents_t = attr(extents.get(), "T");
    Ref extent_rows = check(PySequence_Tuple(extents_t.get()));
    const Py_ssize_t found = PyTuple_GET_SIZE(extent_rows.get());
    if (found > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (found < 2) raisef(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");

    Ref center_x = item(centers.get(), {everything().get(), zero.get(), zero.get()});
    Ref center_y = item(centers.get(), {everything().get(), zero.get(), one.get()});
    Ref vexl_rotation = divide(rotations, minus_one.get());
    Ref columns = check(PyList_New(5));
    PyList_SET_ITEM(columns.get(), 0, center_x.release());
    PyList_SET_ITEM(columns.get(), 1, center_y.release());
    PyList_SET_ITEM(columns.get(), 2, Py_NewRef(PyTuple_GET_ITEM(extent_rows.get(), 0)));
    PyList_SET_ITEM(columns.get(), 3, Py_NewRef(PyTuple_GET_ITEM(extent_rows.get(), 1)));
    PyList_SET_ITEM(columns.get(), 4, vexl_rotation.release());
    Ref stacked = np_call("array", {columns.get()});
    Ref stacked_shape = shape_tuple({5, number_of_boxes});
    Ref reshaped = method(stacked.get(), "reshape", {stacked_shape.get()});
    Ref vexl = method(reshaped.get(), "swapaxes", {one.get(), zero.get()});
    VH_ASSERT(shape_is(vexl.get(), {number_of_boxes, 5}));
    return vexl;
}

const FunctionDef box_corners_to_vexl_def{
    "box_corners_to_vexl",
    "box_corners_to_vexl",
    box_corners_to_vexl_params,
    kArray,
    "Transform rotated box corners into the VEXL format.\n"
    "\n"
    ":param box_corners:     Rotated box corners (Shape number_of_boxes x 4 x dimensionality (2)).\n"
    ":param rotations:       Numpy array that contains the rotation by which the box corners are rotated\n"
    "                        (Shape number_of_boxes)\n"
    ":return:                Boxes in VEXL format (Shape: number of boxes x {center_x, center_y,\n"
    "                                                                        width, height, rotation}) = 5)",
    box_corners_to_vexl,
    634,
};

// ---------------------------------------------------------------------------------------------
// keypoints_to_vexl, keypoints_to_box_corners

const Param keypoints_params[] = {{"keypoints", kArray}};

constexpr const char* kKeypointsDoc =
    "Transform keypoints to box corners. Box corners have arbitrary order.\n"
    "\n"
    ":param keypoints:       Keypoints (Shape: number of parallelograms x {center, top, right} x dimensionality "
    "(=2))\n"
    ":return:                Box corners (Shape: number_of_parallelograms x 4 x dimensionality (=2))";

Ref keypoints_to_vexl(Function&, Bound& a) {
    PyObject* keypoints = a[0];
    const int type = natives_intact(kGetAngles) ? float_type(keypoints) : -1;
    if (type >= 0 && dims_are(keypoints, {-1, 3, 2}) && writable_in_place(keypoints)) {
        const npy_intp P = PyArray_DIM(np::as_array(keypoints), 0);
        Ref vexl = new_array(NPY_FLOAT, {P, 5});
        if (type == NPY_DOUBLE)
            geometry::keypoints_to_vexl<double>(view3<double>(keypoints), P, data_of<float>(vexl.get()),
                                                NumpyMath<double>{});
        else
            geometry::keypoints_to_vexl<float>(view3<float>(keypoints), P, data_of<float>(vexl.get()),
                                               NumpyMath<float>{});
        return vexl;
    }

    Ref shape = attr(keypoints, "shape");
    const auto [number_of_parallelograms, number_of_keypoints, dimensionality] = unpack3(shape.get());
    VH_ASSERT(number_of_keypoints == 3);
    VH_ASSERT(dimensionality == 2);
    Ref zero = py_int(0), one = py_int(1), two = py_int(2);
    Ref float32 = np_attr("float32");
    Ref vexl_shape = shape_tuple({number_of_parallelograms, 5});
    Ref vexl = np_call("empty", {vexl_shape.get()}, {{"dtype", float32.get()}});
    Ref centers = item(keypoints, {everything().get(), zero.get()});
    set_item(vexl.get(), {everything().get(), slice(kOpen, 2).get()}, centers.get());
    {
        Ref outer = item(keypoints, {everything().get(), slice(1, 3).get()});
        Ref center = item(keypoints, {everything().get(), slice(kOpen, 1).get()});
        Ref out = item(keypoints, {everything().get(), slice(1, 3).get()});
        np_call("subtract", {outer.get(), center.get()}, {{"out", out.get()}});
    }
    Ref offsets = item(keypoints, {everything().get(), slice(1, 3).get()});
    Ref linalg = np_attr("linalg");
    Ref norms = method(linalg.get(), "norm", {offsets.get()}, {{"axis", two.get()}});
    Ref sides = multiply(norms.get(), two.get());
    set_item(vexl.get(), {everything().get(), slice(3, 1, -1).get()}, sides.get());
    Ref tops = item(keypoints, {everything().get(), one.get()});
    Ref angles = call_global(kAnglesFn, {tops.get()});
    Ref pi = np_attr("pi");
    Ref half_pi = divide(pi.get(), two.get());
    Ref shifted = add(angles.get(), half_pi.get());
    Ref rotation = negative(shifted.get());
    Ref four = py_int(4);
    set_item(vexl.get(), {everything().get(), four.get()}, rotation.get());
    return vexl;
}

const FunctionDef keypoints_to_vexl_def{
    "keypoints_to_vexl", "keypoints_to_vexl", keypoints_params, kArray, kKeypointsDoc, keypoints_to_vexl, 669,
};

template <class T>
Ref keypoints_to_box_corners_native(PyObject* keypoints, npy_intp P, int type) {
    Ref corners = new_corner_major(type, P, sizeof(T));
    constexpr int single = std::is_same_v<T, float>;
    geometry::keypoints_to_box_corners<T>(view3<const T>(keypoints), P, view3<T>(corners.get()),
                                          state.corner_sum[single], state.keypoint_center_sum[single]);
    return corners;
}

Ref keypoints_to_box_corners(Function&, Bound& a) {
    PyObject* keypoints = a[0];
    const int type = natives_intact(kCornerPoints | kCast) ? float_type(keypoints) : -1;
    if (type >= 0 && dims_are(keypoints, {-1, 3, 2})) {
        const npy_intp P = PyArray_DIM(np::as_array(keypoints), 0);
        return type == NPY_DOUBLE ? keypoints_to_box_corners_native<double>(keypoints, P, type)
                                  : keypoints_to_box_corners_native<float>(keypoints, P, type);
    }

    Ref shape = attr(keypoints, "shape");
    const auto [number_of_parallelograms, number_of_keypoints, dimensionality] = unpack3(shape.get());
    VH_ASSERT(number_of_keypoints == 3);
    VH_ASSERT(dimensionality == 2);
    const Py_ssize_t P = number_of_parallelograms;
    Ref zero = py_int(0);
    Ref centers = item(keypoints, {everything().get(), zero.get()});
    Ref center = item(centers.get(), {everything().get(), Py_True});
    VH_ASSERT(shape_is(center.get(), {P, 1, 2}));
    Ref outer = item(keypoints, {everything().get(), slice(1, 3).get()});
    Ref tuple = subtract(outer.get(), center.get());
    VH_ASSERT(shape_is(tuple.get(), {P, 2, 2}));
    Ref corners = call_global(kCornersFn, {tuple.get()});
    VH_ASSERT(shape_is(corners.get(), {P, 4, 2}));
    // cast(np.ndarray[Any, Any], box_corners + parallelogram_center)
    Ref cast = Ref::borrow(global(state.globals, state.cast_name));
    Ref ndarray = np_attr("ndarray");
    PyObject* any = global(state.globals, state.any_name);
    Ref annotation = item(ndarray.get(), {any, any});
    Ref absolute = add(corners.get(), center.get());
    return call(cast.get(), {annotation.get(), absolute.get()});
}

const FunctionDef keypoints_to_box_corners_def{
    "keypoints_to_box_corners",
    "keypoints_to_box_corners",
    keypoints_params,
    kArray,
    kKeypointsDoc,
    keypoints_to_box_corners,
    701,
};

// ---------------------------------------------------------------------------------------------
// inference_boxes_to_corners

const Param inference_params[] = {
    {"boxes", kArray},
    {"size_factor", "float", Conv::Double, Kind::Positional, dflt::real(1.0)},
};

Ref inference_boxes_to_corners(Function&, Bound& a) {
    PyObject* boxes = a[0];
    const double size_factor = a.real(1);
    // float32 boxes only: with other dtypes NumPy refuses to rotate the float32 half-sides in place
    // by the orientations; a factor beyond float32 is left to NumPy's conversion.
    if (natives_intact(kRotPoints) && np::is_plain(boxes, NPY_FLOAT) && dims_are(boxes, {-1, -1}) &&
        PyArray_DIM(np::as_array(boxes), 1) >= 5 &&
        !(std::isfinite(size_factor) && std::abs(size_factor) > std::numeric_limits<float>::max())) {
        const npy_intp N = PyArray_DIM(np::as_array(boxes), 0);
        Ref corners = new_array(NPY_FLOAT, {N, 4, 2});
        Ref distances = new_array(NPY_FLOAT, {N, 4, 2});
        geometry::inference_boxes_to_corners(view2<const float>(boxes), N, static_cast<float>(size_factor),
                                             data_of<float>(corners.get()), data_of<float>(distances.get()),
                                             NumpyMath<float>{}, inner_point_order(1, N), state.inference_scaling,
                                             state.inference_bottom_sum, state.inference_right_sum);
        return check(PyTuple_Pack(2, corners.get(), distances.get()));
    }

    const Py_ssize_t number_of_boxes = PyObject_Length(boxes);
    if (number_of_boxes < 0) throw_error();
    Ref zero = py_int(0), one = py_int(1), two = py_int(2), three = py_int(3), four = py_int(4);
    Ref float32 = np_attr("float32");
    Ref shape = shape_tuple({number_of_boxes, 4, 2});
    Ref corners = np_call("empty", {shape.get()}, {{"dtype", float32.get()}});
    Ref centers = item(boxes, {everything().get(), slice(kOpen, 2).get()});
    Ref spread = item(centers.get(), {everything().get(), Py_None});
    set_item(corners.get(), {everything().get(), slice(kOpen, 4).get()}, spread.get());
    VH_ASSERT(shape_is(corners.get(), {number_of_boxes, 4, 2}));

    Ref pi = np_attr("pi");
    Ref angles = item(boxes, {everything().get(), four.get()});
    Ref flipped = subtract(pi.get(), angles.get());
    Ref two_pi = multiply(two.get(), pi.get());
    Ref orientations = remainder(flipped.get(), two_pi.get());
    VH_ASSERT(shape_is(orientations.get(), {number_of_boxes}));

    Ref distances = np_call("zeros", {shape.get()}, {{"dtype", float32.get()}});
    Ref factor = Ref::borrow(a[1]);
    for (int side = 0; side < 2; ++side) {
        Ref column = item(boxes, {everything().get(), side == 0 ? two.get() : three.get()});
        Ref half = divide(column.get(), two.get());
        Ref scaled = multiply(half.get(), factor.get());
        PyObject* axis = side == 0 ? zero.get() : one.get();
        set_item(distances.get(), {everything().get(), axis, axis}, scaled.get());
    }
    VH_ASSERT(shape_is(distances.get(), {number_of_boxes, 4, 2}));
    call_global(kRotPointsFn, {distances.get(), orientations.get()});

    Ref to_bottom = item(distances.get(), {everything().get(), zero.get()});
    Ref to_right = item(distances.get(), {everything().get(), one.get()});
    {
        Ref top_left = item(corners.get(), {everything().get(), zero.get()});
        Ref bottom_left = item(corners.get(), {everything().get(), one.get()});
        Ref top_right = item(corners.get(), {everything().get(), two.get()});
        Ref bottom_right = item(corners.get(), {everything().get(), three.get()});
        VH_ASSERT(shape_is(top_left.get(), {number_of_boxes, 2}));
        VH_ASSERT(shape_is(top_right.get(), {number_of_boxes, 2}));
        VH_ASSERT(shape_is(bottom_right.get(), {number_of_boxes, 2}));
        VH_ASSERT(shape_is(bottom_left.get(), {number_of_boxes, 2}));
    }
    Ref left = item(corners.get(), {everything().get(), slice(kOpen, 2).get()});
    Ref right = item(corners.get(), {everything().get(), slice(2, kOpen).get()});
    Ref top = item(corners.get(), {everything().get(), slice(0, kOpen, 2).get()});
    Ref bottom = item(corners.get(), {everything().get(), slice(1, kOpen, 2).get()});
    for (PyObject* part : {left.get(), right.get(), top.get(), bottom.get()})
        VH_ASSERT(shape_is(part, {number_of_boxes, 2, 2}));
    Ref bottom_step = item(to_bottom.get(), {everything().get(), Py_None});
    Ref right_step = item(to_right.get(), {everything().get(), Py_None});
    np_call("subtract", {top.get(), bottom_step.get()}, {{"out", top.get()}});
    np_call("add", {bottom.get(), bottom_step.get()}, {{"out", bottom.get()}});
    np_call("subtract", {left.get(), right_step.get()}, {{"out", left.get()}});
    np_call("add", {right.get(), right_step.get()}, {{"out", right.get()}});
    return check(PyTuple_Pack(2, corners.get(), distances.get()));
}

const FunctionDef inference_boxes_to_corners_def{
    "inference_boxes_to_corners",
    "inference_boxes_to_corners",
    inference_params,
    "tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
    ".",
    inference_boxes_to_corners,
    723,
};

// ---------------------------------------------------------------------------------------------
// The module

void define_box_reconstruction(ModuleContext& m) {
    Ref bases = check(PyTuple_Pack(1, global(m.globals(), check(PyUnicode_FromString("Enum")).get())));
    ClassBuilder cls(m, "BoxReconstruction", bases.get(), ".");
    const char* members[] = {"MIN", "AVG", "MAX"};
    for (int i = 0; i < 3; ++i) cls.value(members[i], py_int(i).get());
    Ref built = cls.build();
    m.set("BoxReconstruction", built.get());
    state.box_reconstruction = built.release();
}

// The dtypes NumPy gives np.arange(n).astype(str) and np.array(["center", "top", "right"]).
void prepare_lookup_dtypes(PyObject* numpy) {
    Ref one = py_int(1);
    Ref range = check(PyObject_CallMethod(numpy, "arange", "O", one.get()));
    Ref strings = check(PyObject_CallMethod(range.get(), "astype", "O", reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    Ref names = check(Py_BuildValue("[sss]", "center", "top", "right"));
    Ref name_array = check(PyObject_CallMethod(numpy, "array", "O", names.get()));
    const std::pair<PyObject*, PyArray_Descr**> found[2] = {{strings.get(), &state.instance_descr},
                                                            {name_array.get(), &state.position_descr}};
    for (const auto& [array, descr] : found) {
        if (PyArray_Check(array) && PyArray_TYPE(np::as_array(array)) == NPY_UNICODE) {
            *descr = PyArray_DESCR(np::as_array(array));
            Py_INCREF(*descr);
        }
    }
}

void exec_shapekit(ModuleContext& m) {
    state.globals = m.globals();
    state.np_name = check(PyUnicode_InternFromString("np")).release();

    m.import_from("typing", {"Any", "cast"});
    m.import_from("collections.abc", {"Callable"});
    m.import_from("enum", {"Enum"});
    Ref numpy = m.import_as("numpy", "np");
    {
        Ref cos = attr(numpy.get(), "cos"), sin = attr(numpy.get(), "sin");
        state.cos64 = np::unary_loop(cos.get(), NPY_DOUBLE);
        state.sin64 = np::unary_loop(sin.get(), NPY_DOUBLE);
        state.cos32 = np::unary_loop(cos.get(), NPY_FLOAT);
        state.sin32 = np::unary_loop(sin.get(), NPY_FLOAT);
        Ref arctan2 = attr(numpy.get(), "arctan2");
        state.atan2_64 = np::binary_loop(arctan2.get(), NPY_DOUBLE);
        state.atan2_32 = np::binary_loop(arctan2.get(), NPY_FLOAT);
    }
    for (int i = 0; i < kHelpers; ++i)
        state.helper_names[i] = check(PyUnicode_InternFromString(kHelperNames[i])).release();
    state.box_reconstruction_name = check(PyUnicode_InternFromString("BoxReconstruction")).release();
    state.cast_name = check(PyUnicode_InternFromString("cast")).release();
    state.any_name = check(PyUnicode_InternFromString("Any")).release();
    state.typing_cast = Ref::borrow(global(m.globals(), state.cast_name)).release();
    prepare_lookup_dtypes(numpy.get());

    auto keep = [](int helper, Ref function) { state.helpers[helper] = function.release(); };
    m.define(get_rotation_matrix_2d_def);
    m.define(coordinate_transformation_def);
    keep(kAnglesFn, m.define(get_angles_from_points_def));
    define_box_reconstruction(m);
    keep(kParallelogramFn, m.define(parallelogram_to_box_def));
    keep(kCornersFn, m.define(get_corner_points_from_box_tuples_def));
    m.define(rot_mats_multi_rads_def);
    keep(kRotPointsFn, m.define(rot_points_multi_rads_def));
    m.define(get_box_and_rotation_from_parallelogram_keypoints_def);
    m.define(vexl_to_keypoints_def);
    m.define(keypoints_trivial_lookup_def);
    m.define(vexl_to_box_corners_def);
    m.define(box_corners_to_vexl_def);
    m.define(keypoints_to_vexl_def);
    m.define(keypoints_to_box_corners_def);
    m.define(inference_boxes_to_corners_def);

    state.matrix_order[0] = calibrate_matrix_order<double, double>(NPY_DOUBLE, NPY_DOUBLE);
    state.matrix_order[1] = calibrate_matrix_order<float, float>(NPY_FLOAT, NPY_FLOAT);
    state.matrix_order[2] = calibrate_matrix_order<double, float>(NPY_DOUBLE, NPY_FLOAT);
    calibrate_point_order<double, double>(NPY_DOUBLE, NPY_DOUBLE, 0);
    calibrate_point_order<float, float>(NPY_FLOAT, NPY_FLOAT, 1);
    calibrate_point_order<double, float>(NPY_DOUBLE, NPY_FLOAT, 2);
    calibrate_additions<double>(NPY_DOUBLE);
    calibrate_additions<float>(NPY_FLOAT);
}

const ModuleSpec shapekit_spec{
    "shapekit",
    "vornhaven.preprocessing.shapekit",
    "Contains keypoint utilities.",
    "<vornhaven.preprocessing.shapekit>",
    exec_shapekit,
};

}  // namespace

PyMODINIT_FUNC PyInit_shapekit() {
    return vh::module_init(shapekit_spec);
}
