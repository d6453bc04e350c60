// vornhaven.preprocessing.augmentations.transform.fracwindow: one module, several classes, each
// defined by its own file into the module namespace in the module's order.
#pragma once
#include "runtime/klass.hpp"
#include "runtime/module.hpp"
#include "runtime/natives.hpp"
#include "transforms/sizecheck.hpp"

namespace vh::fracwindow {

// class FracWindow (base albumentations Crop), fracwindow.cpp
void define_fracwindow(ModuleContext& m);
// classes CropData and CropsData, in this order, records.cpp
void define_records(ModuleContext& m);
// class MeshCrop (base FracWindow), meshcrop.cpp
void define_meshcrop(ModuleContext& m);

// The module globals the native paths stand in for.
enum Global : int { kNp, kCount };

// What the transforms share, made at import; a module is initialised once per process.
struct State {
    PyObject* globals = nullptr;
    NativeGlobals natives;
    sizecheck::Names size;  // FracWindow's private size-check names, inherited by MeshCrop
    PyObject* zero = nullptr;
    // interned attribute and key names
    PyObject *init, *update_params, *update_child, *apply, *apply_to_bbox, *apply_to_keypoints;
    PyObject *x_min, *y_min, *x_max, *y_max;
    PyObject *x_min_percent, *y_min_percent, *x_max_percent, *y_max_percent;
    PyObject *applied_in_replay, *always_apply, *p, *keypoints;
    // FracWindow's own functions: MeshCrop's parameter update runs FracWindow's steps (its
    // `super()` lookups start after FracWindow), and the window is computed natively while the
    // instance resolves `update_child` to FracWindow's.
    Function* fracwindow_update_params = nullptr;
    PyObject* update_child_function = nullptr;
};

extern State state;

// The body of FracWindow.update_params: the base's update, the remembered size, the window,
// the base's update again. `choose` (MeshCrop's crop choice) runs between the size and the
// window, with the input's rows and columns and the call's keyword arguments.
using Choose = void (*)(PyObject* self, PyObject* rows, PyObject* cols, Bound& args);
Ref update_params_steps(Function& owner, Bound& args, Choose choose);

// self.update_child(): natively while the instance resolves it to FracWindow's.
void update_child_of(PyObject* self);

}  // namespace vh::fracwindow
