// vornhaven.preprocessing.augmentations.transform.fracborder: FracBorder, padding to a target
// aspect ratio through albumentations' PadIfNeeded.
#include "transforms/ratio.hpp"

namespace {

using namespace vh;

constexpr const char* kDoc = "Pad to a target aspect ratio while keeping the original content position.";

Ref center_position(PyObject* globals) {
    PyObject* base = global(globals, interned("PadIfNeeded").get());
    Ref position_type = attr(base, "PositionType");
    return attr(position_type.get(), "CENTER");
}

Ref border_constant(PyObject* globals) {
    PyObject* cv2 = global(globals, interned("cv2").get());
    Ref value = attr(cv2, "BORDER_CONSTANT");
    return check(PyNumber_Long(value.get()));
}

const Param init_params[] = {
    {"self"},
    {"aspect_ratio", "float", Conv::Double},
    {"position", "PadIfNeeded.PositionType | str", Conv::Any, Kind::Positional,
     dflt::computed(center_position, "PadIfNeeded.PositionType.CENTER")},
    {"border_mode", "int", Conv::Int, Kind::Positional, dflt::computed(border_constant, "cv2.BORDER_CONSTANT")},
    {"value", "int | float | tuple[int, int, int]", Conv::Any, Kind::Positional, dflt::integer(0)},
    {"mask_value", "int | float | tuple[int, int, int] | None", Conv::Any, Kind::Positional, dflt::none()},
    {"always_apply", "bool", Conv::Bool, Kind::Positional, dflt::boolean(false)},
    {"p", "float", Conv::Double, Kind::Positional, dflt::real(1.0)},
};

struct InitArg {
    enum : std::size_t { self, aspect_ratio, position, border_mode, value, mask_value, always_apply, p, count };
};
static_assert(std::size(init_params) == InitArg::count);

Ref init(Function& f, Bound& a) {
    PyObject* self = a[InitArg::self];
    Ref base_init = aspect::base_init(f, self);
    Ref p = check(PyFloat_FromDouble(a.real(InitArg::p)));
    Ref kwargs = check(Py_BuildValue("{sisisOsOsOsOsOsO}", "min_height", 1, "min_width", 1, "position",
                                     a[InitArg::position], "border_mode", a[InitArg::border_mode], "value",
                                     a[InitArg::value], "mask_value", a[InitArg::mask_value], "always_apply",
                                     a.truth(InitArg::always_apply) ? Py_True : Py_False, "p", p.get()));
    call(base_init.get(), {}, kwargs.get());
    aspect::finish_init(f, self, a.real(InitArg::aspect_ratio));
    return Ref::borrow(Py_None);
}

const aspect::Config config{
    .class_name = "FracBorder",
    .base_name = "PadIfNeeded",
    .height_attr = "min_height",
    .width_attr = "min_width",
    .pads = true,
    .class_doc = kDoc,
    .update_text = "Update Albumentations params and compute padding from current image shape.",
    .apply_text = "Apply the padding to an image.",
    .bbox_text = "Apply the padding to a bounding box.",
    .keypoint_text = "Apply the padding to a keypoint.",
    .init_params = init_params,
    .init = init,
    .init_doc =
        "Initialize the transform.\n\nArgs:\n    aspect_ratio: Target width / height ratio.\n    position: Padding "
        "position.\n    border_mode: OpenCV border mode.\n    value: Padding value.\n    mask_value: Padding value for "
        "masks.\n    always_apply: Whether to always apply the transform.\n    p: Probability of applying the "
        "transform.\n\nRaises:\n    ValueError: If aspect_ratio is not greater than 0.",
    .init_arg_names = {"aspect_ratio", "border_mode", "value", "mask_value"},
};

void exec_fracborder(ModuleContext& m) {
    m.import_from("typing", {"Any", "cast"});
    m.import_as("cv2", "cv2");
    m.import_as("numpy", "np");
    m.import_from("albumentations", {"PadIfNeeded"});
    aspect::define_class(m, config);
}

const ModuleSpec fracborder_spec{
    "fracborder",
    "vornhaven.preprocessing.augmentations.transform.fracborder",
    kDoc,
    "<vornhaven.preprocessing.augmentations.transform.fracborder>",
    exec_fracborder,
};

}  // namespace

PyMODINIT_FUNC PyInit_fracborder() {
    return vh::module_init(fracborder_spec);
}
