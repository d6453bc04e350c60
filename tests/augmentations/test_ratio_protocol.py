"""Behaviour FracBorder and FracMiddle share.

Module and class frame, method metadata, the constructor's checks, the parameter update that
runs the base class twice, the size check before every target method, delegation to the base
class and the checks on its results, cooperative subclassing, copies, serialisation,
compositions, worker processes and reference/memory stability.
"""

import collections
import copy
import gc
import inspect
import json
import math
import multiprocessing
import pickle
import re
import sys
import typing

import albumentations as A
import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ratio_helpers import CLASSES, SPEC, FracBorder, FracMiddle, plain_equivalent, run_pipeline, state

COMPAT = (
    "Rows and Columns have to be provided by a compatible version of Albumentations. Make sure you "
    "use the recommended version of Albumentations and report this incompatibility to a Vornhaven "
    "developer."
)
TAIL = (
    ". The current version of Albumentations is incompatible with the {name} augmentation.Make sure "
    "that you use the recommended version of Albumentations and report this incompatibility to a "
    "Vornhaven developer."
)
ROWS = "Rows {got} does not match expected height {expected}" + TAIL
COLS = "Cols {got} does not match expected width {expected}" + TAIL


def arg_type(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


class Params(dict):
    pass


Point = collections.namedtuple("Point", "x y angle scale")


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


@pytest.fixture
def primed(cls):
    """A transform that has seen a 100 x 50 input."""
    transform = cls(1.0)
    transform.update_params({}, image=np.zeros((100, 50, 3), np.uint8))
    return transform


def record_base(monkeypatch, cls, name, replace=None):
    """Wrap a method of the albumentations base class; calls are logged with the state they saw."""
    original = getattr(SPEC[cls]["base"], name)
    calls = []

    def recording(self, *args, **kwargs):
        call = {"args": args, "kwargs": kwargs, "state": state(self)}
        calls.append(call)
        if replace is None:
            call["result"] = original(self, *args, **kwargs)
        else:
            call["result"] = replace(len(calls), original, self, *args, **kwargs)
        return call["result"]

    monkeypatch.setattr(SPEC[cls]["base"], name, recording)
    return calls


def sample(rows, cols):
    rng = np.random.default_rng(rows * 1000 + cols)
    return {
        "image": rng.integers(0, 255, (rows, cols, 3), dtype=np.uint8),
        "bboxes": [(0, 0, cols, rows, "all"), (cols / 4, rows / 5, cols / 2, rows / 2 + 0.5, "inner")],
        "keypoints": [(0, 0), (cols - 1, rows - 1), (cols / 2, rows / 3)],
    }


def compose(transforms):
    return A.Compose(transforms, bbox_params=A.BboxParams("pascal_voc"),
                     keypoint_params=A.KeypointParams("xy"))


def assert_same_output(out, expected):
    np.testing.assert_array_equal(out["image"], expected["image"])
    assert out["image"].dtype == expected["image"].dtype
    assert out["bboxes"] == expected["bboxes"]
    assert out["keypoints"] == expected["keypoints"]


# --- module, class and method frame ---------------------------------------------------------------

def test_module_namespace_and_class_frame(cls):
    spec = SPEC[cls]
    module = spec["module"]
    assert module.__doc__ == cls.__doc__ == spec["doc"]
    assert [n for n in vars(module) if not n.startswith("__")] == spec["namespace"]
    bound = {"Any": typing.Any, "cast": typing.cast, "cv2": cv2, "np": np,
             spec["base"].__name__: spec["base"], cls.__name__: cls}
    assert all(getattr(module, n) is bound[n] for n in spec["namespace"])
    assert cls.__bases__ == (spec["base"],)
    assert (cls.__module__, cls.__qualname__) == (module.__name__, cls.__name__)
    defined = {n for n, v in vars(cls).items() if callable(v) or isinstance(v, classmethod)}
    assert defined == set(spec["methods"])
    assert isinstance(vars(cls)["get_class_fullname"], classmethod)


METHODS = [(c, m) for c in CLASSES for m in SPEC[c]["methods"]]


@pytest.mark.parametrize("cls, method", METHODS, ids=[f"{c.__name__}.{m}" for c, m in METHODS])
def test_method_metadata(cls, method):
    func = vars(cls)[method]
    func = func.__func__ if isinstance(func, classmethod) else func
    signature_line, text = SPEC[cls]["methods"][method]
    short = method.replace(f"_{cls.__name__}__", "__")
    assert func.__doc__ == f"{signature_line}\n\n{text}"
    assert func.__annotations__ == SPEC[cls]["annotations"][method]
    assert (func.__name__, func.__qualname__) == (short, f"{cls.__name__}.{short}")
    assert func.__module__ == SPEC[cls]["module"].__name__
    defaults = {"__init__": SPEC[cls]["defaults"], "__check_after_update": (None, None)}.get(short)
    assert func.__defaults__ == defaults
    assert [type(d) for d in func.__defaults__ or ()] == [type(d) for d in defaults or ()]
    assert func.__kwdefaults__ is None
    # parameters in order; the ones written "**name" in the signature line collect keywords
    var_keyword = set(re.findall(r"\*\*(\w+)", signature_line))
    first = "cls" if short == "get_class_fullname" else "self"
    expected = [(first, inspect.Parameter.POSITIONAL_OR_KEYWORD)] + [
        (n, inspect.Parameter.VAR_KEYWORD if n in var_keyword else inspect.Parameter.POSITIONAL_OR_KEYWORD)
        for n in SPEC[cls]["annotations"][method] if n != "return"
    ]
    assert [(p.name, p.kind) for p in inspect.signature(func).parameters.values()] == expected


def test_transform_init_args_names_is_one_shared_tuple(cls):
    first, second = cls(1.0), cls(3.0)
    names = first.get_transform_init_args_names()
    assert type(names) is tuple and names == SPEC[cls]["init_args"]
    assert first.get_transform_init_args_names() is names
    assert second.get_transform_init_args_names() is names


def test_get_class_fullname_is_the_bare_class_name(cls):
    sub = type(f"Tuned{cls.__name__}", (cls,), {})
    assert cls.get_class_fullname() == cls(2.0).get_class_fullname() == cls.__name__
    assert sub.get_class_fullname() == sub(2.0).get_class_fullname() == sub.__name__


def test_get_class_fullname_checks_the_name_it_finds(cls):
    real = type.__dict__["__name__"]

    class Meta(type(cls)):
        fake = real

        @property
        def __name__(self):
            return real.__get__(self) if Meta.fake is real else Meta.fake

    renamed = Meta("Renamed", (cls,), {})
    Meta.fake = 5
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        renamed.get_class_fullname()
    Meta.fake = None
    assert renamed.get_class_fullname() is None


# --- construction ---------------------------------------------------------------------------------

BASE_INIT = {
    FracBorder: dict(min_height=1, min_width=1, position=A.PadIfNeeded.PositionType.CENTER,
                     border_mode=cv2.BORDER_CONSTANT, value=0, mask_value=None, always_apply=False, p=1.0),
    FracMiddle: dict(width=1, height=1, always_apply=False, p=1.0),
}


@pytest.mark.parametrize("ratio", [0, -1, 0.0, -0.0, -1e-300, -math.inf])
def test_non_positive_ratio_is_rejected_after_the_base_initialiser(cls, monkeypatch, ratio):
    calls = record_base(monkeypatch, cls, "__init__")
    with pytest.raises(ValueError, match=r"^Aspect ratio has to be > 0$"):
        cls(ratio)
    assert len(calls) == 1 and calls[0]["args"] == () and calls[0]["kwargs"] == BASE_INIT[cls]
    if cls is FracMiddle:
        assert list(calls[0]["kwargs"]) == ["width", "height", "always_apply", "p"]


def test_init_converts_its_arguments(cls):
    transform = cls(3, always_apply=[0], p=1)
    assert (transform.aspect_ratio, transform.p, transform.always_apply) == (3.0, 1.0, True)
    assert type(transform.aspect_ratio) is float and type(transform.p) is float
    transform = cls(np.float32(0.5), always_apply=[], p=np.int64(0))
    assert (transform.aspect_ratio, transform.p, transform.always_apply) == (0.5, 0.0, False)
    assert type(transform.aspect_ratio) is float and type(transform.p) is float
    a, b = SPEC[cls]["size_attrs"]
    assert state(transform) == {f"_{cls.__name__}__last_input_height": 0,
                                f"_{cls.__name__}__last_input_width": 0, a: 1, b: 1}
    assert math.isnan(cls(math.nan).aspect_ratio)


@pytest.mark.parametrize("args, kwargs, message", [
    (("2",), {}, arg_type("aspect_ratio", "float", "str")),
    ((None,), {}, arg_type("aspect_ratio", "float", "NoneType")),
    ((1.0,), {"p": "1"}, arg_type("p", "float", "str")),
    ((), {}, "__init__() takes at least 2 positional arguments (1 given)"),
    ((1.0,), {"aspect_ratio": 2.0}, "__init__() got multiple values for keyword argument 'aspect_ratio'"),
    ((1.0,), {"height": 5}, "__init__() got an unexpected keyword argument 'height'"),
])
def test_init_argument_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == message


# --- update_params --------------------------------------------------------------------------------

@settings(max_examples=300, deadline=None)
@given(rows=st.integers(1, 20000), cols=st.integers(1, 20000),
       ratio=st.floats(1e-3, 1e3) | st.sampled_from([0.5, 1.5, 2.0, 2.5, 5 / 97, 6 / 97, 1.15]))
def test_update_params_sizes_follow_the_input(rows, cols, ratio):
    image = np.broadcast_to(np.zeros((), np.uint8), (rows, cols))
    for cls in CLASSES:
        transform = cls(ratio)
        params = {}
        assert transform.update_params(params, image=image) is params
        assert (params["rows"], params["cols"]) == (rows, cols)
        a, b = SPEC[cls]["size_attrs"]
        assert state(transform) == dict(zip(
            (f"_{cls.__name__}__last_input_height", f"_{cls.__name__}__last_input_width", a, b),
            (rows, cols, *SPEC[cls]["sizes"](rows, cols, ratio))))
        assert all(type(v) is int for v in state(transform).values())
        expected = plain_equivalent(transform, rows, cols).update_params({}, image=image)
        assert params == expected


@pytest.mark.parametrize("fresh_dict", [False, True])
def test_update_params_runs_the_base_twice_on_one_dict(cls, monkeypatch, fresh_dict):
    # when the base hands back a new dict the first time, the second call must get that dict
    def replace(n, base, self, params, **kwargs):
        result = base(self, params, **kwargs)
        return dict(result) if n == 1 and fresh_dict else result

    calls = record_base(monkeypatch, cls, "update_params", replace)
    transform, image, marker, params = cls(2.0), np.zeros((30, 40, 3), np.uint8), object(), {"x": 1}
    out = transform.update_params(params, image=image, marker=marker)
    assert len(calls) == 2
    assert calls[0]["args"][0] is params and (calls[0]["result"] is params) is not fresh_dict
    assert calls[1]["args"][0] is calls[0]["result"] and out is calls[1]["result"]
    for call in calls:
        assert len(call["args"]) == 1 and call["kwargs"].keys() == {"image", "marker"}
        assert call["kwargs"]["image"] is image and call["kwargs"]["marker"] is marker
    a, b = SPEC[cls]["size_attrs"]
    assert calls[0]["state"][a] == calls[0]["state"][b] == 1
    assert calls[1]["state"] == state(transform)
    assert (calls[1]["state"][a], calls[1]["state"][b]) == SPEC[cls]["sizes"](30, 40, 2.0)


@pytest.mark.parametrize("call", [1, 2])
def test_base_update_params_results_are_checked(cls, monkeypatch, call):
    def returning(result):
        return lambda n, base, self, params, **kw: result if n == call else base(self, params, **kw)

    image = np.zeros((20, 10), np.uint8)
    for bad, name in [([], "list"), (Params(rows=20, cols=10), "Params"), ((), "tuple")]:
        monkeypatch.undo()
        record_base(monkeypatch, cls, "update_params", returning(bad))
        with pytest.raises(TypeError, match=rf"^Expected dict, got {name}$"):
            cls(1.0).update_params({}, image=image)
    monkeypatch.undo()
    record_base(monkeypatch, cls, "update_params", returning(None))
    if call == 1:
        with pytest.raises(TypeError, match=r"^'NoneType' object is not subscriptable$"):
            cls(1.0).update_params({}, image=image)
    else:
        assert cls(1.0).update_params({}, image=image) is None


def test_update_params_truncates_float_sizes(cls, monkeypatch):
    record_base(monkeypatch, cls, "update_params", lambda n, base, self, params, **kw: params)
    transform = cls(2.0)
    transform.update_params({"rows": 10.7, "cols": 3.2})
    assert list(state(transform).values())[:2] == [10, 3]
    assert tuple(state(transform).values())[2:] == SPEC[cls]["sizes"](10, 3, 2.0)


@pytest.mark.parametrize("base_result, ratio, error", [
    ({"cols": 40}, 1.0, KeyError("rows")),
    ({"rows": 40}, 1.0, KeyError("cols")),
    ({"rows": 40, "cols": None}, 1.0, TypeError),
    ({"rows": 40, "cols": 30}, math.nan, ValueError),
    ({"rows": 30, "cols": 40}, math.nan, ValueError),
], ids=["missing-rows", "missing-cols", "cols-None", "nan-portrait", "nan-landscape"])
def test_failed_update_keeps_the_previous_state(cls, monkeypatch, base_result, ratio, error):
    transform = cls(ratio)
    transform.aspect_ratio = 1.0
    transform.update_params({}, image=np.zeros((7, 5), np.uint8))
    transform.aspect_ratio = ratio
    before = state(transform)
    record_base(monkeypatch, cls, "update_params", lambda n, base, self, params, **kw: dict(base_result))
    with pytest.raises(type(error) if isinstance(error, BaseException) else error) as info:
        transform.update_params({})
    if isinstance(error, KeyError):
        assert info.value.args == error.args
    assert state(transform) == before
    with pytest.raises(NotImplementedError):
        transform.apply(np.zeros((40, 40), np.uint8), rows=40, cols=40)


def test_update_params_checks_its_argument(cls):
    for params, name in [([], "list"), (None, "NoneType"), (Params(), "Params")]:
        with pytest.raises(TypeError) as info:
            cls(1.0).update_params(params, image=np.zeros((2, 2)))
        assert str(info.value) == arg_type("params", "dict", name)


# --- size check and delegation --------------------------------------------------------------------

TARGETS = {
    "apply": np.zeros((100, 50, 3), np.uint8),
    "apply_to_bbox": (0.1, 0.2, 0.3, 0.4),
    "apply_to_keypoint": (1.0, 2.0, 0.0, 1.0),
}


@pytest.mark.parametrize("method", TARGETS)
@pytest.mark.parametrize("subclass", [False, True])
@pytest.mark.parametrize("params, template, got, expected", [
    ({}, COMPAT, None, None),
    ({"rows": None, "cols": None, "pad_top": 1, "image": 0}, COMPAT, None, None),
    ({"rows": 99, "cols": 50}, ROWS, 99, 100),
    ({"rows": 99, "cols": 49}, ROWS, 99, 100),
    ({"rows": 100, "cols": 49}, COLS, 49, 50),
    ({"cols": 50}, ROWS, None, 100),
    ({"rows": np.int64(100), "cols": None}, COLS, None, 50),
    ({"rows": 50, "cols": 100}, ROWS, 50, 100),
])
def test_size_check_rejects_parameters_of_another_input(cls, monkeypatch, method, subclass, params, template,
                                                       got, expected):
    kind = type(f"Derived{cls.__name__}", (cls,), {}) if subclass else cls
    transform = kind(1.0)
    transform.update_params({}, image=np.zeros((100, 50, 3), np.uint8))
    before = state(transform)
    calls = record_base(monkeypatch, cls, method)
    with pytest.raises(NotImplementedError) as info:
        getattr(transform, method)(TARGETS[method], **params)
    assert str(info.value) == template.format(got=got, expected=expected, name=kind.__name__)
    assert calls == [] and state(transform) == before


@pytest.mark.parametrize("method", TARGETS)
def test_targets_check_their_arguments_first(primed, monkeypatch, method):
    cls = type(primed)
    calls = record_base(monkeypatch, cls, method)
    cases = [({"rows": "x", "cols": 50}, arg_type("rows", "int", "str")),
             ({"rows": 100, "cols": [50]}, arg_type("cols", "int", "list"))]
    if method != "apply":
        arg = method.removeprefix("apply_to_")
        cases += [({"target": list(TARGETS[method])}, arg_type(arg, "tuple", "list")),
                  ({"target": Point(1, 2, 0, 1)}, arg_type(arg, "tuple", "Point")),
                  ({"target": None}, arg_type(arg, "tuple", "NoneType"))]
    for params, message in cases:
        target = params.pop("target", TARGETS[method])
        with pytest.raises(TypeError) as info:
            getattr(primed, method)(target, **params)
        assert str(info.value) == message
    assert calls == []


@pytest.mark.parametrize("method", TARGETS)
def test_targets_delegate_to_the_base_once_the_size_matches(primed, monkeypatch, method):
    cls, marker = type(primed), object()
    result = ["not", "an", "array"] if method == "apply" else (9.0, 8.0, 7.0, 6.0)
    calls = record_base(monkeypatch, cls, method, lambda *_a, **_k: result)
    for params in [{"rows": 100, "cols": 50, "pad_top": 3, "marker": marker},
                   {"rows": 100.0, "cols": np.float32(50.9)}]:
        calls.clear()
        assert getattr(primed, method)(TARGETS[method], **params) is result
        assert len(calls) == 1 and calls[0]["args"][0] is TARGETS[method] and len(calls[0]["args"]) == 1
        assert calls[0]["kwargs"] == params and all(calls[0]["kwargs"][k] is params[k] for k in params)
    # private check, called directly: other keywords are ignored
    check = getattr(primed, f"_{cls.__name__}__check_after_update")
    assert check(100, 50, image=None, anything=1) is None
    with pytest.raises(NotImplementedError, match=re.escape(COMPAT)):
        check(pad_top=1)


@pytest.mark.parametrize("method", ["apply_to_bbox", "apply_to_keypoint"])
def test_base_results_for_boxes_and_keypoints_are_checked(primed, monkeypatch, method):
    for result, name in [([1.0, 2.0, 3.0, 4.0], "list"), (Point(1.0, 2.0, 0.0, 1.0), "Point"),
                         ({}, "dict")]:
        monkeypatch.undo()
        record_base(monkeypatch, type(primed), method, lambda *_a, **_k: result)
        with pytest.raises(TypeError, match=rf"^Expected tuple, got {name}$"):
            getattr(primed, method)(TARGETS[method], rows=100, cols=50)
    monkeypatch.undo()
    record_base(monkeypatch, type(primed), method, lambda *_a, **_k: None)
    assert getattr(primed, method)(TARGETS[method], rows=100, cols=50) is None


def test_fresh_transform_only_accepts_an_empty_input(cls):
    transform = cls(1.0)
    expected = SPEC[cls]["base"].apply_to_keypoint(transform, (1.0, 2.0, 0.5, 1.0), rows=0, cols=0)
    assert transform.apply_to_keypoint((1.0, 2.0, 0.5, 1.0), rows=0, cols=0) == expected
    with pytest.raises(NotImplementedError, match=r"^Rows 1 does not match expected height 0\."):
        transform.apply(np.zeros((1, 1)), rows=1, cols=1)


def test_interleaved_inputs_are_caught(cls):
    transform, small, large = cls(1.0), np.zeros((20, 10), np.uint8), np.zeros((40, 30), np.uint8)
    params_small = transform.update_params({}, image=small)
    transform.update_params({}, image=large)
    with pytest.raises(NotImplementedError, match=r"^Rows 20 does not match expected height 40\."):
        transform.apply(small, **params_small)


def test_base_methods_are_found_through_the_subclass_mro(cls):
    log = []
    base = SPEC[cls]["base"]

    class Logging(base):
        def update_params(self, params, **kwargs):
            log.append("update_params")
            return super().update_params(params, **kwargs)

        def apply(self, img, **params):
            log.append("apply")
            return super().apply(img, **params)

        def apply_to_bbox(self, bbox, **params):
            log.append("apply_to_bbox")
            return super().apply_to_bbox(bbox, **params)

        def apply_to_keypoint(self, keypoint, **params):
            log.append("apply_to_keypoint")
            return super().apply_to_keypoint(keypoint, **params)

    combined = type(f"Logged{cls.__name__}", (cls, Logging), {})
    data = sample(30, 20)
    out = compose([combined(0.8)])(**data)
    assert log == ["update_params"] * 2 + ["apply"] + ["apply_to_bbox"] * 2 + ["apply_to_keypoint"] * 3
    assert_same_output(out, compose([cls(0.8)])(**data))


# --- copies, serialisation, compositions, workers -------------------------------------------------

CONFIGS = [
    (FracBorder, dict(aspect_ratio=1.5, position="top_left", border_mode=cv2.BORDER_REFLECT_101,
                      value=(1, 2, 3), mask_value=4, always_apply=True, p=0.25)),
    (FracMiddle, dict(aspect_ratio=0.75, always_apply=True, p=0.25)),
]


@pytest.mark.parametrize("kind, config", CONFIGS, ids=["FracBorder", "FracMiddle"])
def test_copies_keep_configuration_and_state(kind, config):
    transform = kind(**config)
    params = transform.update_params({}, image=np.zeros((60, 30, 3), np.uint8))
    copies = [copy.copy(transform), copy.deepcopy(transform)] + [
        pickle.loads(pickle.dumps(transform, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    for duplicate in copies:
        assert type(duplicate) is kind and vars(duplicate) == vars(transform)
        assert duplicate.apply_to_keypoint((1.0, 2.0, 0.0, 1.0), **params) == \
            transform.apply_to_keypoint((1.0, 2.0, 0.0, 1.0), **params)
    before = state(transform)
    copies[1].update_params({}, image=np.zeros((10, 90), np.uint8))
    assert state(transform) == before and state(copies[1]) != before


@pytest.mark.parametrize("kind, config", CONFIGS, ids=["FracBorder", "FracMiddle"])
def test_to_dict_from_dict_round_trip(kind, config):
    transform = kind(**config)
    serialised = A.to_dict(transform)
    assert serialised["transform"] == {
        "__class_fullname__": kind.__name__, "always_apply": True, "p": 0.25,
        **{name: config[name] for name in SPEC[kind]["init_args"]},
    }
    restored = A.from_dict(json.loads(json.dumps(serialised)))
    assert type(restored) is kind and A.to_dict(restored) == json.loads(json.dumps(serialised))
    if kind is FracBorder:  # position is not serialised: the restored transform has the default
        assert restored.position is A.PadIfNeeded.PositionType.CENTER
    pipeline = compose([A.OneOf([kind(**config), A.HorizontalFlip()], p=0.5)])
    again = A.from_dict(A.to_dict(pipeline))
    assert type(again.transforms[0].transforms[0]) is kind


@pytest.mark.parametrize("shape", [(40, 30), (30, 40), (7, 7), (1, 9)])
def test_one_of_and_sequential(shape):
    import random

    data = sample(*shape)
    border, middle = FracBorder(1.6), FracMiddle(1.0)
    alone = {t: compose([t])(**data) for t in (border, middle)}
    seen = set()
    for seed in range(12):
        random.seed(seed)
        out = compose([A.OneOf([border, middle], p=1.0)])(**data)
        match = [t for t, expected in alone.items()
                 if expected["image"].shape == out["image"].shape
                 and np.array_equal(expected["image"], out["image"])]
        assert match
        assert_same_output(out, alone[match[0]])
        seen.add(type(match[0]))
    assert seen == {FracBorder, FracMiddle}
    out = compose([A.Sequential([border, middle], p=1.0)])(**data)
    padded = compose([plain_equivalent(border, *shape)])(**data)
    expected = compose([plain_equivalent(middle, *padded["image"].shape[:2])])(**padded)
    assert_same_output(out, expected)


@pytest.mark.parametrize("method", [m for m in ("spawn", "fork")
                                    if m in multiprocessing.get_all_start_methods()])
def test_pipelines_run_in_worker_processes(method):
    pipeline = compose([FracBorder(1.5), FracMiddle(0.75), FracBorder(0.5, position="bottom_right")])
    samples = [sample(*shape) for shape in [(40, 30), (30, 40), (1, 1), (1, 17), (64, 64), (17, 1)]]
    expected = [run_pipeline((pipeline, s)) for s in samples]
    with multiprocessing.get_context(method).Pool(2) as pool:
        results = pool.map(run_pipeline, [(pipeline, s) for s in samples])
    for (image, bboxes, keypoints), (e_image, e_bboxes, e_keypoints) in zip(results, expected):
        np.testing.assert_array_equal(image, e_image)
        assert (bboxes, keypoints) == (e_bboxes, e_keypoints)


# --- reference counts and memory ------------------------------------------------------------------

def test_repeated_use_is_stable(memory_growth):
    image = np.zeros((12, 9, 3), np.uint8)
    bbox, keypoint, bad_bbox, text = (0.1, 0.2, 0.5, 0.6), (1.0, 2.0, 0.0, 1.0), [0.1, 0.2, 0.5, 0.6], "x"
    inputs = [image, bbox, keypoint, bad_bbox, text]
    transforms = [FracBorder(1.5), FracMiddle(2.0)]
    pipeline = compose([FracBorder(0.7), FracMiddle(1.3)])
    data = sample(12, 9)

    def run_once():
        for t in transforms:
            params = t.update_params({}, image=image)
            t.apply(image, **params)
            t.apply_to_bbox(bbox, **params)
            t.apply_to_keypoint(keypoint, **params)
            t.get_transform_init_args_names()
            t.get_class_fullname()
            for call in (lambda: t.apply(image, rows=1, cols=9), lambda: t.apply(image),
                         lambda: t.apply_to_bbox(bad_bbox, **params), lambda: t.update_params(bad_bbox),
                         lambda: t.apply(image, rows=text), lambda: type(t)(0), lambda: type(t)(text)):
                try:
                    call()
                except (TypeError, ValueError, NotImplementedError):
                    pass
        pipeline(**data)
        FracBorder(2.0, border_mode=1.5)

    for _ in range(200):
        run_once()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in inputs + transforms + CLASSES]
    rss_growth = memory_growth(run_once, 3, 800, resident=True)
    traced_growth = memory_growth(run_once, 3, 300)
    assert [sys.getrefcount(obj) for obj in inputs + transforms + CLASSES] == counts
    assert min(traced_growth) < 8 * 1024, traced_growth
    assert min(rss_growth) < 1024 * 1024, rss_growth
