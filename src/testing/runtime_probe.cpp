// vornhaven._runtime_probe: exercises the runtime layer from Python (built only for the tests).
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "runtime/klass.hpp"
#include "runtime/module.hpp"
#include "runtime/numpy.hpp"

namespace {

using namespace vh;

PyObject* globals_dict = nullptr;

// All conversions at once; returns what the body received.
const Param convert_params[] = {
    {"d", "float", Conv::Double},
    {"i", "int", Conv::Int},
    {"b", "bool", Conv::Bool},
    {"l", "list[Any] | None", Conv::List, Kind::Positional, dflt::none(), true},
    {"m", "dict[str, Any] | None", Conv::Dict, Kind::Positional, dflt::none(), true},
    {"t", "tuple[int, ...] | None", Conv::Tuple, Kind::Positional, dflt::none(), true},
    {"s", "str", Conv::Str, Kind::Positional, dflt::text("text")},
    {"args", "Any", Conv::Any, Kind::VarArgs},
    {"f", "float | None", Conv::Float, Kind::KeywordOnly, dflt::none()},
    {"n", "int | None", Conv::Int, Kind::KeywordOnly, dflt::none(), true},
    {"kwargs", "Any", Conv::Any, Kind::VarKwargs},
};

Ref convert(Function&, Bound& a) {
    Ref d = check(PyFloat_FromDouble(a.real(0)));
    Ref f = a.is_none(8) ? Ref::borrow(Py_None) : check(PyFloat_FromDouble(a.real(8)));
    return check(Py_BuildValue("(OOOOOOOOOOO)", d.get(), a[1], a.truth(2) ? Py_True : Py_False, a[3], a[4], a[5], a[6],
                               a.varargs(), f.get(), a[9], a.kwargs()));
}

const FunctionDef convert_def{
    "convert", "convert", convert_params, "tuple[Any, ...]", "Return the converted arguments.", convert, 1};

const Param required_params[] = {{"a"},
                                 {"b"},
                                 {"c", nullptr, Conv::Any, Kind::Positional, dflt::integer(3)},
                                 {"key", nullptr, Conv::Any, Kind::KeywordOnly}};

Ref required(Function&, Bound& a) {
    return check(PyTuple_Pack(4, a[0], a[1], a[2], a[3]));
}

const FunctionDef required_def{"required", "required", required_params, nullptr, "Positional and keyword-only.",
                               required,   2};

const Param value_params[] = {{"value", "Any"}};

Ref expect_dict(Function&, Bound& a) {
    return Ref::borrow(check_result(a[0], &PyDict_Type));
}

const FunctionDef expect_dict_def{
    "expect_dict", "expect_dict", value_params, "dict[str, Any]", "Check the result.", expect_dict, 3};

Ref fail(Function&, Bound& a) {
    if (a[0] == Py_None) throw std::bad_alloc();
    raisef(PyExc_ValueError, "failed with %R", a[0]);
}

const FunctionDef fail_def{"fail", "fail", value_params, nullptr, "Raise.", fail, 42};

Ref debug_flag(Function&, Bound&) {
    return Ref::borrow(vh::debug ? Py_True : Py_False);
}

const FunctionDef debug_flag_def{"debug_flag", "debug_flag", {}, "bool", nullptr, debug_flag, 5};

// Runs this module's initialisation once more, on a new module object.
PyModuleDef* own_def = nullptr;

Ref exec_again(Function&, Bound&) {
    Ref other = check(PyModule_New("vornhaven._runtime_probe"));
    check_status(PyModule_ExecDef(other.get(), own_def));
    return Ref::borrow(Py_None);
}

const FunctionDef exec_again_def{"exec_again", "exec_again", {}, nullptr, nullptr, exec_again, 6};

// A class made on a given base: methods of every kind and name-mangled private state.
const Param init_params[] = {{"self"}, {"value", "float", Conv::Double}};

Ref probe_init(Function&, Bound& a) {
    Ref v = check(PyFloat_FromDouble(a.real(1)));
    check_status(PyObject_SetAttrString(a[0], "_Probe__value", v.get()));
    return Ref::borrow(Py_None);
}

const FunctionDef probe_init_def{"__init__", "Probe.__init__", init_params, "None", "Remember the value.", probe_init,
                                 10};

const Param self_params[] = {{"self"}};

Ref probe_secret(Function&, Bound& a) {
    return check(PyObject_GetAttrString(a[0], "_Probe__value"));
}

const FunctionDef probe_secret_def{"__secret",           "Probe.__secret", self_params, "float",
                                   "The private value.", probe_secret,     11};

const FunctionDef probe_value_def{"value", "Probe.value", self_params, "float", "The value.", probe_secret, 12};

const Param twice_params[] = {{"x", "int", Conv::Int}};

Ref probe_twice(Function&, Bound& a) {
    Ref two = check(PyLong_FromLong(2));
    return check(PyNumber_Multiply(a[0], two.get()));
}

const FunctionDef probe_twice_def{"twice", "Probe.twice", twice_params, "int", "Twice x.", probe_twice, 13};

const Param cls_params[] = {{"cls"}};

Ref probe_name(Function&, Bound& a) {
    return check(PyObject_GetAttrString(a[0], "__name__"));
}

const FunctionDef probe_name_def{"name", "Probe.name", cls_params, "str", "The class name.", probe_name, 14};

const Param make_class_params[] = {{"base", "type"}};

Ref make_class(Function&, Bound& a) {
    ModuleContext context(check_borrowed(PyImport_AddModule("vornhaven._runtime_probe")), "<vornhaven._runtime_probe>");
    Ref bases = check(PyTuple_Pack(1, a[0]));
    return ClassBuilder(context, "Probe", bases.get(), "Probe class.")
        .method(probe_init_def)
        .method(probe_secret_def)
        .method(probe_twice_def, ClassBuilder::MethodKind::Static)
        .method(probe_name_def, ClassBuilder::MethodKind::Class)
        .property("value", probe_value_def)
        .build();
}

const FunctionDef make_class_def{
    "make_class", "make_class", make_class_params, "type", "Make a class on base.", make_class, 15};

// Runs NumPy's own loop of `ufunc` for the 1-d arrays' dtype through the runtime's loop call,
// writing into `out` (whatever memory it shares with the inputs).
const Param ufunc_loop_params[] = {{"ufunc"}, {"out"}, {"inputs", "Any", Conv::Any, Kind::VarArgs}};

Ref ufunc_loop(Function&, Bound& a) {
    PyObject* inputs = a.varargs();
    const Py_ssize_t count = PyTuple_GET_SIZE(inputs);
    auto array_1d = [](PyObject* o) {
        if (!PyArray_Check(o) || PyArray_NDIM(np::as_array(o)) != 1) raise(PyExc_TypeError, "1-d arrays expected");
        return np::as_array(o);
    };
    PyArrayObject* out = array_1d(a[1]);
    const npy_intp n = PyArray_DIM(out, 0);
    const int type = PyArray_TYPE(out);
    PyArrayObject* in[2] = {};
    for (Py_ssize_t k = 0; k < count && k < 2; ++k) {
        in[k] = array_1d(PyTuple_GET_ITEM(inputs, k));
        if (PyArray_DIM(in[k], 0) != n || PyArray_TYPE(in[k]) != type) raise(PyExc_ValueError, "operands differ");
    }
    if (!PyArray_ISWRITEABLE(out)) raise(PyExc_ValueError, "read-only output");
    if (count == 1) {
        np::UnaryLoop loop = np::unary_loop(a[0], type);
        if (!loop) raise(PyExc_ValueError, "no such loop");
        loop({PyArray_BYTES(in[0])}, {PyArray_STRIDE(in[0], 0)}, PyArray_BYTES(out), PyArray_STRIDE(out, 0), n);
    } else if (count == 2) {
        np::BinaryLoop loop = np::binary_loop(a[0], type);
        if (!loop) raise(PyExc_ValueError, "no such loop");
        loop({PyArray_BYTES(in[0]), PyArray_BYTES(in[1])}, {PyArray_STRIDE(in[0], 0), PyArray_STRIDE(in[1], 0)},
             PyArray_BYTES(out), PyArray_STRIDE(out, 0), n);
    } else {
        raise(PyExc_TypeError, "one or two inputs expected");
    }
    return Ref::borrow(a[1]);
}

const FunctionDef ufunc_loop_def{
    "ufunc_loop", "ufunc_loop", ufunc_loop_params, "Any", "Run a ufunc loop.", ufunc_loop, 16};

// LeakSanitizer's interface, present only when the sanitizer runtime is loaded.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));
extern "C" void __lsan_register_root_region(const void* p, std::size_t size) __attribute__((weak));
extern "C" void __lsan_unregister_root_region(const void* p, std::size_t size) __attribute__((weak));

// Runs LeakSanitizer's check now, while the interpreter is alive (at exit CPython leaves its interned
// strings and static objects behind by design). Frames keep their locals in chunks the interpreter maps
// itself, where LeakSanitizer does not look: they are scanned as roots for the duration of the check.
// Returns whether leaks were reported, or None without LeakSanitizer.
Ref leak_check(Function&, Bound&) {
    if (!__lsan_do_recoverable_leak_check || !__lsan_register_root_region || !__lsan_unregister_root_region)
        return Ref::borrow(Py_None);
    std::vector<std::pair<const void*, std::size_t>> roots;
    // Only the slots in use: the rest of a chunk holds stale pointers of returned frames.
    for (PyThreadState* t = PyInterpreterState_ThreadHead(PyInterpreterState_Get()); t; t = PyThreadState_Next(t)) {
        const _PyStackChunk* c = t->datastack_chunk;
        if (c && t->datastack_top)
            roots.emplace_back(c, reinterpret_cast<const char*>(t->datastack_top) - reinterpret_cast<const char*>(c));
        for (c = c ? c->previous : nullptr; c; c = c->previous)
            roots.emplace_back(c, offsetof(_PyStackChunk, data) + c->top * sizeof(PyObject*));
    }
    for (auto [p, size] : roots) __lsan_register_root_region(p, size);
    const int leaked = __lsan_do_recoverable_leak_check();
    for (auto [p, size] : roots) __lsan_unregister_root_region(p, size);
    return Ref::borrow(leaked ? Py_True : Py_False);
}

extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

// Calls `f()` with LeakSanitizer ignoring what this thread allocates meanwhile: for imports of
// libraries that leave a few allocations behind by design.
Ref unchecked(Function&, Bound& a) {
    if (!__lsan_disable || !__lsan_enable) return check(PyObject_CallNoArgs(a[0]));
    __lsan_disable();
    PyObject* result = PyObject_CallNoArgs(a[0]);
    __lsan_enable();
    return check(result);
}

const Param unchecked_params[] = {{"f", "Any"}};

const FunctionDef unchecked_def{"unchecked", "unchecked", unchecked_params, "Any", "Call f() unseen by LeakSanitizer.",
                                unchecked,   18};

const FunctionDef leak_check_def{
    "leak_check", "leak_check", {}, "bool | None", "Run LeakSanitizer's check now.", leak_check, 17};

void exec_probe(ModuleContext& m) {
    globals_dict = m.globals();
    m.import_from("typing", {"Any"});
    for (const FunctionDef* def : {&convert_def, &required_def, &expect_dict_def, &fail_def, &debug_flag_def,
                                   &exec_again_def, &make_class_def, &ufunc_loop_def, &leak_check_def, &unchecked_def})
        m.define(*def);
}

const ModuleSpec probe_spec{
    "_runtime_probe", "vornhaven._runtime_probe", "Probe of the runtime layer.", "<vornhaven._runtime_probe>",
    exec_probe,
};

}  // namespace

PyMODINIT_FUNC PyInit__runtime_probe() {
    PyObject* def = vh::module_init(probe_spec);
    own_def = reinterpret_cast<PyModuleDef*>(def);
    return def;
}
