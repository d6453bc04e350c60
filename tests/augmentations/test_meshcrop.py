"""MeshCrop: the mesh, the crop choice and its random draws, the rescaling, and the metadata of both
transforms of the module."""

import copy
import inspect
import itertools
import math
import pickle
import random
import sys
import types
import warnings

import albumentations as A
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from fracwindow_helpers import choose, compose, pixel_window, rescale_steps, sample, window
from vornhaven.preprocessing.augmentations.transform import fracwindow
from vornhaven.preprocessing.augmentations.transform.fracwindow import FracWindow, MeshCrop

ARRAY = "np.ndarray[Any, Any]"
FRACTIONS = "double x_min_percent: float = 0.0, double y_min_percent: float = 0.0, " \
            "double x_max_percent: float = 1.0, double y_max_percent: float = 1.0"
# method: (signature line, text, annotations)
METADATA = {
    (FracWindow, "__init__"): (
        f"FracWindow.__init__(self, {FRACTIONS}, bool always_apply: bool = False, double p: float = 1.0) -> None",
        "Initialize the transform.",
        {"x_min_percent": "float", "y_min_percent": "float", "x_max_percent": "float", "y_max_percent": "float",
         "always_apply": "bool", "p": "float", "return": "None"}),
    (FracWindow, "update_params"): (
        "FracWindow.update_params(self, dict params: dict[str, Any], **kwargs: Any) -> dict[str, Any]",
        "Update Albumentations params and compute crop coordinates.",
        {"params": "dict[str, Any]", "kwargs": "Any", "return": "dict[str, Any]"}),
    (FracWindow, "update_child"): ("FracWindow.update_child(self) -> None",
                                   "Update absolute crop coordinates from percent coordinates.", {"return": "None"}),
    (FracWindow, "_FracWindow__check_after_update"): (
        "FracWindow.__check_after_update(self, int rows: int | None = None, int cols: int | None = None, "
        "**_kwargs: Any) -> None", "Validate that Albumentations passed expected rows/cols after update.",
        {"rows": "int | None", "cols": "int | None", "_kwargs": "Any", "return": "None"}),
    (FracWindow, "apply"): (f"FracWindow.apply(self, img: {ARRAY}, **params: Any) -> {ARRAY}",
                            "Apply the crop to an image.", {"img": ARRAY, "params": "Any", "return": ARRAY}),
    (FracWindow, "apply_to_bbox"): (
        "FracWindow.apply_to_bbox(self, tuple bbox: tuple[float, ...], **kwargs: Any) -> tuple[float, ...]",
        "Apply the crop to a bounding box.",
        {"bbox": "tuple[float, ...]", "kwargs": "Any", "return": "tuple[float, ...]"}),
    (FracWindow, "apply_to_keypoints"): (
        "FracWindow.apply_to_keypoints(self, keypoints: Any, **params: Any) -> Any", "Apply the crop to keypoints.",
        {"keypoints": "Any", "params": "Any", "return": "Any"}),
    (MeshCrop, "__init__"): (
        "MeshCrop.__init__(self, int number_crops_x: int, int number_crops_y: int, double fracwindow_width: float, "
        "double fracwindow_height: float, bool renorm: bool = True, **_kwargs: Any) -> None",
        "Initialize the transform.",
        {"number_crops_x": "int", "number_crops_y": "int", "fracwindow_width": "float",
         "fracwindow_height": "float", "renorm": "bool", "_kwargs": "Any", "return": "None"}),
    (MeshCrop, "update_params"): (
        "MeshCrop.update_params(self, dict params: dict[str, Any], **kwargs: Any) -> dict[str, Any]",
        "Update Albumentations params, choose a crop and compute crop coordinates.",
        {"params": "dict[str, Any]", "kwargs": "Any", "return": "dict[str, Any]"}),
    (MeshCrop, "apply"): (f"MeshCrop.apply(self, img: {ARRAY}, **params: Any) -> {ARRAY}",
                          "Apply the crop to an image.", {"img": ARRAY, "params": "Any", "return": ARRAY}),
    (MeshCrop, "apply_to_mask"): (f"MeshCrop.apply_to_mask(self, img: {ARRAY}, **params: Any) -> {ARRAY}",
                                  "Apply the crop to a mask (masks are not rescaled).",
                                  {"img": ARRAY, "params": "Any", "return": ARRAY}),
    (MeshCrop, "apply_to_keypoints"): (
        "MeshCrop.apply_to_keypoints(self, keypoints: Any, int rows: int | None = None, "
        "int cols: int | None = None, **params: Any) -> Any", "Apply the crop to keypoints.",
        {"keypoints": "Any", "rows": "int | None", "cols": "int | None", "params": "Any", "return": "Any"}),
    (MeshCrop, "update_crops"): ("MeshCrop.update_crops(self, crops: CropsData) -> None",
                                 "Update crops and enable transform.", {"crops": "CropsData", "return": "None"}),
    (MeshCrop, "apply_crop"): ("MeshCrop.apply_crop(self, crop: CropData) -> None", "Apply a single crop.",
                               {"crop": "CropData", "return": "None"}),
    **{(MeshCrop, edge): (f"MeshCrop.{edge}(self, int i: int) -> float", f"Return relative {edge} for crop index.",
                          {"i": "int", "return": "float"}) for edge in ("x1", "x2", "y1", "y2")},
    **{(cls, "get_transform_init_args_names"): (
        f"{cls.__name__}.get_transform_init_args_names(self) -> tuple[str, ...]",
        "Return init argument names for Albumentations serialization.", {"return": "tuple[str, ...]"})
       for cls in (FracWindow, MeshCrop)},
    **{(cls, "get_class_fullname"): (f"{cls.__name__}.get_class_fullname(cls) -> str",
                                     "Return the class name as fullname.", {"return": "str"})
       for cls in (FracWindow, MeshCrop)},
}
DEFAULTS = {"__init__": {FracWindow: (0.0, 0.0, 1.0, 1.0, False, 1.0), MeshCrop: (True,)},
            "_FracWindow__check_after_update": {FracWindow: (None, None)},
            "apply_to_keypoints": {MeshCrop: (None, None)}}


@pytest.mark.parametrize("cls, name", METADATA, ids=[f"{c.__name__}.{n}" for c, n in METADATA])
def test_method_metadata(cls, name):
    func = vars(cls)[name]
    func = func.__func__ if isinstance(func, classmethod) else func
    line, text, annotations = METADATA[cls, name]
    short = name.replace("_FracWindow__", "__")
    assert func.__doc__ == f"{line}\n\n{text}"
    assert func.__annotations__ == annotations
    assert (func.__name__, func.__qualname__, func.__module__) == (short, f"{cls.__name__}.{short}",
                                                                   fracwindow.__name__)
    assert func.__defaults__ == DEFAULTS.get(name, {}).get(cls)
    assert list(inspect.signature(func).parameters)[1:] == [n for n in annotations if n != "return"]


def test_meshcrop_class_frame():
    assert MeshCrop.__doc__ == "Crop using a mesh of relative crops."
    getter = vars(MeshCrop)["batches_per_index"].fget
    assert getter.__doc__ == "MeshCrop.batches_per_index(self) -> int\n\nReturn number of batches per index."
    assert getter.__annotations__ == {"return": "int"} and vars(MeshCrop)["batches_per_index"].fset is None
    assert isinstance(vars(MeshCrop)["get_class_fullname"], classmethod)
    transform = MeshCrop(2, 3, 0.5, 0.5)
    names = transform.get_transform_init_args_names()
    assert names == ("number_crops_x", "number_crops_y", "fracwindow_width", "fracwindow_height")
    assert MeshCrop(1, 1, 1, 1).get_transform_init_args_names() is names
    assert transform.get_class_fullname() == "MeshCrop"


# --- the mesh ------------------------------------------------------------------------------------

def edges(crop):
    return crop.x1, crop.x2, crop.y1, crop.y2


def test_constructor_state_and_mesh():
    transform = MeshCrop(3, 2, 0.5, 0.6, renorm=0, ignored="yes")
    assert (transform.number_crops_x, transform.number_crops_y, transform.fracwindow_width,
            transform.fracwindow_height, transform.renorm) == (3, 2, 0.5, 0.6, False)
    assert transform.crop is None and transform.crops is None and transform.params == {}
    assert (transform.always_apply, transform.p, transform.x_min_percent, transform.x_max_percent) == (
        True, 1.0, 0.0, 1.0)
    cells = transform.all_crops.data
    assert [(c.index, c.max, c.number_of_crops_x, c.number_of_crops_y) for c in cells] == [
        (i, 6, 3, 2) for i in range(6)]
    assert [edges(c) for c in cells] == [(x1, x2, y1, y2) for (x1, x2), (y1, y2) in itertools.product(
        [(0.0, 0.5), (0.25, 0.75), (0.5, 1.0)], [(0.0, 0.6), (0.4, 1.0)])]
    assert transform.batches_per_index == 6 and MeshCrop(3.9, 2.2, 1, 1).batches_per_index == 6


def test_names_reach_python_as_interned_strings(monkeypatch):
    # CPython's type attribute cache keeps a reference to each name it caches, by the name's address:
    # a fresh str per lookup fills it with copies (the leak check saw memory grow per round)
    fresh = []

    class Watched(MeshCrop):
        def __getattribute__(self, name):
            if name is not sys.intern(name):
                fresh.append(name)
            return super().__getattribute__(name)

    def crop_data(*args, **kwargs):
        fresh.extend(k for k in kwargs if k is not sys.intern(k))
        return real(*args, **kwargs)

    real = fracwindow.CropData
    monkeypatch.setattr(fracwindow, "CropData", crop_data)
    Watched(2, 2, 0.5, 0.5)
    assert fresh == []


@pytest.mark.parametrize("args, x_edges", [
    ((1, 1, 0.3, 0.3), [(0.0, 0.3)]),
    ((3, 1, 1.0, 1.0), [(0.0, 1.0)] * 3),
    ((3, 1, 256, 256), [(0.0, 256.0), (1.0, 256.0), (2.0, 256.0)]),
])
def test_edges(args, x_edges):
    transform = MeshCrop(*args)
    assert [(transform.x1(i), transform.x2(i)) for i in range(args[0])] == x_edges


@settings(max_examples=200, deadline=None)
@given(st.integers(1, 40), st.integers(1, 40), st.floats(0, 1), st.floats(0, 1))
def test_fraction_meshes_always_build_within_the_image(nx, ny, width, height):
    # an edge that exceeds 1 only by rounding is 1.0, so the cells never look like pixel form
    transform = MeshCrop(nx, ny, width, height)
    for crop in transform.all_crops.data:
        assert 0 <= crop.x1 <= crop.x2 <= 1 and 0 <= crop.y1 <= crop.y2 <= 1
    if nx > 1:
        assert transform.x2(nx - 1) == 1.0 or abs(transform.x2(nx - 1) - 1) < 1e-12


def test_rounding_overshoot_is_one():
    transform = MeshCrop(5, 4, 0.2, 0.2)
    assert transform.y2(3) == 1.0 and transform.x2(4) == 1.0
    assert not transform.all_crops._needs_norm


@pytest.mark.parametrize("call, message", [
    (lambda t: t.x1(3), "i=3 must be in the range [0, 3)."),
    (lambda t: t.x1(-1), "i=-1 must be in the range [0, 3)."),
    (lambda t: t.y1(2.7), "i=2 must be in the range [0, 2)."),
    (lambda t: t.x2(3), "i=3 must be in the range [0, 3)."),
])
def test_edge_index_out_of_range(call, message):
    with pytest.raises(Exception) as info:
        call(MeshCrop(3, 2, 0.5, 0.5))
    assert type(info.value) is Exception and str(info.value) == message


def test_pixel_meshes_and_empty_meshes():
    assert MeshCrop(3, 1, 256, 256).x2(7) == 256.0
    for counts in [(0, 2), (2, 0), (-1, 3)]:
        with pytest.raises(Exception, match=r"^Either configure all crops to need normalization, or none\.$"):
            MeshCrop(*counts, 0.5, 0.5)
    with pytest.raises(TypeError, match="Argument 'number_crops_x' has incorrect type"):
        MeshCrop("3", 1, 0.5, 0.5)
    with pytest.raises(AssertionError, match="Number of crops is larger than 1"):
        MeshCrop(1, 1, math.nan, 0.5)


def test_pixel_mesh_normalised_per_input():
    transform = MeshCrop(3, 1, 256, 256, renorm=False)
    transform.apply_crop(transform.all_crops[1])
    transform.update_params({}, image=np.zeros((500, 1000), np.uint8))
    assert transform.crop is transform.crops[0] and transform.crop is not transform.all_crops[1]
    assert np.allclose(edges(transform.crop), (0.372, 0.628, 0.244, 0.756))
    assert pixel_window(transform) == window(fractions_of(transform.crop), 500, 1000)
    transform.update_params({}, image=np.zeros((256, 256), np.uint8))  # normalised again for another size
    assert edges(transform.crop) == (0, 1.0, 0, 1.0) and pixel_window(transform) == (0, 0, 256, 256)


# --- the choice ----------------------------------------------------------------------------------

def fractions_of(crop):
    return crop.x1, crop.y1, crop.x2, crop.y2


class StandIn(A.Crop):
    """A crop that albumentations calls as it calls MeshCrop (same `always_apply` and `p`): records
    Python's random state when `update_params` starts, where MeshCrop makes its choice, so that the
    draws albumentations itself makes around it (which differ between its releases) are measured."""

    def __init__(self, like, rows, cols):
        super().__init__(0, 0, cols, rows, always_apply=like.always_apply, p=like.p)
        self.states = []

    def update_params(self, params, **kwargs):
        self.states.append(random.getstate())
        return super().update_params(params, **kwargs)


@pytest.mark.parametrize("mesh", [(3, 2, 0.5, 0.6), (4, 4, 128, 96), (1, 1, 0.5, 0.5)])
@pytest.mark.parametrize("keypoints", [None, [], [(5.0, 5.0)] * 3, "sample"], ids=["none", "empty", "three", "many"])
def test_choice_matches_the_model_and_its_draws(mesh, keypoints, capsys):
    rows, cols = 300, 400
    data = sample(rows, cols, seed=1)
    data["keypoints"] = data["keypoints"] if keypoints == "sample" else keypoints or []
    if keypoints is None:
        del data["keypoints"]
    transform = MeshCrop(*mesh, renorm=False)
    transform.update_crops(transform.all_crops)
    stand_in = StandIn(transform, rows, cols)
    pipeline, measured = (compose([t]) if keypoints is not None else A.Compose(
        [t], bbox_params=A.BboxParams("pascal_voc")) for t in (transform, stand_in))
    for seed in range(12):
        random.seed(seed)
        measured(**data)
        # albumentations draws only before the choice, so the state after it is the model's
        assert len(stand_in.states) == 1 and random.getstate() == stand_in.states[0]
        random.setstate(stand_in.states.pop())
        printed = []
        expected = choose(transform.crops, data.get("keypoints"), rows, cols, printed)
        state = random.getstate()
        random.seed(seed)
        pipeline(**data)
        assert random.getstate() == state
        assert transform.crop is expected
        assert pixel_window(transform) == window(fractions_of(expected), rows, cols)
        assert capsys.readouterr().out == "weird\n" * len(printed)


def test_weird_when_no_centre_lies_in_a_crop(capsys):
    transform = MeshCrop(3, 1, 100, 100, renorm=False)  # pixel crops with gaps between them
    transform.update_crops(transform.all_crops)
    keypoints = [(10.0, 500.0)] * 6  # two groups of three: only the first centre is used
    seeds = [s for s in range(20) if (random.seed(s), random.random())[1] > 0.5]
    for seed in seeds:
        random.seed(seed)
        transform.update_params({}, image=np.zeros((1000, 1000), np.uint8), keypoints=keypoints)
        assert capsys.readouterr().out == "weird\n"


def test_apply_crop_fixes_the_crop_and_disabled_choice_keeps_the_window():
    transform = MeshCrop(2, 2, 0.5, 0.5, renorm=False)
    data = sample(40, 60)
    compose([transform])(**data)
    assert transform.crop is None and pixel_window(transform) == (0, 0, 60, 40)
    cell = transform.all_crops[3]
    transform.always_apply, transform.p = False, 0.0
    transform.apply_crop(cell)
    assert (transform.always_apply, transform.p, transform.applied_in_replay) == (True, 1.0, True)
    assert pixel_window(transform) == (0, 0, 60, 40)  # the cell is taken at the next input
    for seed in range(5):
        random.seed(seed)
        compose([transform])(**data)
        assert edges(transform.crop) == edges(cell) and transform.crop is not cell


ORDERS = list(itertools.permutations(["image", "mask", "bboxes", "keypoints"]))


@pytest.mark.parametrize("order", ORDERS, ids="-".join)
def test_every_target_is_cut_by_the_chosen_window(order):
    rows, cols = 90, 120
    data = sample(rows, cols, seed=7, dtype=np.float32)
    data = {k: data[k] for k in order}
    transform = MeshCrop(3, 3, 0.5, 0.5)
    transform.update_crops(transform.all_crops)
    pipeline = compose([transform])
    for seed in range(6):
        random.seed(seed)
        out = pipeline(**data)
        expected = compose([A.Crop(*window(fractions_of(transform.crop), rows, cols))])(**data)
        np.testing.assert_array_equal(out["image"], rescale_steps(expected["image"]))
        np.testing.assert_array_equal(out["mask"], expected["mask"])  # cropped, never rescaled
        assert out["mask"].dtype == np.uint8
        assert out["bboxes"] == expected["bboxes"] and out["keypoints"] == expected["keypoints"]


def test_keypoint_method_only_moves_keypoints():
    transform = MeshCrop(2, 2, 0.5, 0.5)
    transform.update_crops(transform.all_crops)
    params = transform.update_params({}, image=np.zeros((10, 20), np.uint8))
    chosen, state = transform.crop, random.getstate()
    keypoints = [(12.0, 7.0, 0.0, 1.0)] * 7
    moved = transform.apply_to_keypoints(keypoints, **params)
    assert transform.crop is chosen and random.getstate() == state
    assert moved == A.Crop(*pixel_window(transform)).apply_to_keypoints(keypoints, **params)
    assert transform.apply_to_keypoints(keypoints, rows=10.0, cols=20.5) == moved
    with pytest.raises(TypeError, match="Argument 'cols' has incorrect type"):
        transform.apply_to_keypoints(keypoints, rows=10, cols="20")


def guided_seed():
    """A seed whose first draw takes the keypoint-guided branch."""
    return next(s for s in range(100) if (random.seed(s), random.random())[1] > 0.5)


def test_failed_choice_leaves_the_window():
    transform = MeshCrop(2, 2, 0.5, 0.5)
    transform.update_crops(transform.all_crops)
    transform.update_params({}, image=np.zeros((10, 20), np.uint8))
    before = dict(vars(transform))
    random.seed(guided_seed())
    with pytest.raises(TypeError):  # the guided choice divides a keypoint by the size
        transform.update_params({}, image=np.zeros((30, 20), np.uint8), keypoints=[("x", 1.0)] * 4)
    assert vars(transform) == before


def test_callbacks_that_change_the_collection_mid_choice():
    transform = MeshCrop(2, 2, 0.5, 0.5)

    class Shrinking(float):
        def __truediv__(self, other):
            transform.crops.data.clear()
            transform.crops = None
            return float(self) / other

    transform.update_crops(fracwindow.CropsData(list(transform.all_crops.data)))
    before = pixel_window(transform)
    random.seed(guided_seed())
    with pytest.raises(AttributeError, match="find_crop"):
        transform.update_params({}, image=np.zeros((10, 20), np.uint8), keypoints=[(Shrinking(3), 4.0)] * 4)
    assert transform.crop is None and pixel_window(transform) == before


# --- the rescaling -------------------------------------------------------------------------------

def rescale_outcome(func, image):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = func(image)
        except Exception as error:  # noqa: BLE001 - the two sides must fail alike
            return type(error), str(error), [str(w.message) for w in caught]
    return result, [str(w.message) for w in caught]


def assert_same_rescale(image, errstate=None):
    transform = MeshCrop(1, 1, 1.0, 1.0)
    params = transform.update_params({}, image=image)
    original = image.copy()
    with np.errstate(**(errstate or {})):
        got = rescale_outcome(lambda img: transform.apply(img, **params), image)
        want = rescale_outcome(lambda img: rescale_steps(img[0:image.shape[0], 0:image.shape[1]]), image)
    np.testing.assert_array_equal(image, original)
    if isinstance(want[0], np.ndarray):
        assert got[0].dtype == want[0].dtype and got[0].shape == want[0].shape
        assert got[0].tobytes() == want[0].tobytes() and got[1] == want[1]
        assert np.shares_memory(got[0], image) == np.shares_memory(want[0], image)
    else:
        assert got == want


f32 = np.float32
CASES = {
    "float32": (np.random.default_rng(0).random((33, 17, 3)) * 255).astype(f32),
    "float64": np.random.default_rng(1).normal(size=(20, 30)),
    "grey-strided": (np.random.default_rng(2).random((40, 50)) * 9).astype(f32)[::-2, 1::3],
    "constant": np.full((5, 6, 3), 7, f32),
    "nan": np.array([[1, np.nan], [3, 4]], f32),
    "inf": np.array([[1, np.inf], [3, 4]], f32),
    "minus-inf": np.array([[-np.inf, 2], [3, 4]], np.float64),
    "overflowing-span": np.array([[-3e38, 3e38], [0, 1]], f32),
    "tiny-span": np.array([[1.0, np.nextafter(f32(1), f32(2))]], f32),
    "subnormal": np.array([[0, 1e-45, 3e-45], [1e-44, 2e-44, 1e-40]], f32),
    "signed-zeros": np.array([[0.0, -0.0], [-0.0, 5.0]], f32),
    "uint8": np.arange(12, dtype=np.uint8).reshape(3, 4),
    "float16": np.arange(12, dtype=np.float16).reshape(3, 4),
    "big-endian": np.arange(12, dtype=">f4").reshape(3, 4),
}


@pytest.mark.parametrize("name", CASES)
@pytest.mark.parametrize("errstate", [None, {"all": "raise"}], ids=["default", "raise"])
def test_rescale_equals_the_numpy_steps(name, errstate):
    assert_same_rescale(CASES[name], errstate)


@settings(max_examples=150, deadline=None)
@given(hnp.arrays(st.sampled_from([np.float32, np.float64]), hnp.array_shapes(min_dims=2, max_dims=3, max_side=40),
                  elements=st.floats(-1e6, 1e6, width=32)))
def test_rescale_property(image):
    assert_same_rescale(image)


def test_renorm_off_and_replaced_numpy(monkeypatch):
    image = np.arange(24, dtype=f32).reshape(4, 6)
    plain = MeshCrop(1, 1, 1.0, 1.0, renorm=False)
    params = plain.update_params({}, image=image)
    assert np.shares_memory(plain.apply(image, **params), image)
    calls = []
    shim = types.SimpleNamespace(**{n: (lambda f: lambda *a, **k: (calls.append(f.__name__), f(*a, **k))[1])(
        getattr(np, n)) for n in ("min", "max", "subtract", "multiply", "clip")})
    monkeypatch.setattr(fracwindow, "np", shim)
    renormed = MeshCrop(1, 1, 1.0, 1.0)
    out = renormed.apply(image, **renormed.update_params({}, image=image))
    assert calls == ["min", "max", "subtract", "multiply", "subtract", "clip"]
    assert out.tobytes() == rescale_steps(image).tobytes()


def test_worked_rescale():
    transform = MeshCrop(1, 1, 1.0, 1.0)
    image = np.array([[10.0, 15.0, 20.0]])
    params = transform.update_params({}, image=image)
    assert transform.apply(image, **params).tolist() == [[-1.0, 0.0, 1.0]]


# --- copies, serialisation, workers --------------------------------------------------------------

def test_copies_and_serialisation_keep_the_choice():
    data = sample(60, 80, seed=4, dtype=np.float32)
    # Every box centre lies in the first cell alone: a keypoint-guided choice among several cells
    # follows the order of a set of crops, which hash by identity, so copies may choose otherwise.
    data["keypoints"] = [(5.0, 5.0)] * 9
    transform = MeshCrop(3, 2, 0.5, 0.6)
    transform.update_crops(transform.all_crops)
    restored = A.from_dict(A.to_dict(compose([transform]))).transforms[0]
    assert type(restored) is MeshCrop and (restored.number_crops_x, restored.fracwindow_height) == (3, 0.6)
    assert restored.crops is None and restored.renorm is True
    for seed in range(6):  # guided and plain choices
        random.seed(seed)
        expected = compose([transform])(**data)
        for clone in (copy.deepcopy(transform), pickle.loads(pickle.dumps(transform))):
            random.seed(seed)
            out = compose([clone])(**data)
            assert out["image"].tobytes() == expected["image"].tobytes()
            assert out["bboxes"] == expected["bboxes"] and edges(clone.crop) == edges(transform.crop)
