// shapekit: overlap and clipping: segment crossings, clipping a box to the image, the all-pairs
// overlap test of rotated rectangles, and integer bounds of boxes.
#include "geometry/overlap.hpp"

#include "vornhaven/preprocessing/shapekit/shapekit.hpp"

namespace vh::shapekit {

namespace {

// Whether NumPy compares a float32 scalar with a Python float in float32 (NumPy 2) rather than
// in float64 (NumPy 1.x); found at import.
bool float32_compares_single = true;

static Ref py_float(double v) {
    return check(PyFloat_FromDouble(v));
}

static bool less(PyObject* a, PyObject* b) {
    return check_status(PyObject_RichCompareBool(a, b, Py_LT)) != 0;
}
static bool greater(PyObject* a, PyObject* b) {
    return check_status(PyObject_RichCompareBool(a, b, Py_GT)) != 0;
}
static bool compare_truth(PyObject* a, PyObject* b, int op) {
    Ref result = check(PyObject_RichCompare(a, b, op));
    return truth(result.get());
}

}  // namespace

void prepare_overlap(PyObject* numpy) {
    Ref tolerance = py_float(1e-11);
    Ref single = check(PyObject_CallMethod(numpy, "float32", "O", tolerance.get()));
    // float32(1e-11) lies below 1e-11: the comparison in float64 says so, in float32 not
    float32_compares_single = !less(single.get(), tolerance.get());
}

// ---------------------------------------------------------------------------------------------
// intersect

const Param intersect_params[] = {{"a1", "Any"}, {"a2", "Any"}, {"b1", "Any"}, {"b2", "Any"}};
struct IntersectArg {
    enum : std::size_t { a1, a2, b1, b2, count };
};
static_assert(std::size(intersect_params) == IntersectArg::count);

// Whether b1 and b2 are int64 points (clipper's image corners) whose values and differences
// float64 holds exactly, so that NumPy's promotion to float64 computes what T = double does.
static bool exact_int64_points(PyObject* b1, PyObject* b2) {
    constexpr std::int64_t limit = std::int64_t{1} << 52;
    for (PyObject* p : {b1, b2}) {
        if (!np::is_plain(p, NPY_INT64) || !dims_are(p, {2})) return false;
        PyArrayObject* a = np::as_array(p);
        for (int t = 0; t < 2; ++t) {
            const std::int64_t v = np::at<std::int64_t>(PyArray_BYTES(a), t * PyArray_STRIDE(a, 0));
            if (v <= -limit || v >= limit) return false;
        }
    }
    return true;
}

template <class T>
static Ref intersect_native(PyObject* const (&points)[4], int type) {
    T p[4][2];
    for (int k = 0; k < 4; ++k) {
        PyArrayObject* a = np::as_array(points[k]);
        for (int t = 0; t < 2; ++t) {
            const npy_intp offset = t * PyArray_STRIDE(a, 0);
            if (PyArray_TYPE(a) == NPY_INT64)
                p[k][t] = static_cast<T>(np::at<std::int64_t>(PyArray_BYTES(a), offset));
            else
                p[k][t] = np::at<T>(PyArray_BYTES(a), offset);
        }
    }
    const T tolerance = static_cast<T>(1e-11);
    const auto c = geometry::intersect<T>(p[0], p[1], p[2], p[3], tolerance);
    VH_ASSERT(c.denominator != 0);
    bool found = c.found;
    if constexpr (std::is_same_v<T, float>) {
        if (!float32_compares_single) {  // NumPy 1.x compares the float32 badness in float64
            const T bad_a = geometry::outside_unit(c.lambda_a), bad_b = geometry::outside_unit(c.lambda_b);
            found = static_cast<double>(bad_b > bad_a ? bad_b : bad_a) < 1e-11;
        }
    }
    if (!found) return Ref::borrow(Py_None);
    Ref result = new_array(type, {2});
    T* out = data_of<T>(result.get());
    out[0] = c.point[0];
    out[1] = c.point[1];
    return result;
}

// How far a parameter lies outside [0, 1], as Python objects.
static Ref outside_unit(PyObject* t, PyObject* zero, PyObject* one) {
    if (compare_truth(t, zero, Py_LE)) return negative(t);
    if (compare_truth(t, one, Py_GE)) return subtract(t, one);
    return Ref::borrow(zero);
}

static Ref intersect(Function&, Bound& a) {
    PyObject* const points[4] = {a[IntersectArg::a1], a[IntersectArg::a2], a[IntersectArg::b1], a[IntersectArg::b2]};
    if (numpy_is_native()) {
        const int type = float_type(points[0]);
        bool native = type >= 0;
        for (PyObject* p : {points[0], points[1]}) native = native && float_type(p) == type && dims_are(p, {2});
        if (native && !(float_type(points[2]) == type && float_type(points[3]) == type && dims_are(points[2], {2}) &&
                        dims_are(points[3], {2})))
            native = type == NPY_DOUBLE && exact_int64_points(points[2], points[3]);
        if (native)
            return type == NPY_DOUBLE ? intersect_native<double>(points, type) : intersect_native<float>(points, type);
    }

    // NumPy converts lists among the points through copies of its own (see np::private_lists)
    const Ref owned[4] = {np::private_lists(points[0]), np::private_lists(points[1]), np::private_lists(points[2]),
                          np::private_lists(points[3])};
    PyObject *a1 = owned[0].get(), *a2 = owned[1].get(), *b1 = owned[2].get(), *b2 = owned[3].get();
    Ref r = subtract(a2, a1);
    Ref s = subtract(b2, b1);
    Ref offset = subtract(b1, a1);
    Ref nominator = np_call("cross", {offset.get(), s.get()});
    Ref denominator = np_call("cross", {r.get(), s.get()});
    Ref zero = py_int(0), one = py_int(1);
    if (vh::debug && !compare_truth(denominator.get(), zero.get(), Py_NE)) raise_assertion();
    Ref lambda_a = divide(nominator.get(), denominator.get());
    Ref offset_again = subtract(b1, a1);
    Ref crossed = np_call("cross", {offset_again.get(), r.get()});
    Ref lambda_b = divide(crossed.get(), denominator.get());
    Ref bad_a = outside_unit(lambda_a.get(), zero.get(), one.get());
    Ref bad_b = outside_unit(lambda_b.get(), zero.get(), one.get());
    Ref badness = greater(bad_b.get(), bad_a.get()) ? bad_b : bad_a;  // max(bad_a, bad_b)
    Ref tolerance = py_float(1e-11);
    if (!compare_truth(badness.get(), tolerance.get(), Py_LT)) return Ref::borrow(Py_None);
    Ref upper = py_float(1.0), lower = py_float(0.0);
    Ref clamped = less(lambda_b.get(), upper.get()) ? lambda_b : upper;  // min(1.0, lambda_b)
    clamped = greater(clamped.get(), lower.get()) ? clamped : lower;     // max(0.0, ...)
    Ref step = multiply(clamped.get(), s.get());
    return add(b1, step.get());
}

const FunctionDef intersect_def{
    .name = "intersect",
    .params = intersect_params,
    .returns = "np.ndarray[Any, Any] | None",
    .doc = ".",
    .body = intersect,
    .line = 72,
};

// ---------------------------------------------------------------------------------------------
// clipper

const Param clipper_params[] = {
    {"box_corners", kArray},
    {"image_size", kArray},
    {"visualize", "bool", Conv::Bool, Kind::Positional, dflt::boolean(false)},
};
struct ClipperArg {
    enum : std::size_t { box_corners, image_size, visualize, count };
};
static_assert(std::size(clipper_params) == ClipperArg::count);

// np.array(image_size) - 1 for the sizes the native path takes: a tuple or list of two Python
// ints or floats, or a plain int64 / float64 array of two, each of magnitude below 2**52, so that
// float64 holds them, their differences and every comparison with them exactly.
static bool image_extent(PyObject* image_size, double (&extent)[2]) {
    constexpr std::int64_t limit = std::int64_t{1} << 52;
    auto in_range = [](double v) { return std::isfinite(v) && std::fabs(v) < static_cast<double>(limit); };
    if (PyTuple_CheckExact(image_size) || PyList_CheckExact(image_size)) {
        if (PySequence_Fast_GET_SIZE(image_size) != 2) return false;
        PyObject* const* items = PySequence_Fast_ITEMS(image_size);
        const bool all_ints = PyLong_CheckExact(items[0]) && PyLong_CheckExact(items[1]);
        for (int t = 0; t < 2; ++t) {
            PyObject* v = items[t];
            if (PyLong_CheckExact(v)) {
                int overflow = 0;
                const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
                if (overflow || x <= -limit || x >= limit) return false;
                extent[t] = static_cast<double>(x);
            } else if (PyFloat_CheckExact(v) && in_range(PyFloat_AS_DOUBLE(v))) {
                extent[t] = PyFloat_AS_DOUBLE(v);
            } else {
                return false;
            }
            // int64 arithmetic for ints, float64 for a pair holding a float: exact either way
            // for integers, and the subtraction NumPy runs for the rest
            extent[t] = all_ints ? static_cast<double>(static_cast<std::int64_t>(extent[t]) - 1) : extent[t] - 1.0;
        }
        return true;
    }
    const bool ints = np::is_plain(image_size, NPY_INT64);
    if (!(ints || np::is_plain(image_size, NPY_DOUBLE)) || !dims_are(image_size, {2})) return false;
    PyArrayObject* array = np::as_array(image_size);
    for (int t = 0; t < 2; ++t) {
        const npy_intp offset = t * PyArray_STRIDE(array, 0);
        if (ints) {
            const std::int64_t x = np::at<std::int64_t>(PyArray_BYTES(array), offset);
            if (x <= -limit || x >= limit) return false;
            extent[t] = static_cast<double>(x - 1);
        } else {
            const double x = np::at<double>(PyArray_BYTES(array), offset);
            if (!in_range(x)) return false;
            extent[t] = x - 1.0;
        }
    }
    return true;
}

// Whether a column of kept coordinates holds zeros of both signs: NumPy's min and max may pick
// either, so the NumPy steps decide.
static bool mixed_zeros(const double* values, const bool* kept, int count, int stride) {
    bool positive = false, negative = false;
    for (int k = 0; k < count; ++k) {
        const double v = values[k * stride];
        if (kept[k] && v == 0) (std::signbit(v) ? negative : positive) = true;
    }
    return positive && negative;
}

// clipper for a plain float64 (n, 2) box (3 <= n <= 8) of finite corners and the image sizes
// image_extent takes, while np, intersect and coordinate_transformation are the module's own:
// the same steps natively, with NumPy's own SVD, matmul and dot doing the linear algebra so that
// the results are NumPy's to the last bit. Empty when the NumPy steps decide: other inputs,
// segments that cannot be crossed, values that are not finite along the way.
static Ref clipper_native(PyObject* box_corners, PyObject* image_size) {
    constexpr int kMaxCorners = 8, kImageCorners = 4;
    if (!natives_intact(1u << kIntersectFn | 1u << kCoordinateTransformationFn)) return {};
    if (!np::is_plain(box_corners, NPY_DOUBLE) || PyArray_NDIM(np::as_array(box_corners)) != 2) return {};
    const npy_intp n = PyArray_DIM(np::as_array(box_corners), 0);
    if (n < 3 || n > kMaxCorners || PyArray_DIM(np::as_array(box_corners), 1) != 2) return {};
    double extent[2];
    if (!image_extent(image_size, extent)) return {};

    double corners[kMaxCorners][2];
    const auto view = view2<double>(box_corners);
    for (npy_intp k = 0; k < n; ++k)
        for (int t = 0; t < 2; ++t)
            if (!std::isfinite(corners[k][t] = view(k, t))) return {};
    const double width = extent[0], height = extent[1];
    const double image[kImageCorners][2] = {{0, 0}, {width, 0}, {width, height}, {0, height}};

    // Outside flags (x < 0, y < 0, x > width - 1, y > height - 1); the image corners, the box
    // corners inside, then the crossings of box edges with the borders whose flags differ.
    bool flags[kMaxCorners][4];
    for (npy_intp k = 0; k < n; ++k) {
        flags[k][0] = corners[k][0] < 0;
        flags[k][1] = corners[k][1] < 0;
        flags[k][2] = corners[k][0] > width;
        flags[k][3] = corners[k][1] > height;
    }
    double points[kImageCorners + kMaxCorners + 4 * kMaxCorners][2];
    int count = 0;
    for (const auto& corner : image) {
        points[count][0] = corner[0];
        points[count++][1] = corner[1];
    }
    for (npy_intp k = 0; k < n; ++k) {
        if (flags[k][0] || flags[k][1] || flags[k][2] || flags[k][3]) continue;
        points[count][0] = corners[k][0];
        points[count++][1] = corners[k][1];
    }
    for (npy_intp i = 0; i < n; ++i) {
        const npy_intp previous = i == 0 ? n - 1 : i - 1;
        for (int e = 0; e < 4; ++e) {
            if (flags[i][e] == flags[previous][e]) continue;
            const auto c =
                geometry::intersect<double>(corners[previous], corners[i], image[(e + 3) % 4], image[e], 1e-11);
            if (c.denominator == 0) return {};
            if (!c.found) continue;
            if (!std::isfinite(c.point[0]) || !std::isfinite(c.point[1])) return {};
            points[count][0] = c.point[0];
            points[count++][1] = c.point[1];
        }
    }

    Frame frame;
    if (!frame_of({{corners[0][0], corners[0][1]}, {corners[1][0], corners[1][1]}, {corners[2][0], corners[2][1]}},
                  frame))
        return {};

    // encode: coordinate_transform_matrix.dot((interesting - new_origin).T).T
    Ref matrix = new_array(NPY_DOUBLE, {2, 2});
    std::memcpy(data_of<double>(matrix.get()), frame.inverse, sizeof frame.inverse);
    Ref shifted = new_swapped(NPY_DOUBLE, count, 2);
    {
        const auto out = view2<double>(shifted.get());
        for (int k = 0; k < count; ++k)
            for (int t = 0; t < 2; ++t) out(t, k) = points[k][t] - frame.origin[t];
    }
    Ref encoded = check(PyArray_MatrixProduct2(matrix.get(), shifted.get(), nullptr));
    const double* uv = data_of<double>(encoded.get());  // (2, count), C-ordered

    // Keep box corners and crossings, and the image corners inside the box.
    bool kept[std::size(points)];
    bool any = false;
    for (int k = 0; k < count; ++k) {
        const double u = uv[k], v = uv[count + k];
        if (!std::isfinite(u) || !std::isfinite(v)) return {};
        kept[k] = k >= kImageCorners || (-1e-12 <= u && -1e-12 <= v && u <= 1.000000000001 && v <= 1.000000000001);
        any = any || kept[k];
    }
    if (!any) return check(PyTuple_Pack(2, Py_None, Py_None));
    if (mixed_zeros(uv, kept, count, 1) || mixed_zeros(uv + count, kept, count, 1)) return {};
    double low[2] = {INFINITY, INFINITY}, high[2] = {-INFINITY, -INFINITY};
    for (int k = 0; k < count; ++k) {
        if (!kept[k]) continue;
        for (int t = 0; t < 2; ++t) {
            const double v = uv[t * count + k];
            if (v < low[t]) low[t] = v;
            if (v > high[t]) high[t] = v;
        }
    }

    // decode: base_system.dot(frame_corners.T).T + new_origin, the result Fortran-ordered as
    // NumPy's addition leaves it.
    Ref frame_corners = new_swapped(NPY_DOUBLE, 4, 2);
    {
        const auto out = view2<double>(frame_corners.get());
        const double rectangle[4][2] = {{low[0], low[1]}, {low[0], high[1]}, {high[0], high[1]}, {high[0], low[1]}};
        for (int k = 0; k < 4; ++k)
            for (int t = 0; t < 2; ++t) out(t, k) = rectangle[k][t];
    }
    Ref base_system = new_swapped(NPY_DOUBLE, 2, 2);
    {
        const auto out = view2<double>(base_system.get());
        for (int t = 0; t < 2; ++t)
            for (int r = 0; r < 2; ++r) out(t, r) = frame.base[t][r];
    }
    Ref decoded = check(PyArray_MatrixProduct2(base_system.get(), frame_corners.get(), nullptr));
    const double* xy = data_of<double>(decoded.get());  // (2, 4), C-ordered
    npy_intp dims[2] = {4, 2};
    Ref new_box_corners = check(PyArray_EMPTY(2, dims, NPY_DOUBLE, 1));
    {
        const auto out = view2<double>(new_box_corners.get());
        for (int k = 0; k < 4; ++k)
            for (int t = 0; t < 2; ++t)
                if (!std::isfinite(out(k, t) = xy[t * 4 + k] + frame.origin[t])) return {};
    }

    // np.array(interesting[4:])
    const int found = count - kImageCorners;
    Ref found_array = found == 0 ? new_array(NPY_DOUBLE, {0}) : new_array(NPY_DOUBLE, {found, 2});
    std::memcpy(data_of<double>(found_array.get()), points[kImageCorners], sizeof(double) * 2 * found);
    return check(PyTuple_Pack(2, new_box_corners.get(), found_array.get()));
}

static Ref clipper(Function&, Bound& a) {
    PyObject* box_corners = a[ClipperArg::box_corners];
    if (Ref result = clipper_native(box_corners, a[ClipperArg::image_size])) return result;
    Ref zero = py_int(0), one = py_int(1);

    Ref sizes = np_call("array", {np::private_lists(a[ClipperArg::image_size]).get()});
    Ref image_size = subtract(sizes.get(), one.get());
    Ref width = item(image_size.get(), zero.get());
    Ref height = item(image_size.get(), one.get());
    Ref nested = check(Py_BuildValue("[[OO][OO]O[OO]]", zero.get(), zero.get(), width.get(), zero.get(),
                                     image_size.get(), zero.get(), height.get()));
    Ref img_corners = np_call("array", {nested.get()});

    // The outside flags of every box corner: (*(bc < 0), *(bc > image_size)).
    Ref flags = check(PyList_New(0));
    {
        Ref iterator = check(PyObject_GetIter(box_corners));
        while (Ref corner = Ref::steal(PyIter_Next(iterator.get()))) {
            Ref below = check(PyObject_RichCompare(corner.get(), zero.get(), Py_LT));
            Ref beyond = check(PyObject_RichCompare(corner.get(), image_size.get(), Py_GT));
            Ref first = check(PySequence_Tuple(below.get()));
            Ref second = check(PySequence_Tuple(beyond.get()));
            check_status(PyList_Append(flags.get(), check(PySequence_Concat(first.get(), second.get())).get()));
        }
        if (PyErr_Occurred()) throw_error();
    }

    // The image corners, then the box corners inside the image.
    Ref interesting = check(PySequence_List(img_corners.get()));
    const Py_ssize_t image_corner_count = PyObject_Length(img_corners.get());
    if (image_corner_count < 0) throw_error();
    {
        Ref iterator = check(PyObject_GetIter(box_corners));
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(flags.get()); ++k) {
            Ref corner = Ref::steal(PyIter_Next(iterator.get()));
            if (!corner) {
                if (PyErr_Occurred()) throw_error();
                break;
            }
            bool outside = false;
            Ref corner_flags = Ref::borrow(PyList_GET_ITEM(flags.get(), k));
            for (Py_ssize_t e = 0; e < PyTuple_GET_SIZE(corner_flags.get()) && !outside; ++e)
                outside = truth(PyTuple_GET_ITEM(corner_flags.get(), e));
            if (!outside) check_status(PyList_Append(interesting.get(), corner.get()));
        }
    }

    // Crossings of box edges with the image borders whose flags differ between the edge's ends.
    const Py_ssize_t n = PyList_GET_SIZE(flags.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t e = 0; e < 4; ++e) {
            Ref here = item(PyList_GET_ITEM(flags.get(), i), py_int(e).get());
            Ref previous = item(PyList_GET_ITEM(flags.get(), i == 0 ? n - 1 : i - 1), py_int(e).get());
            if (!compare_truth(here.get(), previous.get(), Py_NE)) continue;
            Ref from = item(box_corners, py_int(i - 1).get());
            Ref to = item(box_corners, py_int(i).get());
            Ref border_from = item(img_corners.get(), py_int(e - 1).get());
            Ref border_to = item(img_corners.get(), py_int(e).get());
            Ref crossing = call_global(kIntersectFn, {from.get(), to.get(), border_from.get(), border_to.get()});
            if (crossing.get() != Py_None) check_status(PyList_Append(interesting.get(), crossing.get()));
        }
    }

    Ref spanning = item(box_corners, slice(kOpen, 3).get());
    Ref transforms = call_global(kCoordinateTransformationFn, {spanning.get()});
    auto [encode, decode] = unpack<2>(transforms.get());

    Ref encoded_all = call(encode.get(), {interesting.get()});
    Ref encoded = check(PyList_New(0));
    {
        Ref low = py_float(-1e-12), high = py_float(1.000000000001);
        Ref iterator = check(PyObject_GetIter(encoded_all.get()));
        Py_ssize_t k = 0;
        while (Ref row = Ref::steal(PyIter_Next(iterator.get()))) {
            bool keep = k >= image_corner_count;
            if (!keep) {
                Ref above = check(PyObject_RichCompare(low.get(), row.get(), Py_LE));
                keep = truth(np_call("all", {above.get()}).get());
                if (keep) {
                    Ref below = check(PyObject_RichCompare(row.get(), high.get(), Py_LE));
                    keep = truth(np_call("all", {below.get()}).get());
                }
            }
            if (keep) check_status(PyList_Append(encoded.get(), row.get()));
            ++k;
        }
        if (PyErr_Occurred()) throw_error();
    }
    if (PyList_GET_SIZE(encoded.get()) == 0) return check(PyTuple_Pack(2, Py_None, Py_None));

    Ref minima = np_call("min", {encoded.get()}, {{"axis", zero.get()}});
    auto [min_x, min_y] = unpack<2>(minima.get());
    Ref maxima = np_call("max", {encoded.get()}, {{"axis", zero.get()}});
    auto [max_x, max_y] = unpack<2>(maxima.get());
    Ref frame = check(Py_BuildValue("[[OO][OO][OO][OO]]", min_x.get(), min_y.get(), min_x.get(), max_y.get(),
                                    max_x.get(), max_y.get(), max_x.get(), min_y.get()));
    Ref frame_array = np_call("array", {frame.get()});
    Ref new_box_corners = call(decode.get(), {frame_array.get()});
    Ref found = check(PyList_GetSlice(interesting.get(), image_corner_count, PY_SSIZE_T_MAX));
    Ref found_array = np_call("array", {found.get()});
    return check(PyTuple_Pack(2, new_box_corners.get(), found_array.get()));
}

const FunctionDef clipper_def{
    .name = "clipper",
    .params = clipper_params,
    .returns = "tuple[np.ndarray[Any, Any] | None, np.ndarray[Any, Any] | None]",
    .doc =
        "Clip boxes at the edge of the image.\n"
        "\n"
        ":param box_corners:              The previous box corners that may exceed the region_of_interest.\n"
        ":param image_size:               An unrotated box that denotes the region of interest.\n"
        ":param visualize:                If this value is set and a debug build is executed (see README), "
        "the\n"
        "                                 old boxes and clipped boxes are plotted in a debug pyplot window.\n"
        ":return:                         The clipped box corners.",
    .body = clipper,
    .line = 83,
};

// ---------------------------------------------------------------------------------------------
// surrounding_rectangle_from_corners

const Param surrounding_params[] = {{"corners", kArray}};
struct SurroundingArg {
    enum : std::size_t { corners, count };
};
static_assert(std::size(surrounding_params) == SurroundingArg::count);

static Ref surrounding_rectangle_from_corners(Function&, Bound& a) {
    PyObject* corners = a[SurroundingArg::corners];
    const int type = numpy_is_native() ? float_type(corners) : -1;
    if (type >= 0 && dims_are(corners, {-1, 4, 2})) {
        const npy_intp N = PyArray_DIM(np::as_array(corners), 0);
        Ref min_values = new_array(NPY_INT32, {N, 2});
        Ref max_values = new_array(NPY_INT32, {N, 2});
        bool done = false;
        dispatch_float(type, [&](auto tag) {
            using T = decltype(tag);
            done =
                geometry::surrounding_rectangles<T>(view3<const T>(corners), N, data_of<std::int32_t>(min_values.get()),
                                                    data_of<std::int32_t>(max_values.get()));
        });
        // NaN, infinities and values beyond int32: NumPy's conversion decides (and warns)
        if (done) return check(PyTuple_Pack(2, min_values.get(), max_values.get()));
    }

    const Py_ssize_t number_of_boxes = PyObject_Length(corners);
    if (number_of_boxes < 0) throw_error();
    VH_ASSERT(shape_is(corners, {number_of_boxes, 4, 2}));
    Ref zero = py_int(0), one = py_int(1);
    Ref int32 = np_attr("int32");
    Ref minima = np_call("min", {corners}, {{"axis", one.get()}});
    Ref min_values = method(minima.get(), "astype", {int32.get()});
    Ref maxima = np_call("max", {corners}, {{"axis", one.get()}});
    Ref max_values = method(maxima.get(), "astype", {int32.get()});
    VH_ASSERT(shape_is(min_values.get(), {number_of_boxes, 2}));
    VH_ASSERT(shape_is(max_values.get(), {number_of_boxes, 2}));
    Ref min_x = item(min_values.get(), {everything().get(), zero.get()});
    Ref min_y = item(min_values.get(), {everything().get(), one.get()});
    Ref max_x = item(max_values.get(), {everything().get(), zero.get()});
    Ref max_y = item(max_values.get(), {everything().get(), one.get()});
    for (PyObject* column : {min_x.get(), min_y.get(), max_x.get(), max_y.get()})
        VH_ASSERT(shape_is(column, {number_of_boxes}));
    return check(PyTuple_Pack(2, min_values.get(), max_values.get()));
}

const FunctionDef surrounding_rectangle_from_corners_def{
    .name = "surrounding_rectangle_from_corners",
    .params = surrounding_params,
    .returns = "tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]",
    .doc = ".",
    .body = surrounding_rectangle_from_corners,
    .line = 773,
};

// ---------------------------------------------------------------------------------------------
// intersections

const Param intersections_params[] = {
    {"corners_a", kArray}, {"distances_a", kArray}, {"corners_b", kArray}, {"distances_b", kArray}};
struct IntersectionsArg {
    enum : std::size_t { corners_a, distances_a, corners_b, distances_b, count };
};
static_assert(std::size(intersections_params) == IntersectionsArg::count);

// -distances[:, row] * 2 / np.linalg.norm(distances[:, row] * 2, axis=1)[:, None] ** 2
static Ref axis_vectors(PyObject* distances, Py_ssize_t row) {
    Ref index = py_int(row), two = py_int(2), one = py_int(1);
    Ref side = item(distances, {everything().get(), index.get()});
    Ref negated = negative(side.get());
    Ref numerator = multiply(negated.get(), two.get());
    Ref side_again = item(distances, {everything().get(), index.get()});
    Ref full = multiply(side_again.get(), two.get());
    Ref linalg = np_attr("linalg");
    Ref norms = method(linalg.get(), "norm", {full.get()}, {{"axis", one.get()}});
    Ref column = item(norms.get(), {everything().get(), Py_None});
    Ref squared = check(PyNumber_Power(column.get(), two.get(), Py_None));
    return divide(numerator.get(), squared.get());
}

static Ref intersections(Function&, Bound& a) {
    PyObject* corners_a = a[IntersectionsArg::corners_a];
    PyObject* distances_a = a[IntersectionsArg::distances_a];
    PyObject* corners_b = a[IntersectionsArg::corners_b];
    PyObject* distances_b = a[IntersectionsArg::distances_b];
    const int type = numpy_is_native() ? float_type(corners_a) : -1;
    if (type >= 0 && float_type(distances_a) == type && float_type(corners_b) == type &&
        float_type(distances_b) == type && dims_are(corners_a, {-1, 4, 2}) && dims_are(corners_b, {-1, 4, 2})) {
        const npy_intp Na = PyArray_DIM(np::as_array(corners_a), 0), Nb = PyArray_DIM(np::as_array(corners_b), 0);
        if (dims_are(distances_a, {Na, 4, 2}) && dims_are(distances_b, {Nb, 4, 2})) {
            Ref result = new_array(NPY_BOOL, {Na, Nb});
            dispatch_float(type, [&](auto tag) {
                using T = decltype(tag);
                const geometry::RectangleSet<T> set_a(view3<const T>(corners_a), view3<const T>(distances_a), Na);
                const geometry::RectangleSet<T> set_b(view3<const T>(corners_b), view3<const T>(distances_b), Nb);
                Py_BEGIN_ALLOW_THREADS;
                geometry::intersections<T>(set_a, set_b, data_of<bool>(result.get()));
                Py_END_ALLOW_THREADS;
            });
            return result;
        }
    }

    const Py_ssize_t Na = np::shape_at(corners_a, 0);
    const Py_ssize_t Nb = np::shape_at(corners_b, 0);
    VH_ASSERT(shape_is(corners_a, {Na, 4, 2}));
    VH_ASSERT(shape_is(corners_b, {Nb, 4, 2}));
    Ref zero = py_int(0), one = py_int(1);
    Ref first_b = item(corners_b, {everything().get(), zero.get()});
    Ref spread_b = item(first_b.get(), {Py_None, everything().get(), Py_None});
    Ref lifted_a = item(corners_a, {everything().get(), Py_None});
    Ref adbc = subtract(spread_b.get(), lifted_a.get());
    VH_ASSERT(shape_is(adbc.get(), {Na, Nb, 4, 2}));
    Ref first_a = item(corners_a, {everything().get(), zero.get()});
    Ref spread_a = item(first_a.get(), {everything().get(), Py_None, Py_None});
    Ref lifted_b = item(corners_b, Py_None);
    Ref ehfg = subtract(spread_a.get(), lifted_b.get());
    VH_ASSERT(shape_is(adbc.get(), {Na, Nb, 4, 2}));
    VH_ASSERT(shape_is(ehfg.get(), {Na, Nb, 4, 2}));
    VH_ASSERT(shape_is(distances_a, {Na, 4, 2}));
    Ref to_bottom_a = axis_vectors(distances_a, 0);
    Ref to_right_a = axis_vectors(distances_a, 1);
    VH_ASSERT(shape_is(to_bottom_a.get(), {Na, 2}));
    VH_ASSERT(shape_is(to_right_a.get(), {Na, 2}));
    VH_ASSERT(shape_is(corners_b, {Nb, 4, 2}));
    VH_ASSERT(shape_is(distances_b, {Nb, 4, 2}));
    Ref to_bottom_b = axis_vectors(distances_b, 0);
    Ref to_right_b = axis_vectors(distances_b, 1);
    VH_ASSERT(shape_is(to_bottom_b.get(), {Nb, 2}));
    VH_ASSERT(shape_is(to_right_b.get(), {Nb, 2}));

    Ref own = check(PyUnicode_FromString("abft,at->abf"));
    Ref other = check(PyUnicode_FromString("abft,bt->abf"));
    Ref b_ab = np_call("einsum", {own.get(), ehfg.get(), to_right_a.get()});
    Ref b_ad = np_call("einsum", {own.get(), ehfg.get(), to_bottom_a.get()});
    Ref a_ef = np_call("einsum", {other.get(), adbc.get(), to_right_b.get()});
    Ref a_eh = np_call("einsum", {other.get(), adbc.get(), to_bottom_b.get()});
    PyObject* const projections[4] = {b_ab.get(), b_ad.get(), a_ef.get(), a_eh.get()};
    VH_ASSERT(shape_is(b_ab.get(), {Na, Nb, 4}));
    if (vh::debug) {
        Ref shapes = check(PySet_New(nullptr));
        for (PyObject* p : projections) check_status(PySet_Add(shapes.get(), np::shape_of(p).get()));
        if (PySet_GET_SIZE(shapes.get()) != 1) raise_assertion();
    }

    Ref shape = shape_tuple({Na, Nb});
    Ref boolean = Ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
    Ref result = np_call("zeros", {shape.get()}, {{"dtype", boolean.get()}});
    for (Py_ssize_t i = 0; i < Na; ++i) {
        Ref ia = py_int(i);
        for (Py_ssize_t j = 0; j < Nb; ++j) {
            Ref jb = py_int(j);
            bool separated = false;
            for (PyObject* projection : projections) {
                Ref val = item(projection, {ia.get(), jb.get()});
                Ref below = check(PyObject_RichCompare(val.get(), zero.get(), Py_LT));
                separated = truth(method(below.get(), "all", {}).get());
                if (!separated) {
                    Ref above = check(PyObject_RichCompare(val.get(), one.get(), Py_GT));
                    separated = truth(method(above.get(), "all", {}).get());
                }
                if (separated) break;
            }
            if (!separated) set_item(result.get(), {ia.get(), jb.get()}, Py_True);
        }
    }
    return result;
}

const FunctionDef intersections_def{
    .name = "intersections",
    .params = intersections_params,
    .returns = kArray,
    .doc =
        "Compute intersections.\n"
        "\n"
        "Separating axis test of rotated rectangles, see \"2D Rotated Rectangle Collision\" (gamedev.net).\n"
        "\n"
        "Box corners:\n"
        "\n"
        "\n"
        ":param corners_a: array containing the box corners (top left, bottom left, top right,\n"
        "                  bottom right = A D B C)\n"
        "                          A---B\n"
        "                          |   |\n"
        "                          |   |\n"
        "                          D---C\n"
        ":param distances_a:\n"
        ":param corners_b: array containing the box corners (top left, bottom left, top right,\n"
        "                  bottom right = E H F G)\n"
        "                          E---F\n"
        "                          |   |\n"
        "                          |   |\n"
        "                          H---G\n"
        ":param distances_b:\n"
        ":return:",
    .body = intersections,
    .line = 797,
};

}  // namespace vh::shapekit
