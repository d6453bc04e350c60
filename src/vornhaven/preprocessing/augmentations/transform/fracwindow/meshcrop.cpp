// MeshCrop: a FracWindow over a regular mesh of crop windows, one of which is chosen per input
// (preferring, half of the time, crops that hold a box centre given by the keypoints); the cropped
// image is rescaled to [-1, 1] unless `renorm` is off.
//
// The crop is chosen in `update_params`, between the input size and the window, so that every
// target of one call (whatever order albumentations hands them over in) is cut by the same window.
// Masks are cropped but never rescaled.
#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <type_traits>

#include "fracwindow.hpp"
#include "runtime/numpy.hpp"

namespace vh::fracwindow {

namespace {

constexpr const char* kClassDoc = "Crop using a mesh of relative crops.";
constexpr const char* kArray = "np.ndarray[Any, Any]";

struct Names {
    PyObject *number_crops_x, *number_crops_y, *fracwindow_width, *fracwindow_height, *renorm;
    PyObject *crop, *crops, *all_crops, *params, *data, *batches_per_index;
    PyObject *x1, *x2, *y1, *y2, *random, *copy, *crop_data, *crops_data, *product, *print;
    PyObject *one, *float_zero, *float_half, *float_one, *float_two, *weird;
    PyObject *every_third, *all_but_last;
    PyObject* init_arg_names;
} names;

Ref global_named(PyObject* name) {
    return Ref::borrow(global(state.globals, name));
}

// ---- the mesh ---------------------------------------------------------------------------------

// x1(self, i) / y1(self, i): the first edge of column (row) i.
struct Axis {
    PyObject* const* count;  // number_crops_x / number_crops_y
    PyObject* const* size;   // fracwindow_width / fracwindow_height
    const char* first;       // "x1" / "y1", the method x2 / y2 build on
};
const Axis x_axis{&names.number_crops_x, &names.fracwindow_width, "x1"};
const Axis y_axis{&names.number_crops_y, &names.fracwindow_height, "y1"};

const Param index_params[] = {{"self"}, {"i", "int", Conv::Int}};
struct IndexArg {
    enum : std::size_t { self, i, count };
};
static_assert(std::size(index_params) == IndexArg::count);

template <const Axis& A>
Ref first_edge(Function&, Bound& a) {
    PyObject* self = a[IndexArg::self];
    PyObject* i = a[IndexArg::i];
    Ref count = attr(self, *A.count);
    const bool inside = check_status(PyObject_RichCompareBool(state.zero, i, Py_LE)) &&
                        check_status(PyObject_RichCompareBool(i, count.get(), Py_LT));
    if (!inside) raisef(PyExc_Exception, "i=%S must be in the range [0, %S).", i, count.get());
    Ref size = attr(self, *A.size);
    if (check_status(PyObject_RichCompareBool(size.get(), names.one, Py_GT))) return check(PyNumber_Float(i));
    Ref spare = subtract(names.one, size.get());
    Ref x = multiply(i, spare.get());
    if (equals(x.get(), state.zero)) return Ref::borrow(names.float_zero);
    VH_ASSERT_MSG(check_status(PyObject_RichCompareBool(count.get(), names.one, Py_GT)),
                  "Number of crops is larger than 1, because otherwise i would be 0 and we would have already "
                  "returned.");
    Ref gaps = subtract(count.get(), names.one);
    return divide(x.get(), gaps.get());
}

// x2(self, i) / y2(self, i): the second edge. In fraction form (size <= 1) the last column ends
// at 1 mathematically; a sum that exceeds 1 only by rounding is that 1.0, so a mesh never mixes
// fraction-form cells with cells that look like pixel form.
template <const Axis& A>
Ref second_edge(Function&, Bound& a) {
    PyObject* self = a[IndexArg::self];
    Ref size = attr(self, *A.size);
    if (check_status(PyObject_RichCompareBool(size.get(), names.one, Py_GT))) return size;
    Ref first = method(self, A.first, {a[IndexArg::i]});
    Ref edge = add(first.get(), size.get());
    if (PyFloat_CheckExact(edge.get()) && check_status(PyObject_RichCompareBool(size.get(), names.one, Py_LE))) {
        const double v = PyFloat_AS_DOUBLE(edge.get());
        if (v > 1.0 && v <= 1.0 + 8 * DBL_EPSILON) return Ref::borrow(names.float_one);
    }
    return edge;
}

Ref batches_per_index(Function&, Bound& a) {
    Ref x = attr(a[0], names.number_crops_x);
    Ref y = attr(a[0], names.number_crops_y);
    return multiply(x.get(), y.get());
}

// __init__(self, number_crops_x, number_crops_y, fracwindow_width, fracwindow_height, renorm=True, **_kwargs)
const Param init_params[] = {
    {"self"},
    {"number_crops_x", "int", Conv::Int},
    {"number_crops_y", "int", Conv::Int},
    {"fracwindow_width", "float", Conv::Double},
    {"fracwindow_height", "float", Conv::Double},
    {"renorm", "bool", Conv::Bool, Kind::Positional, dflt::boolean(true)},
    {"_kwargs", "Any", Conv::Any, Kind::VarKwargs},
};
struct InitArg {
    enum : std::size_t { self, number_crops_x, number_crops_y, width, height, renorm, kwargs, count };
};
static_assert(std::size(init_params) == InitArg::count);

Ref init(Function& f, Bound& a) {
    PyObject* self = a[InitArg::self];
    Ref base_init = super_attr(f, self, state.init);
    call(base_init.get(), {},
         {{"x_min_percent", names.float_zero},
          {"y_min_percent", names.float_zero},
          {"x_max_percent", names.float_one},
          {"y_max_percent", names.float_one},
          {"always_apply", Py_True},
          {"p", names.float_one}});
    PyObject* nx = a[InitArg::number_crops_x];
    PyObject* ny = a[InitArg::number_crops_y];
    Ref width = check(PyFloat_FromDouble(a.real(InitArg::width)));
    Ref height = check(PyFloat_FromDouble(a.real(InitArg::height)));
    set_attr(self, names.number_crops_x, nx);
    set_attr(self, names.number_crops_y, ny);
    set_attr(self, names.fracwindow_width, width.get());
    set_attr(self, names.fracwindow_height, height.get());
    set_attr(self, names.renorm, a.truth(InitArg::renorm) ? Py_True : Py_False);
    set_attr(self, names.crop, Py_None);
    set_attr(self, names.crops, Py_None);

    // One CropData per mesh cell, column by column (the row varying fastest).
    Ref cells = check(PyList_New(0));
    Ref range_x = call(reinterpret_cast<PyObject*>(&PyRange_Type), {nx});
    Ref range_y = call(reinterpret_cast<PyObject*>(&PyRange_Type), {ny});
    Ref pairs = call(global_named(names.product).get(), {range_x.get(), range_y.get()});
    Ref it = check(PyObject_GetIter(pairs.get()));
    Py_ssize_t i = 0;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        auto [ix, iy] = unpack<2>(pair.get());
        Ref index = py_int(i++);
        Ref batches = attr(self, names.batches_per_index);
        Ref x1 = method(self, "x1", {ix.get()});
        Ref x2 = method(self, "x2", {ix.get()});
        Ref y1 = method(self, "y1", {iy.get()});
        Ref y2 = method(self, "y2", {iy.get()});
        Ref cell = call(global_named(names.crop_data).get(),
                        {index.get(), batches.get(), x1.get(), x2.get(), y1.get(), y2.get()},
                        {{"number_of_crops_x", nx}, {"number_of_crops_y", ny}});
        check_status(PyList_Append(cells.get(), cell.get()));
    }
    if (PyErr_Occurred()) throw_error();
    Ref all = call(global_named(names.crops_data).get(), {cells.get()});
    set_attr(self, names.all_crops, all.get());
    Ref params = check(PyDict_New());
    set_attr(self, names.params, params.get());
    return Ref::borrow(Py_None);
}

// ---- choosing a crop --------------------------------------------------------------------------

// The crop for one input: normalise the collection to the input size, then, with two or more
// crops, half of the time a crop holding a box centre (the first keypoint of each group of three,
// all but the last such group), otherwise any crop of the collection. Its fractions become the
// window's. `rows` and `cols` are the input's size; the keypoints are those of the call.
void choose(PyObject* self, PyObject* rows, PyObject* cols, Bound& a) {
    {
        Ref crops = attr(self, names.crops);
        if (crops.get() == Py_None) return;
        Ref data = attr(crops.get(), names.data);
        if (!truth(data.get())) return;
        method(crops.get(), "normalize", {cols, rows});
    }
    Ref selected;
    Py_ssize_t count;
    {
        Ref crops = attr(self, names.crops);
        Ref data = attr(crops.get(), names.data);
        count = PyObject_Size(data.get());
        if (count < 0) throw_error();
    }
    if (count >= 2) {
        Ref random = global_named(names.random);
        Ref draw = method(random.get(), "random", {});
        if (check_status(PyObject_RichCompareBool(draw.get(), names.float_half, Py_GT))) {
            Ref samples = check(PySet_New(nullptr));
            bool any_centre = false;
            PyObject* keypoints = a.keyword(state.keypoints);
            if (keypoints && keypoints != Py_None) {
                Ref thirds = item(keypoints, names.every_third);
                Ref centres = item(thirds.get(), names.all_but_last);
                Ref it = check(PyObject_GetIter(centres.get()));
                while (Ref centre = Ref::steal(PyIter_Next(it.get()))) {
                    any_centre = true;
                    Ref x_px = check(PySequence_GetItem(centre.get(), 0));
                    Ref y_px = check(PySequence_GetItem(centre.get(), 1));
                    Ref y_percent = divide(y_px.get(), rows);
                    Ref x_percent = divide(x_px.get(), cols);
                    Ref crops = attr(self, names.crops);
                    Ref found = method(crops.get(), "find_crop", {x_percent.get(), y_percent.get()});
                    samples = check(PyNumber_InPlaceOr(samples.get(), found.get()));
                }
                if (PyErr_Occurred()) throw_error();
            }
            if (truth(samples.get())) {
                Ref listed = check(PySequence_List(samples.get()));
                Ref random_now = global_named(names.random);
                selected = method(random_now.get(), "choice", {listed.get()});
            } else if (any_centre) {
                call(global_named(names.print).get(), {names.weird});
            }
        }
    }
    if (!selected) {
        Ref crops = attr(self, names.crops);
        Ref data = attr(crops.get(), names.data);
        Ref random = global_named(names.random);
        selected = method(random.get(), "choice", {data.get()});
    }
    // All four edges are converted before the first is stored.
    Ref x1 = check(PyNumber_Float(attr(selected.get(), names.x1).get()));
    Ref x2 = check(PyNumber_Float(attr(selected.get(), names.x2).get()));
    Ref y1 = check(PyNumber_Float(attr(selected.get(), names.y1).get()));
    Ref y2 = check(PyNumber_Float(attr(selected.get(), names.y2).get()));
    set_attr(self, state.x_min_percent, x1.get());
    set_attr(self, state.x_max_percent, x2.get());
    set_attr(self, state.y_min_percent, y1.get());
    set_attr(self, state.y_max_percent, y2.get());
    set_attr(self, names.crop, selected.get());
}

// update_params(self, params, **kwargs): FracWindow's steps with the choice before the window.
const Param update_params_params[] = {
    {"self"}, {"params", "dict[str, Any]", Conv::Dict}, {"kwargs", "Any", Conv::Any, Kind::VarKwargs}};

Ref update_params(Function&, Bound& a) {
    return update_params_steps(*state.fracwindow_update_params, a, choose);
}

// update_crops(self, crops), apply_crop(self, crop)
const Param crops_params[] = {{"self"}, {"crops", "CropsData"}};
const Param crop_params[] = {{"self"}, {"crop", "CropData"}};

Ref update_crops(Function&, Bound& a) {
    PyObject* self = a[0];
    set_attr(self, state.always_apply, Py_True);
    Ref p = check(PyFloat_FromDouble(1.0));
    set_attr(self, state.p, p.get());
    set_attr(self, names.crops, a[1]);
    set_attr(self, state.applied_in_replay, Py_True);
    update_child_of(self);
    return Ref::borrow(Py_None);
}

Ref apply_crop(Function&, Bound& a) {
    PyObject* self = a[0];
    Ref copied = method(global_named(names.copy).get(), "copy", {a[1]});
    Ref single = check(PyList_New(1));
    PyList_SET_ITEM(single.get(), 0, copied.release());
    Ref crops = call(global_named(names.crops_data).get(), {single.get()});
    set_attr(self, names.crops, crops.get());
    set_attr(self, state.always_apply, Py_True);
    set_attr(self, state.applied_in_replay, Py_True);
    Ref p = check(PyFloat_FromDouble(1.0));
    set_attr(self, state.p, p.get());
    update_child_of(self);
    return Ref::borrow(Py_None);
}

// ---- the rescaling ----------------------------------------------------------------------------

// An array's elements as runs along its innermost axis after merging the axes that lie evenly
// one after another; run r (counted in C order) starts at `first(base, r)`.
struct Runs {
    int outer = 0;  // axes before the run
    npy_intp dims[NPY_MAXDIMS] = {};
    npy_intp strides[NPY_MAXDIMS] = {};
    npy_intp count = 1;             // number of runs
    npy_intp length = 1, step = 0;  // each run

    explicit Runs(PyArrayObject* a) {
        int nd = 0;
        for (int k = 0; k < PyArray_NDIM(a); ++k) {
            const npy_intp d = PyArray_DIM(a, k), s = PyArray_STRIDE(a, k);
            if (d == 1) continue;
            if (nd > 0 && strides[nd - 1] == s * d) {
                dims[nd - 1] *= d;
                strides[nd - 1] = s;
            } else {
                dims[nd] = d;
                strides[nd] = s;
                ++nd;
            }
        }
        if (nd > 0) {
            length = dims[nd - 1];
            step = strides[nd - 1];
            outer = nd - 1;
        }
        for (int k = 0; k < outer; ++k) count *= dims[k];
    }

    [[gnu::always_inline]] inline char* first(char* base, npy_intp r) const {
        for (int k = outer - 1; k >= 0; --k) {
            base += (r % dims[k]) * strides[k];
            r /= dims[k];
        }
        return base;
    }
};

template <class T>
struct Extremes {
    T low = std::numeric_limits<T>::infinity();
    T high = -std::numeric_limits<T>::infinity();
    bool nan = false;  // a NaN or an infinity occurs
};

// GCC vectors of `Bytes` bytes; the kernels below are compiled once per instruction set, with
// the vector width that set handles natively.
template <class T, int Bytes>
struct Vector;
template <>
struct Vector<float, 16> {
    typedef float type __attribute__((vector_size(16)));
};
template <>
struct Vector<float, 32> {
    typedef float type __attribute__((vector_size(32)));
};
template <>
struct Vector<float, 64> {
    typedef float type __attribute__((vector_size(64)));
};
template <>
struct Vector<double, 16> {
    typedef double type __attribute__((vector_size(16)));
};
template <>
struct Vector<double, 32> {
    typedef double type __attribute__((vector_size(32)));
};
template <>
struct Vector<double, 64> {
    typedef double type __attribute__((vector_size(64)));
};

// NumPy's clip for a value that is not NaN: min(max(v, -1), 1).
template <class T>
[[gnu::always_inline]] inline T clip_unit(T v) {
    const T raised = v > T(-1) ? v : T(-1);
    return raised < T(1) ? raised : T(1);
}

// One element of the map: ((x - low) * factor - 1) clipped to [-1, 1], each step rounded to T.
template <class T>
[[gnu::always_inline]] inline T mapped(T x, T low, T factor) {
    T v = x - low;
    v = v * factor;
    v = v - T(1);
    return clip_unit(v);
}

// A vector with every lane `x`.
template <class V, class T>
[[gnu::always_inline]] inline V splat(T x) {
    V v;
    for (std::size_t k = 0; k < sizeof(V) / sizeof(T); ++k) v[k] = x;
    return v;
}

// First pass: minimum, maximum and whether a NaN or an infinity occurs (x - x is not 0). Contiguous
// runs keep their accumulators in vector registers (two vectors per step).
template <class T, int Bytes>
[[gnu::always_inline]] inline Extremes<T> extremes_pass(const Runs& runs, char* base) {
    using V = typename Vector<T, Bytes>::type;
    constexpr int kLanes = Bytes / sizeof(T);
    Extremes<T> e;
    V low0 = splat<V>(e.low), low1 = low0, high0 = splat<V>(e.high), high1 = high0, special = V{};
    for (npy_intp r = 0; r < runs.count; ++r) {
        const char* first = runs.first(base, r);
        const npy_intp n = runs.length, step = runs.step;
        npy_intp i = 0;
        if (step == static_cast<npy_intp>(sizeof(T))) {
            for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
                V v0, v1;
                std::memcpy(&v0, first + i * sizeof(T), sizeof(V));
                std::memcpy(&v1, first + (i + kLanes) * sizeof(T), sizeof(V));
                low0 = v0 < low0 ? v0 : low0;
                low1 = v1 < low1 ? v1 : low1;
                high0 = v0 > high0 ? v0 : high0;
                high1 = v1 > high1 ? v1 : high1;
                special = special + (v0 - v0);
                special = special + (v1 - v1);
            }
        }
        for (; i < n; ++i) {
            const T v = *reinterpret_cast<const T*>(first + i * step);
            e.low = v < e.low ? v : e.low;
            e.high = v > e.high ? v : e.high;
            e.nan |= !(v - v == 0);
        }
    }
    for (int k = 0; k < kLanes; ++k) {
        e.low = low0[k] < e.low ? low0[k] : e.low;
        e.low = low1[k] < e.low ? low1[k] : e.low;
        e.high = high0[k] > e.high ? high0[k] : e.high;
        e.high = high1[k] > e.high ? high1[k] : e.high;
        e.nan |= !(special[k] == 0);
    }
    return e;
}

// Second pass: the map of every run into the C-ordered result, a vector at a time where the run
// is contiguous (the same operations element by element), the runs taken last first so that the
// pass starts with what the first pass left in the caches.
template <class T, int Bytes>
[[gnu::always_inline]] inline void map_pass(const Runs& runs, char* base, T* to, T low, T factor) {
    using V = typename Vector<T, Bytes>::type;
    constexpr int kLanes = Bytes / sizeof(T);
    const V vlow = splat<V>(low), vfactor = splat<V>(factor), one = splat<V>(T(1)), minus_one = splat<V>(T(-1));
    for (npy_intp r = runs.count - 1; r >= 0; --r) {
        const char* first = runs.first(base, r);
        const npy_intp n = runs.length, step = runs.step;
        T* out = to + r * n;
        npy_intp i = 0;
        if (step == static_cast<npy_intp>(sizeof(T))) {
            for (; i + kLanes <= n; i += kLanes) {
                V v;
                std::memcpy(&v, first + i * sizeof(T), sizeof(V));
                v = v - vlow;
                v = v * vfactor;
                v = v - one;
                v = v > minus_one ? v : minus_one;
                v = v < one ? v : one;
                std::memcpy(out + i, &v, sizeof(V));
            }
        }
        for (; i < n; ++i) out[i] = mapped(*reinterpret_cast<const T*>(first + i * step), low, factor);
    }
}

// The passes for each instruction set, chosen once by what the processor offers. The results are
// the same bits on every set: each lane computes what the scalar code computes.
template <class T>
struct Kernels {
    Extremes<T> (*extremes)(const Runs&, char*);
    void (*map)(const Runs&, char*, T*, T, T);
};

#define VH_KERNELS(target, bytes, suffix)                                               \
    target Extremes<float> extremes_f_##suffix(const Runs& r, char* b) {                \
        return extremes_pass<float, bytes>(r, b);                                       \
    }                                                                                   \
    target Extremes<double> extremes_d_##suffix(const Runs& r, char* b) {               \
        return extremes_pass<double, bytes>(r, b);                                      \
    }                                                                                   \
    target void map_f_##suffix(const Runs& r, char* b, float* t, float l, float f) {    \
        map_pass<float, bytes>(r, b, t, l, f);                                          \
    }                                                                                   \
    target void map_d_##suffix(const Runs& r, char* b, double* t, double l, double f) { \
        map_pass<double, bytes>(r, b, t, l, f);                                         \
    }

VH_KERNELS(, 16, sse2)
VH_KERNELS(__attribute__((target("avx2"))), 32, avx2)
VH_KERNELS(__attribute__((target("avx512f"))), 64, avx512)
#undef VH_KERNELS

// Whether the processor offers `feature` ("AVX2", "AVX512F") and NumPy has not been told to
// leave it alone (NPY_DISABLE_CPU_FEATURES, a list separated by blanks or commas).
bool offers(const char* feature, bool supported) {
    if (!supported) return false;
    const char* disabled = std::getenv("NPY_DISABLE_CPU_FEATURES");
    if (!disabled) return true;
    const std::size_t length = std::strlen(feature);
    for (const char* p = disabled; *p;) {
        while (*p == ' ' || *p == ',' || *p == '\t') ++p;
        const char* end = p;
        while (*end && *end != ' ' && *end != ',' && *end != '\t') ++end;
        if (static_cast<std::size_t>(end - p) == length && std::strncmp(p, feature, length) == 0) return false;
        p = end;
    }
    return true;
}

template <class T>
const Kernels<T>& kernels() {
    static const Kernels<T> chosen = [] {
        const bool avx512 = offers("AVX512F", __builtin_cpu_supports("avx512f"));
        const bool avx2 = offers("AVX2", __builtin_cpu_supports("avx2"));
        if constexpr (std::is_same_v<T, float>) {
            if (avx512) return Kernels<float>{extremes_f_avx512, map_f_avx512};
            if (avx2) return Kernels<float>{extremes_f_avx2, map_f_avx2};
            return Kernels<float>{extremes_f_sse2, map_f_sse2};
        } else {
            if (avx512) return Kernels<double>{extremes_d_avx512, map_d_avx512};
            if (avx2) return Kernels<double>{extremes_d_avx2, map_d_avx2};
            return Kernels<double>{extremes_d_sse2, map_d_sse2};
        }
    }();
    return chosen;
}

enum class Rescale { Done, Unchanged, NumpySteps };

// The rescaling of a plain float array in two passes, as the NumPy steps compute it on their
// copy: minus the minimum, times the factor, minus 1, clipped to [-1, 1], each in the array's
// precision; the first pass finds the minimum and maximum, the second writes the result.
// Anything the NumPy steps would warn about or decide differently (NaN, infinity, an overflowing
// range or factor, a floating-point exception raised on the way) is left to them.
template <class T>
Rescale rescale_native(PyObject* result, Ref& out) {
    PyArrayObject* in = np::as_array(result);
    // The output first: making it may run Python code (a collection), after which nothing does
    // until both passes are done, so the input's layout read below stays true.
    {
        npy_intp dims[NPY_MAXDIMS];
        const int nd = PyArray_NDIM(in);
        for (int k = 0; k < nd; ++k) dims[k] = PyArray_DIM(in, k);
        out = check(PyArray_SimpleNew(nd, dims, PyArray_TYPE(in)));
    }
    const Runs runs(in);
    char* base = static_cast<char*>(PyArray_DATA(in));
    const Kernels<T>& k = kernels<T>();
    // The caller's floating-point status flags are kept; the passes' own are read in between.
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
    struct Restore {
        std::fexcept_t* flags;
        ~Restore() { std::fesetexceptflag(flags, FE_ALL_EXCEPT); }
    } restore{&saved};
    const Extremes<T> e = k.extremes(runs, base);
    if (e.nan) return Rescale::NumpySteps;
    const double span = static_cast<double>(e.high) - static_cast<double>(e.low);
    if (!(span > 0)) return Rescale::Unchanged;
    const T factor = static_cast<T>(2 / span);
    if (std::isinf(e.high - e.low) || !(factor >= std::numeric_limits<T>::min()) || std::isinf(factor))
        return Rescale::NumpySteps;
    std::feclearexcept(FE_ALL_EXCEPT);
    k.map(runs, base, static_cast<T*>(PyArray_DATA(np::as_array(out.get()))), e.low, factor);
    const int raised = std::fetestexcept(FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID | FE_DIVBYZERO);
    return raised ? Rescale::NumpySteps : Rescale::Done;
}

// The NumPy steps through the module's `np`.
Ref rescale_numpy(PyObject* result) {
    Ref np = global_named(state.natives.interned(kNp));
    Ref low = check(PyNumber_Float(method(np.get(), "min", {result}).get()));
    Ref high = check(PyNumber_Float(method(np.get(), "max", {result}).get()));
    Ref span = subtract(high.get(), low.get());
    if (!check_status(PyObject_RichCompareBool(span.get(), state.zero, Py_GT))) return Ref::borrow(result);
    Ref copy = method(result, "copy", {});
    Ref factor = divide(names.float_two, span.get());
    Ref minus_one = check(PyFloat_FromDouble(-1.0));
    method(np.get(), "subtract", {copy.get(), low.get()}, {{"out", copy.get()}});
    method(np.get(), "multiply", {copy.get(), factor.get()}, {{"out", copy.get()}});
    method(np.get(), "subtract", {copy.get(), names.float_one}, {{"out", copy.get()}});
    method(np.get(), "clip", {copy.get(), minus_one.get(), names.float_one}, {{"out", copy.get()}});
    return copy;
}

Ref rescale(PyObject* result) {
    if (state.natives.intact(1u << kNp) && PyArray_CheckExact(result) && PyArray_SIZE(np::as_array(result)) > 0) {
        Ref out;
        Rescale how = Rescale::NumpySteps;
        if (np::is_plain(result, NPY_FLOAT))
            how = rescale_native<float>(result, out);
        else if (np::is_plain(result, NPY_DOUBLE))
            how = rescale_native<double>(result, out);
        if (how == Rescale::Done) return out;
        if (how == Rescale::Unchanged) return Ref::borrow(result);
    }
    return rescale_numpy(result);
}

// apply(self, img, **params): FracWindow's crop, then the rescaling unless `renorm` is off.
struct TargetArg {
    enum : std::size_t { self, target, params, count };
};
const Param apply_params[] = {{"self"}, {"img", kArray}, {"params", "Any", Conv::Any, Kind::VarKwargs}};
static_assert(std::size(apply_params) == TargetArg::count);

Ref apply(Function& f, Bound& a) {
    Ref result = super_forward(f, a, state.apply, a[TargetArg::target]);
    Ref renorm = attr(a[TargetArg::self], names.renorm);
    if (!truth(renorm.get())) return result;
    return rescale(result.get());
}

// apply_to_mask(self, img, **params): FracWindow's crop alone; masks keep their values.
Ref apply_to_mask(Function& f, Bound& a) {
    return super_forward(f, a, state.apply, a[TargetArg::target]);
}

// apply_to_keypoints(self, keypoints, rows=None, cols=None, **params): FracWindow's.
const Param keypoints_params[] = {{"self"},
                                  {"keypoints", "Any"},
                                  {"rows", "int | None", Conv::Int, Kind::Positional, dflt::none(), true},
                                  {"cols", "int | None", Conv::Int, Kind::Positional, dflt::none(), true},
                                  {"params", "Any", Conv::Any, Kind::VarKwargs}};
struct KeypointsArg {
    enum : std::size_t { self, keypoints, rows, cols, params, count };
};
static_assert(std::size(keypoints_params) == KeypointsArg::count);

Ref apply_to_keypoints(Function& f, Bound& a) {
    Ref base = super_attr(f, a[KeypointsArg::self], state.apply_to_keypoints);
    Ref kwargs = check(PyDict_New());
    check_status(PyDict_SetItem(kwargs.get(), state.size.rows, a[KeypointsArg::rows]));
    check_status(PyDict_SetItem(kwargs.get(), state.size.cols, a[KeypointsArg::cols]));
    check_status(PyDict_Update(kwargs.get(), a.kwargs()));
    return call(base.get(), {a[KeypointsArg::keypoints]}, kwargs.get());
}

const Param self_params[] = {{"self"}};

Ref get_init_arg_names(Function&, Bound&) {
    return Ref::borrow(names.init_arg_names);
}

const char* const kInitArgNames[] = {"number_crops_x", "number_crops_y", "fracwindow_width", "fracwindow_height"};

const FunctionDef methods[] = {
    {.name = "__init__",
     .qualname = "MeshCrop.__init__",
     .params = init_params,
     .returns = "None",
     .doc = "Initialize the transform.",
     .body = init,
     .line = 140},
    {.name = "update_params",
     .qualname = "MeshCrop.update_params",
     .params = update_params_params,
     .returns = "dict[str, Any]",
     .doc = "Update Albumentations params, choose a crop and compute crop coordinates.",
     .body = update_params,
     .line = 170},
    {.name = "apply",
     .qualname = "MeshCrop.apply",
     .params = apply_params,
     .returns = kArray,
     .doc = "Apply the crop to an image.",
     .body = apply,
     .line = 180},
    {.name = "apply_to_mask",
     .qualname = "MeshCrop.apply_to_mask",
     .params = apply_params,
     .returns = kArray,
     .doc = "Apply the crop to a mask (masks are not rescaled).",
     .body = apply_to_mask,
     .line = 195},
    {.name = "apply_to_keypoints",
     .qualname = "MeshCrop.apply_to_keypoints",
     .params = keypoints_params,
     .returns = "Any",
     .doc = "Apply the crop to keypoints.",
     .body = apply_to_keypoints,
     .line = 200},
    {.name = "update_crops",
     .qualname = "MeshCrop.update_crops",
     .params = crops_params,
     .returns = "None",
     .doc = "Update crops and enable transform.",
     .body = update_crops,
     .line = 210},
    {.name = "apply_crop",
     .qualname = "MeshCrop.apply_crop",
     .params = crop_params,
     .returns = "None",
     .doc = "Apply a single crop.",
     .body = apply_crop,
     .line = 220},
    {.name = "get_transform_init_args_names",
     .qualname = "MeshCrop.get_transform_init_args_names",
     .params = self_params,
     .returns = "tuple[str, ...]",
     .doc = sizecheck::kInitArgsText,
     .body = get_init_arg_names,
     .line = 230},
};
const FunctionDef class_fullname_def{.name = "get_class_fullname",
                                     .qualname = "MeshCrop.get_class_fullname",
                                     .params = sizecheck::cls_params,
                                     .returns = "str",
                                     .doc = sizecheck::kFullnameText,
                                     .body = sizecheck::class_fullname,
                                     .line = 235};
const FunctionDef edge_defs[] = {
    {.name = "x1",
     .qualname = "MeshCrop.x1",
     .params = index_params,
     .returns = "float",
     .doc = "Return relative x1 for crop index.",
     .body = first_edge<x_axis>,
     .line = 240},
    {.name = "x2",
     .qualname = "MeshCrop.x2",
     .params = index_params,
     .returns = "float",
     .doc = "Return relative x2 for crop index.",
     .body = second_edge<x_axis>,
     .line = 255},
    {.name = "y1",
     .qualname = "MeshCrop.y1",
     .params = index_params,
     .returns = "float",
     .doc = "Return relative y1 for crop index.",
     .body = first_edge<y_axis>,
     .line = 260},
    {.name = "y2",
     .qualname = "MeshCrop.y2",
     .params = index_params,
     .returns = "float",
     .doc = "Return relative y2 for crop index.",
     .body = second_edge<y_axis>,
     .line = 275},
};
const FunctionDef batches_def{.name = "batches_per_index",
                              .qualname = "MeshCrop.batches_per_index",
                              .params = self_params,
                              .returns = "int",
                              .doc = "Return number of batches per index.",
                              .body = batches_per_index,
                              .line = 280};

}  // namespace

void define_meshcrop(ModuleContext& m) {
    names.number_crops_x = intern("number_crops_x");
    names.number_crops_y = intern("number_crops_y");
    names.fracwindow_width = intern("fracwindow_width");
    names.fracwindow_height = intern("fracwindow_height");
    names.renorm = intern("renorm");
    names.crop = intern("crop");
    names.crops = intern("crops");
    names.all_crops = intern("all_crops");
    names.params = intern("params");
    names.data = intern("data");
    names.batches_per_index = intern("batches_per_index");
    names.x1 = intern("x1");
    names.x2 = intern("x2");
    names.y1 = intern("y1");
    names.y2 = intern("y2");
    names.random = intern("random");
    names.copy = intern("copy");
    names.crop_data = intern("CropData");
    names.crops_data = intern("CropsData");
    names.product = intern("product");
    names.print = intern("print");
    names.one = py_int(1).release();
    names.float_zero = check(PyFloat_FromDouble(0.0)).release();
    names.float_half = check(PyFloat_FromDouble(0.5)).release();
    names.float_one = check(PyFloat_FromDouble(1.0)).release();
    names.float_two = check(PyFloat_FromDouble(2.0)).release();
    names.weird = intern("weird");
    names.every_third = slice(kOpen, kOpen, 3).release();
    names.all_but_last = slice(kOpen, -1).release();
    names.init_arg_names = sizecheck::name_tuple(kInitArgNames);

    Ref bases = tuple_of({global(m.globals(), intern("FracWindow"))});
    ClassBuilder builder(m, "MeshCrop", bases.get(), kClassDoc);
    for (const FunctionDef& def : methods) builder.method(def);
    builder.method(class_fullname_def, ClassBuilder::MethodKind::Class);
    for (const FunctionDef& def : edge_defs) builder.method(def);
    builder.property("batches_per_index", batches_def);
    Ref klass = builder.build();
    m.set("MeshCrop", klass.get());
}

}  // namespace vh::fracwindow
