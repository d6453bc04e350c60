// shapekit: conversions between VEXL boxes, flat keypoint lists, parallelogram keypoints and box corners.
#include "vornhaven/preprocessing/shapekit/shapekit.hpp"

namespace vh::shapekit {

// ---------------------------------------------------------------------------------------------
// vexl_to_keypoints

const Param vexl_params[] = {{"vexl_boxes", kArray}};
struct VexlArg {
    enum : std::size_t { vexl_boxes, count };
};
static_assert(std::size(vexl_params) == VexlArg::count);

static Ref vexl_to_keypoints(Function&, Bound& a) {
    PyObject* vexl = a[VexlArg::vexl_boxes];
    const int type = natives_intact(kRotPoints) ? float_type(vexl) : -1;
    if (type >= 0 && dims_are(vexl, {-1, 5})) {
        const npy_intp N = PyArray_DIM(np::as_array(vexl), 0);
        Ref keypoints = new_array(NPY_DOUBLE, {N ? 3 * N : 0, N ? 2 : 6});
        if (!N) set_shape(keypoints.get(), {0, 2});  // the strides an empty (0, 6) array takes on reshaping
        dispatch_float(type, [&](auto tag) {
            using T = decltype(tag);
            constexpr int single = std::is_same_v<T, float>;
            geometry::vexl_to_keypoints<T>(view2<const T>(vexl), N, data_of<double>(keypoints.get()), NumpyMath<T>{},
                                           inner_point_order(single ? 2 : 0, N), state.vexl_right_sum[single]);
        });
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
    .name = "vexl_to_keypoints",
    .params = vexl_params,
    .returns = kArray,
    .doc =
        ".\n"
        "\n"
        ":param vexl_boxes:      boxes in VEXL format (shape number of boxes x 5)\n"
        ":return:                keypoints of the boxes as a triple of numpy arrays in flat representation:\n"
        "                        keypoints (shape: number_of_boxes *3, 2), instance lookup (shape: number_of_boxes "
        "* 3, ),\n"
        "                        position lookup.(shape: number_of_boxes * 3, ).",
    .body = vexl_to_keypoints,
    .line = 530,
};

// ---------------------------------------------------------------------------------------------
// keypoints_trivial_lookup

const Param lookup_params[] = {{"number_of_keypoints", "int", Conv::Int}};
struct LookupArg {
    enum : std::size_t { number_of_keypoints, count };
};
static_assert(std::size(lookup_params) == LookupArg::count);

// The lookups of `boxes` boxes, filled in directly: decimal box indices and position names in
// the string dtypes NumPy gives them (prepared at import).
static Ref trivial_lookup_native(npy_intp boxes) {
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

static Ref keypoints_trivial_lookup(Function&, Bound& a) {
    PyObject* count = a[LookupArg::number_of_keypoints];
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
    .name = "keypoints_trivial_lookup",
    .params = lookup_params,
    .returns = "tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
    .doc =
        "Create lookup.\n"
        "\n"
        ":param number_of_keypoints: The number of keypoints\n"
        ":return:                    Tuple of numpy arrays assigning keypoints trivially.\n"
        "                            keypoints (shape: number_of_boxes * 3, 2),\n"
        "                            instance lookup (shape: number_of_boxes * 3, ),\n"
        "                            position lookup.(shape: number_of_boxes * 3, ).",
    .body = keypoints_trivial_lookup,
    .line = 574,
};

// ---------------------------------------------------------------------------------------------
// vexl_to_box_corners

static Ref vexl_to_box_corners(Function&, Bound& a) {
    PyObject* vexl = a[VexlArg::vexl_boxes];
    const Py_ssize_t number_of_boxes = np::shape_at(vexl, 0);
    const Py_ssize_t number_of_vexl_box_coordinates = np::shape_at(vexl, 1);
    VH_ASSERT(shape_is(vexl, {number_of_boxes, number_of_vexl_box_coordinates}));
    VH_ASSERT_MSG(number_of_vexl_box_coordinates == 5,
                  "Boxes in VEXL format must consist of exactly five points: (center_x, center_y, width, height, "
                  "rotation).");
    const int type = natives_intact(kRotPoints) ? float_type(vexl) : -1;
    if (type >= 0 && dims_are(vexl, {number_of_boxes, 5})) {
        Ref corners = new_swapped(NPY_DOUBLE, 4, number_of_boxes, 2);
        dispatch_float(type, [&](auto tag) {
            using T = decltype(tag);
            constexpr int single = std::is_same_v<T, float>;
            geometry::vexl_to_box_corners<T>(view2<const T>(vexl), number_of_boxes, view3<double>(corners.get()),
                                             NumpyMath<T>{}, inner_point_order(single ? 2 : 0, number_of_boxes),
                                             state.vexl_corner_sum[single]);
        });
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
    .name = "vexl_to_box_corners",
    .params = vexl_params,
    .returns = kArray,
    .doc =
        "Transform rotated boxes from the VEXL format into box corner format.\n"
        "\n"
        "({Top Left, Top Right, Bottom Left, Bottom Right} in arbitrary order) to box corners.\n"
        "\n"
        ":param vexl_boxes:          Shape: (number of boxes x 5)\n"
        ":return:                    Shape: (number_of_boxes x number of corners (=4) x dimensionality (=2))",
    .body = vexl_to_box_corners,
    .line = 595,
};

// ---------------------------------------------------------------------------------------------
// box_corners_to_vexl

const Param box_corners_to_vexl_params[] = {{"box_corners", kArray}, {"rotations", kArray}};
struct BoxCornersArg {
    enum : std::size_t { box_corners, rotations, count };
};
static_assert(std::size(box_corners_to_vexl_params) == BoxCornersArg::count);

template <class Tc, class Tr, class Tout>
static Ref box_corners_to_vexl_native(PyObject* corners, PyObject* rotations, npy_intp N, int out_type) {
    Ref vexl = new_swapped(out_type, 5, N);
    geometry::box_corners_to_vexl<Tc, Tr, Tout>(view3<const Tc>(corners), view1<const Tr>(rotations), N,
                                                view2<Tout>(vexl.get()), NumpyMath<Tr>{});
    return vexl;
}

static Ref box_corners_to_vexl(Function&, Bound& a) {
    PyObject* corners = a[BoxCornersArg::box_corners];
    PyObject* rotations = a[BoxCornersArg::rotations];
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
    .name = "box_corners_to_vexl",
    .params = box_corners_to_vexl_params,
    .returns = kArray,
    .doc =
        "Transform rotated box corners into the VEXL format.\n"
        "\n"
        ":param box_corners:     Rotated box corners (Shape number_of_boxes x 4 x dimensionality (2)).\n"
        ":param rotations:       Numpy array that contains the rotation by which the box corners are rotated\n"
        "                        (Shape number_of_boxes)\n"
        ":return:                Boxes in VEXL format (Shape: number of boxes x {center_x, center_y,\n"
        "                                                                        width, height, rotation}) = 5)",
    .body = box_corners_to_vexl,
    .line = 634,
};

// ---------------------------------------------------------------------------------------------
// keypoints_to_vexl, keypoints_to_box_corners

const Param keypoints_params[] = {{"keypoints", kArray}};
struct KeypointsArg {
    enum : std::size_t { keypoints, count };
};
static_assert(std::size(keypoints_params) == KeypointsArg::count);

constexpr const char* kKeypointsDoc =
    "Transform keypoints to box corners. Box corners have arbitrary order.\n"
    "\n"
    ":param keypoints:       Keypoints (Shape: number of parallelograms x {center, top, right} x dimensionality "
    "(=2))\n"
    ":return:                Box corners (Shape: number_of_parallelograms x 4 x dimensionality (=2))";

static Ref keypoints_to_vexl(Function&, Bound& a) {
    PyObject* keypoints = a[KeypointsArg::keypoints];
    const int type = natives_intact(kGetAngles) ? float_type(keypoints) : -1;
    if (type >= 0 && dims_are(keypoints, {-1, 3, 2}) && writable_in_place(keypoints)) {
        const npy_intp P = PyArray_DIM(np::as_array(keypoints), 0);
        Ref vexl = new_array(NPY_FLOAT, {P, 5});
        dispatch_float(type, [&](auto tag) {
            using T = decltype(tag);
            geometry::keypoints_to_vexl<T>(view3<T>(keypoints), P, data_of<float>(vexl.get()), NumpyMath<T>{});
        });
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
    .name = "keypoints_to_vexl",
    .params = keypoints_params,
    .returns = kArray,
    .doc = kKeypointsDoc,
    .body = keypoints_to_vexl,
    .line = 669,
};

template <class T>
static Ref keypoints_to_box_corners_native(PyObject* keypoints, npy_intp P, int type) {
    Ref corners = new_corner_major(type, P, sizeof(T));
    constexpr int single = std::is_same_v<T, float>;
    geometry::keypoints_to_box_corners<T>(view3<const T>(keypoints), P, view3<T>(corners.get()),
                                          state.corner_sum[single], state.keypoint_center_sum[single]);
    return corners;
}

static Ref keypoints_to_box_corners(Function&, Bound& a) {
    PyObject* keypoints = a[KeypointsArg::keypoints];
    const int type = natives_intact(kCornerPoints | kCast) ? float_type(keypoints) : -1;
    Ref native;
    if (type >= 0 && dims_are(keypoints, {-1, 3, 2}) && dispatch_float(type, [&](auto tag) {
            const npy_intp P = PyArray_DIM(np::as_array(keypoints), 0);
            native = keypoints_to_box_corners_native<decltype(tag)>(keypoints, P, type);
        }))
        return native;

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
    Ref cast = Ref::borrow(global(state.globals, state.natives.interned(kCastGlobal)));
    Ref ndarray = np_attr("ndarray");
    PyObject* any = global(state.globals, state.natives.interned(kAnyGlobal));
    Ref annotation = item(ndarray.get(), {any, any});
    Ref absolute = add(corners.get(), center.get());
    return call(cast.get(), {annotation.get(), absolute.get()});
}

const FunctionDef keypoints_to_box_corners_def{
    .name = "keypoints_to_box_corners",
    .params = keypoints_params,
    .returns = kArray,
    .doc = kKeypointsDoc,
    .body = keypoints_to_box_corners,
    .line = 701,
};

// ---------------------------------------------------------------------------------------------
// inference_boxes_to_corners

const Param inference_params[] = {
    {"boxes", kArray},
    {"size_factor", "float", Conv::Double, Kind::Positional, dflt::real(1.0)},
};
struct InferenceArg {
    enum : std::size_t { boxes, size_factor, count };
};
static_assert(std::size(inference_params) == InferenceArg::count);

static Ref inference_boxes_to_corners(Function&, Bound& a) {
    PyObject* boxes = a[InferenceArg::boxes];
    const double size_factor = a.real(InferenceArg::size_factor);
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
    Ref factor = Ref::borrow(a[InferenceArg::size_factor]);
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
    .name = "inference_boxes_to_corners",
    .params = inference_params,
    .returns = "tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
    .doc = ".",
    .body = inference_boxes_to_corners,
    .line = 723,
};

}  // namespace vh::shapekit
