// shapekit: angles of points, parallelograms turned into boxes, and boxes fitted to parallelogram keypoints.
#include "vornhaven/preprocessing/shapekit/shapekit.hpp"

namespace vh::shapekit {

// ---------------------------------------------------------------------------------------------
// get_angles_from_points

const Param get_angles_params[] = {{"points", kArray}};
struct AnglesArg {
    enum : std::size_t { points, count };
};
static_assert(std::size(get_angles_params) == AnglesArg::count);

// np.arctan2(y, x) of each row, through NumPy's loop on the rows' own strides.
template <class T>
static Ref angles_native(PyObject* points) {
    PyArrayObject* p = np::as_array(points);
    const npy_intp n = PyArray_DIM(p, 0), step = PyArray_STRIDE(p, 0);
    Ref angles = new_array(PyArray_TYPE(p), {n});
    const char* data = PyArray_BYTES(p);
    NumpyMath<T>{}.atan2(reinterpret_cast<const T*>(data + PyArray_STRIDE(p, 1)), step,
                         reinterpret_cast<const T*>(data), step, data_of<T>(angles.get()), n);
    return angles;
}

static Ref get_angles_from_points(Function&, Bound& a) {
    PyObject* points = a[AnglesArg::points];
    const Py_ssize_t number_of_points = np::shape_at(points, 0);
    const Py_ssize_t point_dimensionality = np::shape_at(points, 1);
    VH_ASSERT(shape_is(points, {number_of_points, point_dimensionality}));
    VH_ASSERT_MSG(point_dimensionality == 2, "Can only get angles from two-dimensional points. ");
    const int type = numpy_is_native() ? float_type(points) : -1;
    Ref native;
    if (type >= 0 && dims_are(points, {-1, 2}) &&
        dispatch_float(type, [&](auto tag) { native = angles_native<decltype(tag)>(points); }))
        return native;

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
    .name = "get_angles_from_points",
    .params = get_angles_params,
    .returns = kArray,
    .doc =
        "Return the angles from a set of two-dimensional points.\n"
        "\n"
        ":param points:      points (shape N x 2)\n"
        ":return:            angles of points (shape N)",
    .body = get_angles_from_points,
    .line = 135,
};

// ---------------------------------------------------------------------------------------------
// parallelogram_to_box

const Param parallelogram_to_box_params[] = {
    {"parallelogram_flat", kArray},
    {"longer_axis_index", kArray},
    {"box_reconstruction_mode", "BoxReconstruction"},
};
struct ParallelogramArg {
    enum : std::size_t { parallelogram_flat, longer_axis_index, box_reconstruction_mode, count };
};
static_assert(std::size(parallelogram_to_box_params) == ParallelogramArg::count);

// The module's BoxReconstruction, held (comparing a mode may rebind the global).
static Ref box_reconstruction_class() {
    return Ref::borrow(global(state.globals, state.box_reconstruction_name));
}

// The reconstruction a mode selects, compared with `==` against cls.MAX, .AVG and .MIN in turn
// (`cls` the module's BoxReconstruction); anything else keeps the axis.
static geometry::Reconstruction reconstruction_of(PyObject* mode, PyObject* cls) {
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
static bool compares_natively(PyObject* mode, PyObject* cls) {
    if (cls != state.box_reconstruction) return false;
    PyTypeObject* type = Py_TYPE(mode);
    return (type == reinterpret_cast<PyTypeObject*>(cls) || mode == Py_None || type == &PyLong_Type ||
            type == &PyBool_Type || type == &PyFloat_Type || type == &PyUnicode_Type) &&
           reinterpret_cast<PyTypeObject*>(cls)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// A plain signed 32- or 64-bit integer array: its item size, else 0.
static int index_size(PyObject* o) {
    if (!PyArray_CheckExact(o)) return 0;
    PyArrayObject* a = np::as_array(o);
    if (!PyArray_ISSIGNED(a) || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a)) return 0;
    const int size = static_cast<int>(PyArray_ITEMSIZE(a));
    return size == 4 || size == 8 ? size : 0;
}

// The parities of the n indices of a plain index array of that length (false for anything
// else): the NumPy steps derive the rows of the other half-axes from them.
static bool index_parities(PyObject* indices, npy_intp n, unsigned char* parities) {
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
static bool indices_within(PyObject* indices, npy_intp limit, const unsigned char* parities) {
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
static void parallelogram_to_box_native(PyObject* flat, PyObject* longer, npy_intp P, geometry::Reconstruction mode) {
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
static bool parallelogram_arrays_fit(PyObject* flat, PyObject* longer, Py_ssize_t P) {
    return index_size(longer) && dims_are(longer, {P}) && float_type(flat) >= 0 && dims_are(flat, {2 * P, 2}) &&
           writable_in_place(flat) && !spans_overlap(np::as_array(flat), np::as_array(longer));
}

static Ref parallelogram_to_box(Function&, Bound& a) {
    PyObject* flat = a[ParallelogramArg::parallelogram_flat];
    PyObject* longer = a[ParallelogramArg::longer_axis_index];
    PyObject* mode = a[ParallelogramArg::box_reconstruction_mode];
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
                if (valid && dispatch_float(type, [&](auto tag) {
                        using T = decltype(tag);
                        if (index == 8)
                            parallelogram_to_box_native<T, std::int64_t>(flat, longer, P, *compared);
                        else
                            parallelogram_to_box_native<T, std::int32_t>(flat, longer, P, *compared);
                    }))
                    return Ref::borrow(flat);
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
    .name = "parallelogram_to_box",
    .params = parallelogram_to_box_params,
    .returns = kArray,
    .doc =
        "Convert a set of parallelograms into boxes.\n"
        "\n"
        ":param parallelogram_flat:  List of points that together form a set of zero-centered parallelograms\n"
        "                            (shape: total_number_of_points x state_dimensionality (=2))\n"
        ":param longer_axis_index:   Indices of the points corresponding to the longer axes in each parallelogram.\n"
        ":return:                    Parallelogram points (number_of",
    .body = parallelogram_to_box,
    .line = 159,
};

// ---------------------------------------------------------------------------------------------
// get_corner_points_from_box_tuples

const Param corner_points_params[] = {{"box_tuples", kArray}};
struct CornerPointsArg {
    enum : std::size_t { box_tuples, count };
};
static_assert(std::size(corner_points_params) == CornerPointsArg::count);

template <class T>
static Ref corner_points_native(PyObject* tuples, npy_intp B, int type) {
    Ref corners = new_swapped(type, 4, B, 2);
    geometry::corner_points_from_box_tuples<T>(view3<const T>(tuples), B, view3<T>(corners.get()),
                                               state.corner_sum[std::is_same_v<T, float>]);
    return corners;
}

static Ref get_corner_points_from_box_tuples(Function&, Bound& a) {
    PyObject* tuples = a[CornerPointsArg::box_tuples];
    const Py_ssize_t number_of_boxes = np::shape_at(tuples, 0);
    const Py_ssize_t number_of_support_points = np::shape_at(tuples, 1);
    const Py_ssize_t state_dimension = np::shape_at(tuples, 2);
    VH_ASSERT(shape_is(tuples, {number_of_boxes, number_of_support_points, state_dimension}));
    VH_ASSERT(number_of_support_points == 2);
    VH_ASSERT(state_dimension == 2);
    const int type = numpy_is_native() ? float_type(tuples) : -1;
    Ref native;
    if (type >= 0 && dims_are(tuples, {number_of_boxes, 2, 2}) && dispatch_float(type, [&](auto tag) {
            native = corner_points_native<decltype(tag)>(tuples, number_of_boxes, type);
        }))
        return native;

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
    .name = "get_corner_points_from_box_tuples",
    .params = corner_points_params,
    .returns = kArray,
    .doc =
        "Compute box corners from a numpy array of top and right coordinates of boxes.\n"
        "\n"
        ":param box_tuples: Top and right point of each box. (Shape: number of boxes x {top, right} (2) x "
        "dimensionality (2)\n"
        ":return:           Box corners for each box (Shape: number of boxes x number of box corners (4) x 2).",
    .body = get_corner_points_from_box_tuples,
    .line = 202,
};

// ---------------------------------------------------------------------------------------------
// get_box_and_rotation_from_parallelogram_keypoints

static Ref box_reconstruction_max(PyObject* globals) {
    Ref name = check(PyUnicode_InternFromString("BoxReconstruction"));
    return attr(global(globals, name.get()), "MAX");
}

const Param fit_params[] = {
    {"parallelogram_keypoints", kArray},
    {"box_reconstruction_mode", "BoxReconstruction", Conv::Any, Kind::KeywordOnly,
     dflt::computed(box_reconstruction_max, "BoxReconstruction.MAX")},
    {"visualize", "bool", Conv::Bool, Kind::KeywordOnly, dflt::boolean(false)},
};
struct FitArg {
    enum : std::size_t { parallelogram_keypoints, box_reconstruction_mode, visualize, count };
};
static_assert(std::size(fit_params) == FitArg::count);

template <class Tin>
static Ref fit_native(PyObject* keypoints, npy_intp P, geometry::Reconstruction mode) {
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
static int fit_native_type(PyObject* keypoints) {
    const int type = float_type(keypoints);
    return type >= 0 && dims_are(keypoints, {-1, 3, 2}) ? type : -1;
}

// The NumPy steps.
static Ref fit_steps(PyObject* input, PyObject* mode) {
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

static Ref get_box_and_rotation_from_parallelogram_keypoints(Function&, Bound& a) {
    PyObject* input = a[FitArg::parallelogram_keypoints];
    PyObject* mode = a[FitArg::box_reconstruction_mode];
    if (natives_intact(kFitHelpers) && fit_native_type(input) >= 0) {
        // The NumPy steps compare the mode after they have read the keypoints (but for the centres
        // of float64 keypoints, which they add through a view at the end). A comparison that may
        // run Python code (a mode of another type) could change the keypoints or the module
        // globals meanwhile: the kernel then works on a copy taken before it. Everything it relies
        // on is checked after the comparison.
        Ref keypoints = Ref::borrow(input);
        Ref cls = box_reconstruction_class();
        const bool copied = !compares_natively(mode, cls.get());
        if (copied) keypoints = check(PyArray_NewCopy(np::as_array(input), NPY_CORDER));
        const auto reconstruction = reconstruction_of(mode, cls.get());
        const int type = !copied || natives_intact(kFitHelpers) ? fit_native_type(keypoints.get()) : -1;
        Ref native;
        if (dispatch_float(type, [&](auto tag) {
                const npy_intp P = PyArray_DIM(np::as_array(keypoints.get()), 0);
                native = fit_native<decltype(tag)>(keypoints.get(), P, reconstruction);
            }))
            return native;
        // Changed meanwhile so that the kernel cannot run: the NumPy steps (which compare the mode again).
        return fit_steps(keypoints.get(), mode);
    }
    return fit_steps(input, mode);
}

const FunctionDef get_box_and_rotation_from_parallelogram_keypoints_def{
    .name = "get_box_and_rotation_from_parallelogram_keypoints",
    .params = fit_params,
    .returns = "tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
    .doc =
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
    .body = get_box_and_rotation_from_parallelogram_keypoints,
    .line = 320,
};

}  // namespace vh::shapekit
