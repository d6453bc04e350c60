// shapekit: the orders of operations of this NumPy that the kernels reproduce, found at import.
// Learnt by running NumPy on probes: einsum's sums, and which NaN an addition keeps.
#include "vornhaven/preprocessing/shapekit/shapekit.hpp"

namespace vh::shapekit {

// A quiet NaN with `mark` in its payload, so that a probe shows which operand's NaN came out.
template <class T>
static T marked_nan(unsigned mark) {
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
static void calibrate_point_order(int point_type, int angle_type, int combination) {
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
static void fill_view(PyObject* o, T value) {
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
static Ref filled(int type, std::initializer_list<npy_intp> dims, T value) {
    Ref array = new_array(type, dims);
    fill_view(array.get(), value);
    return array;
}

// Finds which NaN the additions of the NumPy steps keep in each row, for every number of rows a
// NanOrder holds, by running each step on arrays laid out as the steps lay them out, its first
// operand all one marked NaN and its second another.
template <class T>
static void calibrate_additions(int type) {
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
static MatrixOrder calibrate_matrix_order(int matrix_type, int angle_type) {
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

void calibrate() {
    state.matrix_order[0] = calibrate_matrix_order<double, double>(NPY_DOUBLE, NPY_DOUBLE);
    state.matrix_order[1] = calibrate_matrix_order<float, float>(NPY_FLOAT, NPY_FLOAT);
    state.matrix_order[2] = calibrate_matrix_order<double, float>(NPY_DOUBLE, NPY_FLOAT);
    calibrate_point_order<double, double>(NPY_DOUBLE, NPY_DOUBLE, 0);
    calibrate_point_order<float, float>(NPY_FLOAT, NPY_FLOAT, 1);
    calibrate_point_order<double, float>(NPY_DOUBLE, NPY_FLOAT, 2);
    calibrate_additions<double>(NPY_DOUBLE);
    calibrate_additions<float>(NPY_FLOAT);
}

}  // namespace vh::shapekit
