// vornhaven.preprocessing.augmentations.transform.fracmiddle: FracMiddle, a centre crop to a
// target aspect ratio through albumentations' CenterCrop.
#include "vornhaven/preprocessing/augmentations/transform/ratio_transform.hpp"

namespace {

using namespace vh;

constexpr const char* kDoc = "Center-crop while preserving a target aspect ratio.";

const Param init_params[] = {
    {"self"},
    {"aspect_ratio", "float", Conv::Double},
    {"always_apply", "bool", Conv::Bool, Kind::Positional, dflt::boolean(false)},
    {"p", "float", Conv::Double, Kind::Positional, dflt::real(1.0)},
};

Ref init(Function& f, Bound& a) {
    PyObject* self = a[0];
    Ref base_init = super_attr(f, self, aspect::state.init);
    Ref p = check(PyFloat_FromDouble(a.real(3)));
    Ref kwargs = check(Py_BuildValue("{sisisOsO}", "width", 1, "height", 1, "always_apply",
                                     a.truth(2) ? Py_True : Py_False, "p", p.get()));
    call(base_init.get(), {}, kwargs.get());
    aspect::finish_init(self, a.real(1));
    return Ref::borrow(Py_None);
}

const aspect::Config config{
    "FracMiddle",
    "CenterCrop",
    "height",
    "width",
    false,
    kDoc,
    "Update Albumentations params and compute crop size from current image shape.",
    "Apply the crop to an image.",
    "Apply the crop to a bounding box.",
    "Apply the crop to a keypoint.",
    init_params,
    init,
    "Initialize the transform.\n\nArgs:\n    aspect_ratio: Target width / height ratio.\n    always_apply: Whether "
    "to always apply the transform.\n    p: Probability of applying the transform.\n\nRaises:\n    ValueError: If "
    "aspect_ratio is not greater than 0.",
    {"aspect_ratio"},
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

PyMODINIT_FUNC PyInit_fracmiddle() { return vh::module_init(fracmiddle_spec); }
