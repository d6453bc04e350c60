// vornhaven.preprocessing.augmentations.transform.fracmiddle: FracMiddle, a centre crop to a
// target aspect ratio through albumentations' CenterCrop.
#include "transforms/ratio.hpp"

namespace {

using namespace vh;

constexpr const char* kDoc = "Center-crop while preserving a target aspect ratio.";

const Param init_params[] = {
    {"self"},
    {"aspect_ratio", "float", Conv::Double},
    {"always_apply", "bool", Conv::Bool, Kind::Positional, dflt::boolean(false)},
    {"p", "float", Conv::Double, Kind::Positional, dflt::real(1.0)},
};

struct InitArg {
    enum : std::size_t { self, aspect_ratio, always_apply, p, count };
};
static_assert(std::size(init_params) == InitArg::count);

Ref init(Function& f, Bound& a) {
    PyObject* self = a[InitArg::self];
    Ref base_init = aspect::base_init(f, self);
    Ref p = check(PyFloat_FromDouble(a.real(InitArg::p)));
    Ref kwargs = check(Py_BuildValue("{sisisOsO}", "width", 1, "height", 1, "always_apply",
                                     a.truth(InitArg::always_apply) ? Py_True : Py_False, "p", p.get()));
    call(base_init.get(), {}, kwargs.get());
    aspect::finish_init(f, self, a.real(InitArg::aspect_ratio));
    return Ref::borrow(Py_None);
}

const aspect::Config config{
    .class_name = "FracMiddle",
    .base_name = "CenterCrop",
    .height_attr = "height",
    .width_attr = "width",
    .pads = false,
    .class_doc = kDoc,
    .update_text = "Update Albumentations params and compute crop size from current image shape.",
    .apply_text = "Apply the crop to an image.",
    .bbox_text = "Apply the crop to a bounding box.",
    .keypoint_text = "Apply the crop to a keypoint.",
    .init_params = init_params,
    .init = init,
    .init_doc =
        "Initialize the transform.\n\nArgs:\n    aspect_ratio: Target width / height ratio.\n    always_apply: Whether "
        "to always apply the transform.\n    p: Probability of applying the transform.\n\nRaises:\n    ValueError: If "
        "aspect_ratio is not greater than 0.",
    .init_arg_names = {"aspect_ratio"},
};

void exec_fracmiddle(ModuleContext& m) {
    m.import_from("typing", {"Any", "cast"});
    m.import_as("numpy", "np");
    m.import_from("albumentations", {"CenterCrop"});
    aspect::define_class(m, config);
}

const ModuleSpec fracmiddle_spec{
    "fracmiddle",
    "vornhaven.preprocessing.augmentations.transform.fracmiddle",
    kDoc,
    "<vornhaven.preprocessing.augmentations.transform.fracmiddle>",
    exec_fracmiddle,
};

}  // namespace

PyMODINIT_FUNC PyInit_fracmiddle() {
    return vh::module_init(fracmiddle_spec);
}
