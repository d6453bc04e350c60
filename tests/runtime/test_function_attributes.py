"""Native functions under attribute manipulation, against plain Python functions.

Each (attribute, operation) runs on a native function and on a Python function with the same
parameters and attribute values; afterwards both must agree on their attributes, calls, repr,
inspect.signature() and help(). The table runs in a child interpreter, so a crash fails the
tests instead of ending the session.
"""

import copy
import inspect
import json
import pickle
import pydoc
import re
import subprocess
import sys
import types

import pytest

ATTRS = ("__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__defaults__",
         "__kwdefaults__", "__dict__")

# (attribute, operation, value); "<...>" values are made per target from its working defaults.
OPERATIONS = [
    *[(attr, "del", None) for attr in (*ATTRS, "__signature__")],
    *[("__name__", "set", v) for v in ("renamed", 1, None)],
    *[("__qualname__", "set", v) for v in ("Elsewhere.renamed", 1)],
    *[("__module__", "set", v) for v in ("elsewhere", None, 3)],
    *[("__doc__", "set", v) for v in ("text", 3, None)],
    *[("__annotations__", "set", v) for v in ({"zz": "int", "return": "str"}, None, 5)],
    *[("__defaults__", "set", v) for v in (None, 5, [1], (), "<good>", "<longer>", "<shorter>")],
    *[("__kwdefaults__", "set", v) for v in (None, 5, {}, {"zz": 1}, {"key": 4})],
    *[("__dict__", "set", v) for v in ({"extra": 1}, 5)],
    *[("__signature__", "set", v) for v in ("<Signature()>", None, 5)],
]
CASES = [f"{attr} {op} {value!r}" for attr, op, value in OPERATIONS]
TARGETS = ["function", "lambda", "method", "bound method", "probe"]


def outcome(action, show=lambda result: "ok"):
    """What `action` gave, through `show`, or the class of what it raised."""
    try:
        result = action()
    except Exception as e:  # noqa: BLE001 - the class is the outcome
        return type(e).__name__
    return show(result)


def observe(obj, full, short, describe):
    """What a caller sees of `obj`: attributes, repr, signature, help, calls."""
    seen = {a: outcome(lambda: getattr(obj, a), repr) for a in ATTRS}
    seen["repr"] = re.sub(r" at 0x[0-9a-fA-F]+", "", repr(obj))
    seen["signature"] = outcome(lambda: inspect.signature(obj), str)
    seen["help"] = outcome(lambda: pydoc.render_doc(obj))
    for label, (args, kwargs) in (("call", full), ("short call", short)):
        seen[label] = outcome(lambda: obj(*args, **kwargs), lambda result: ["ok", describe(result)])
    return seen


def build(name):
    """The native object, how it is called, its twin's source, two calls (the second relying on
    defaults), defaults that work, and what of a call's result both must agree on."""
    import numpy as np

    from vornhaven.preprocessing import shapekit
    from vornhaven.preprocessing.augmentations.transform.fracborder import FracBorder

    points = np.array([[2.0, 1.0], [1.0, 1.0], [1.0, 3.0]])
    image = np.zeros((4, 6, 3), np.uint8)
    transform = FracBorder(aspect_ratio=1.5)
    method_source = "def update_params(self, params, **kwargs):\n    return params\n"
    bound = lambda f: f.__get__(transform, FracBorder)  # noqa: E731
    plain = lambda f: f  # noqa: E731
    if name == "function":
        source = "def coordinate_transformation(spanning_points):\n    return (lambda a: a), (lambda a: a)\n"
        describe = lambda r: [(g.__qualname__, g.__module__) for g in r]  # noqa: E731
        return shapekit.coordinate_transformation, plain, source, ((points,), {}), ((), {}), (points,), describe
    if name == "lambda":
        native = shapekit.coordinate_transformation(points)[0]
        point = np.array([2.0, 3.0])
        return native, plain, "f = lambda a: a\n", ((point,), {}), ((), {}), (point,), lambda r: None
    if name in ("method", "bound method"):
        native, check = (FracBorder.update_params, bound) if name == "method" else (transform.update_params, plain)
        return native, check, method_source, (({},), {"image": image}), ((), {"image": image}), ({},), lambda r: None
    if name == "probe":
        try:
            import vornhaven._runtime_probe as probe
        except ImportError:
            return None
        source = "def required(a, b, c=3, *, key):\n    return a, b, c, key\n"
        return probe.required, plain, source, ((1, 2), {}), ((), {"key": 4}), (10, 20, 30), repr
    raise ValueError(name)


def python_twin(native, source):
    """A Python function from `source`, with the attributes of `native` (a function)."""
    namespace = {"__name__": native.__module__}
    exec(source, namespace)
    twin = next(v for v in namespace.values() if isinstance(v, types.FunctionType))
    for attr in ATTRS:
        setattr(twin, attr, copy.copy(getattr(native, attr)))
    return twin


def run_table():
    """Runs every case on every target; called in the child interpreter."""
    results = {}
    for name in TARGETS:
        spec = build(name)
        results[name] = {} if spec else None
        if not spec:
            continue
        native, check, source, full, short, good, describe = spec
        function = native.__func__ if isinstance(native, types.MethodType) else native
        saved = {attr: copy.copy(getattr(function, attr)) for attr in ATTRS}
        for case, (attr, op, value) in zip(CASES, OPERATIONS):
            print(name, "|", case, file=sys.stderr, flush=True)
            twin = python_twin(function, source)
            if isinstance(native, types.MethodType):
                twin = types.MethodType(twin, native.__self__)
            value = {"<good>": good, "<longer>": ("junk",) * 3 + good, "<shorter>": good[1:],
                     "<Signature()>": inspect.Signature()}.get(value, value) if isinstance(value, str) else value
            seen = {}
            for side, target in (("native", native), ("python", twin)):
                fresh = copy.deepcopy(value)  # calls may change a default in place
                act = (lambda: delattr(target, attr)) if op == "del" else (lambda: setattr(target, attr, fresh))
                seen[side] = {"operation": outcome(act), **observe(check(target), full, short, describe)}
            seen["pickle"] = outcome(lambda: pickle.loads(pickle.dumps(native)) is native,
                                     lambda same: "same" if same else "other")
            seen["copies"] = copy.copy(native) is native and copy.deepcopy(native) is native
            for attr_name, saved_value in saved.items():
                setattr(function, attr_name, copy.copy(saved_value))
            results[name][case] = seen
    return results


@pytest.fixture(scope="module")
def table():
    done = subprocess.run([sys.executable, __file__], capture_output=True, text=True)
    tail = "\n".join(done.stderr.splitlines()[-20:])
    assert done.returncode == 0, f"the child interpreter failed ({done.returncode}); its last words:\n{tail}"
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("target", TARGETS)
def test_behaves_like_a_python_function(table, target, case):
    if table[target] is None:
        pytest.skip(f"{target} is not built")
    seen = table[target][case]
    native, python = dict(seen["native"]), dict(seen["python"])
    if case == "__defaults__ set '<longer>'":
        # inspect gives a Python function's parameters the leading surplus defaults, where calls
        # use the last ones; the native signature shows what calls use.
        assert native.pop("signature") == table[target]["__defaults__ set '<good>'"]["python"]["signature"]
        python.pop("signature")
    assert native == python
    if target == "bound method":
        return
    # Pickling refers to the function by its module and qualified name: while they lead to it,
    # it comes back as itself; otherwise pickling fails cleanly.
    assert seen["pickle"] != "other" and seen["copies"]
    if target != "lambda" and not case.startswith(("__qualname__ set", "__module__ set 'elsewhere'", "__module__ set 3")):
        assert seen["pickle"] == "same"


if __name__ == "__main__":
    print(json.dumps(run_table()))
