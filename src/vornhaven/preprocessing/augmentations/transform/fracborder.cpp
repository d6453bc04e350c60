// vornhaven.preprocessing.augmentations.transform.fracborder: FracBorder, padding to a target
// aspect ratio through albumentations' PadIfNeeded.
#include "vornhaven/preprocessing/augmentations/transform/ratio_transform.hpp"

namespace {

using namespace vh;

constexpr const char* kDoc = "Pad to a target aspect ratio while keeping the original content position.";

Ref center_position(PyObject* globals) {
    PyObject* base = global(globals, check(PyUnicode_FromString("PadIfNeeded")).get());
    Ref position_type = check(PyObject_GetAttrString(base, "PositionType"));
    return check(PyObject_GetAttrString(position_type.get(), "CENTER"));
}

Ref border_constant(PyObject* globals) {
    PyObject* cv2 = global(globals, check(PyUnicode_FromString("cv2")).get());
    Ref value = check(PyObject_GetAttrString(cv2, "BORDER_CONSTANT"));
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

Ref init(Function& f, Bound& a) {
    PyObject* self = a[0];
    Ref base_init = super_attr(f, self, aspect::state.init);
    Ref p = check(PyFloat_FromDouble(a.real(7)));
    Ref kwargs = check(Py_BuildValue("{sisisOsOsOsOsOsO}", "min_height", 1, "min_width", 1, "position", a[2],
                                     "border_mode", a[3], "value", a[4], "mask_value", a[5], "always_apply",
                                     a.truth(6) ? Py_True : Py_False, "p", p.get()));
    call(base_init.get(), {}, kwargs.get());
    aspect::finish_init(self, a.real(1));
    return Ref::borrow(Py_None);
}

const aspect::Config config{
    "FracBorder",
    "PadIfNeeded",
    "min_height",
    "min_width",
    true,
    kDoc,
    "Update Albumentations params and compute padding from current image shape.",
    "Apply the padding to an image.",
    "Apply the padding to a bounding box.",
    "Apply the padding to a keypoint.",
    init_params,
    init,
    "Initialize the transform.\n\nArgs:\n    aspect_ratio: Target width / height ratio.\n    position: Padding "
    "position.\n    border_mode: OpenCV border mode.\n    value: Padding value.\n    mask_value: Padding value for "
    "masks.\n    always_apply: Whether to always apply the transform.\n    p: Probability of applying the "
    "transform.\n\nRaises:\n    ValueError: If aspect_ratio is not greater than 0.",
    {"aspect_ratio", "border_mode", "value", "mask_value"},
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

PyMODINIT_FUNC PyInit_fracborder() { return vh::module_init(fracborder_spec); }
