// The aspect-ratio transforms' shared support (FracBorder on PadIfNeeded, FracMiddle on
// CenterCrop): both derive a pixel size from the input size and a target aspect ratio inside
// `update_params`, remember the input size they saw, and check before every target method that
// the parameters still describe that size. Compiled once; each class made from it keeps its own
// state, so one module can hold several such classes.
#pragma once
#include <span>
#include <vector>

#include "runtime/klass.hpp"
#include "runtime/module.hpp"
#include "transforms/sizecheck.hpp"

namespace vh::aspect {

// What differs between the transforms, written with designated initializers.
struct Config {
    const char* class_name;   // "FracBorder"
    const char* base_name;    // the albumentations base class, a module global
    const char* height_attr;  // the base's size attributes this transform sets
    const char* width_attr;
    bool pads;  // padding keeps the longer side, cropping the shorter one
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

struct State;

// The state of the class whose method `f` is.
const State& state_of(const Function& f);

// The base's `__init__`, looked up after the class of `f` as `super().__init__` is.
Ref base_init(Function& f, PyObject* self);

// Stores `aspect_ratio` after the base initialiser ran and resets the remembered size.
void finish_init(const Function& f, PyObject* self, double aspect_ratio);

// Defines the class of `config` in the module namespace (the imports are bound by the caller).
void define_class(ModuleContext& m, const Config& config);

}  // namespace vh::aspect
