// shapekit: regrouping a flat keypoint list, reordered by augmentations, into parallelogram keypoints per box.
#include "geometry/regrouping.hpp"

#include <vector>

#include "vornhaven/preprocessing/shapekit/shapekit.hpp"

namespace vh::shapekit {

namespace {

constexpr const char* kListOfArrays = "list[np.ndarray[Any, Any]]";
constexpr const char* kPositionNames[3] = {"center", "top", "right"};

const Param assemble_params[] = {
    {.name = "keypoints", .annotation = kListOfArrays, .conv = Conv::List},
    {.name = "instances", .annotation = kListOfArrays, .conv = Conv::List},
    {.name = "positions", .annotation = kListOfArrays, .conv = Conv::List},
    {.name = "kwargs", .annotation = kArray, .kind = Kind::VarKwargs},
};
struct AssembleArg {
    enum : std::size_t { keypoints, instances, positions, kwargs, count };
};
static_assert(std::size(assemble_params) == AssembleArg::count);

// The keyword arrays in keyword order, held for the call.
struct Keyword {
    Ref key, values;
};
static std::vector<Keyword> keyword_arrays(PyObject* kwargs) {
    std::vector<Keyword> items;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) items.push_back({Ref::borrow(key), Ref::borrow(value)});
    return items;
}

// ---------------------------------------------------------------------------------------------
// The NumPy steps, for every input.

// `(first, *rest)`, with the interpreter's message when `rest` cannot be unpacked.
static Ref prepend(PyObject* first, PyObject* rest) {
    Ref items = Ref::steal(PySequence_List(rest));
    if (!items) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(rest)->tp_iter && !PySequence_Check(rest)) {
            PyErr_Clear();
            raisef(PyExc_TypeError, "Value after * must be an iterable, not %.200s", Py_TYPE(rest)->tp_name);
        }
        throw_error();
    }
    check_status(PyList_Insert(items.get(), 0, first));
    return check(PyList_AsTuple(items.get()));
}

// all(v.shape[0] == number_of_unique_instances for v in kwargs.values()): the generator stops at
// the first array whose row count differs.
static bool rows_match(Function& self, const std::vector<Keyword>& items, PyObject* unique_count) {
    try {
        Ref zero = py_int(0);
        for (const Keyword& item : items) {
            Ref shape = attr(item.values.get(), "shape");
            Ref rows = vh::item(shape.get(), zero.get());
            if (!equals(rows.get(), unique_count)) return false;
        }
        return true;
    } catch (const PyError&) {
        add_traceback("genexpr", self.filename, self.def->line);
        throw;
    }
}

static Ref assemble_numpy_steps(Function& self, PyObject* keypoints, PyObject* instances, PyObject* positions,
                                PyObject* kwargs) {
    const Py_ssize_t number_of_position_measurements = PyList_GET_SIZE(instances);
    Py_ssize_t keypoint_dimensionality = 2;
    // NumPy reads the caller's lists through copies of its own (see np::private_lists)
    Ref instance_array = np_call("array", {np::private_lists(instances).get()});
    VH_ASSERT(shape_is(instance_array.get(), {number_of_position_measurements}));
    Ref flat = np_call("array", {np::private_lists(keypoints).get()});
    Ref count = py_int(number_of_position_measurements), dimensionality = py_int(keypoint_dimensionality);
    Ref arr_keypoints = method(flat.get(), "reshape", {count.get(), dimensionality.get()});
    keypoint_dimensionality = np::shape_at(arr_keypoints.get(), 1);
    VH_ASSERT(shape_is(arr_keypoints.get(), {number_of_position_measurements, keypoint_dimensionality}));
    Ref arr_positions = np_call("array", {np::private_lists(positions).get()},
                                {{"dtype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)}});
    VH_ASSERT(shape_is(arr_positions.get(), {number_of_position_measurements}));
    Ref unique_instances = np_call("unique", {instance_array.get()});
    const Py_ssize_t number_of_unique_instances = np::shape_at(unique_instances.get(), 0);
    VH_ASSERT(static_cast<double>(number_of_unique_instances) ==
              static_cast<double>(number_of_position_measurements) / 3.0);

    Ref keypoints_shape = shape_tuple({number_of_unique_instances, 3, keypoint_dimensionality});
    Ref sorted_keypoints = np_call("empty", {keypoints_shape.get()});
    const std::vector<Keyword> items = keyword_arrays(kwargs);
    Ref unique_count = py_int(number_of_unique_instances);
    std::vector<Ref> sorted_kwarg_arrays;
    for (const Keyword& item : items) {
        Ref shape = attr(item.values.get(), "shape");
        Ref rest = vh::item(shape.get(), slice(1, kOpen).get());
        Ref dims = prepend(unique_count.get(), rest.get());
        sorted_kwarg_arrays.push_back(np_call("empty", {dims.get()}));
    }
    Ref to_original_index = np_call("empty", {unique_count.get()});
    if (vh::debug && !rows_match(self, items, unique_count.get())) raise_assertion();

    Ref zero = py_int(0);
    static PyObject* const names[3] = {intern(kPositionNames[0]), intern(kPositionNames[1]), intern(kPositionNames[2])};
    Ref boxes = check(PyObject_GetIter(unique_instances.get()));
    for (Py_ssize_t i = 0;; ++i) {
        Ref uiid = Ref::steal(PyIter_Next(boxes.get()));
        if (!uiid) {
            if (PyErr_Occurred()) throw_error();
            break;
        }
        Ref id_text = check(PyObject_Str(uiid.get()));
        Ref mask = check(PyObject_RichCompare(instance_array.get(), id_text.get(), Py_EQ));
        Ref where = np_call("where", {mask.get()});
        Ref indices = item(where.get(), zero.get());
        Ref position_map = check(PyDict_New());
        Ref members = check(PyObject_GetIter(indices.get()));
        while (Ref index = Ref::steal(PyIter_Next(members.get()))) {
            Ref label = item(arr_positions.get(), index.get());
            check_status(PyDict_SetItem(position_map.get(), label.get(), index.get()));
        }
        if (PyErr_Occurred()) throw_error();
        Ref rows = check(PyList_New(3));
        for (int k = 0; k < 3; ++k) {
            Ref index = item(position_map.get(), names[k]);
            PyList_SET_ITEM(rows.get(), k, item(arr_keypoints.get(), index.get()).release());
        }
        Ref box = py_int(i);
        set_item(sorted_keypoints.get(), box.get(), rows.get());
        for (std::size_t k = 0; k < items.size(); ++k) {
            Ref row_index = check(PyNumber_Long(uiid.get()));
            Ref row = item(items[k].values.get(), row_index.get());
            set_item(sorted_kwarg_arrays[k].get(), box.get(), row.get());
        }
        Ref original = check(PyNumber_Long(uiid.get()));
        set_item(to_original_index.get(), box.get(), original.get());
    }

    Ref result = check(PyTuple_New(2 + static_cast<Py_ssize_t>(items.size())));
    PyTuple_SET_ITEM(result.get(), 0, sorted_keypoints.release());
    PyTuple_SET_ITEM(result.get(), 1, to_original_index.release());
    for (std::size_t k = 0; k < items.size(); ++k)
        PyTuple_SET_ITEM(result.get(), 2 + static_cast<Py_ssize_t>(k), sorted_kwarg_arrays[k].release());
    return result;
}

// ---------------------------------------------------------------------------------------------
// The native path: exact str ids of ASCII digits, exact str position labels, keypoints of two
// plain numbers each, plain numeric keyword arrays. It reads everything into its own buffers
// without running Python code, then either computes the result or, when any step would fail,
// leaves the whole call to the NumPy steps (which raise what they raise).

static bool is_plain_str(PyObject* o) {
    return PyUnicode_CheckExact(o) || Py_TYPE(o) == &PyUnicodeArrType_Type;
}

// 0, 1, 2 for "center", "top", "right"; 3 for any other label.
static int position_code(PyObject* label) {
    if (PyUnicode_KIND(label) != PyUnicode_1BYTE_KIND) return 3;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(label);
    const void* data = PyUnicode_DATA(label);
    for (int k = 0; k < 3; ++k)
        if (length == static_cast<Py_ssize_t>(std::strlen(kPositionNames[k])) &&
            std::memcmp(data, kPositionNames[k], static_cast<std::size_t>(length)) == 0)
            return k;
    return 3;
}

static bool read_id(PyObject* text, geometry::DecimalId& id) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return geometry::parse_decimal_id(PyUnicode_1BYTE_DATA(text), length, id);
        default:
            return false;  // not ASCII digits
    }
}

// A number of a keypoint tuple or list: exact float, NumPy float64, or an int within int64.
enum NumberKind : unsigned { kFloats = 1, kInts = 2, kSingles = 4 };

static bool read_number(PyObject* o, double& out, unsigned& kinds) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        kinds |= kFloats;
        return true;
    }
    if (Py_TYPE(o) == &PyDoubleArrType_Type) {
        out = PyFloat_AS_DOUBLE(o);  // a float subclass: the value is where a float keeps it
        kinds |= kFloats;
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        out = static_cast<double>(v);
        kinds |= kInts;
        return true;
    }
    return false;
}

template <class T>
static double load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
}

// npy_bool is the same C type as npy_ubyte, so it has a loader of its own (not load<npy_bool>).
static double load_bool(const char* p) {
    return *reinterpret_cast<const unsigned char*>(p) != 0 ? 1.0 : 0.0;
}

using Loader = double (*)(const char*);

// How NumPy casts an element of a plain array to float64; null for dtypes left to NumPy.
static Loader loader_of(PyObject* o) {
    if (!PyArray_CheckExact(o)) return nullptr;
    PyArrayObject* a = np::as_array(o);
    if (!PyArray_ISNOTSWAPPED(a)) return nullptr;
    switch (PyArray_TYPE(a)) {
        case NPY_BOOL:
            return load_bool;
        case NPY_BYTE:
            return load<npy_byte>;
        case NPY_UBYTE:
            return load<npy_ubyte>;
        case NPY_SHORT:
            return load<npy_short>;
        case NPY_USHORT:
            return load<npy_ushort>;
        case NPY_INT:
            return load<npy_int>;
        case NPY_UINT:
            return load<npy_uint>;
        case NPY_LONG:
            return load<npy_long>;
        case NPY_ULONG:
            return load<npy_ulong>;
        case NPY_LONGLONG:
            return load<npy_longlong>;
        case NPY_ULONGLONG:
            return load<npy_ulonglong>;
        case NPY_FLOAT:
            return load<npy_float>;
        case NPY_DOUBLE:
            return load<npy_double>;
        default:
            return nullptr;
    }
}

// A keypoint given as an array of two numbers: float64, float32 (kept apart: NumPy may promote
// float32 with other numbers differently) or integers.
static bool read_keypoint_array(PyObject* o, double* xy, unsigned& kinds) {
    if (!PyArray_CheckExact(o)) return false;
    PyArrayObject* a = np::as_array(o);
    if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != 2 || !PyArray_ISNOTSWAPPED(a)) return false;
    const int type = PyArray_TYPE(a);
    Loader loader = nullptr;
    if (type == NPY_DOUBLE) {
        loader = load<npy_double>;
        kinds |= kFloats;
    } else if (type == NPY_FLOAT) {
        loader = load<npy_float>;
        kinds |= kSingles;
    } else if (type == NPY_LONG || type == NPY_LONGLONG || type == NPY_INT) {
        loader = loader_of(o);
        kinds |= kInts;
    } else {
        return false;
    }
    const char* data = PyArray_BYTES(a);
    const npy_intp step = PyArray_STRIDE(a, 0);
    xy[0] = loader(data);
    xy[1] = loader(data + step);
    return true;
}

static bool read_keypoints(PyObject* keypoints, Py_ssize_t n, double* xy) {
    if (PyList_GET_SIZE(keypoints) != n) return false;
    unsigned kinds = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* point = PyList_GET_ITEM(keypoints, j);
        if (PyTuple_CheckExact(point) || PyList_CheckExact(point)) {
            if (PySequence_Fast_GET_SIZE(point) != 2) return false;
            PyObject** coordinates = PySequence_Fast_ITEMS(point);
            if (!read_number(coordinates[0], xy[2 * j], kinds) || !read_number(coordinates[1], xy[2 * j + 1], kinds))
                return false;
        } else if (!read_keypoint_array(point, xy + 2 * j, kinds)) {
            return false;
        }
    }
    // float32 values are exact in float64 when all are float32; mixed with others, NumPy's
    // promotion decides, so it runs its own steps.
    return !(kinds & kSingles) || kinds == kSingles;
}

struct KeywordArray {
    PyArrayObject* array;
    Loader loader;
};

static Ref new_result(std::initializer_list<npy_intp> dims) {
    return new_array(NPY_DOUBLE, dims);
}

// The result, or an empty Ref when the NumPy steps must run instead.
static Ref assemble_native(PyObject* keypoints, PyObject* instances, PyObject* positions, PyObject* kwargs) {
    const Py_ssize_t n = PyList_GET_SIZE(instances);
    if (PyList_GET_SIZE(positions) != n || static_cast<std::uint64_t>(n) >= (std::uint64_t{1} << 31)) return {};
    const auto count = static_cast<std::size_t>(n);

    std::vector<geometry::DecimalId> ids(count);
    std::vector<std::uint8_t> codes(count);
    for (std::size_t j = 0; j < count; ++j) {
        PyObject* id = PyList_GET_ITEM(instances, j);
        PyObject* label = PyList_GET_ITEM(positions, j);
        if (!is_plain_str(id) || !is_plain_str(label) || !read_id(id, ids[j])) return {};
        codes[j] = static_cast<std::uint8_t>(position_code(label));
    }
    std::vector<double> xy(2 * count);
    if (!read_keypoints(keypoints, n, xy.data())) return {};
    const std::vector<Keyword> items = keyword_arrays(kwargs);
    std::vector<KeywordArray> arrays;
    for (const Keyword& item : items) {
        Loader loader = loader_of(item.values.get());
        if (!loader || PyArray_NDIM(np::as_array(item.values.get())) < 1) return {};
        arrays.push_back({np::as_array(item.values.get()), loader});
    }

    const geometry::Groups groups = geometry::group_by_id(ids.data(), count);
    const std::size_t boxes = groups.count();
    VH_ASSERT(3 * boxes == count);

    // Per box: the keypoint of each position (the last one of that label), and the row of
    // every keyword array; anything the NumPy steps would refuse sends the call to them.
    std::vector<std::uint32_t> members(3 * boxes);
    for (std::size_t b = 0; b < boxes; ++b) {
        std::int64_t found[3] = {-1, -1, -1};
        for (std::size_t k = groups.starts[b]; k < groups.starts[b + 1]; ++k) {
            const std::uint32_t j = groups.order[k];
            if (codes[j] < 3) found[codes[j]] = j;
        }
        for (int p = 0; p < 3; ++p) {
            if (found[p] < 0) return {};
            members[3 * b + p] = static_cast<std::uint32_t>(found[p]);
        }
        const std::uint64_t row = ids[groups.order[groups.starts[b]]].value;
        for (const KeywordArray& a : arrays)
            if (row >= static_cast<std::uint64_t>(PyArray_DIM(a.array, 0))) return {};
    }

    const auto U = static_cast<npy_intp>(boxes);
    Ref sorted_keypoints = new_result({U, 3, 2});
    std::vector<Ref> sorted_kwarg_arrays;
    for (const KeywordArray& a : arrays) {
        npy_intp dims[NPY_MAXDIMS];
        const int nd = PyArray_NDIM(a.array);
        dims[0] = U;
        for (int d = 1; d < nd; ++d) dims[d] = PyArray_DIM(a.array, d);
        sorted_kwarg_arrays.push_back(check(PyArray_SimpleNew(nd, dims, NPY_DOUBLE)));
    }
    Ref to_original_index = new_result({U});
    if (vh::debug)
        for (const KeywordArray& a : arrays)
            if (PyArray_DIM(a.array, 0) != U) raise_assertion();

    double* out = data_of<double>(sorted_keypoints.get());
    double* original = data_of<double>(to_original_index.get());
    for (std::size_t b = 0; b < boxes; ++b) {
        for (int p = 0; p < 3; ++p) {
            const std::uint32_t j = members[3 * b + p];
            out[6 * b + 2 * p] = xy[2 * j];
            out[6 * b + 2 * p + 1] = xy[2 * j + 1];
        }
        original[b] = static_cast<double>(ids[groups.order[groups.starts[b]]].value);
    }
    for (std::size_t k = 0; k < arrays.size(); ++k) {
        PyArrayObject* a = arrays[k].array;
        const Loader loader = arrays[k].loader;
        const int nd = PyArray_NDIM(a);
        npy_intp row_size = 1;
        for (int d = 1; d < nd; ++d) row_size *= PyArray_DIM(a, d);
        double* target = data_of<double>(sorted_kwarg_arrays[k].get());
        // float64 rows laid out in C order are copied as they are
        bool c_rows = PyArray_TYPE(a) == NPY_DOUBLE;
        for (npy_intp d = nd - 1, step = sizeof(double); d >= 1 && c_rows; step *= PyArray_DIM(a, d--))
            c_rows = PyArray_DIM(a, d) == 1 || PyArray_STRIDE(a, d) == step;
        std::vector<npy_intp> index(static_cast<std::size_t>(nd), 0);
        for (std::size_t b = 0; b < boxes; ++b) {
            const char* row = PyArray_BYTES(a) +
                              static_cast<npy_intp>(ids[groups.order[groups.starts[b]]].value) * PyArray_STRIDE(a, 0);
            if (c_rows) {
                std::memcpy(target, row, static_cast<std::size_t>(row_size) * sizeof(double));
                target += row_size;
                continue;
            }
            // the row's elements in C order, for any strides
            std::fill(index.begin(), index.end(), 0);
            const char* p = row;
            for (npy_intp e = 0; e < row_size; ++e) {
                *target++ = loader(p);
                for (int d = nd - 1; d >= 1; --d) {
                    p += PyArray_STRIDE(a, d);
                    if (++index[d] < PyArray_DIM(a, d)) break;
                    p -= PyArray_STRIDE(a, d) * PyArray_DIM(a, d);
                    index[d] = 0;
                }
            }
        }
    }

    Ref result = check(PyTuple_New(2 + static_cast<Py_ssize_t>(arrays.size())));
    PyTuple_SET_ITEM(result.get(), 0, sorted_keypoints.release());
    PyTuple_SET_ITEM(result.get(), 1, to_original_index.release());
    for (std::size_t k = 0; k < arrays.size(); ++k)
        PyTuple_SET_ITEM(result.get(), 2 + static_cast<Py_ssize_t>(k), sorted_kwarg_arrays[k].release());
    return result;
}

static Ref assemble_keypoints_after_shuffle(Function& self, Bound& a) {
    PyObject* keypoints = a[AssembleArg::keypoints];
    PyObject* instances = a[AssembleArg::instances];
    PyObject* positions = a[AssembleArg::positions];
    PyObject* kwargs = a.kwargs();
    if (numpy_is_native())
        if (Ref result = assemble_native(keypoints, instances, positions, kwargs)) return result;
    return assemble_numpy_steps(self, keypoints, instances, positions, kwargs);
}

}  // namespace

const FunctionDef assemble_keypoints_after_shuffle_def{
    .name = "assemble_keypoints_after_shuffle",
    .params = assemble_params,
    .returns = "tuple[np.ndarray[Any, Any], ...]",
    .doc =
        "Assemble keypoints after a flat representation of parallelogram keypoints have been shuffled.\n"
        "\n"
        "For instance because of augmentations that mutate the order of keypoints.\n"
        "\n"
        ":param keypoints:       flat keypoints array (shape: (number_of_parallelograms * 3) x 2).\n"
        ":param instances:       Association of single keypoints to parallelograms via unique indices\n"
        "                        (shape: number_of_parallelograms, ).\n"
        ":param positions:       Positions of the different keypoints (center, top, right) in the flat "
        "keypoints array\n"
        "                        (shape: number_of_parallelograms, ).\n"
        ":param kwargs:          Additional np.ndarray[Any, Any] associated to original keypoints that are "
        "to be\n"
        "                        shuffled according to instances. Shape: (number_of_unique_instances x *-1)\n"
        ":return:                Tuple[sorted keypoints,\n"
        "                              new instance lookup, (shape: number_of_unique_instances, )\n"
        "                              transformed kwargs   (shape: number_of_unique_instances, *-1)]",
    .body = assemble_keypoints_after_shuffle,
    .line = 471,
};

}  // namespace vh::shapekit
