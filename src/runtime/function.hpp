// Native functions that behave like Python functions, with signatures declared once as data.
//
// A `FunctionDef` lists the parameters (name, kind, annotation text, conversion, default), the
// return annotation, the docstring text and the body. From it come argument binding with the
// interpreter's messages, `__annotations__`, `__defaults__` / `__kwdefaults__`, the signature
// line at the head of `__doc__`, and `inspect.signature()`.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <span>

#include "runtime/error.hpp"
#include "runtime/object.hpp"

namespace vh {

enum class Kind : std::uint8_t { Positional, KeywordOnly, VarArgs, VarKwargs };

// How an argument is checked and converted on entry.
enum class Conv : std::uint8_t {
    Any,     // taken as it is
    Double,  // any number, converted to a C double ("double" in the signature line)
    Float,   // any number, converted to a C double, or None ("float" in the signature line)
    Int,     // any number, converted as by int() ("int")
    Bool,    // the truth value of any object ("bool")
    List,    // exactly a list ("list")
    Dict,    // exactly a dict ("dict")
    Tuple,   // exactly a tuple ("tuple")
    Str,     // exactly a str ("str")
};

struct Default {
    enum class Tag : std::uint8_t { Absent, None, Real, Integer, Boolean, Text, Computed };
    Tag tag = Tag::Absent;
    double real = 0.0;
    long long integer = 0;
    const char* text = nullptr;
    // Computed defaults are evaluated once, when the function is made, from the module globals;
    // `source` is the expression shown in the signature line.
    Ref (*compute)(PyObject* globals) = nullptr;
    const char* source = nullptr;
};

namespace dflt {
constexpr Default none() {
    return {Default::Tag::None};
}
constexpr Default real(double v) {
    return {Default::Tag::Real, v};
}
constexpr Default integer(long long v) {
    return {Default::Tag::Integer, 0.0, v};
}
constexpr Default boolean(bool v) {
    return {Default::Tag::Boolean, 0.0, v ? 1 : 0};
}
constexpr Default text(const char* v) {
    return {Default::Tag::Text, 0.0, 0, v};
}
constexpr Default computed(Ref (*compute)(PyObject*), const char* source) {
    return {Default::Tag::Computed, 0.0, 0, nullptr, compute, source};
}
}  // namespace dflt

struct Param {
    const char* name;
    const char* annotation = nullptr;  // nullptr: not annotated
    Conv conv = Conv::Any;
    Kind kind = Kind::Positional;
    Default def = {};
    bool none_ok = false;  // None passes the check of a container or int parameter
};

inline constexpr std::size_t kMaxParams = 16;

struct Function;

// The arguments of one call, bound to the declared parameters in declaration order.
class Bound {
public:
    PyObject* operator[](std::size_t i) const noexcept { return values_[i].get(); }
    bool is_none(std::size_t i) const noexcept { return values_[i].get() == Py_None; }
    double real(std::size_t i) const noexcept { return reals_[i]; }
    bool truth(std::size_t i) const noexcept { return reals_[i] != 0.0; }
    PyObject* varargs() const noexcept { return varargs_.get(); }  // a tuple
    // The `**kwargs` dict, made on first use from the keywords no parameter took.
    PyObject* kwargs();

    // The call as it came in: positional arguments, then keyword values named by `kwnames`.
    PyObject* const* raw_args() const noexcept { return raw_args_; }
    Py_ssize_t raw_nargs() const noexcept { return raw_nargs_; }
    PyObject* raw_kwnames() const noexcept { return raw_kwnames_; }
    // The value passed under keyword `name` (a str), or null.
    PyObject* keyword(PyObject* name) const;
    // Whether some keyword argument went to a declared parameter rather than to `**kwargs`.
    bool named_keywords() const noexcept { return named_keywords_; }

private:
    friend struct Binder;
    Ref values_[kMaxParams];
    double reals_[kMaxParams] = {};
    Ref varargs_;
    Ref kwargs_;
    const struct FunctionDef* def_ = nullptr;
    PyObject* param_names_ = nullptr;
    PyObject* const* raw_args_ = nullptr;
    Py_ssize_t raw_nargs_ = 0;
    PyObject* raw_kwnames_ = nullptr;
    bool extra_keywords_ = false;
    bool named_keywords_ = false;  // some keyword went to a declared parameter
};

using Body = Ref (*)(Function& self, Bound& args);

// One function's declaration, written with designated initializers:
//     const FunctionDef f_def{.name = "f", .params = f_params, .returns = "int", .doc = "...", .body = f, .line = 3};
struct FunctionDef {
    const char* name;
    const char* qualname = nullptr;  // null: the name
    std::span<const Param> params = {};
    const char* returns = nullptr;  // return annotation, nullptr for none
    const char* doc = nullptr;      // docstring text after the signature line; nullptr: no __doc__
    Body body = nullptr;
    int line = 0;                // definition line reported in tracebacks
    const void* data = nullptr;  // what the body needs besides its arguments (a class's state)

    const char* qualified() const noexcept { return qualname ? qualname : name; }
};

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDef* def;
    const char* filename;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* dict;
    PyObject* closure;      // what the body captured when the function was made, or null
    PyObject* owner;        // the class whose body defined this method (what `super()` starts after), or null
    PyObject* param_names;  // the parameters' names, interned, in declaration order
    PyObject* weakrefs;
};

// The function type of the calling module (one per extension module).
PyTypeObject* function_type();
void ready_function_type();

// Makes a function from its declaration; `globals` is the module dict (for computed defaults),
// `module_name` its `__module__` (null: the `__name__` in `globals`, as for a Python function),
// `filename` the file name shown in tracebacks.
Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* module_name, const char* filename,
                  Ref closure = {});

// The signature line of a declaration, as it heads `__doc__`.
Ref signature_line(const FunctionDef& def, PyObject* globals);

// `super().<name>(first, **kwargs)` inside a method called as `method(self, first, **kwargs)`:
// when the base's attribute is a plain function, the incoming keyword arguments are passed on
// as they came (no dict is built); otherwise as `super().<name>(first, **args.kwargs())`.
Ref super_forward(Function& method, Bound& args, PyObject* name, PyObject* first);

// `super().<name>` inside a method of `self` (an instance, or a class for class methods), looked
// up at call time as `super()` does.
Ref super_attr(Function& method, PyObject* self, PyObject* name);

// Checks a value against a built-in container or str type, or None: "Expected %s, got %.200s".
PyObject* check_result(PyObject* value, PyTypeObject* expected);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
[[noreturn]] void raise_argument_type(const char* name, const char* expected, PyObject* got);

}  // namespace vh
