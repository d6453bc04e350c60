// Shared by the aspect-ratio transforms (FracBorder on PadIfNeeded, FracMiddle on CenterCrop):
// both derive a pixel size from the input size and a target aspect ratio inside
// `update_params`, remember the input size they saw, and check before every target method that
// the parameters still describe that size. Each extension module compiles its own copy.
#pragma once
#include <cmath>
#include <string>
#include <vector>

#include "runtime/klass.hpp"
#include "runtime/module.hpp"

namespace vh::aspect {

struct Config {
    const char* class_name;   // "FracBorder"
    const char* base_name;    // the albumentations base class, a module global
    const char* height_attr;  // the base's size attributes this transform sets
    const char* width_attr;
    bool pads;                // padding keeps the longer side, cropping the shorter one
    const char* class_doc;
    const char* update_text;  // docstring texts that differ between the two transforms
    const char* apply_text;
    const char* bbox_text;
    const char* keypoint_text;
    std::span<const Param> init_params;
    Body init;
    const char* init_doc;
    std::vector<const char*> init_arg_names;
};

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
    PyObject* last_height = nullptr;  // _<Class>__last_input_height
    PyObject* last_width = nullptr;
    PyObject* check = nullptr;       // _<Class>__check_after_update
    PyObject* check_function = nullptr;  // the function stored under that name
    PyObject* init_arg_names = nullptr;  // the tuple returned on every call
    PyObject* zero = nullptr;
};

inline State state;

inline PyObject* intern(const std::string& text) {
    return check(PyUnicode_InternFromString(text.c_str())).release();
}

inline Ref get_attr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline void set_attr(PyObject* o, PyObject* name, PyObject* value) {
    check_status(PyObject_SetAttr(o, name, value));
}

// An `int | None` argument: None, an int, or any number converted as by int().
inline Ref int_or_none(const char* name, PyObject* value) {
    if (value == Py_None || PyLong_CheckExact(value)) return Ref::borrow(value);
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !(nb->nb_int || nb->nb_index || nb->nb_float)) raise_argument_type(name, "int", value);
    return check(PyNumber_Long(value));
}

[[noreturn]] inline void raise_mismatch(PyObject* self, const char* what, PyObject* got, const char* side,
                                        PyObject* expected) {
    Ref cls_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), check(PyUnicode_FromString("__name__")).get());
    raisef(PyExc_NotImplementedError,
           "%s %S does not match expected %s %S. The current version of Albumentations is incompatible with the "
           "%S augmentation.Make sure that you use the recommended version of Albumentations and report this "
           "incompatibility to a Vornhaven developer.",
           what, got, side, expected, cls_name.get());
}

// The size check on converted `rows` / `cols`.
inline void check_size(PyObject* self, PyObject* rows, PyObject* cols) {
    if (rows == Py_None && cols == Py_None)
        raise(PyExc_NotImplementedError,
              "Rows and Columns have to be provided by a compatible version of Albumentations. Make sure you use "
              "the recommended version of Albumentations and report this incompatibility to a Vornhaven developer.");
    Ref height = get_attr(self, state.last_height);
    if (check_status(PyObject_RichCompareBool(rows, height.get(), Py_NE)))
        raise_mismatch(self, "Rows", rows, "height", height.get());
    Ref width = get_attr(self, state.last_width);
    if (check_status(PyObject_RichCompareBool(cols, width.get(), Py_NE)))
        raise_mismatch(self, "Cols", cols, "width", width.get());
}

// __check_after_update(self, rows=None, cols=None, **_kwargs)
inline Ref check_after_update(Function&, Bound& a) {
    check_size(a[0], a[1], a[2]);
    return Ref::borrow(Py_None);
}

// `self.__check_after_update(**params)`, where params are the call's `**params`: when the
// method the instance resolves is this module's own, the check runs directly on the two
// entries it reads.
inline void run_check(PyObject* self, Bound& a) {
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
            check_size(self, r.get(), c.get());
            return;
        }
    }
    Ref bound = get_attr(self, state.check);
    call(bound.get(), {}, a.kwargs());
}

// int(round(x)) at least 1, as Python computes it (NaN and infinity raise as int() does).
inline Ref rounded_at_least_one(double x) {
    const double r = std::nearbyint(x);
    if (r < 1) return check(PyLong_FromLong(1));
    return check(PyLong_FromDouble(r));
}

inline double as_double(PyObject* integer) {
    const double d = PyLong_AsDouble(integer);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return d;
}

// update_params(self, params, **kwargs). Everything is computed before the first attribute is
// written, so a failure (a missing key, a NaN ratio) leaves the transform as it was.
inline Ref update_params(Function& f, Bound& a) {
    PyObject* self = a[0];
    Ref params = super_forward(f, a, state.update_params, a[1]);
    check_result(params.get(), &PyDict_Type);
    Ref rows = check(PyObject_GetItem(params.get(), state.rows));
    Ref height = check(PyNumber_Long(rows.get()));
    Ref cols = check(PyObject_GetItem(params.get(), state.cols));
    Ref width = check(PyNumber_Long(cols.get()));

    const bool portrait = check_status(PyObject_RichCompareBool(height.get(), width.get(), Py_GE));
    const double aspect_ratio = PyFloat_AsDouble(get_attr(self, state.aspect_ratio).get());
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
template <PyObject* State::*Name, bool Tuple>
Ref delegate(Function& f, Bound& a) {
    PyObject* self = a[0];
    run_check(self, a);
    Ref result = super_forward(f, a, state.*Name, a[1]);
    if constexpr (Tuple) check_result(result.get(), &PyTuple_Type);
    return result;
}

inline Ref init_arg_names(Function&, Bound&) { return Ref::borrow(state.init_arg_names); }

inline Ref class_fullname(Function&, Bound& a) {
    Ref name = check(PyObject_GetAttrString(a[0], "__name__"));
    check_result(name.get(), &PyUnicode_Type);
    return name;
}

// Stores `aspect_ratio` after the base initialiser ran and resets the remembered size.
inline void finish_init(PyObject* self, double aspect_ratio) {
    if (aspect_ratio <= 0) raise(PyExc_ValueError, "Aspect ratio has to be > 0");
    Ref value = check(PyFloat_FromDouble(aspect_ratio));
    set_attr(self, state.aspect_ratio, value.get());
    set_attr(self, state.last_height, state.zero);
    set_attr(self, state.last_width, state.zero);
}

inline constexpr const char* kArray = "np.ndarray[Any, Any]";

inline const Param update_params_params[] = {
    {"self"}, {"params", "dict[str, Any]", Conv::Dict}, {"kwargs", "Any", Conv::Any, Kind::VarKwargs}};
inline const Param check_params[] = {
    {"self"},
    {"rows", "int | None", Conv::Int, Kind::Positional, dflt::none(), true},
    {"cols", "int | None", Conv::Int, Kind::Positional, dflt::none(), true},
    {"_kwargs", "Any", Conv::Any, Kind::VarKwargs}};
inline const Param apply_params[] = {{"self"}, {"img", kArray}, {"params", "Any", Conv::Any, Kind::VarKwargs}};
inline const Param bbox_params[] = {
    {"self"}, {"bbox", "tuple[float, ...]", Conv::Tuple}, {"params", "Any", Conv::Any, Kind::VarKwargs}};
inline const Param keypoint_params[] = {
    {"self"}, {"keypoint", "tuple[float, ...]", Conv::Tuple}, {"params", "Any", Conv::Any, Kind::VarKwargs}};
inline const Param self_params[] = {{"self"}};
inline const Param cls_params[] = {{"cls"}};

// Declarations with the class's qualified names; they live as long as the process.
struct Definitions {
    std::vector<std::string> texts;
    std::vector<FunctionDef> defs;
};
inline Definitions definitions;

// Defines the module namespace's class from `config` (the imports are bound by the caller).
inline void define_class(ModuleContext& m, const Config& config) {
    state.config = &config;
    const std::string cls = config.class_name;
    state.init = intern("__init__");
    state.update_params = intern("update_params");
    state.apply = intern("apply");
    state.apply_to_bbox = intern("apply_to_bbox");
    state.apply_to_keypoint = intern("apply_to_keypoint");
    state.rows = intern("rows");
    state.cols = intern("cols");
    state.self = intern("self");
    state.aspect_ratio = intern("aspect_ratio");
    state.height = intern(config.height_attr);
    state.width = intern(config.width_attr);
    state.last_height = intern(mangle(config.class_name, "__last_input_height"));
    state.last_width = intern(mangle(config.class_name, "__last_input_width"));
    state.check = intern(mangle(config.class_name, "__check_after_update"));
    state.zero = check(PyLong_FromLong(0)).release();
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(config.init_arg_names.size())));
    for (std::size_t i = 0; i < config.init_arg_names.size(); ++i)
        PyTuple_SET_ITEM(names.get(), i, check(PyUnicode_InternFromString(config.init_arg_names[i])).release());
    state.init_arg_names = names.release();

    struct Method {
        const char* name;
        std::span<const Param> params;
        const char* returns;
        const char* doc;
        Body body;
    };
    const Method methods[] = {
        {"__init__", config.init_params, "None", config.init_doc, config.init},
        {"update_params", update_params_params, "dict[str, Any]", config.update_text, update_params},
        {"__check_after_update", check_params, "None",
         "Validate that Albumentations passed expected rows/cols after update.", check_after_update},
        {"apply", apply_params, kArray, config.apply_text, delegate<&State::apply, false>},
        {"apply_to_bbox", bbox_params, "tuple[float, ...]", config.bbox_text, delegate<&State::apply_to_bbox, true>},
        {"apply_to_keypoint", keypoint_params, "tuple[float, ...]", config.keypoint_text,
         delegate<&State::apply_to_keypoint, true>},
        {"get_transform_init_args_names", self_params, "tuple[str, ...]",
         "Return init argument names for Albumentations serialization.", init_arg_names},
        {"get_class_fullname", cls_params, "str", "Return the class name as fullname.", class_fullname},
    };
    definitions.texts.reserve(std::size(methods));
    definitions.defs.reserve(std::size(methods));
    int line = 20;
    for (const Method& method : methods) {
        definitions.texts.push_back(cls + "." + method.name);
        definitions.defs.push_back(FunctionDef{method.name, definitions.texts.back().c_str(), method.params,
                                               method.returns, method.doc, method.body, line});
        line += 20;
    }

    Ref bases = check(PyTuple_Pack(1, global(m.globals(), check(PyUnicode_FromString(config.base_name)).get())));
    ClassBuilder builder(m, config.class_name, bases.get(), config.class_doc);
    const auto& defs = definitions.defs;
    for (std::size_t i = 0; i + 1 < defs.size(); ++i) builder.method(defs[i]);
    builder.method(defs.back(), ClassBuilder::MethodKind::Class);
    Ref klass = builder.build();
    state.check_function = check(PyObject_GetAttr(klass.get(), state.check)).release();
    m.set(config.class_name, klass.get());
}

}  // namespace vh::aspect
