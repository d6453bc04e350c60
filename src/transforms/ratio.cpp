// The aspect-ratio transforms' methods, shared by every class made from a Config.
#include "transforms/ratio.hpp"

#include <cmath>
#include <deque>
#include <string>

#include "runtime/numpy.hpp"

namespace vh::aspect {

// One class's interned names and objects, made when the class is defined; they live as long as
// the process (a module is initialised once).
struct State {
    const Config* config = nullptr;
    PyObject* init = nullptr;  // interned attribute names
    PyObject* update_params = nullptr;
    PyObject* apply = nullptr;
    PyObject* apply_to_bbox = nullptr;
    PyObject* apply_to_keypoint = nullptr;
    PyObject* aspect_ratio = nullptr;
    PyObject* height = nullptr;
    PyObject* width = nullptr;
    PyObject* border_mode = nullptr;
    sizecheck::Names size;               // the size check's names
    PyObject* init_arg_names = nullptr;  // the tuple returned on every call
    PyObject* zero = nullptr;
    std::deque<std::string> qualnames;  // the methods' declarations and their qualified names
    std::deque<FunctionDef> defs;
};

const State& state_of(const Function& f) {
    return *static_cast<const State*>(f.def->data);
}

namespace {

Ref check_after_update(Function& f, Bound& a) {
    return sizecheck::check_after_update(state_of(f).size, a);
}

// int(round(x)) at least 1, as Python computes it (NaN and infinity raise as int() does).
Ref rounded_at_least_one(double x) {
    const double r = std::nearbyint(x);
    if (r < 1) return check(PyLong_FromLong(1));
    return check(PyLong_FromDouble(r));
}

double as_double(PyObject* integer) {
    const double d = PyLong_AsDouble(integer);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return d;
}

// update_params(self, params, **kwargs). Everything is computed before the first attribute is
// written, so a failure (a missing key, a NaN ratio) leaves the transform as it was.
const Param update_params_params[] = {
    {"self"}, {"params", "dict[str, Any]", Conv::Dict}, {"kwargs", "Any", Conv::Any, Kind::VarKwargs}};
struct UpdateArg {
    enum : std::size_t { self, params, kwargs, count };
};
static_assert(std::size(update_params_params) == UpdateArg::count);

Ref update_params(Function& f, Bound& a) {
    const State& state = state_of(f);
    PyObject* self = a[UpdateArg::self];
    Ref params = super_forward(f, a, state.update_params, a[UpdateArg::params]);
    check_result(params.get(), &PyDict_Type);
    Ref rows = check(PyObject_GetItem(params.get(), state.size.rows));
    Ref height = check(PyNumber_Long(rows.get()));
    Ref cols = check(PyObject_GetItem(params.get(), state.size.cols));
    Ref width = check(PyNumber_Long(cols.get()));

    const bool portrait = check_status(PyObject_RichCompareBool(height.get(), width.get(), Py_GE));
    const double aspect_ratio = PyFloat_AsDouble(attr(self, state.aspect_ratio).get());
    if (aspect_ratio == -1.0 && PyErr_Occurred()) throw_error();
    Ref new_height, new_width;
    if (portrait == state.config->pads) {
        new_height = height;
        new_width = rounded_at_least_one(as_double(height.get()) * aspect_ratio);
    } else {
        new_width = width;
        new_height = rounded_at_least_one(as_double(width.get()) / aspect_ratio);
    }
    set_attr(self, state.size.last_height, height.get());
    set_attr(self, state.size.last_width, width.get());
    set_attr(self, state.height, new_height.get());
    set_attr(self, state.width, new_width.get());

    Ref result = super_forward(f, a, state.update_params, params.get());
    check_result(result.get(), &PyDict_Type);
    return result;
}

// apply(self, img, **params) and the box / keypoint methods: the check, then the base's method.
struct TargetArg {
    enum : std::size_t { self, target, params, count };
};

// OpenCV's copyMakeBorder, which the padding base calls, reads past the image for an image without
// channels and never returns for an empty image in any border mode but BORDER_CONSTANT (0): such
// images are refused before the base is called. An empty image of two or three dimensions (with
// channels) pads with a constant as usual. The border mode is read first, so the shape checked is
// the one the base receives.
void refuse_unpaddable(const State& state, PyObject* self, PyObject* img) {
    Ref mode = attr(self, state.border_mode);
    if (!PyArray_Check(img)) return;
    auto* array = reinterpret_cast<PyArrayObject*>(img);
    const int ndim = PyArray_NDIM(array);
    if (ndim == 3 && PyArray_DIM(array, 2) == 0) raise(PyExc_ValueError, "cannot pad an image without channels");
    if (PyArray_SIZE(array) != 0) return;
    const bool constant = PyLong_Check(mode.get()) && PyLong_AsLong(mode.get()) == 0 && !PyErr_Occurred();
    PyErr_Clear();
    if (!constant || (ndim != 2 && ndim != 3)) {
        Ref shape = np::shape_of(img);
        raisef(PyExc_ValueError, "cannot pad an empty image of shape %R with border mode %R", shape.get(), mode.get());
    }
}

template <PyObject* State::*Name, bool Tuple>
Ref delegate(Function& f, Bound& a) {
    const State& state = state_of(f);
    PyObject* self = a[TargetArg::self];
    sizecheck::run_check(state.size, self, a);
    if constexpr (Name == &State::apply)
        if (state.config->pads) refuse_unpaddable(state, self, a[TargetArg::target]);
    Ref result = super_forward(f, a, state.*Name, a[TargetArg::target]);
    if constexpr (Tuple) check_result(result.get(), &PyTuple_Type);
    return result;
}

Ref init_arg_names(Function& f, Bound&) {
    return Ref::borrow(state_of(f).init_arg_names);
}

constexpr const char* kArray = "np.ndarray[Any, Any]";

const Param apply_params[] = {{"self"}, {"img", kArray}, {"params", "Any", Conv::Any, Kind::VarKwargs}};
const Param bbox_params[] = {
    {"self"}, {"bbox", "tuple[float, ...]", Conv::Tuple}, {"params", "Any", Conv::Any, Kind::VarKwargs}};
const Param keypoint_params[] = {
    {"self"}, {"keypoint", "tuple[float, ...]", Conv::Tuple}, {"params", "Any", Conv::Any, Kind::VarKwargs}};
static_assert(std::size(apply_params) == TargetArg::count && std::size(bbox_params) == TargetArg::count &&
              std::size(keypoint_params) == TargetArg::count);
const Param self_params[] = {{"self"}};

}  // namespace

Ref base_init(Function& f, PyObject* self) {
    return super_attr(f, self, state_of(f).init);
}

void finish_init(const Function& f, PyObject* self, double aspect_ratio) {
    const State& state = state_of(f);
    if (aspect_ratio <= 0) raise(PyExc_ValueError, "Aspect ratio has to be > 0");
    Ref value = check(PyFloat_FromDouble(aspect_ratio));
    set_attr(self, state.aspect_ratio, value.get());
    set_attr(self, state.size.last_height, state.zero);
    set_attr(self, state.size.last_width, state.zero);
}

void define_class(ModuleContext& m, const Config& config) {
    auto* state = new State;  // kept for the life of the process, as the class is
    state->config = &config;
    state->init = intern("__init__");
    state->update_params = intern("update_params");
    state->apply = intern("apply");
    state->apply_to_bbox = intern("apply_to_bbox");
    state->apply_to_keypoint = intern("apply_to_keypoint");
    state->aspect_ratio = intern("aspect_ratio");
    state->height = intern(config.height_attr);
    state->width = intern(config.width_attr);
    state->border_mode = intern("border_mode");
    state->size.init(config.class_name);
    state->zero = check(PyLong_FromLong(0)).release();
    state->init_arg_names = sizecheck::name_tuple(config.init_arg_names);

    const FunctionDef methods[] = {
        {.name = "__init__",
         .params = config.init_params,
         .returns = "None",
         .doc = config.init_doc,
         .body = config.init},
        {.name = "update_params",
         .params = update_params_params,
         .returns = "dict[str, Any]",
         .doc = config.update_text,
         .body = update_params},
        {.name = "__check_after_update",
         .params = sizecheck::check_params,
         .returns = "None",
         .doc = sizecheck::kCheckText,
         .body = check_after_update},
        {.name = "apply",
         .params = apply_params,
         .returns = kArray,
         .doc = config.apply_text,
         .body = delegate<&State::apply, false>},
        {.name = "apply_to_bbox",
         .params = bbox_params,
         .returns = "tuple[float, ...]",
         .doc = config.bbox_text,
         .body = delegate<&State::apply_to_bbox, true>},
        {.name = "apply_to_keypoint",
         .params = keypoint_params,
         .returns = "tuple[float, ...]",
         .doc = config.keypoint_text,
         .body = delegate<&State::apply_to_keypoint, true>},
        {.name = "get_transform_init_args_names",
         .params = self_params,
         .returns = "tuple[str, ...]",
         .doc = sizecheck::kInitArgsText,
         .body = init_arg_names},
        {.name = "get_class_fullname",
         .params = sizecheck::cls_params,
         .returns = "str",
         .doc = sizecheck::kFullnameText,
         .body = sizecheck::class_fullname},
    };
    int line = 20;
    for (const FunctionDef& method : methods) {
        state->qualnames.push_back(std::string(config.class_name) + "." + method.name);
        FunctionDef def = method;
        def.qualname = state->qualnames.back().c_str();
        def.line = line;
        def.data = state;
        state->defs.push_back(def);
        line += 20;
    }

    Ref bases = check(PyTuple_Pack(1, global(m.globals(), check(PyUnicode_FromString(config.base_name)).get())));
    ClassBuilder builder(m, config.class_name, bases.get(), config.class_doc);
    const auto& defs = state->defs;
    for (std::size_t i = 0; i + 1 < defs.size(); ++i) builder.method(defs[i]);
    builder.method(defs.back(), ClassBuilder::MethodKind::Class);
    Ref klass = builder.build();
    state->size.bind(klass.get());
    m.set(config.class_name, klass.get());
}

}  // namespace vh::aspect
