// FracWindow: albumentations' Crop with its window given as fractions of the input. For every
// input `update_params` turns the fractions into a pixel window for the input's size and hands it
// to Crop, which cuts images and moves boxes and keypoints; the size check guards every target
// method.
#include "fracwindow.hpp"

#include <cmath>
#include <cstdint>
#include <iterator>

namespace vh::fracwindow {

State state;

namespace {

constexpr const char* kClassDoc = "Crop using relative coordinates.";
constexpr const char* kArray = "np.ndarray[Any, Any]";

PyObject* round_builtin = nullptr;

// Whether `self` resolves `name` to `function` (its class's attribute, not shadowed on the instance).
bool resolves_to(PyObject* self, PyObject* name, PyObject* function) {
    if (_PyType_Lookup(Py_TYPE(self), name) != function) return false;
    Ref dict = check(PyObject_GenericGetDict(self, nullptr));
    PyObject* shadow = PyDict_GetItemWithError(dict.get(), name);
    if (!shadow && PyErr_Occurred()) throw_error();
    return !shadow;
}

// The pixel window, as update_child computes it.
struct Window {
    Ref x_min, y_min, x_max, y_max;
};

// round(fraction * size) for an exact float and an exact int, when both the product and its
// rounding are exactly representable; false where Python's own arithmetic must decide.
bool rounded_fast(PyObject* fraction, PyObject* size, long long& out) {
    if (!PyFloat_CheckExact(fraction) || !PyLong_CheckExact(size)) return false;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(size, &overflow);
    if (overflow || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    constexpr long long kExact = 1LL << 53;
    if (n > kExact || n < -kExact) return false;
    // float * int converts the int first; both are exact here, so the product is Python's.
    const double product = PyFloat_AS_DOUBLE(fraction) * static_cast<double>(n);
    if (!(std::fabs(product) < 0x1p62)) return false;       // NaN, infinity and huge values: Python raises or decides
    out = static_cast<long long>(std::nearbyint(product));  // round-half-even, as round() of a float
    return true;
}

Ref rounded(PyObject* fraction, PyObject* size) {
    Ref product = multiply(fraction, size);
    return call(round_builtin, {product.get()});
}

// The steps of update_child for fractions (x_min, y_min, x_max, y_max) and the size W x H.
Window compute_window(PyObject* const (&f)[4], PyObject* width, PyObject* height) {
    long long r[4];
    PyObject* sizes[4] = {width, height, width, height};
    bool fast = true;
    for (int k = 0; k < 4 && fast; ++k) fast = rounded_fast(f[k], sizes[k], r[k]);
    if (fast) {
        long long x_min = r[0], y_min = r[1];
        long long x_max = r[2] > x_min + 1 ? r[2] : x_min + 1;
        long long y_max = r[3] > y_min + 1 ? r[3] : y_min + 1;
        const long long w = PyLong_AsLongLong(width), h = PyLong_AsLongLong(height);
        if (y_max > h) --y_max, --y_min;
        if (x_max > w) --x_max, --x_min;
        return {check(PyLong_FromLongLong(x_min)), check(PyLong_FromLongLong(y_min)), check(PyLong_FromLongLong(x_max)),
                check(PyLong_FromLongLong(y_max))};
    }
    // Python's arithmetic on whatever the fractions and sizes are.
    Ref one = py_int(1);
    auto at_least = [&](Ref value, PyObject* low) {  // max(value, low + 1)
        Ref floor = add(low, one.get());
        return check_status(PyObject_RichCompareBool(floor.get(), value.get(), Py_GT)) ? floor : value;
    };
    Window out;
    out.x_min = rounded(f[0], width);
    out.y_min = rounded(f[1], height);
    out.x_max = at_least(rounded(f[2], width), out.x_min.get());
    out.y_max = at_least(rounded(f[3], height), out.y_min.get());
    if (check_status(PyObject_RichCompareBool(out.y_max.get(), height, Py_GT))) {
        out.y_max = subtract(out.y_max.get(), one.get());
        out.y_min = subtract(out.y_min.get(), one.get());
    }
    if (check_status(PyObject_RichCompareBool(out.x_max.get(), width, Py_GT))) {
        out.x_max = subtract(out.x_max.get(), one.get());
        out.x_min = subtract(out.x_min.get(), one.get());
    }
    return out;
}

// The window of `self`'s fractions for the size W x H, written only once all four are known.
void set_window(PyObject* self, PyObject* width, PyObject* height) {
    Ref f[4] = {attr(self, state.x_min_percent), attr(self, state.y_min_percent), attr(self, state.x_max_percent),
                attr(self, state.y_max_percent)};
    PyObject* const fractions[4] = {f[0].get(), f[1].get(), f[2].get(), f[3].get()};
    Window w = compute_window(fractions, width, height);
    set_attr(self, state.x_min, w.x_min.get());
    set_attr(self, state.y_min, w.y_min.get());
    set_attr(self, state.x_max, w.x_max.get());
    set_attr(self, state.y_max, w.y_max.get());
}

// __init__(self, x_min_percent=0.0, y_min_percent=0.0, x_max_percent=1.0, y_max_percent=1.0,
//          always_apply=False, p=1.0)
const Param init_params[] = {
    {"self"},
    {"x_min_percent", "float", Conv::Double, Kind::Positional, dflt::real(0.0)},
    {"y_min_percent", "float", Conv::Double, Kind::Positional, dflt::real(0.0)},
    {"x_max_percent", "float", Conv::Double, Kind::Positional, dflt::real(1.0)},
    {"y_max_percent", "float", Conv::Double, Kind::Positional, dflt::real(1.0)},
    {"always_apply", "bool", Conv::Bool, Kind::Positional, dflt::boolean(false)},
    {"p", "float", Conv::Double, Kind::Positional, dflt::real(1.0)},
};
struct InitArg {
    enum : std::size_t { self, x_min_percent, y_min_percent, x_max_percent, y_max_percent, always_apply, p, count };
};
static_assert(std::size(init_params) == InitArg::count);

// getattr(self, name, None) is None
bool missing_or_none(PyObject* self, PyObject* name) {
    PyObject* value = PyObject_GetAttr(self, name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return true;
    }
    Ref held = Ref::steal(value);
    return value == Py_None;
}

[[noreturn]] void raise_coordinates(PyObject* self, char axis, PyObject* low, PyObject* high) {
    Ref name = attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), intern("__name__"));
    raisef(PyExc_ValueError,
           "The %c coordinates for the Transformation \"%S\" are invalid:\"0 <= %S = %c min [%%] <= %S = %c max [%%] "
           "<= 1\" does not hold",
           axis, name.get(), low, axis, high, axis);
}

Ref init(Function& f, Bound& a) {
    PyObject* self = a[InitArg::self];
    Ref base_init = super_attr(f, self, state.init);
    Ref p = check(PyFloat_FromDouble(a.real(InitArg::p)));
    Ref kwargs = check(Py_BuildValue("{sisisisisOsO}", "x_min", 0, "y_min", 0, "x_max", 1, "y_max", 1, "always_apply",
                                     a.truth(InitArg::always_apply) ? Py_True : Py_False, "p", p.get()));
    call(base_init.get(), {}, kwargs.get());
    for (PyObject* name : {state.x_min, state.x_max, state.y_min, state.y_max})
        if (missing_or_none(self, name))
            raise(PyExc_NotImplementedError,
                  "This version of Albumentations is incompatible with the FracWindow augmentation.Make sure that you "
                  "use the recommended version of Albumentations and reportthis incompatibility to a Vornhaven "
                  "developer.");
    const double x_min = a.real(InitArg::x_min_percent), y_min = a.real(InitArg::y_min_percent);
    const double x_max = a.real(InitArg::x_max_percent), y_max = a.real(InitArg::y_max_percent);
    Ref fx_min = check(PyFloat_FromDouble(x_min)), fy_min = check(PyFloat_FromDouble(y_min));
    Ref fx_max = check(PyFloat_FromDouble(x_max)), fy_max = check(PyFloat_FromDouble(y_max));
    set_attr(self, state.x_min_percent, fx_min.get());
    set_attr(self, state.y_min_percent, fy_min.get());
    set_attr(self, state.x_max_percent, fx_max.get());
    set_attr(self, state.y_max_percent, fy_max.get());
    // 0 <= min <= max <= 1, false for NaN
    if (!(0 <= x_min && x_min <= x_max && x_max <= 1)) raise_coordinates(self, 'x', fx_min.get(), fx_max.get());
    if (!(0 <= y_min && y_min <= y_max && y_max <= 1)) raise_coordinates(self, 'y', fy_min.get(), fy_max.get());
    set_attr(self, state.size.last_width, state.zero);
    set_attr(self, state.size.last_height, state.zero);
    set_attr(self, state.applied_in_replay, Py_True);
    return Ref::borrow(Py_None);
}

// update_params(self, params, **kwargs)
const Param update_params_params[] = {
    {"self"}, {"params", "dict[str, Any]", Conv::Dict}, {"kwargs", "Any", Conv::Any, Kind::VarKwargs}};
struct UpdateArg {
    enum : std::size_t { self, params, kwargs, count };
};
static_assert(std::size(update_params_params) == UpdateArg::count);

Ref update_params(Function& f, Bound& a) {
    return update_params_steps(f, a, nullptr);
}

// update_child(self)
const Param self_params[] = {{"self"}};

Ref update_child(Function&, Bound& a) {
    PyObject* self = a[0];
    Ref width = attr(self, state.size.last_width);
    Ref height = attr(self, state.size.last_height);
    set_window(self, width.get(), height.get());
    return Ref::borrow(Py_None);
}

Ref check_after_update(Function&, Bound& a) {
    return sizecheck::check_after_update(state.size, a);
}

// apply(self, img, **params), apply_to_bbox(self, bbox, **kwargs), apply_to_keypoints(self,
// keypoints, **params): the size check, then the base's method.
struct TargetArg {
    enum : std::size_t { self, target, params, count };
};
const Param apply_params[] = {{"self"}, {"img", kArray}, {"params", "Any", Conv::Any, Kind::VarKwargs}};
const Param bbox_params[] = {
    {"self"}, {"bbox", "tuple[float, ...]", Conv::Tuple}, {"kwargs", "Any", Conv::Any, Kind::VarKwargs}};
const Param keypoints_params[] = {{"self"}, {"keypoints", "Any"}, {"params", "Any", Conv::Any, Kind::VarKwargs}};
static_assert(std::size(apply_params) == TargetArg::count && std::size(bbox_params) == TargetArg::count &&
              std::size(keypoints_params) == TargetArg::count);

template <PyObject* State::*Name, bool Tuple>
Ref delegate(Function& f, Bound& a) {
    sizecheck::run_check(state.size, a[TargetArg::self], a);
    Ref result = super_forward(f, a, state.*Name, a[TargetArg::target]);
    if constexpr (Tuple) check_result(result.get(), &PyTuple_Type);
    return result;
}

PyObject* init_arg_names = nullptr;

Ref get_init_arg_names(Function&, Bound&) {
    return Ref::borrow(init_arg_names);
}

const char* const kInitArgNames[] = {"x_min_percent", "y_min_percent", "x_max_percent", "y_max_percent"};

const FunctionDef methods[] = {
    {.name = "__init__",
     .qualname = "FracWindow.__init__",
     .params = init_params,
     .returns = "None",
     .doc = "Initialize the transform.",
     .body = init,
     .line = 30},
    {.name = "update_params",
     .qualname = "FracWindow.update_params",
     .params = update_params_params,
     .returns = "dict[str, Any]",
     .doc = "Update Albumentations params and compute crop coordinates.",
     .body = update_params,
     .line = 60},
    {.name = "update_child",
     .qualname = "FracWindow.update_child",
     .params = self_params,
     .returns = "None",
     .doc = "Update absolute crop coordinates from percent coordinates.",
     .body = update_child,
     .line = 70},
    {.name = "__check_after_update",
     .qualname = "FracWindow.__check_after_update",
     .params = sizecheck::check_params,
     .returns = "None",
     .doc = sizecheck::kCheckText,
     .body = check_after_update,
     .line = 80},
    {.name = "apply",
     .qualname = "FracWindow.apply",
     .params = apply_params,
     .returns = kArray,
     .doc = "Apply the crop to an image.",
     .body = delegate<&State::apply, false>,
     .line = 100},
    {.name = "apply_to_bbox",
     .qualname = "FracWindow.apply_to_bbox",
     .params = bbox_params,
     .returns = "tuple[float, ...]",
     .doc = "Apply the crop to a bounding box.",
     .body = delegate<&State::apply_to_bbox, true>,
     .line = 105},
    {.name = "apply_to_keypoints",
     .qualname = "FracWindow.apply_to_keypoints",
     .params = keypoints_params,
     .returns = "Any",
     .doc = "Apply the crop to keypoints.",
     .body = delegate<&State::apply_to_keypoints, false>,
     .line = 110},
    {.name = "get_transform_init_args_names",
     .qualname = "FracWindow.get_transform_init_args_names",
     .params = self_params,
     .returns = "tuple[str, ...]",
     .doc = sizecheck::kInitArgsText,
     .body = get_init_arg_names,
     .line = 115},
};
const FunctionDef class_fullname_def{.name = "get_class_fullname",
                                     .qualname = "FracWindow.get_class_fullname",
                                     .params = sizecheck::cls_params,
                                     .returns = "str",
                                     .doc = sizecheck::kFullnameText,
                                     .body = sizecheck::class_fullname,
                                     .line = 120};

}  // namespace

Ref update_params_steps(Function& owner, Bound& a, Choose choose) {
    PyObject* self = a[UpdateArg::self];
    Ref params = super_forward(owner, a, state.update_params, a[UpdateArg::params]);
    check_result(params.get(), &PyDict_Type);
    Ref rows = check(PyObject_GetItem(params.get(), state.size.rows));
    Ref height = check(PyNumber_Long(rows.get()));
    Ref cols = check(PyObject_GetItem(params.get(), state.size.cols));
    Ref width = check(PyNumber_Long(cols.get()));
    if (choose) choose(self, height.get(), width.get(), a);
    if (resolves_to(self, state.update_child, state.update_child_function)) {
        // FracWindow's own update_child: the window for the new size is computed before anything is
        // written, so a failure leaves size and window as they were.
        Ref f[4] = {attr(self, state.x_min_percent), attr(self, state.y_min_percent), attr(self, state.x_max_percent),
                    attr(self, state.y_max_percent)};
        PyObject* const fractions[4] = {f[0].get(), f[1].get(), f[2].get(), f[3].get()};
        Window w = compute_window(fractions, width.get(), height.get());
        set_attr(self, state.size.last_height, height.get());
        set_attr(self, state.size.last_width, width.get());
        set_attr(self, state.x_min, w.x_min.get());
        set_attr(self, state.y_min, w.y_min.get());
        set_attr(self, state.x_max, w.x_max.get());
        set_attr(self, state.y_max, w.y_max.get());
    } else {
        set_attr(self, state.size.last_height, height.get());
        set_attr(self, state.size.last_width, width.get());
        Ref method = attr(self, state.update_child);
        call(method.get(), {});
    }
    Ref result = super_forward(owner, a, state.update_params, params.get());
    check_result(result.get(), &PyDict_Type);
    return result;
}

void update_child_of(PyObject* self) {
    if (resolves_to(self, state.update_child, state.update_child_function)) {
        Ref width = attr(self, state.size.last_width);
        Ref height = attr(self, state.size.last_height);
        set_window(self, width.get(), height.get());
        return;
    }
    Ref method = attr(self, state.update_child);
    call(method.get(), {});
}

void define_fracwindow(ModuleContext& m) {
    state.globals = m.globals();
    state.size.init("FracWindow");
    state.zero = check(PyLong_FromLong(0)).release();
    state.init = intern("__init__");
    state.update_params = intern("update_params");
    state.update_child = intern("update_child");
    state.apply = intern("apply");
    state.apply_to_bbox = intern("apply_to_bbox");
    state.apply_to_keypoints = intern("apply_to_keypoints");
    state.x_min = intern("x_min");
    state.y_min = intern("y_min");
    state.x_max = intern("x_max");
    state.y_max = intern("y_max");
    state.x_min_percent = intern("x_min_percent");
    state.y_min_percent = intern("y_min_percent");
    state.x_max_percent = intern("x_max_percent");
    state.y_max_percent = intern("y_max_percent");
    state.applied_in_replay = intern("applied_in_replay");
    state.always_apply = intern("always_apply");
    state.p = intern("p");
    state.keypoints = intern("keypoints");
    round_builtin = Ref::borrow(global(m.globals(), intern("round"))).release();
    init_arg_names = sizecheck::name_tuple(kInitArgNames);

    Ref bases = tuple_of({global(m.globals(), intern("Crop"))});
    ClassBuilder builder(m, "FracWindow", bases.get(), kClassDoc);
    for (const FunctionDef& def : methods) builder.method(def);
    builder.method(class_fullname_def, ClassBuilder::MethodKind::Class);
    Ref klass = builder.build();
    state.size.bind(klass.get());
    state.update_child_function = check(PyObject_GetAttr(klass.get(), state.update_child)).release();
    Ref update = check(PyObject_GetAttr(klass.get(), state.update_params));
    state.fracwindow_update_params = reinterpret_cast<Function*>(update.release());
    m.set("FracWindow", klass.get());
}

}  // namespace vh::fracwindow
