// The aspect-ratio transforms' methods, shared by every class made from a Config.
#include "transforms/ratio.hpp"

#include <cmath>
#include <deque>
#include <string>

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
    PyObject* rows = nullptr;
    PyObject* cols = nullptr;
    PyObject* self = nullptr;
    PyObject* aspect_ratio = nullptr;
    PyObject* height = nullptr;
    PyObject* width = nullptr;
    PyObject* last_height = nullptr;     // _<Class>__last_input_height
    PyObject* last_width = nullptr;      // _<Class>__last_input_width
    PyObject* check = nullptr;           // _<Class>__check_after_update
    PyObject* check_function = nullptr;  // the function stored under that name
    PyObject* init_arg_names = nullptr;  // the tuple returned on every call
    PyObject* zero = nullptr;
    std::deque<std::string> qualnames;  // the methods' declarations and their qualified names
    std::deque<FunctionDef> defs;
};

const State& state_of(const Function& f) {
    return *static_cast<const State*>(f.def->data);
}

namespace {

// An `int | None` argument: None, an int, or any number converted as by int().
Ref int_or_none(const char* name, PyObject* value) {
    if (value == Py_None || PyLong_CheckExact(value)) return Ref::borrow(value);
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !(nb->nb_int || nb->nb_index || nb->nb_float)) raise_argument_type(name, "int", value);
    return check(PyNumber_Long(value));
}

[[noreturn]] void raise_mismatch(PyObject* self, const char* what, PyObject* got, const char* side,
                                 PyObject* expected) {
    Ref cls_name = attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), check(PyUnicode_FromString("__name__")).get());
    raisef(PyExc_NotImplementedError,
           "%s %S does not match expected %s %S. The current version of Albumentations is incompatible with the "
           "%S augmentation.Make sure that you use the recommended version of Albumentations and report this "
           "incompatibility to a Vornhaven developer.",
           what, got, side, expected, cls_name.get());
}

// The size check on converted `rows` / `cols`.
void check_size(const State& state, PyObject* self, PyObject* rows, PyObject* cols) {
    if (rows == Py_None && cols == Py_None)
        raise(PyExc_NotImplementedError,
              "Rows and Columns have to be provided by a compatible version of Albumentations. Make sure you use "
              "the recommended version of Albumentations and report this incompatibility to a Vornhaven developer.");
    Ref height = attr(self, state.last_height);
    if (check_status(PyObject_RichCompareBool(rows, height.get(), Py_NE)))
        raise_mismatch(self, "Rows", rows, "height", height.get());
    Ref width = attr(self, state.last_width);
    if (check_status(PyObject_RichCompareBool(cols, width.get(), Py_NE)))
        raise_mismatch(self, "Cols", cols, "width", width.get());
}

// __check_after_update(self, rows=None, cols=None, **_kwargs)
const Param check_params[] = {{"self"},
                              {"rows", "int | None", Conv::Int, Kind::Positional, dflt::none(), true},
                              {"cols", "int | None", Conv::Int, Kind::Positional, dflt::none(), true},
                              {"_kwargs", "Any", Conv::Any, Kind::VarKwargs}};
struct CheckArg {
    enum : std::size_t { self, rows, cols, kwargs, count };
};
static_assert(std::size(check_params) == CheckArg::count);

Ref check_after_update(Function& f, Bound& a) {
    check_size(state_of(f), a[CheckArg::self], a[CheckArg::rows], a[CheckArg::cols]);
    return Ref::borrow(Py_None);
}

// `self.__check_after_update(**params)`, where params are the call's `**params`: when the
// method the instance resolves is this class's own, the check runs directly on the two entries
// it reads.
void run_check(const State& state, PyObject* self, Bound& a) {
    PyObject* method = _PyType_Lookup(Py_TYPE(self), state.check);
    if (method == state.check_function && !a.keyword(state.self)) {
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        PyObject* shadow = PyDict_GetItemWithError(dict.get(), state.check);
        if (!shadow && PyErr_Occurred()) throw_error();
        if (!shadow) {
            PyObject* rows = a.keyword(state.rows);
            PyObject* cols = a.keyword(state.cols);
            Ref r = int_or_none("rows", rows ? rows : Py_None);
            Ref c = int_or_none("cols", cols ? cols : Py_None);
            check_size(state, self, r.get(), c.get());
            return;
        }
    }
    Ref bound = attr(self, state.check);
    call(bound.get(), {}, a.kwargs());
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
    Ref rows = check(PyObject_GetItem(params.get(), state.rows));
    Ref height = check(PyNumber_Long(rows.get()));
    Ref cols = check(PyObject_GetItem(params.get(), state.cols));
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
    set_attr(self, state.last_height, height.get());
    set_attr(self, state.last_width, width.get());
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

template <PyObject* State::*Name, bool Tuple>
Ref delegate(Function& f, Bound& a) {
    const State& state = state_of(f);
    PyObject* self = a[TargetArg::self];
    run_check(state, self, a);
    Ref result = super_forward(f, a, state.*Name, a[TargetArg::target]);
    if constexpr (Tuple) check_result(result.get(), &PyTuple_Type);
    return result;
}

Ref init_arg_names(Function& f, Bound&) {
    return Ref::borrow(state_of(f).init_arg_names);
}

Ref class_fullname(Function&, Bound& a) {
    Ref name = check(PyObject_GetAttrString(a[0], "__name__"));
    check_result(name.get(), &PyUnicode_Type);
    return name;
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
const Param cls_params[] = {{"cls"}};

}  // namespace

Ref base_init(Function& f, PyObject* self) {
    return super_attr(f, self, state_of(f).init);
}

void finish_init(const Function& f, PyObject* self, double aspect_ratio) {
    const State& state = state_of(f);
    if (aspect_ratio <= 0) raise(PyExc_ValueError, "Aspect ratio has to be > 0");
    Ref value = check(PyFloat_FromDouble(aspect_ratio));
    set_attr(self, state.aspect_ratio, value.get());
    set_attr(self, state.last_height, state.zero);
    set_attr(self, state.last_width, state.zero);
}

void define_class(ModuleContext& m, const Config& config) {
    auto* state = new State;  // kept for the life of the process, as the class is
    state->config = &config;
    state->init = intern("__init__");
    state->update_params = intern("update_params");
    state->apply = intern("apply");
    state->apply_to_bbox = intern("apply_to_bbox");
    state->apply_to_keypoint = intern("apply_to_keypoint");
    state->rows = intern("rows");
    state->cols = intern("cols");
    state->self = intern("self");
    state->aspect_ratio = intern("aspect_ratio");
    state->height = intern(config.height_attr);
    state->width = intern(config.width_attr);
    state->last_height = intern(mangle(config.class_name, "__last_input_height").c_str());
    state->last_width = intern(mangle(config.class_name, "__last_input_width").c_str());
    state->check = intern(mangle(config.class_name, "__check_after_update").c_str());
    state->zero = check(PyLong_FromLong(0)).release();
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(config.init_arg_names.size())));
    for (std::size_t i = 0; i < config.init_arg_names.size(); ++i)
        PyTuple_SET_ITEM(names.get(), i, check(PyUnicode_InternFromString(config.init_arg_names[i])).release());
    state->init_arg_names = names.release();

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
         .params = check_params,
         .returns = "None",
         .doc = "Validate that Albumentations passed expected rows/cols after update.",
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
         .doc = "Return init argument names for Albumentations serialization.",
         .body = init_arg_names},
        {.name = "get_class_fullname",
         .params = cls_params,
         .returns = "str",
         .doc = "Return the class name as fullname.",
         .body = class_fullname},
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
    state->check_function = check(PyObject_GetAttr(klass.get(), state->check)).release();
    m.set(config.class_name, klass.get());
}

}  // namespace vh::aspect
