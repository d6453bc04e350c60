// vornhaven.preprocessing.shapekit: plane geometry of rotated boxes and keypoints.
#include <cmath>
#include <cstring>

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
    // How einsum sums a rotated matrix entry for float64/float64, float32/float32 and
    // float64 matrices with float32 angles.
    MatrixOrder matrix_order[3];
} state;

PyObject* numpy_global() { return global(state.globals, state.np_name); }

// The native paths stand in for NumPy calls; they apply while the module's `np` is NumPy itself,
// so a replaced `np` sees every call, as it would in Python.
bool numpy_is_native() { return PyDict_GetItem(state.globals, state.np_name) == np::numpy(); }

Ref attr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

Ref py_int(Py_ssize_t v) { return check(PyLong_FromSsize_t(v)); }

// ---------------------------------------------------------------------------------------------
// get_rotation_matrix_2d

double cos64(double x) {
    double r;
    if (state.cos64) state.cos64(&x, sizeof x, &r, sizeof r, 1);
    else r = std::cos(x);
    return r;
}

double sin64(double x) {
    double r;
    if (state.sin64) state.sin64(&x, sizeof x, &r, sizeof r, 1);
    else r = std::sin(x);
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
        PyObject* numpy = numpy_global();
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
    out[1] = -1.0 * s;
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
PyObject* captured(Function& f, Py_ssize_t i) { return PyTuple_GET_ITEM(f.closure, i); }

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

bool shape_is(PyObject* o, std::initializer_list<Py_ssize_t> dims) {
    Ref shape = np::shape_of(o);
    return np::shape_equals(shape.get(), dims);
}

Ref coordinate_transformation(Function& self, Bound& a) {
    PyObject* spanning_points = a[0];
    const Py_ssize_t number_of_spanning_points = np::shape_at(spanning_points, 0);
    const Py_ssize_t dimensionality = np::shape_at(spanning_points, 1);
    VH_ASSERT(shape_is(spanning_points, {number_of_spanning_points, dimensionality}));
    VH_ASSERT(number_of_spanning_points == dimensionality + 1);
    VH_ASSERT_MSG(dimensionality == 2, "The dimensionality of the points has to be two, otherwise slightly adapt and test.");

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
    PyObject* module_name = self.module;
    Ref forward = make_function(to_new_def, state.globals, module_name, self.filename, closure);
    Ref backward = make_function(to_canonical_def, state.globals, module_name, self.filename, closure);
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
// rot_mats_multi_rads, rot_points_multi_rads

// The stacked rotation matrices np.array([[cr, -sr], [sr, cr]]).reshape((2, 2, n)).
Ref stacked_rotation_matrices(PyObject* rotation_rads, Py_ssize_t number_of_rotations) {
    PyObject* numpy = numpy_global();
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
        cos_loop(data, step, cosines, sizeof(C), n);
        sin_loop(data, step, sines, sizeof(C), n);
        return;
    }
    for (npy_intp k = 0; k < n; ++k) {
        const C t = *reinterpret_cast<const C*>(data + k * step);
        cosines[k] = std::cos(t);
        sines[k] = std::sin(t);
    }
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
            geometry::rotate_points<T, C>(data, n, m, s0, s1, s2, cosines.data(), sines.data());
        } else if (order == MatrixOrder::Pairwise) {
            geometry::rotate_matrices<T, C, geometry::SumOrder::Pairwise>(data, n, s0, s1, s2, cosines.data(),
                                                                          sines.data());
        } else {
            geometry::rotate_matrices<T, C, geometry::SumOrder::Running>(data, n, s0, s1, s2, cosines.data(),
                                                                         sines.data());
        }
    };
    if (combination == 1) run(float{}, float{});
    else if (combination == 0) run(double{}, double{});
    else run(double{}, float{});
    return true;
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
    for (npy_intp i = 0; i < 4 * n; ++i)
        values[i] = static_cast<T>(std::sin(1.7 * static_cast<double>(i) + 0.3) * std::pow(10.0, i % 9 - 4));
    for (npy_intp k = 0; k < n; ++k) rads[k] = static_cast<C>(0.37 + 0.91 * static_cast<double>(k));
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
// The module

void define_box_reconstruction(ModuleContext& m) {
    Ref bases = check(PyTuple_Pack(1, global(m.globals(), check(PyUnicode_FromString("Enum")).get())));
    ClassBuilder cls(m, "BoxReconstruction", bases.get(), ".");
    const char* members[] = {"MIN", "AVG", "MAX"};
    for (int i = 0; i < 3; ++i) cls.value(members[i], py_int(i).get());
    Ref built = cls.build();
    m.set("BoxReconstruction", built.get());
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
    }

    m.define(get_rotation_matrix_2d_def);
    m.define(coordinate_transformation_def);
    define_box_reconstruction(m);
    m.define(rot_mats_multi_rads_def);
    m.define(rot_points_multi_rads_def);

    state.matrix_order[0] = calibrate_matrix_order<double, double>(NPY_DOUBLE, NPY_DOUBLE);
    state.matrix_order[1] = calibrate_matrix_order<float, float>(NPY_FLOAT, NPY_FLOAT);
    state.matrix_order[2] = calibrate_matrix_order<double, float>(NPY_DOUBLE, NPY_FLOAT);
}

const ModuleSpec shapekit_spec{
    "shapekit",
    "vornhaven.preprocessing.shapekit",
    "Contains keypoint utilities.",
    "<vornhaven.preprocessing.shapekit>",
    exec_shapekit,
};

}  // namespace

PyMODINIT_FUNC PyInit_shapekit() { return vh::module_init(shapekit_spec); }
