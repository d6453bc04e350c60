// The size check the fractional transforms share (FracBorder, FracMiddle, FracWindow and its
// subclasses): `update_params` remembers the input size it saw, and every target method first
// checks, through the class's private `__check_after_update`, that its parameters still describe
// that size. Also the two class-level methods every such transform defines the same way.
#pragma once
#include <span>

#include "runtime/function.hpp"

namespace vh::sizecheck {

// One class's interned names for the protocol (made once, kept for the life of the process).
struct Names {
    PyObject* rows = nullptr;
    PyObject* cols = nullptr;
    PyObject* self = nullptr;
    PyObject* last_height = nullptr;     // _<Class>__last_input_height
    PyObject* last_width = nullptr;      // _<Class>__last_input_width
    PyObject* check = nullptr;           // _<Class>__check_after_update
    PyObject* check_function = nullptr;  // the function the class stores under that name, once built

    // Interns the names for the class `class_name` (the class that defines the private names).
    void init(const char* class_name);
    // Records the check function of the built class.
    void bind(PyObject* klass);
};

// An `int | None` argument: None, an int, or any number converted as by int(); anything else
// raises the argument-type message naming `name`.
Ref int_or_none(const char* name, PyObject* value);

// The checks on converted `rows` / `cols` against the remembered size of `self`.
void check_size(const Names& names, PyObject* self, PyObject* rows, PyObject* cols);

// `self.__check_after_update(**params)`, params being the call's keyword arguments: when the
// method `self` resolves is the class's own (not replaced on a subclass or the instance), the
// checks run directly on the two entries they read.
void run_check(const Names& names, PyObject* self, Bound& args);

// The declaration of `__check_after_update(self, rows=None, cols=None, **_kwargs)`; its body
// calls `check_after_update` with the class's names.
extern const std::span<const Param> check_params;
inline constexpr const char* kCheckText = "Validate that Albumentations passed expected rows/cols after update.";
Ref check_after_update(const Names& names, Bound& args);

// get_class_fullname(cls): `cls.__name__`, which must be a str or None (every transform and
// PickWeighted define it so).
extern const std::span<const Param> cls_params;
Ref class_fullname(Function& f, Bound& args);
inline constexpr const char* kFullnameText = "Return the class name as fullname.";
inline constexpr const char* kInitArgsText = "Return init argument names for Albumentations serialization.";

// A tuple of interned strings, kept for the life of the process (get_transform_init_args_names
// returns the same object on every call).
PyObject* name_tuple(std::span<const char* const> names);

}  // namespace vh::sizecheck
