// vornhaven.preprocessing.augmentations.transform.pickweighted: PickWeighted, an albumentations
// composition that applies one of its children, chosen so that each keeps its own probability.
//
// The child is drawn as NumPy's legacy generator draws it: `RandomState(seed).choice(n, p=ps)`
// with the seed taken from Python's `random`. In the plain case (NumPy's own RandomState, an int
// seed in range, a list of float weights that NumPy would accept) the draw is computed here, bit
// for bit as NumPy computes it; everything else is handed to NumPy, whose errors are the ones
// raised.

#include <cmath>
#include <cstdint>
#include <vector>

#include "runtime/klass.hpp"
#include "runtime/module.hpp"
#include "runtime/numpy.hpp"
#include "transforms/sizecheck.hpp"

namespace {

using namespace vh;

// --- NumPy's legacy draw: MT19937 seeded from a 32-bit seed, one double, choice with weights ---

constexpr std::uint32_t kUpperMask = 0x80000000u;
constexpr std::uint32_t kLowerMask = 0x7fffffffu;
constexpr std::uint32_t kMatrixA = 0x9908b0dfu;
constexpr int kShift = 397;  // the generator's middle word offset

std::uint32_t temper(std::uint32_t y) {
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
}

std::uint32_t twist(std::uint32_t first, std::uint32_t second, std::uint32_t shifted) {
    const std::uint32_t y = (first & kUpperMask) | (second & kLowerMask);
    return shifted ^ (y >> 1) ^ ((0u - (y & 1u)) & kMatrixA);
}

// The first double of `RandomState(seed)`: the state is seeded word by word (Knuth's recurrence),
// the first regeneration yields the two words a double takes, and only the words those two depend
// on are computed.
double legacy_first_double(std::uint32_t seed) {
    std::uint32_t key[kShift + 2];
    key[0] = seed;
    for (std::uint32_t i = 1; i < kShift + 2; ++i) key[i] = 1812433253u * (key[i - 1] ^ (key[i - 1] >> 30)) + i;
    const std::uint32_t a = temper(twist(key[0], key[1], key[kShift])) >> 5;
    const std::uint32_t b = temper(twist(key[1], key[2], key[kShift + 1])) >> 6;
    return (a * 67108864.0 + b) / 9007199254740992.0;
}

// The tolerance of `choice` on the sum of weights given as a list: sqrt(float64 eps) = 2**-26.
constexpr double kSumTolerance = 1.0 / 67108864.0;

// Whether `choice` accepts the weights without complaint: their compensated sum (in NumPy's order)
// is within the tolerance of 1 and no weight is negative or not finite. Anything else is left
// to NumPy, so the error raised is NumPy's.
bool weights_accepted(const double* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!(std::isfinite(p[i]) && p[i] >= 0)) return false;
    double sum = p[0], c = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        const double y = p[i] - c;
        const double t = sum + y;
        c = (t - sum) - y;
        sum = t;
    }
    return std::abs(sum - 1.0) <= kSumTolerance;
}

// `cdf = p.cumsum(); cdf /= cdf[-1]; cdf.searchsorted(u, side='right')`, in place on `p`.
std::size_t legacy_choice(double* p, std::size_t n, double u) {
    for (std::size_t i = 1; i < n; ++i) p[i] = p[i - 1] + p[i];
    const double last = p[n - 1];
    for (std::size_t i = 0; i < n; ++i) p[i] /= last;
    std::size_t low = 0, high = n;
    while (low < high) {
        const std::size_t mid = low + ((high - low) >> 1);
        if (p[mid] <= u)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

// --- module state -------------------------------------------------------------------------------

struct State {
    PyObject* globals = nullptr;
    PyObject* random_state_class = nullptr;  // numpy.random.RandomState as bound at import
    PyObject* seed_low = nullptr;            // 0 and 4294967295, the bounds of the seed
    PyObject* seed_high = nullptr;
    // interned names
    PyObject *init, *to_dict, *transforms, *p, *transforms_ps, *replay_mode, *force_apply, *random, *randint, *np,
        *random_state, *choice, *cast, *sum, *keys, *given_p, *scaled_p;
};

State state;

Ref optional_attr(PyObject* o, PyObject* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    check_status(PyObject_GetOptionalAttr(o, name, &value));
#else
    check_status(_PyObject_LookupAttr(o, name, &value));
#endif
    return Ref::steal(value);
}

// The plain list of children: the base's container, or its `transforms` when it keeps them
// there (albumentations 1.1 wraps them in an object of its own).
Ref children_of(PyObject* self) {
    Ref container = attr(self, state.transforms);
    if (PyList_CheckExact(container.get())) return container;
    Ref inner = optional_attr(container.get(), state.transforms);
    return inner ? inner : container;
}

// `callee(**data)` (with `force_apply=True` first when `forced`), `data` being what the previous
// step left: a mapping is copied into the call's keywords, None and non-mappings raise.
Ref call_with_data(PyObject* callee, PyObject* data, bool forced) {
    Ref keywords = check(PyDict_New());
    if (forced) check_status(PyDict_SetItem(keywords.get(), state.force_apply, Py_True));
    if (PyDict_CheckExact(data)) {
        check_status(PyDict_Update(keywords.get(), data));
    } else {
        Ref keys = data == Py_None ? Ref() : optional_attr(data, state.keys);
        if (!keys) raisef(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(data)->tp_name);
        check_status(PyDict_Merge(keywords.get(), data, 1));
    }
    return check(PyObject_VectorcallDict(callee, nullptr, 0, keywords.get()));
}

// --- __init__ -----------------------------------------------------------------------------------

const Param init_params[] = {
    {"self"},
    {"transforms", "list[Any]", Conv::List},
    {"p", "float", Conv::Double, Kind::Positional, dflt::real(0.5)},
};
struct InitArg {
    enum : std::size_t { self, transforms, p, count };
};
static_assert(std::size(init_params) == InitArg::count);

Ref init(Function& f, Bound& a) {
    PyObject* self = a[InitArg::self];
    PyObject* given_p = a[InitArg::p];  // a float after the conversion on entry
    Ref base_init = super_attr(f, self, state.init);
    call(base_init.get(), {a[InitArg::transforms], given_p});

    // transforms_ps = [cast(float, t.p) for t in self.transforms]
    Ref transforms = attr(self, state.transforms);
    Ref iterator = check(PyObject_GetIter(transforms.get()));
    Ref ps = check(PyList_New(0));
    while (Ref child = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref cast = Ref::borrow(global(state.globals, state.cast));
        Ref child_p = attr(child.get(), state.p);
        Ref value = call(cast.get(), {reinterpret_cast<PyObject*>(&PyFloat_Type), child_p.get()});
        check_status(PyList_Append(ps.get(), value.get()));
    }
    if (PyErr_Occurred()) throw_error();

    Ref sum_function = Ref::borrow(global(state.globals, state.sum));
    Ref total = call(sum_function.get(), {ps.get()});
    const double s = PyFloat_AsDouble(total.get());
    if (s == -1.0 && PyErr_Occurred()) throw_error();
    Ref s_object = check(PyFloat_FromDouble(s));
    if (s < 1) {
        Ref current = attr(self, state.p);
        Ref scaled = check(PyNumber_InPlaceMultiply(current.get(), s_object.get()));
        set_attr(self, state.p, scaled.get());
    }
    // [t / s for t in transforms_ps]: a replaced `sum` may have kept the list, and a division may
    // run code that changes it, so its size is read anew at every step, as iteration does.
    Ref normalised = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ps.get()); ++i) {
        Ref t = Ref::borrow(PyList_GET_ITEM(ps.get(), i));
        Ref value = check(PyNumber_TrueDivide(t.get(), s_object.get()));
        check_status(PyList_Append(normalised.get(), value.get()));
    }
    set_attr(self, state.transforms_ps, normalised.get());

    // What serialisation writes out: the probability given here while `p` is what this set.
    Ref p_now = attr(self, state.p);
    set_attr(self, state.given_p, given_p);
    set_attr(self, state.scaled_p, p_now.get());
    return Ref::borrow(Py_None);
}

// --- __call__ -----------------------------------------------------------------------------------

const Param call_params[] = {
    {"self"},
    {"args", "Any", Conv::Any, Kind::VarArgs},
    {"force_apply", "bool", Conv::Bool, Kind::KeywordOnly, dflt::boolean(false)},
    {"data", "Any", Conv::Any, Kind::VarKwargs},
};
struct CallArg {
    enum : std::size_t { self, args, force_apply, data, count };
};
static_assert(std::size(call_params) == CallArg::count);

// `random.random() < self.p`
bool draws_below_p(PyObject* self) {
    Ref random = Ref::borrow(global(state.globals, state.random));
    Ref draw_function = attr(random.get(), state.random);
    Ref draw = check(PyObject_CallNoArgs(draw_function.get()));
    Ref p = attr(self, state.p);
    if (PyFloat_CheckExact(draw.get()) && PyFloat_CheckExact(p.get()))
        return PyFloat_AS_DOUBLE(draw.get()) < PyFloat_AS_DOUBLE(p.get());
    return check_status(PyObject_RichCompareBool(draw.get(), p.get(), Py_LT)) != 0;
}

// The weights as doubles when they are a list of `count` floats (Python's or NumPy's float64).
bool plain_weights(PyObject* ps, Py_ssize_t count, std::vector<double>& out) {
    if (!PyList_CheckExact(ps) || PyList_GET_SIZE(ps) != count) return false;
    out.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(ps, i);
        // float64 scalars share the layout of a float
        if (!PyFloat_CheckExact(item) && Py_TYPE(item) != &PyDoubleArrType_Type) return false;
        out[i] = PyFloat_AS_DOUBLE(item);
    }
    return true;
}

// One weighted pick: the chosen child, drawn with `random_state_class(seed).choice(len(children),
// p=self.transforms_ps)`.
Ref pick(PyObject* self, PyObject* random_state_class, PyObject* seed) {
    std::uint32_t seed_value = 0;
    bool native = random_state_class == state.random_state_class && PyLong_CheckExact(seed);
    if (native) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(seed, &overflow);
        if (v == -1 && PyErr_Occurred()) throw_error();
        native = !overflow && v >= 0 && v <= 0xffffffffLL;
        seed_value = static_cast<std::uint32_t>(v);
    }
    Ref random_state;  // made only where NumPy draws
    if (!native) random_state = call(random_state_class, {seed});

    Ref children = children_of(self);
    Py_ssize_t n;
    if (PyList_CheckExact(children.get())) {
        n = PyList_GET_SIZE(children.get());
    } else {
        n = PyObject_Size(children.get());
        if (n < 0) throw_error();
    }
    Ref ps = attr(self, state.transforms_ps);
    std::vector<double> weights;
    if (native && n > 0 && plain_weights(ps.get(), n, weights) && weights_accepted(weights.data(), weights.size())) {
        const std::size_t index = legacy_choice(weights.data(), weights.size(), legacy_first_double(seed_value));
        // The list may have changed while the weights were read: indexing checks its size now.
        if (PyList_CheckExact(children.get()))
            return Ref::borrow(check_borrowed(PyList_GetItem(children.get(), static_cast<Py_ssize_t>(index))));
        Ref key = py_int(static_cast<Py_ssize_t>(index));
        return item(children.get(), key.get());
    }
    if (!random_state) random_state = call(random_state_class, {seed});
    Ref count = py_int(n);
    Ref choose = attr(random_state.get(), state.choice);
    Ref p = np::private_lists(ps.get());  // a list reaches NumPy as a copy of its own
    Ref index = call(choose.get(), {count.get()}, {{"p", p.get()}});
    return item(children.get(), index.get());
}

Ref call_(Function&, Bound& a) {
    PyObject* self = a[CallArg::self];
    Ref data = Ref::borrow(a.kwargs());

    Ref replay = attr(self, state.replay_mode);
    if (truth(replay.get())) {
        Ref transforms = attr(self, state.transforms);
        Ref iterator = check(PyObject_GetIter(transforms.get()));
        while (Ref child = Ref::steal(PyIter_Next(iterator.get())))
            data = call_with_data(child.get(), data.get(), false);
        if (PyErr_Occurred()) throw_error();
        check_result(data.get(), &PyDict_Type);
        return data;
    }

    Ref ps = attr(self, state.transforms_ps);
    if (truth(ps.get()) && (a.truth(CallArg::force_apply) || draws_below_p(self))) {
        // np.random.RandomState(random.randint(0, 4294967295)), in Python's order of evaluation
        Ref np = Ref::borrow(global(state.globals, state.np));
        Ref np_random = attr(np.get(), state.random);
        Ref random_state_class = attr(np_random.get(), state.random_state);
        Ref random = Ref::borrow(global(state.globals, state.random));
        Ref randint = attr(random.get(), state.randint);
        PyObject* bounds[] = {state.seed_low, state.seed_high};
        Ref seed = check(PyObject_Vectorcall(randint.get(), bounds, 2, nullptr));

        Ref child = pick(self, random_state_class.get(), seed.get());
        data = call_with_data(child.get(), data.get(), true);
    }
    check_result(data.get(), &PyDict_Type);
    return data;
}

// --- _to_dict / to_dict_private -----------------------------------------------------------------

const Param self_params[] = {{"self"}};

// The base's dictionary, with the probability the composition was given rather than the one
// it scaled from it (loading scales it again), unless `p` was set anew since. Bound under the name
// through which the installed albumentations serialises (`state.to_dict`, chosen at import).
Ref to_dict(Function& f, Bound& a) {
    PyObject* self = a[0];
    Ref base = super_attr(f, self, state.to_dict);
    Ref result = call(base.get(), {});
    check_result(result.get(), &PyDict_Type);
    if (result.get() == Py_None) return result;
    Ref given = optional_attr(self, state.given_p);
    Ref scaled = given ? optional_attr(self, state.scaled_p) : Ref();
    if (!scaled) return result;
    PyObject* written = PyDict_GetItemWithError(result.get(), state.p);
    if (!written) {
        if (PyErr_Occurred()) throw_error();
        return result;
    }
    Ref hold = Ref::borrow(written);
    if (check_status(PyObject_RichCompareBool(hold.get(), scaled.get(), Py_EQ)))
        check_status(PyDict_SetItem(result.get(), state.p, given.get()));
    return result;
}

const FunctionDef init_def{
    .name = "__init__",
    .qualname = "PickWeighted.__init__",
    .params = init_params,
    .returns = "None",
    .doc =
        "Initialize the compose with probability retention.\n\nArgs:\n    transforms: List of albumentations "
        "transforms.\n    p: Base probability of applying any transform.",
    .body = init,
    .line = 12,
};
const FunctionDef call_def{
    .name = "__call__",
    .qualname = "PickWeighted.__call__",
    .params = call_params,
    .returns = "dict[str, Any]",
    .doc =
        "Apply exactly one transform, or replay all transforms in replay mode.\n\nArgs:\n    *args: Positional "
        "args passed through (unused by this class).\n    force_apply: Whether to force applying a transform.\n "
        "   **data: Albumentations data dict.\n\nReturns:\n    Transformed data dict.",
    .body = call_,
    .line = 28,
};
const FunctionDef to_dict_def{
    .name = "_to_dict",
    .qualname = "PickWeighted._to_dict",
    .params = self_params,
    .returns = "dict[str, Any]",
    .doc = "Serialize the composition with the probability it was given.",
    .body = to_dict,
    .line = 50,
};
// albumentations 1.4.1 and later serialise through `to_dict_private` instead.
const FunctionDef to_dict_private_def{
    .name = "to_dict_private",
    .qualname = "PickWeighted.to_dict_private",
    .params = self_params,
    .returns = "dict[str, Any]",
    .doc = "Serialize the composition with the probability it was given.",
    .body = to_dict,
    .line = 50,
};
const FunctionDef class_fullname_def{
    .name = "get_class_fullname",
    .qualname = "PickWeighted.get_class_fullname",
    .params = sizecheck::cls_params,
    .returns = "str",
    .doc = "Return the class name as fullname.",
    .body = sizecheck::class_fullname,
    .line = 60,
};

constexpr const char* kClassDoc = "Select exactly one transform while retaining original per-transform probabilities.";

void exec_pickweighted(ModuleContext& m) {
    state.globals = m.globals();
    state.init = intern("__init__");
    state.transforms = intern("transforms");
    state.p = intern("p");
    state.transforms_ps = intern("transforms_ps");
    state.replay_mode = intern("replay_mode");
    state.force_apply = intern("force_apply");
    state.random = intern("random");
    state.randint = intern("randint");
    state.np = intern("np");
    state.random_state = intern("RandomState");
    state.choice = intern("choice");
    state.cast = intern("cast");
    state.sum = intern("sum");
    state.keys = intern("keys");
    state.given_p = intern(mangle("PickWeighted", "__given_p").c_str());
    state.scaled_p = intern(mangle("PickWeighted", "__scaled_p").c_str());
    state.seed_low = check(PyLong_FromLong(0)).release();
    state.seed_high = check(PyLong_FromUnsignedLong(4294967295ul)).release();

    m.import_as("random", "random");
    m.import_from("typing", {"Any", "cast"});
    Ref numpy = m.import_as("numpy", "np");
    m.import_from("albumentations", {"BaseCompose"});
    Ref np_random = attr(numpy.get(), state.random);
    state.random_state_class = attr(np_random.get(), state.random_state).release();

    // The serialisation hook the installed base class calls: `to_dict_private` where it has one
    // (albumentations 1.4.1 on), `_to_dict` before.
    Ref base = Ref::borrow(global(m.globals(), intern("BaseCompose")));
    const bool private_hook = static_cast<bool>(optional_attr(base.get(), intern(to_dict_private_def.name)));
    const FunctionDef& to_dict_hook = private_hook ? to_dict_private_def : to_dict_def;
    state.to_dict = intern(to_dict_hook.name);

    Ref bases = check(PyTuple_Pack(1, base.get()));
    ClassBuilder builder(m, "PickWeighted", bases.get(), kClassDoc);
    builder.method(init_def).method(call_def).method(to_dict_hook);
    builder.method(class_fullname_def, ClassBuilder::MethodKind::Class);
    Ref klass = builder.build();
    m.set("PickWeighted", klass.get());
}

const ModuleSpec pickweighted_spec{
    "pickweighted",    "vornhaven.preprocessing.augmentations.transform.pickweighted",
    nullptr,           "<vornhaven.preprocessing.augmentations.transform.pickweighted>",
    exec_pickweighted,
};

}  // namespace

PyMODINIT_FUNC PyInit_pickweighted() {
    return vh::module_init(pickweighted_spec);
}
