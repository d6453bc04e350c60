// vornhaven.preprocessing.augmentations.transform.fracwindow: crops given as fractions of the image.
#include "fracwindow.hpp"

namespace {

using namespace vh;

constexpr const char* kDoc = "Crop using relative coordinates.";

void exec_fracwindow(ModuleContext& m) {
    m.import_as("copy", "copy");
    m.import_as("random", "random");
    m.import_from("itertools", {"product"});
    m.import_from("logging", {"getLogger"});
    m.import_from("typing", {"Any", "cast"});
    m.import_as("numpy", "np");
    m.import_from("albumentations", {"Crop"});
    // A logger named after the module; nothing writes to it.
    Ref get_logger = Ref::borrow(global(m.globals(), intern("getLogger")));
    Ref logger = call(get_logger.get(), {m.name()});
    m.set("logger", logger.get());
    fracwindow::state.natives.name({"np"});
    fracwindow::state.natives.record(m.globals(), fracwindow::kNp);
    fracwindow::define_fracwindow(m);
    fracwindow::define_records(m);
    fracwindow::define_meshcrop(m);
}

const ModuleSpec fracwindow_spec{
    "fracwindow",
    "vornhaven.preprocessing.augmentations.transform.fracwindow",
    kDoc,
    "<vornhaven.preprocessing.augmentations.transform.fracwindow>",
    exec_fracwindow,
};

}  // namespace

PyMODINIT_FUNC PyInit_fracwindow() {
    return vh::module_init(fracwindow_spec);
}
