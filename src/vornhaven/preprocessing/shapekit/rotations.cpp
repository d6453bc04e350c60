// shapekit: rotation matrices, changes of coordinate system, in-place rotations of point and matrix stacks.
#include "vornhaven/preprocessing/shapekit/shapekit.hpp"

namespace vh::shapekit {

// ---------------------------------------------------------------------------------------------
// get_rotation_matrix_2d

const Param rotation_matrix_params[] = {
    {"angle_in_deg", "float | None", Conv::Float, Kind::KeywordOnly, dflt::none()},
    {"angle_in_rad", "float | None", Conv::Float, Kind::KeywordOnly, dflt::none()},
};
struct RotationMatrixArg {
    enum : std::size_t { angle_in_deg, angle_in_rad, count };
};
static_assert(std::size(rotation_matrix_params) == RotationMatrixArg::count);

static Ref get_rotation_matrix_2d(Function&, Bound& a) {
    const bool have_deg = !a.is_none(RotationMatrixArg::angle_in_deg),
               have_rad = !a.is_none(RotationMatrixArg::angle_in_rad);
    if (have_deg == have_rad) {
        Ref deg = check(PyObject_Format(a[RotationMatrixArg::angle_in_deg], nullptr));
        Ref rad = check(PyObject_Format(a[RotationMatrixArg::angle_in_rad], nullptr));
        raisef(PyExc_ValueError, "Pass angle either in degrees (%U) in radians (%U).", deg.get(), rad.get());
    }
    if (!numpy_is_native()) {
        Ref held = numpy_held();
        PyObject* numpy = held.get();
        Ref pi = attr(numpy, "pi");
        Ref angle = have_deg ? check(PyFloat_FromDouble(a.real(RotationMatrixArg::angle_in_deg) / 180))
                             : Ref::borrow(a[RotationMatrixArg::angle_in_rad]);
        if (have_deg) angle = check(PyNumber_Multiply(angle.get(), pi.get()));
        Ref c = method(numpy, "cos", {angle.get()});
        Ref s = method(numpy, "sin", {angle.get()});
        Ref minus_one = check(PyLong_FromLong(-1));
        Ref minus_s = check(PyNumber_Multiply(minus_one.get(), s.get()));
        Ref nested = check(Py_BuildValue("[[OO][OO]]", c.get(), minus_s.get(), s.get(), c.get()));
        return method(numpy, "array", {nested.get()});
    }
    const double angle =
        have_deg ? a.real(RotationMatrixArg::angle_in_deg) / 180 * M_PI : a.real(RotationMatrixArg::angle_in_rad);
    npy_intp dims[2] = {2, 2};
    Ref result = check(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    auto* out = static_cast<double*>(PyArray_DATA(np::as_array(result.get())));
    double c, s;
    NumpyMath<double>{}.cos(&angle, sizeof angle, &c, 1);
    NumpyMath<double>{}.sin(&angle, sizeof angle, &s, 1);
    out[0] = c;
    out[1] = geometry::ordered::mul(-1.0, s);  // a product, not a negation: the sign of NaN stays
    out[2] = s;
    out[3] = c;
    return result;
}

const FunctionDef get_rotation_matrix_2d_def{
    .name = "get_rotation_matrix_2d",
    .params = rotation_matrix_params,
    .returns = kArray,
    .doc =
        "Return the 2 dimensional rotation matrix.\n\n:param angle_in_deg: Angle in degrees.\n:param angle_in_rad: "
        "Angle in radians.\n:return:  the two -dimensional rotation matrix.",
    .body = get_rotation_matrix_2d,
    .line = 10,
};

// ---------------------------------------------------------------------------------------------
// coordinate_transformation

bool pinv_2x2(const double (&matrix)[2][2], double (&inverse)[2][2]) {
    if (!state.svd64 || !state.matmul64) return false;
    // u, s, vt = svd(a, full_matrices=False): outputs C-ordered, as the ufunc allocates them.
    double u[2][2], s[2], vt[2][2];
    {
        char* args[4] = {reinterpret_cast<char*>(const_cast<double*>(&matrix[0][0])), reinterpret_cast<char*>(&u[0][0]),
                         reinterpret_cast<char*>(s), reinterpret_cast<char*>(&vt[0][0])};
        npy_intp dimensions[4] = {1, 2, 2, 2};
        npy_intp steps[11] = {0, 0, 0, 0, 16, 8, 16, 8, 8, 16, 8};
        state.svd64(args, dimensions, steps);
    }
    for (double v : {u[0][0], u[0][1], u[1][0], u[1][1], s[0], s[1], vt[0][0], vt[0][1], vt[1][0], vt[1][1]})
        if (!std::isfinite(v)) return false;  // no convergence: NumPy raises LinAlgError
    // cutoff = rcond * amax(s); s = 1 / s where s > cutoff, else 0
    const double cutoff = 1e-15 * (s[1] > s[0] ? s[1] : s[0]);
    for (double& v : s) v = v > cutoff ? 1.0 / v : 0.0;
    // matmul(vt.T, s[:, None] * u.T): the product laid out as NumPy's multiply leaves it
    // (u.T's strides), both operands handed to the matmul loop with the strides NumPy gives it.
    double scaled[2][2];  // scaled[j][i] holds element (i, j)
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) scaled[j][i] = s[i] * u[j][i];
    {
        char* args[3] = {reinterpret_cast<char*>(&vt[0][0]), reinterpret_cast<char*>(&scaled[0][0]),
                         reinterpret_cast<char*>(&inverse[0][0])};
        npy_intp dimensions[4] = {1, 2, 2, 2};
        npy_intp steps[9] = {0, 0, 0, 8, 16, 8, 16, 16, 8};
        state.matmul64(args, dimensions, steps);
    }
    for (const auto& row : inverse)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    return true;
}

bool frame_of(const double (&points)[3][2], Frame& frame) {
    for (const auto& point : points)
        if (!std::isfinite(point[0]) || !std::isfinite(point[1])) return false;
    frame.origin[0] = points[1][0];
    frame.origin[1] = points[1][1];
    for (int t = 0; t < 2; ++t) {
        frame.base[t][0] = points[0][t] - points[1][t];
        frame.base[t][1] = points[2][t] - points[1][t];
    }
    return pinv_2x2(frame.base, frame.inverse);
}

const Param lambda_params[] = {{"a"}};
struct LambdaArg {
    enum : std::size_t { a, count };
};
static_assert(std::size(lambda_params) == LambdaArg::count);

// Closure: (new_origin, base_system, coordinate_transform_matrix).
static PyObject* captured(Function& f, Py_ssize_t i) {
    return PyTuple_GET_ITEM(f.closure, i);
}

// coordinate_transform_matrix.dot((a - new_origin).T).T
static Ref to_new(Function& f, Bound& a) {
    Ref points = np::private_lists(a[LambdaArg::a]);  // a list reaches NumPy as a copy of its own
    Ref shifted = check(PyNumber_Subtract(points.get(), captured(f, 0)));
    Ref shifted_t = attr(shifted.get(), "T");
    Ref product = method(captured(f, 2), "dot", {shifted_t.get()});
    return attr(product.get(), "T");
}

// base_system.dot(a.T).T + new_origin
static Ref to_canonical(Function& f, Bound& a) {
    Ref a_t = attr(a[LambdaArg::a], "T");
    Ref product = method(captured(f, 1), "dot", {a_t.get()});
    Ref product_t = attr(product.get(), "T");
    return check(PyNumber_Add(product_t.get(), captured(f, 0)));
}

const FunctionDef to_new_def{
    .name = "<lambda>",
    .qualname = "coordinate_transformation.<locals>.<lambda>",
    .params = lambda_params,
    .body = to_new,
    .line = 68,
};
const FunctionDef to_canonical_def{
    .name = "<lambda>",
    .qualname = "coordinate_transformation.<locals>.<lambda>",
    .params = lambda_params,
    .body = to_canonical,
    .line = 69,
};

const Param coordinate_transformation_params[] = {{"spanning_points", kArray}};
struct CoordinateTransformationArg {
    enum : std::size_t { spanning_points, count };
};
static_assert(std::size(coordinate_transformation_params) == CoordinateTransformationArg::count);

// The pair of lambdas closing over (new_origin, base_system, coordinate_transform_matrix).
static Ref make_lambdas(Function& self, PyObject* new_origin, PyObject* base_system, PyObject* matrix) {
    Ref closure = check(PyTuple_Pack(3, new_origin, base_system, matrix));
    // The lambdas take their module from the globals, as Python's do, whatever the outer
    // function's __module__ has been set to.
    Ref forward = make_function(to_new_def, state.globals, nullptr, self.filename, closure);
    Ref backward = make_function(to_canonical_def, state.globals, nullptr, self.filename, closure);
    return check(PyTuple_Pack(2, forward.get(), backward.get()));
}

// base_system = (spanning_points[[0, 2]] - new_origin).T of a plain float64 (3, 2) array, laid out
// as NumPy lays it out (the transposed view of a new C-ordered difference), with its pseudo-inverse
// in `inverse`; empty when the NumPy steps decide (other arrays, NumPy replaced, pinv_2x2 refuses).
static Ref native_base_system(PyObject* spanning_points, double (&inverse)[2][2]) {
    if (!numpy_is_native() || !np::is_plain(spanning_points, NPY_DOUBLE) || !dims_are(spanning_points, {3, 2}))
        return {};
    const auto view = view2<double>(spanning_points);
    double points[3][2];
    for (int k = 0; k < 3; ++k)
        for (int t = 0; t < 2; ++t) points[k][t] = view(k, t);
    Frame frame;
    if (!frame_of(points, frame)) return {};
    std::memcpy(inverse, frame.inverse, sizeof inverse);
    Ref base_system = new_swapped(NPY_DOUBLE, 2, 2);
    const auto out = view2<double>(base_system.get());
    for (int t = 0; t < 2; ++t)
        for (int r = 0; r < 2; ++r) out(t, r) = frame.base[t][r];
    return base_system;
}

static Ref coordinate_transformation(Function& self, Bound& a) {
    PyObject* spanning_points = a[CoordinateTransformationArg::spanning_points];
    const Py_ssize_t number_of_spanning_points = np::shape_at(spanning_points, 0);
    const Py_ssize_t dimensionality = np::shape_at(spanning_points, 1);
    VH_ASSERT(shape_is(spanning_points, {number_of_spanning_points, dimensionality}));
    VH_ASSERT(number_of_spanning_points == dimensionality + 1);
    VH_ASSERT_MSG(dimensionality == 2,
                  "The dimensionality of the points has to be two, otherwise slightly adapt and test.");

    Ref new_origin = check(PyObject_GetItem(spanning_points, py_int(1).get()));
    VH_ASSERT(shape_is(new_origin.get(), {dimensionality}));
    double inverse[2][2];
    if (Ref base_system = native_base_system(spanning_points, inverse)) {
        Ref matrix = new_array(NPY_DOUBLE, {2, 2});
        std::memcpy(data_of<double>(matrix.get()), inverse, sizeof inverse);
        return make_lambdas(self, new_origin.get(), base_system.get(), matrix.get());
    }
    Ref rows = check(Py_BuildValue("[ii]", 0, 2));
    Ref outer = check(PyObject_GetItem(spanning_points, rows.get()));
    Ref difference = check(PyNumber_Subtract(outer.get(), new_origin.get()));
    Ref base_system = attr(difference.get(), "T");
    VH_ASSERT(shape_is(base_system.get(), {dimensionality, dimensionality}));
    Ref linalg = attr(numpy_global(), "linalg");
    Ref matrix = method(linalg.get(), "pinv", {base_system.get()});
    VH_ASSERT(shape_is(matrix.get(), {dimensionality, dimensionality}));
    return make_lambdas(self, new_origin.get(), base_system.get(), matrix.get());
}

const FunctionDef coordinate_transformation_def{
    .name = "coordinate_transformation",
    .params = coordinate_transformation_params,
    .returns =
        "tuple[Callable[[np.ndarray[Any, Any] | list[np.ndarray[Any, Any]]], np.ndarray[Any, Any]], "
        "Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]]]",
    .doc =
        "Compute a coordinate transformation functions.\n\nTransform from the canonical euclidean coordinate system to "
        "the coordinate system spanned by the #spanning_points.\n\n:param spanning_points: Three points (A, B, C), "
        "each \\\\in \\\\R^2 that span a two-dimensional coordinate system\n                        through the "
        "vectors BA, BC.\n\n:return:                Tuple: Function to conduct transformation into the new "
        "coordinate system,\n                               function to convert backwards.\n\n                     "
        "   Each function takes as input a numpy array of size 2 or (n x 2), and emits an array\n                  "
        "      of the input size.",
    .body = coordinate_transformation,
    .line = 31,
};

// ---------------------------------------------------------------------------------------------
// rot_mats_multi_rads, rot_points_multi_rads

// The stacked rotation matrices np.array([[cr, -sr], [sr, cr]]).reshape((2, 2, n)).
Ref stacked_rotation_matrices(PyObject* rotation_rads, Py_ssize_t number_of_rotations) {
    Ref held = numpy_held();
    PyObject* numpy = held.get();
    Ref cr = method(numpy, "cos", {rotation_rads});
    Ref sr = method(numpy, "sin", {rotation_rads});
    Ref minus_sr = check(PyNumber_Negative(sr.get()));
    Ref nested = check(Py_BuildValue("[[OO][OO]]", cr.get(), minus_sr.get(), sr.get(), cr.get()));
    Ref stacked = method(numpy, "array", {nested.get()});
    Ref shape = check(Py_BuildValue("(iin)", 2, 2, number_of_rotations));
    return method(stacked.get(), "reshape", {shape.get()});
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

// Whether einsum's iterator makes the coordinate axis innermost for n sets of m points with byte
// strides s0, s1, s2 (the matrices C-ordered, shape 2 x 2 x n). Its axes are R, x, r, c (the
// output's, then the summed one); NumPy's iterator moves an axis inside another when every operand
// stepping along both steps less along it (C order wins conflicts), and axes of length 1 do not
// step.
static bool coordinates_innermost(npy_intp n, npy_intp m, npy_intp s0, npy_intp s1, npy_intp s2, npy_intp angle_size) {
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

geometry::PointOrder inner_point_order(int combination, npy_intp n) {
    return state.point_order[combination][n == 1 || combination == 2 ? kContiguous : kStrided];
}

// The native path: plain float64 / float32 arrays of the expected shapes whose types einsum
// accepts for an in-place store. Returns false where NumPy has to decide.
template <int Dims>
static bool rotate_native(PyObject* target, PyObject* rotation_rads, Py_ssize_t n) {
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

const Param rot_mats_params[] = {{"matrices", kArray}, {"rotation_rads", kArray}};
struct RotMatsArg {
    enum : std::size_t { matrices, rotation_rads, count };
};
static_assert(std::size(rot_mats_params) == RotMatsArg::count);

static Ref rot_mats_multi_rads(Function&, Bound& a) {
    PyObject* matrices = a[RotMatsArg::matrices];
    PyObject* rotation_rads = a[RotMatsArg::rotation_rads];
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
    .name = "rot_mats_multi_rads",
    .params = rot_mats_params,
    .returns = kArray,
    .doc =
        "Rotate covariance matrices by multiple rotations.\n\n:param matrices:       Matrices to be rotated (Shape: "
        "number_of_rotations, 2, 2)\n                       Attention: The rotation is performed inplace; hence the "
        "content of the \"points\" is\n                       overwritten.\n                       If you would like "
        "to keep the unrotated matrices, call this function on a copy of the\n                       matrices' numpy "
        "array.\n\n:param rotation_rads:  Angles along which points are rotated. (Shape: number_of_rotations)\n\n"
        ":return:               Rotated matrices (Shape: number_of_rotations, 2, 2) to offer\n                       "
        "the user the ability to call this function with a \"rvalue\" or a copy.",
    .body = rot_mats_multi_rads,
    .line = 236,
};

const Param rot_points_params[] = {{"points", kArray}, {"rotation_rads", kArray}};
struct RotPointsArg {
    enum : std::size_t { points, rotation_rads, count };
};
static_assert(std::size(rot_points_params) == RotPointsArg::count);

static Ref rot_points_multi_rads(Function&, Bound& a) {
    PyObject* points = a[RotPointsArg::points];
    PyObject* rotation_rads = a[RotPointsArg::rotation_rads];
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
    .name = "rot_points_multi_rads",
    .params = rot_points_params,
    .returns = kArray,
    .doc =
        "Rotate the box points inplace (!) and return a reference to the first argument.\n\n:param points:         "
        "Points to be rotated (Shape: number_of_rotations, number_of_points_per_rotation, 2)\n                       "
        "Attention: The rotation is performed inplace; hence the content of the \"points\" is\n                       "
        "overwritten.\n                       If you would like to keep the unrotated points, call this function on "
        "a copy of the points\n                       numpy array.\n\n:param rotation_rads:  Angles along which "
        "points are rotated. (Shape: number_of_rotations)\n\n:return:               Rotated points (Shape: "
        "number_of_rotations, number_of_points_per_rotation, 2) to offer\n                       the user the "
        "ability to call this function with a \"rvalue\" or a copy.",
    .body = rot_points_multi_rads,
    .line = 277,
};

}  // namespace vh::shapekit
