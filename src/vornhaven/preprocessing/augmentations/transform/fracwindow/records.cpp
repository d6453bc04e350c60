// The crop records: CropData, one crop window, and CropsData, an ordered collection of crops with
// one lookup index per axis and the conversion of pixel-sized crops into fractions of an image.
//
// Both are plain Python classes (instances have a __dict__, pickle and copy as any Python object).
// Everything a caller can reach is read through Python attributes at call time: the crops' edges,
// `data`, `og_data` and the four index attributes may be replaced or mutated between calls, and by
// the Python code (`__float__`, `__gt__`, `__eq__`, a property) that runs during one. Native loops
// hold a reference to whatever they work on and re-check list sizes after any such callback.
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fracwindow.hpp"

namespace vh::fracwindow {

namespace {

// Interned names and objects made when the classes are defined; they live as long as the
// process (the module is initialised once).
struct Records {
    PyObject* globals = nullptr;
    PyObject* numpy = nullptr;           // NumPy itself: `np` is NumPy while the global holds it
    PyObject* find_function = nullptr;   // CropsData._find as defined here
    PyTypeObject* crops_type = nullptr;  // CropsData as defined here
    PyTypeObject* crop_type = nullptr;   // CropData as defined here
    unsigned int crop_version = 0;       // its type version when last seen as defined here
    PyObject* find_static = nullptr;     // the static method wrapping it, in the class dict
    unsigned int crops_version = 0;      // the class's type version when last seen as defined here
    PyObject* zero = nullptr;            // the int 0
    PyObject* one = nullptr;             // the int 1
    PyObject* one_float = nullptr;       // 1.0
    PyObject *index, *max, *x1, *x2, *y1, *y2, *number_of_crops_x, *number_of_crops_y;
    PyObject *data, *og_data, *needs_norm, *x_values, *y_values, *x_index, *y_index;
    PyObject *post_init, *find, *get, *add, *copy, *deepcopy, *np, *nextafter;
};

Records rec;

// The largest double below 1: np.nextafter(1.0, 0.0).
constexpr double kBelowOne = 1.0 - DBL_EPSILON / 2;

// ---------------------------------------------------------------------------------------------
// Python operations, each raising as the interpreter would

Ref as_float(PyObject* o) {  // float(o)
    return check(PyNumber_Float(o));
}

// `a <op> b` in a condition. Two floats compare without a call; anything else may run Python code.
bool compare(PyObject* a, PyObject* b, int op) {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        const double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        switch (op) {
            case Py_LT:
                return x < y;
            case Py_LE:
                return x <= y;
            case Py_GT:
                return x > y;
            default:
                return x >= y;
        }
    }
    return check_status(PyObject_RichCompareBool(a, b, op)) != 0;
}

// float(obj.name)
Ref float_attr(PyObject* obj, PyObject* name) {
    return as_float(attr(obj, name).get());
}

// A module global, looked up at call time.
PyObject* module_global(PyObject* name) {
    return global(rec.globals, name);
}

// `for item in iterable`, one item at a time: null at the end.
Ref next_item(PyObject* iterator) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) throw_error();
    return item;
}

// ---------------------------------------------------------------------------------------------
// CropData

const Param crop_init_params[] = {
    {"self"},
    {"index", "int", Conv::Int},
    {"max", "int", Conv::Int},
    {"x1", "float | int"},
    {"x2", "float | int"},
    {"y1", "float | int"},
    {"y2", "float | int"},
    {"number_of_crops_x", "int", Conv::Int},
    {"number_of_crops_y", "int", Conv::Int},
};
struct CropInitArg {
    enum : std::size_t { self, index, max, x1, x2, y1, y2, number_of_crops_x, number_of_crops_y, count };
};
static_assert(std::size(crop_init_params) == CropInitArg::count);

Ref crop_init(Function&, Bound& a) {
    PyObject* self = a[CropInitArg::self];
    PyObject* const names[] = {
        rec.index, rec.max, rec.x1, rec.x2, rec.y1, rec.y2, rec.number_of_crops_x, rec.number_of_crops_y};
    for (std::size_t i = 0; i < std::size(names); ++i) set_attr(self, names[i], a[CropInitArg::index + i]);
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------------------------
// CropsData: construction and the indices

// Whether crop `c` is given in pixels: c.x2 > 1 or c.y2 > 1.
bool needs_norm(PyObject* c) {
    if (compare(attr(c, rec.x2).get(), rec.one, Py_GT)) return true;
    return compare(attr(c, rec.y2).get(), rec.one, Py_GT);
}

// any(needs_norm(c) for c in data) when `want` is true, all(...) otherwise. A comparison may
// change the list: the walk re-reads its size, as a list iterator does.
bool scan_needs_norm(PyObject* data, bool want) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
        Ref c = Ref::borrow(PyList_GET_ITEM(data, i));
        if (needs_norm(c.get()) == want) return want;
    }
    return !want;
}

const Param init_params[] = {{"self"}, {"data", "list[CropData]", Conv::List}};
struct InitArg {
    enum : std::size_t { self, data, count };
};
static_assert(std::size(init_params) == InitArg::count);

Ref init(Function&, Bound& a) {
    PyObject* self = a[InitArg::self];
    PyObject* data = a[InitArg::data];
    set_attr(self, rec.data, data);
    {
        Ref copy = Ref::borrow(module_global(rec.copy));
        Ref deepcopy = attr(copy.get(), rec.deepcopy);
        Ref og_data = call(deepcopy.get(), {data});
        set_attr(self, rec.og_data, og_data.get());
    }
    const bool any_needs = scan_needs_norm(data, true);
    set_attr(self, rec.needs_norm, any_needs ? Py_True : Py_False);
    check(PyObject_CallMethodNoArgs(self, rec.post_init));
    const bool all_need = scan_needs_norm(data, false);
    if (all_need != any_needs) raise(PyExc_Exception, "Either configure all crops to need normalization, or none.");
    return Ref::borrow(Py_None);
}

// sorted(set(values))
Ref distinct_sorted(PyObject* values) {
    Ref distinct = check(PySet_New(values));
    Ref sorted = check(PySequence_List(distinct.get()));
    check_status(PyList_Sort(sorted.get()));
    return sorted;
}

// {v: set() for v in values}
Ref empty_index(PyObject* values) {
    Ref index = check(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        Ref v = Ref::borrow(PyList_GET_ITEM(values, i));
        Ref members = check(PySet_New(nullptr));
        check_status(PyDict_SetItem(index.get(), v.get(), members.get()));
    }
    return index;
}

// index[v].add(c)
void add_member(PyObject* index, PyObject* v, PyObject* c) {
    Ref members = item(index, v);
    if (PySet_CheckExact(members.get())) {
        check_status(PySet_Add(members.get(), c));
    } else {
        check(PyObject_CallMethodOneArg(members.get(), rec.add, c));
    }
}

// Whether a CropData instance keeps its edges as plain instance attributes: true while the class
// defines none of the edges and reads attributes the generic way. Checked again whenever the
// class's type version changes.
bool crop_class_as_defined(PyTypeObject* type) {
    if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == rec.crop_version) return true;
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    for (PyObject* name : {rec.x1, rec.x2, rec.y1, rec.y2})
        if (_PyType_Lookup(type, name)) return false;
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
    rec.crop_version = type->tp_version_tag;
    return true;
}

// float(c.name) for an edge of crop `c`. On an instance of CropData as defined here whose own
// entry is a float, that entry itself, read without the generic lookup.
Ref edge(PyObject* c, PyObject* name) {
    if (Py_TYPE(c) == rec.crop_type && crop_class_as_defined(rec.crop_type)) {
        PyObject** dict = _PyObject_GetDictPtr(c);
        if (dict && *dict && PyDict_CheckExact(*dict)) {
            PyObject* value = PyDict_GetItemWithError(*dict, name);
            if (value && PyFloat_CheckExact(value)) return Ref::borrow(value);
            if (!value && PyErr_Occurred()) throw_error();
        }
    }
    return float_attr(c, name);
}

// One axis of one crop: for v in values, ascending, until v >= float(c.hi): add c to index[v]
// when float(c.lo) <= v < float(c.hi). The edges are read again for every comparison.
void index_crop(PyObject* c, PyObject* lo, PyObject* hi, PyObject* values, PyObject* index) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        Ref v = Ref::borrow(PyList_GET_ITEM(values, i));
        if (compare(v.get(), edge(c, hi).get(), Py_GE)) break;
        if (!compare(edge(c, lo).get(), v.get(), Py_LE)) continue;
        if (compare(v.get(), edge(c, hi).get(), Py_LT)) add_member(index, v.get(), c);
    }
}

// __post_init__(self): the indices are built aside and stored together, in the order
// x_values, y_values, x_index, y_index, once complete.
const Param self_params[] = {{"self"}};

Ref post_init(Function&, Bound& a) {
    PyObject* self = a[0];
    Ref xs = check(PyList_New(0)), ys = check(PyList_New(0));
    {
        Ref data = attr(self, rec.data);
        Ref it = check(PyObject_GetIter(data.get()));
        while (Ref c = next_item(it.get())) {
            check_status(PyList_Append(xs.get(), edge(c.get(), rec.x1).get()));
            check_status(PyList_Append(xs.get(), edge(c.get(), rec.x2).get()));
            check_status(PyList_Append(ys.get(), edge(c.get(), rec.y1).get()));
            check_status(PyList_Append(ys.get(), edge(c.get(), rec.y2).get()));
        }
    }
    Ref x_values = distinct_sorted(xs.get()), y_values = distinct_sorted(ys.get());
    Ref x_index = empty_index(x_values.get()), y_index = empty_index(y_values.get());
    {
        Ref data = attr(self, rec.data);
        Ref it = check(PyObject_GetIter(data.get()));
        while (Ref c = next_item(it.get())) {
            index_crop(c.get(), rec.x1, rec.x2, x_values.get(), x_index.get());
            index_crop(c.get(), rec.y1, rec.y2, y_values.get(), y_index.get());
        }
    }
    set_attr(self, rec.x_values, x_values.get());
    set_attr(self, rec.y_values, y_values.get());
    set_attr(self, rec.x_index, x_index.get());
    set_attr(self, rec.y_index, y_index.get());
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------------------------
// CropsData.normalize

// An edge computed as (start + size) / extent may land one ulp above 1 where the exact value is 1
// (the last crop of a row); such an edge is the image border, 1.0.
constexpr double kRoundingAboveOne = 1.0 + 4 * DBL_EPSILON;

Ref border_if_rounded(Ref edge) {
    if (PyFloat_CheckExact(edge.get())) {
        const double v = PyFloat_AS_DOUBLE(edge.get());
        if (v > 1.0 && v <= kRoundingAboveOne) return Ref::borrow(rec.one_float);
    }
    return edge;
}

// One axis of crop `o` from its untouched copy `og`: `pos` is the column (row) number, `size`
// the crop's size and `count` the number of columns (rows), all read from `og`; `extent` is the
// image's width (height) as a float.
void normalize_axis(PyObject* o, PyObject* og, PyObject* lo, PyObject* hi, PyObject* pos, PyObject* size,
                    PyObject* count, PyObject* extent) {
    if (compare(size, extent, Py_GE)) {
        set_attr(o, lo, rec.zero);
        set_attr(o, hi, rec.one_float);
        return;
    }
    // gap = (extent - count * size) / (count + 1)
    Ref gap = divide(subtract(extent, multiply(count, size).get()).get(), add(count, rec.one).get());
    Ref start;
    if (compare(gap.get(), rec.zero, Py_GE)) {
        // (gap + pos * (size + gap)) / extent
        start = divide(add(gap.get(), multiply(pos, add(size, gap.get()).get()).get()).get(), extent);
    } else {
        // (extent - size) / (count - 1) * pos / extent
        Ref step = divide(subtract(extent, size).get(), subtract(count, rec.one).get());
        start = divide(multiply(step.get(), pos).get(), extent);
    }
    set_attr(o, lo, start.get());
    // o.hi = o.lo + og.hi / extent
    Ref lo_now = attr(o, lo);
    Ref og_hi = attr(og, hi);
    Ref end = border_if_rounded(add(lo_now.get(), divide(og_hi.get(), extent).get()));
    set_attr(o, hi, end.get());
}

// assert o.x1 <op> bound and o.x2 <op> bound and o.y1 <op> bound and o.y2 <op> bound
void assert_edges(PyObject* o, int op, PyObject* bound) {
    for (PyObject* name : {rec.x1, rec.x2, rec.y1, rec.y2})
        if (!compare(attr(o, name).get(), bound, op)) raise_assertion();
}

const Param normalize_params[] = {{"self"}, {"width", "float", Conv::Double}, {"height", "float", Conv::Double}};
struct NormalizeArg {
    enum : std::size_t { self, width, height, count };
};
static_assert(std::size(normalize_params) == NormalizeArg::count);

Ref normalize(Function&, Bound& a) {
    PyObject* self = a[NormalizeArg::self];
    PyObject* width = a[NormalizeArg::width];
    PyObject* height = a[NormalizeArg::height];
    if (!truth(attr(self, rec.needs_norm).get())) return Ref::borrow(Py_None);
    {
        // for o, og in zip(self.data, self.og_data)
        Ref data = attr(self, rec.data);
        Ref data_it = check(PyObject_GetIter(data.get()));
        Ref og_data = attr(self, rec.og_data);
        Ref og_it = check(PyObject_GetIter(og_data.get()));
        while (true) {
            Ref o = next_item(data_it.get());
            if (!o) break;
            Ref og = next_item(og_it.get());
            if (!og) break;
            Ref k_x = attr(og.get(), rec.x1), k_y = attr(og.get(), rec.y1);
            Ref w = attr(og.get(), rec.x2), h = attr(og.get(), rec.y2);
            Ref n_x = attr(og.get(), rec.number_of_crops_x), n_y = attr(og.get(), rec.number_of_crops_y);
            normalize_axis(o.get(), og.get(), rec.x1, rec.x2, k_x.get(), w.get(), n_x.get(), width);
            normalize_axis(o.get(), og.get(), rec.y1, rec.y2, k_y.get(), h.get(), n_y.get(), height);
            if (debug) {
                assert_edges(o.get(), Py_GE, rec.zero);
                assert_edges(o.get(), Py_LE, rec.one);
            }
        }
    }
    check(PyObject_CallMethodNoArgs(self, rec.post_init));
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------------------------
// CropsData._find and find_crop

// float | None: the found element, an int (or any number) as a float.
Ref found_value(Ref prev) {
    if (!prev) return Ref::borrow(Py_None);
    if (PyFloat_CheckExact(prev.get())) return prev;
    const double d = PyFloat_AsDouble(prev.get());
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return check(PyFloat_FromDouble(d));
}

// The floor search: walk `values`, return the element before the first one greater than
// `lookup`, else the last (None for none). Floats compare natively; any other element through
// Python's comparison with `lookup` as a float, which may change the list: from then on every
// element is held while it is compared and the size is read again at every step.
Ref find_floor(PyObject* values, double lookup) {
    Py_ssize_t i = 0;
    PyObject* prev = nullptr;  // borrowed while no Python code can run
    for (; i < PyList_GET_SIZE(values); ++i) {
        PyObject* v = PyList_GET_ITEM(values, i);
        if (!PyFloat_CheckExact(v)) break;
        if (PyFloat_AS_DOUBLE(v) > lookup) return found_value(Ref::borrow(prev));
        prev = v;
    }
    if (i == PyList_GET_SIZE(values)) return found_value(Ref::borrow(prev));
    Ref held = Ref::borrow(prev);
    Ref key = check(PyFloat_FromDouble(lookup));
    for (; i < PyList_GET_SIZE(values); ++i) {
        Ref v = Ref::borrow(PyList_GET_ITEM(values, i));
        if (compare(v.get(), key.get(), Py_GT)) break;
        held = std::move(v);
    }
    return found_value(std::move(held));
}

const Param find_params[] = {{"values", "list[float]", Conv::List}, {"lookup", "float", Conv::Double}};
struct FindArg {
    enum : std::size_t { values, lookup, count };
};
static_assert(std::size(find_params) == FindArg::count);

Ref find(Function&, Bound& a) {
    return find_floor(a[FindArg::values], a.real(FindArg::lookup));
}

// The conversion of _find's `lookup` (a double), for a value handed over without a call.
double lookup_value(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    if (!nb || !(nb->nb_float || nb->nb_index || nb->nb_int)) raise_argument_type("lookup", "float", v);
    const double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return d;
}

// np.nextafter(1.0, 0.0) through the module's `np`
Ref next_below_one() {
    Ref np = Ref::borrow(module_global(rec.np));
    Ref nextafter = attr(np.get(), rec.nextafter);
    Ref start = check(PyFloat_FromDouble(1.0)), toward = check(PyFloat_FromDouble(0.0));
    return call(nextafter.get(), {start.get(), toward.get()});
}

// A point's coordinate as find_crop hands it to _find: the value, or, past the far border, the
// largest double below 1. While `np` is NumPy that constant needs no call; `object` is then made
// only if a replaced _find has to receive it.
struct Coordinate {
    double value;
    Ref object;  // null: np.nextafter(1.0, 0.0) not made yet

    Ref get() {
        if (!object) object = next_below_one();
        return object;
    }
};

// Whether `self.<name>` of a CropsData instance is the instance's own entry for the index
// attributes, and for `_find` that entry or else the static method defined here: true while the
// class defines none of the index attributes, holds its own `_find` and reads attributes the
// generic way. Checked again whenever the class's type version changes (an attribute of the class
// was set or deleted).
bool class_as_defined(PyTypeObject* type) {
    if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == rec.crops_version) return true;
    if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, rec.find) != rec.find_static) return false;
    for (PyObject* name : {rec.x_index, rec.y_index, rec.x_values, rec.y_values})
        if (_PyType_Lookup(type, name)) return false;
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
    rec.crops_version = type->tp_version_tag;
    return true;
}

// Attribute reads of one find_crop call: on an instance of CropsData itself while the class is
// as defined here, straight from the instance dict (what the generic lookup finds there). Python
// code may run between two reads (a replaced `_find`, a key's __eq__) and change the instance's
// class or dict: each read checks the class again and takes the dict the instance holds then.
struct Reader {
    PyObject* self;
    PyObject** dict = nullptr;  // where the instance keeps its dict, when it can be read directly

    explicit Reader(PyObject* instance) : self(instance) {
        if (direct()) dict = _PyObject_GetDictPtr(instance);
    }

    bool direct() const { return Py_TYPE(self) == rec.crops_type && class_as_defined(rec.crops_type); }

    Ref operator()(PyObject* name) const {
        if (dict && *dict && PyDict_CheckExact(*dict) && direct()) {
            PyObject* value = PyDict_GetItemWithError(*dict, name);
            if (value) return Ref::borrow(value);
            if (PyErr_Occurred()) throw_error();
            if (name == rec.find) return Ref::borrow(rec.find_function);
        }
        return attr(self, name);
    }
};

// self.<index>.get(self._find(self.<values>, coordinate), set())
Ref axis_crops(const Reader& read, PyObject* index_name, PyObject* values_name, Coordinate& coordinate) {
    Ref index = read(index_name);
    Ref find = read(rec.find);
    Ref values = read(values_name);
    Ref key;
    if (find.get() == rec.find_function) {
        if (!PyList_CheckExact(values.get())) raise_argument_type("values", "list", values.get());
        const double lookup = coordinate.object ? lookup_value(coordinate.object.get()) : coordinate.value;
        key = find_floor(values.get(), lookup);
    } else {
        key = call(find.get(), {values.get(), coordinate.get().get()});
    }
    if (PyDict_CheckExact(index.get())) {
        PyObject* members = PyDict_GetItemWithError(index.get(), key.get());
        if (members) return Ref::borrow(members);
        if (PyErr_Occurred()) throw_error();
        return check(PySet_New(nullptr));
    }
    Ref none_found = check(PySet_New(nullptr));
    return check(PyObject_CallMethodObjArgs(index.get(), rec.get, key.get(), none_found.get(), nullptr));
}

const Param find_crop_params[] = {{"self"}, {"x", "float", Conv::Double}, {"y", "float", Conv::Double}};
struct FindCropArg {
    enum : std::size_t { self, x, y, count };
};
static_assert(std::size(find_crop_params) == FindCropArg::count);

Ref find_crop(Function&, Bound& a) {
    PyObject* self = a[FindCropArg::self];
    Coordinate x{a.real(FindCropArg::x), Ref::borrow(a[FindCropArg::x])};
    Coordinate y{a.real(FindCropArg::y), Ref::borrow(a[FindCropArg::y])};
    for (Coordinate* c : {&x, &y}) {
        if (!(c->value >= 1)) continue;
        c->value = kBelowOne;
        if (module_global(rec.np) == rec.numpy)
            c->object.reset();
        else
            c->object = next_below_one();
    }
    const Reader read(self);
    Ref crops_x = axis_crops(read, rec.x_index, rec.x_values, x);
    Ref crops_y = axis_crops(read, rec.y_index, rec.y_values, y);
    Ref result = check(PyNumber_And(crops_x.get(), crops_y.get()));
    check_result(result.get(), &PySet_Type);
    return result;
}

// ---------------------------------------------------------------------------------------------
// CropsData: the sequence protocol

const Param getitem_params[] = {{"self"}, {"idx", "int", Conv::Int}};
struct GetItemArg {
    enum : std::size_t { self, idx, count };
};
static_assert(std::size(getitem_params) == GetItemArg::count);

Ref getitem(Function&, Bound& a) {
    Ref data = attr(a[GetItemArg::self], rec.data);
    return item(data.get(), a[GetItemArg::idx]);
}

Ref len(Function&, Bound& a) {
    Ref data = attr(a[0], rec.data);
    const Py_ssize_t n = PyObject_Size(data.get());
    if (n < 0) throw_error();
    return py_int(n);
}

// ---------------------------------------------------------------------------------------------
// The classes

const FunctionDef crop_init_def{.name = "__init__",
                                .qualname = "CropData.__init__",
                                .params = crop_init_params,
                                .returns = "None",
                                .doc = "Initialize the crop definition.",
                                .body = crop_init,
                                .line = 24};

const FunctionDef crops_defs[] = {
    {.name = "__init__",
     .qualname = "CropsData.__init__",
     .params = init_params,
     .returns = "None",
     .doc = "Initialize the crop collection.",
     .body = init,
     .line = 51},
    {.name = "__getitem__",
     .qualname = "CropsData.__getitem__",
     .params = getitem_params,
     .returns = "CropData",
     .doc = "Return crop at index.",
     .body = getitem,
     .line = 63},
    {.name = "__len__",
     .qualname = "CropsData.__len__",
     .params = self_params,
     .returns = "int",
     .doc = "Return number of crops.",
     .body = len,
     .line = 67},
    {.name = "__post_init__",
     .qualname = "CropsData.__post_init__",
     .params = self_params,
     .returns = "None",
     .doc = "Build two-dimensional index for crops.",
     .body = post_init,
     .line = 71},
    {.name = "normalize",
     .qualname = "CropsData.normalize",
     .params = normalize_params,
     .returns = "None",
     .doc = "Interpret coordinates > 1 as pixels and normalize them once.",
     .body = normalize,
     .line = 96},
    {.name = "find_crop",
     .qualname = "CropsData.find_crop",
     .params = find_crop_params,
     .returns = "set[CropData]",
     .doc = "Find the set of crops that contain the given point.",
     .body = find_crop,
     .line = 137},
};

const FunctionDef find_def{.name = "_find",
                           .qualname = "CropsData._find",
                           .params = find_params,
                           .returns = "float | None",
                           .doc = "Find last value that is smaller than lookup.",
                           .body = find,
                           .line = 148};

void prepare(ModuleContext& m) {
    rec.globals = m.globals();
    rec.numpy = check(PyImport_ImportModule("numpy")).release();
    rec.zero = py_int(0).release();
    rec.one = py_int(1).release();
    rec.one_float = check(PyFloat_FromDouble(1.0)).release();
    rec.index = intern("index");
    rec.max = intern("max");
    rec.x1 = intern("x1");
    rec.x2 = intern("x2");
    rec.y1 = intern("y1");
    rec.y2 = intern("y2");
    rec.number_of_crops_x = intern("number_of_crops_x");
    rec.number_of_crops_y = intern("number_of_crops_y");
    rec.data = intern("data");
    rec.og_data = intern("og_data");
    rec.needs_norm = intern("_needs_norm");
    rec.x_values = intern("x_values");
    rec.y_values = intern("y_values");
    rec.x_index = intern("x_index");
    rec.y_index = intern("y_index");
    rec.post_init = intern("__post_init__");
    rec.find = intern("_find");
    rec.get = intern("get");
    rec.add = intern("add");
    rec.copy = intern("copy");
    rec.deepcopy = intern("deepcopy");
    rec.np = intern("np");
    rec.nextafter = intern("nextafter");
}

}  // namespace

void define_records(ModuleContext& m) {
    prepare(m);
    Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    {
        ClassBuilder cls(m, "CropData", bases.get(), "Container for a single crop definition.");
        cls.method(crop_init_def);
        Ref built = cls.build();
        rec.crop_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(built.get()));
        crop_class_as_defined(rec.crop_type);
        m.set("CropData", built.get());
    }
    ClassBuilder cls(m, "CropsData", bases.get(), "Collection of crops with indices for fast lookup.");
    for (const FunctionDef& def : crops_defs) cls.method(def);
    cls.method(find_def, ClassBuilder::MethodKind::Static);
    Ref built = cls.build();
    rec.find_function = check(PyObject_GetAttr(built.get(), rec.find)).release();
    rec.crops_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(built.get()));
    rec.find_static = Py_NewRef(check_borrowed(_PyType_Lookup(rec.crops_type, rec.find)));
    rec.crops_version = 0;
    class_as_defined(rec.crops_type);
    m.set("CropsData", built.get());
}

}  // namespace vh::fracwindow
