"""FracWindow: the module frame, the pixel window, the size check and the transform in pipelines."""

import copy
import itertools
import logging
import math
import multiprocessing
import pickle
import random
import typing
from fractions import Fraction

import albumentations as A
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fracwindow_helpers import compose, pixel_window, run_pipeline, sample, window
from vornhaven.preprocessing.augmentations.transform import fracwindow
from vornhaven.preprocessing.augmentations.transform.fracwindow import FracWindow, MeshCrop

COMPAT = ("Rows and Columns have to be provided by a compatible version of Albumentations. Make sure you use the "
          "recommended version of Albumentations and report this incompatibility to a Vornhaven developer.")
TAIL = (". The current version of Albumentations is incompatible with the {name} augmentation.Make sure that you "
        "use the recommended version of Albumentations and report this incompatibility to a Vornhaven developer.")
INCOMPATIBLE = ("This version of Albumentations is incompatible with the FracWindow augmentation.Make sure that you "
                "use the recommended version of Albumentations and reportthis incompatibility to a Vornhaven "
                "developer.")


def coordinates(axis, name, low, high):
    return (f'The {axis} coordinates for the Transformation "{name}" are invalid:"0 <= {low} = {axis} min [%] '
            f'<= {high} = {axis} max [%] <= 1" does not hold')


def primed(cls, rows=100, cols=50):
    transform = FracWindow(0.1, 0.2, 0.7, 0.9) if cls is FracWindow else MeshCrop(2, 2, 0.6, 0.6)
    params = transform.update_params({}, image=np.zeros((rows, cols, 3), np.uint8))
    return transform, params


# --- module and class frame -----------------------------------------------------------------------

def test_module_namespace_in_order():
    names = [n for n in vars(fracwindow) if not n.startswith("__")]
    assert names == ["copy", "random", "product", "getLogger", "Any", "cast", "np", "Crop", "logger",
                     "FracWindow", "CropData", "CropsData", "MeshCrop"]
    bound = {"copy": copy, "random": random, "product": itertools.product, "getLogger": logging.getLogger,
             "Any": typing.Any, "cast": typing.cast, "np": np, "Crop": A.Crop}
    assert all(getattr(fracwindow, n) is v for n, v in bound.items())
    assert fracwindow.logger is logging.getLogger(fracwindow.__name__)
    assert fracwindow.__doc__ == FracWindow.__doc__ == "Crop using relative coordinates."
    assert not hasattr(fracwindow, "__all__")
    assert FracWindow.__bases__ == (A.Crop,) and MeshCrop.__bases__ == (FracWindow,)
    assert {n for n, v in vars(FracWindow).items() if callable(v) or isinstance(v, classmethod)} == {
        "__init__", "update_params", "update_child", "_FracWindow__check_after_update", "apply", "apply_to_bbox",
        "apply_to_keypoints", "get_transform_init_args_names", "get_class_fullname"}


def test_nothing_is_logged(caplog):
    caplog.set_level(logging.DEBUG)
    transform = FracWindow(0.2, 0.2, 0.8, 0.8)
    compose([transform])(**sample(30, 40))
    assert caplog.records == []


def test_class_level_methods():
    sub = type("Tuned", (FracWindow,), {})
    names = FracWindow().get_transform_init_args_names()
    assert names == ("x_min_percent", "y_min_percent", "x_max_percent", "y_max_percent")
    assert FracWindow(0.5).get_transform_init_args_names() is names
    assert FracWindow.get_class_fullname() == "FracWindow" and sub().get_class_fullname() == "Tuned"


# --- construction --------------------------------------------------------------------------------

def test_constructor_stores_floats_and_calls_the_base(monkeypatch):
    calls = []
    original = A.Crop.__init__
    monkeypatch.setattr(A.Crop, "__init__", lambda self, *a, **k: (calls.append((a, k)), original(self, *a, **k)))
    transform = FracWindow(0, 0, 1, True, always_apply=[1], p=1)
    assert calls == [((), dict(x_min=0, y_min=0, x_max=1, y_max=1, always_apply=True, p=1.0))]
    assert [type(v) for v in calls[0][1].values()] == [int, int, int, int, bool, float]
    assert [(getattr(transform, n), type(getattr(transform, n))) for n in
            ("x_min_percent", "y_min_percent", "x_max_percent", "y_max_percent")] == [(0.0, float), (0.0, float),
                                                                                      (1.0, float), (1.0, float)]
    assert (transform._FracWindow__last_input_width, transform._FracWindow__last_input_height) == (0, 0)
    assert transform.applied_in_replay is True and pixel_window(transform) == (0, 0, 1, 1)


@pytest.mark.parametrize("args, axis, low, high", [
    ((0.3, 0.0, 0.2, 1.0), "x", "0.3", "0.2"),
    ((-0.1, 0.0, 0.5, 1.0), "x", "-0.1", "0.5"),
    ((0.0, 0.0, 1.2, 1.0), "x", "0.0", "1.2"),
    ((math.nan, 0.0, 1.0, 1.0), "x", "nan", "1.0"),
    ((0.0, 0.0, 1.0, 1.5), "y", "0.0", "1.5"),
    ((0.0, 0.6, 1.0, 0.5), "y", "0.6", "0.5"),
    ((0.0, 0.0, 1.0, math.nan), "y", "0.0", "nan"),
])
@pytest.mark.parametrize("cls", [FracWindow, type("Sub", (FracWindow,), {})], ids=["FracWindow", "Sub"])
def test_bad_fractions_are_reported_after_they_were_stored(cls, args, axis, low, high):
    with pytest.raises(ValueError) as info:
        cls(*args)
    assert str(info.value) == coordinates(axis, cls.__name__, low, high)


@pytest.mark.parametrize("kwargs, name", [({"x_min_percent": "0"}, "x_min_percent"), ({"p": None}, "p"),
                                          ({"y_max_percent": [1]}, "y_max_percent")])
def test_non_numbers_are_rejected(kwargs, name):
    with pytest.raises(TypeError, match=f"'{name}'"):
        FracWindow(**kwargs)


@pytest.mark.parametrize("missing", ["x_min", "x_max", "y_min", "y_max"])
@pytest.mark.parametrize("how", ["none", "deleted"])
def test_base_without_a_window_is_incompatible(monkeypatch, missing, how):
    original = A.Crop.__init__

    def init(self, **kwargs):
        original(self, **kwargs)
        if how == "none":
            setattr(self, missing, None)
        else:
            delattr(self, missing)

    monkeypatch.setattr(A.Crop, "__init__", init)
    for cls in (FracWindow, type("Renamed", (FracWindow,), {})):
        with pytest.raises(NotImplementedError) as info:
            cls()
        assert str(info.value) == INCOMPATIBLE


# --- the pixel window ----------------------------------------------------------------------------

@pytest.mark.parametrize("fractions, rows, cols, expected", [
    ((0.0, 0.0, 1.0, 1.0), 480, 640, (0, 0, 640, 480)),
    ((0.25, 0.1, 0.75, 0.9), 480, 640, (160, 48, 480, 432)),
    ((0.5, 0.0, 0.5, 1.0), 10, 101, (50, 0, 51, 10)),  # round(50.5) == 50: half to even
    ((1.0, 1.0, 1.0, 1.0), 100, 100, (99, 99, 100, 100)),  # shifted back inside at the far edges
    ((0.0, 0.0, 0.0, 0.0), 7, 9, (0, 0, 1, 1)),
    ((0.0, 0.0, 1.0, 1.0), 0, 0, (-1, -1, 0, 0)),
])
def test_worked_windows(fractions, rows, cols, expected):
    transform = FracWindow(*fractions)
    transform.update_params({}, image=np.zeros((rows, cols), np.uint8))
    assert pixel_window(transform) == expected
    assert (transform._FracWindow__last_input_height, transform._FracWindow__last_input_width) == (rows, cols)


fraction = st.floats(0, 1)


@settings(max_examples=300, deadline=None)
@given(st.tuples(fraction, fraction, fraction, fraction), st.integers(0, 5000), st.integers(0, 5000),
       st.sampled_from([float, Fraction, np.float32]))
def test_window_matches_the_model_for_any_fractions_set_later(fractions, rows, cols, kind):
    # fractions set after construction are used as they are, unordered or of any numeric type
    transform = FracWindow()
    for name, value in zip(("x_min_percent", "y_min_percent", "x_max_percent", "y_max_percent"), fractions):
        setattr(transform, name, kind(value))
    transform.update_params({}, image=np.zeros((rows, cols), np.uint8))
    expected = window([kind(f) for f in fractions], rows, cols)
    assert pixel_window(transform) == expected
    assert all(type(v) is int for v in pixel_window(transform))


@pytest.mark.parametrize("bad, error", [(math.nan, ValueError), (math.inf, OverflowError), ("x", TypeError)])
def test_failed_update_leaves_size_and_window(bad, error):
    transform, _ = primed(FracWindow)
    before = dict(vars(transform))
    transform.y_max_percent = bad
    with pytest.raises(error):
        transform.update_params({}, image=np.zeros((20, 30), np.uint8))
    assert {k: v for k, v in vars(transform).items() if k != "y_max_percent"} == {
        k: v for k, v in before.items() if k != "y_max_percent"}


def test_update_params_calls_the_base_twice_and_checks_its_result(monkeypatch):
    results = iter([{"rows": 10.9, "cols": 20}, "second"])
    monkeypatch.setattr(A.Crop, "update_params", lambda self, params, **kw: next(results), raising=False)
    transform = FracWindow(0.5, 0.5)
    with pytest.raises(TypeError, match=r"^Expected dict, got str$"):
        transform.update_params({})
    assert (transform._FracWindow__last_input_height, transform._FracWindow__last_input_width) == (10, 20)
    assert pixel_window(transform) == (10, 5, 20, 10)
    for bad, error in [(None, "'NoneType' object is not subscriptable"), ({"cols": 2}, "'rows'"),
                       ([], "Expected dict, got list")]:
        monkeypatch.setattr(A.Crop, "update_params", lambda self, params, **kw: bad, raising=False)
        with pytest.raises((TypeError, KeyError), match=error):
            transform.update_params({})
    with pytest.raises(TypeError, match="Argument 'params' has incorrect type"):
        transform.update_params(type("D", (dict,), {})())


def test_subclass_overrides_are_honoured():
    class Logged(FracWindow):
        seen = []

        def update_child(self):
            self.seen.append(("child", self._FracWindow__last_input_height))
            super().update_child()

        def _FracWindow__check_after_update(self, **params):
            self.seen.append(("check", params["rows"]))

    transform = Logged(0.5, 0.5)
    params = transform.update_params({}, image=np.zeros((8, 6), np.uint8))
    transform.apply(np.zeros((8, 6)), **params)
    transform.apply_to_bbox((0.1, 0.1, 0.2, 0.2), **params)
    assert Logged.seen == [("child", 8), ("check", 8), ("check", 8)] and pixel_window(transform) == (3, 4, 6, 8)


# --- the size check ------------------------------------------------------------------------------

TARGETS = {"apply": np.zeros((100, 50, 3), np.uint8), "apply_to_bbox": (0.1, 0.1, 0.5, 0.5),
           "apply_to_keypoints": [(1.0, 2.0, 0.0, 1.0)]}
CASES = [({}, COMPAT), ({"rows": None, "cols": None}, COMPAT),
         ({"rows": 99, "cols": 50}, "Rows 99 does not match expected height 100" + TAIL),
         ({"rows": 100, "cols": 49}, "Cols 49 does not match expected width 50" + TAIL),
         ({"rows": 100}, "Cols None does not match expected width 50" + TAIL),
         ({"cols": 50}, "Rows None does not match expected height 100" + TAIL)]


@pytest.mark.parametrize("cls", [FracWindow, MeshCrop])
@pytest.mark.parametrize("method", TARGETS)
@pytest.mark.parametrize("params, message", CASES)
def test_size_check_before_every_target(cls, method, params, message):
    transform, _ = primed(cls)
    with pytest.raises(NotImplementedError) as info:
        getattr(transform, method)(TARGETS[method], **params, interpolation=1)
    assert str(info.value) == message.format(name=cls.__name__)


def test_size_check_converts_and_rejects_rows_and_cols():
    transform, _ = primed(FracWindow)
    check = transform._FracWindow__check_after_update
    assert check(rows=100.7, cols=np.int64(50), other=1) is None
    for bad in ("100", [100]):
        with pytest.raises(TypeError, match=r"Argument 'rows' has incorrect type \(expected int"):
            transform.apply(TARGETS["apply"], rows=bad, cols=50)
    with pytest.raises(TypeError, match="Argument 'bbox' has incorrect type"):
        transform.apply_to_bbox([0.1, 0.1, 0.5, 0.5], rows=100, cols=50)


def test_base_results_are_checked(monkeypatch):
    transform, params = primed(FracWindow)
    monkeypatch.setattr(A.Crop, "apply_to_bbox", lambda self, bbox, **kw: list(bbox))
    with pytest.raises(TypeError, match=r"^Expected tuple, got list$"):
        transform.apply_to_bbox((0.1, 0.1, 0.5, 0.5), **params)
    monkeypatch.setattr(A.Crop, "apply_to_bbox", lambda self, bbox, **kw: None)
    assert transform.apply_to_bbox((0.1, 0.1, 0.5, 0.5), **params) is None


def test_callbacks_that_change_the_transform_mid_call():
    transform, params = primed(FracWindow)

    class Sneaky:
        def __index__(self):
            transform.x_min_percent = math.nan  # read by the next update, not this check
            vars(transform).pop("_FracWindow__last_input_height")
            return 100

    with pytest.raises(AttributeError):
        transform.apply(TARGETS["apply"], rows=Sneaky(), cols=50)
    transform.x_min_percent = 0.5
    transform.update_params({}, image=np.zeros((100, 50), np.uint8))
    assert pixel_window(transform) == window((0.5, 0.2, 0.7, 0.9), 100, 50)


# --- pipelines -----------------------------------------------------------------------------------

ORDERS = list(itertools.permutations(["image", "mask", "bboxes", "keypoints"]))


@pytest.mark.parametrize("order", ORDERS, ids="-".join)
@pytest.mark.parametrize("fractions, rows, cols", [((0.1, 0.2, 0.7, 0.9), 60, 80), ((0.5, 0.0, 1.0, 0.5), 37, 91)])
def test_pipeline_equals_crop_with_the_same_window(order, fractions, rows, cols):
    data = sample(rows, cols, seed=rows)
    data = {k: data[k] for k in order}
    out = compose([FracWindow(*fractions)])(**data)
    expected = compose([A.Crop(*window(fractions, rows, cols))])(**data)
    for key in data:
        if key in ("image", "mask"):
            np.testing.assert_array_equal(out[key], expected[key])
        else:
            assert out[key] == expected[key]


def test_compositions_copies_and_serialisation():
    data = sample(50, 70, seed=3)
    transform = FracWindow(0.2, 0.1, 0.9, 0.8, p=0.75)
    expected = compose([A.Crop(*window((0.2, 0.1, 0.9, 0.8), 50, 70))])(**data)
    restored = A.from_dict(A.to_dict(compose([transform])))
    clone = restored.transforms[0]
    assert type(clone) is FracWindow and (clone.x_min_percent, clone.p) == (0.2, 0.75)
    for pipeline in [compose([copy.deepcopy(transform)]), pickle.loads(pickle.dumps(compose([transform]))),
                     compose([A.OneOf([FracWindow(0.2, 0.1, 0.9, 0.8)], p=1)]), restored,
                     compose([FracWindow(0.2, 0.1, 0.9, 0.8)], A.ReplayCompose)]:
        for t in pipeline.transforms:
            t.p = 1.0
        out = pipeline(**data)
        np.testing.assert_array_equal(out["image"], expected["image"])
        assert out["bboxes"] == expected["bboxes"] and out["keypoints"] == expected["keypoints"]
        if isinstance(pipeline, A.ReplayCompose):
            replayed = A.ReplayCompose.replay(out["replay"], **data)
            np.testing.assert_array_equal(replayed["image"], expected["image"])


def test_worker_processes():
    data = sample(40, 30, seed=5)
    pipeline = compose([FracWindow(0.25, 0.25, 0.75, 0.75)])
    local = run_pipeline((pipeline, data, 0))
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map(run_pipeline, [(pipeline, data, 0)] * 2)
    for result in results:
        np.testing.assert_array_equal(result[0], local[0])
        assert result[2:] == local[2:]

