"""BandMixer: float32 images in [-1, 1] assembled from named channels of structured arrays.

Worked examples, every operation on every field type and layout against the NumPy steps (bit for
bit), integer min-max normalisation against OpenCV, the cache, configuration errors, Python code
that changes the image or the configuration during a call, pipelines, serialisation and the
class frame.
"""

import copy
import json
import pickle
import typing

import albumentations as A
import cv2
import numpy as np
import pytest

import bandmixer_steps as steps
from vornhaven.preprocessing.augmentations.transform import bandmixer
from vornhaven.preprocessing.augmentations.transform.bandmixer import BandMixer


def entry(selection, operation=None, name=None, operations=None, **bounds):
    channel_type = {"selection": selection}
    if name is not None:
        channel_type["name"] = name
    configuration = {"channel_type": channel_type}
    if operation is not None or bounds:
        operations = {"selection": operation, **bounds}
    if operations is not None:
        configuration["enable_operations"] = {"operations": dict(operations)}
    return {"channel": configuration}


def rgb(red, green, blue, dtype="u1"):
    image = np.zeros(np.shape(red), [("red", dtype), ("green", dtype), ("blue", dtype)])
    image["red"], image["green"], image["blue"] = red, green, blue
    return image


def assert_bits(actual, expected):
    """Equal float32 arrays bit for bit (any NaN matches any NaN)."""
    assert actual.dtype == expected.dtype == np.float32 and actual.shape == expected.shape
    nan = np.isnan(expected)
    np.testing.assert_array_equal(np.isnan(actual), nan)
    np.testing.assert_array_equal(actual[~nan].view(np.uint32), expected[~nan].view(np.uint32))


def both(channels, image):
    """The native result and the NumPy steps' result, each on its own copy of the configuration."""
    with np.errstate(all="ignore"):  # NumPy's warnings where channels take its steps
        native = BandMixer(copy.deepcopy(channels), False, 1.0).apply(image)
        expected = steps.assemble(copy.deepcopy(channels), image)
    return native, expected


# --- worked examples ------------------------------------------------------------------------------

def field(values, dtype="f4"):
    image = np.zeros(np.shape(values), [("x", dtype)])
    image["x"] = values
    return image


EXAMPLES = [
    (rgb([[0, 255], [51, 7]], 0, 0), entry("red"), [[-1.0, 1.0], [51 * 2 / 255 - 1, 7 * 2 / 255 - 1]]),
    (field([[0.0, 0.5], [1.0, 2.0]]), entry("x"), [[-1.0, 0.0], [1.0, 1.0]]),
    (rgb([[1, 2], [3, 4]], 0, 0), entry("red", "absolute_cap", min=10, max=10), [[0.0, 0.0], [0.0, 0.0]]),
    (rgb([[0, 25], [128, 255]], 0, 0), entry("red", "relative_cap", min=0.1, max=0.9),
     [[-1.0, -1.0], [(128 - 25.5) * 2 / 204 - 1, 1.0]]),
    (rgb([[-128, 127], [0, -1]], 0, 0, "i1"), entry("red"), [[-1.0, 1.0], [128 * 2 / 255 - 1, 127 * 2 / 255 - 1]]),
    (rgb([[10, 10], [10, 10]], 20, 31), entry("gray", "absolute_cap", min=0, max=40), [[0.0, 0.0], [0.0, 0.0]]),
    (rgb([[5, 6], [7, 8]], 0, 0), entry("custom", name="green"), [[-1.0, -1.0], [-1.0, -1.0]]),
    (rgb([[0, 1], [2, 4]], 0, 0), entry("red", "normalize"), [[-1.0, -0.5], [0.0, 1.0]]),
    (rgb([[3, 3], [3, 3]], 0, 0), entry("red", "normalize"), [[-1.0, -1.0], [-1.0, -1.0]]),
    (field([[4.0, 4.0], [4.0, 4.0]]), entry("x", "normalize"), [[0.0, 0.0], [0.0, 0.0]]),
    (rgb([[1, 2], [3, 4]], 0, 0), entry("red", "absolute_cap", min="0.5", max=np.float64(2.5)),
     [[-0.5, 0.5], [1.0, 1.0]]),
]


@pytest.mark.parametrize("image, channel, expected", EXAMPLES)
def test_worked_examples(image, channel, expected):
    out = BandMixer([channel], False, 1.0).apply(image)
    assert out.dtype == np.float32 and out.shape == (*image.shape, 1)
    np.testing.assert_allclose(out[..., 0], expected, rtol=0, atol=2e-7)


def test_grey_composite_truncates_and_a_field_named_gray_wins():
    image = rgb(10, 20, 31)
    grey = BandMixer.retrieve_channel("grey", image)
    assert BandMixer.retrieve_channel("gray", image) == grey == 20 and grey.dtype == np.uint8
    named = np.zeros((), [("red", "u1"), ("green", "u1"), ("blue", "u1"), ("a", "u2")])
    named["a"] = 1000
    assert BandMixer.retrieve_channel("a", named) == 1000


def test_defaults_are_written_into_the_configuration_and_plain_arrays_pass_through():
    channels = [entry("red"), entry("red", None, min=5), {"channel": {"channel_type": {"selection": "red"},
                                                                      "enable_operations": {}}}]
    transform = BandMixer(channels, False, 1.0)
    transform.apply(rgb([[1]], 2, 3))
    assert channels[0]["channel"] == {"channel_type": {"selection": "red"}}
    assert channels[1]["channel"]["enable_operations"]["operations"] == {"selection": None, "min": 0.0, "max": 1.0}
    assert channels[2]["channel"]["enable_operations"] == {}
    for plain in (np.zeros((4, 4, 3), np.uint8), np.zeros(3, np.dtype([]))):  # no field names
        assert transform.apply(plain) is plain and transform._BandMixer__last_img is not plain


# --- every operation on every field type, against the NumPy steps --------------------------------

TYPES = ["u1", "i1", "u2", "i2", "u4", "i4", "u8", "i8", "f4", "f8", ">u2", ">i4", ">f4", ">f8", "f2", "?"]
OPERATIONS = [
    {}, {"selection": "normalize"},
    {"selection": "absolute_cap", "min": -0.25, "max": 0.75}, {"selection": "absolute_cap", "min": 0, "max": 300},
    {"selection": "absolute_cap", "min": -3e9, "max": 7e18}, {"selection": "absolute_cap", "min": 2.0, "max": 1.0},
    {"selection": "absolute_cap", "min": float("nan"), "max": 1.0},
    {"selection": "absolute_cap", "min": 3.5e38, "max": 1e300},  # the double loop before NEP 50
    {"selection": "absolute_cap", "min": 0.0, "max": 1e-39},     # a scale beyond float32
    {"selection": "relative_cap", "min": 0.1, "max": 0.9}, {"selection": "relative_cap", "min": -0.5, "max": 2},
    {"selection": "relative_cap", "min": 0, "max": 1},
]


@np.errstate(all="ignore")
def values(dtype, shape, rng):
    dtype = np.dtype(dtype)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        pool = np.array([info.min, info.max, 0, 1, info.max - 1], dtype)
        drawn = rng.integers(info.min, info.max, shape, dtype=dtype.newbyteorder("="), endpoint=True)
    elif dtype.kind == "f":
        pool = np.array([0.0, -0.0, 0.5, 1.0, -1.0, 1e-39, 3e38, -np.inf, np.inf], dtype)
        drawn = (rng.standard_normal(shape) * rng.choice([1e-3, 1, 1e4, 1e30], shape)).astype(dtype)
    else:
        return rng.integers(0, 2, shape).astype(dtype)
    mask = rng.random(shape) < 0.2
    drawn[mask] = rng.choice(pool, shape)[mask]
    return drawn


def layouts(image):
    """The image and views of it with other strides, offsets and axis orders."""
    return [image, image[::-2, 1:], image.T, image[1:2, 3], image[..., np.newaxis][:, :3]]


@pytest.mark.parametrize("dtype", TYPES)
def test_every_operation_matches_the_numpy_steps(dtype):
    rng = np.random.default_rng(sum(map(ord, dtype)))
    fields = [("pad", "u1"), ("red", dtype), ("green", dtype), ("blue", dtype)]  # unaligned fields
    image = np.zeros((7, 9), fields)
    for name, _ in fields:
        image[name] = values(image[name].dtype, image.shape, rng)
    kind = np.dtype(dtype).kind
    for operations in OPERATIONS:
        if operations.get("selection") == "relative_cap" and kind not in "iu":
            with pytest.raises(ValueError, match="Relative Cap"):
                BandMixer([entry("red", operations=operations)], False, 1.0).apply(image)
            continue
        fields_in_order = [entry(name, operations=operations) for name in ("red", "green", "blue")]
        mixed = [entry("gray", operations=operations), entry("pad"), entry("green", operations=operations)]
        for channels in (fields_in_order, mixed):
            for view in layouts(image):
                assert_bits(*both(channels, view))
    if kind == "f":
        image["green"][2, 2] = np.nan
        for operations in ({"selection": "normalize"}, {}):
            assert_bits(*both([entry(name, operations=operations) for name in ("red", "green", "blue")], image))


@pytest.mark.parametrize("dtype", ["u1", "i1", "u2", "i2", "i4"])
def test_integer_normalize_agrees_with_opencv_on_any_number_of_channels(dtype):
    rng = np.random.default_rng(3)
    image = rgb(*(values(dtype, (31, 17), rng) for _ in range(3)), dtype=dtype)
    channels = [entry(name, "normalize") for name in ("red", "green", "blue", "red")]
    native, expected = both(channels, image)
    assert_bits(native, expected)
    for channel, name in enumerate(("red", "green", "blue", "red")):
        reference = cv2.normalize(np.ascontiguousarray(image[name]), None, alpha=-1.0, beta=1.0,
                                  norm_type=cv2.NORM_MINMAX, dtype=cv2.CV_32F)
        np.testing.assert_allclose(native[..., channel], reference, rtol=0, atol=1e-6)
    assert native.min() == -1.0 and native.max() == 1.0


@pytest.mark.parametrize("shape", [(), (0, 5), (3,), (2, 3, 4), (1, 1), (2000, 3)])
def test_shapes_and_channel_counts(shape):
    image = rgb(*(np.random.default_rng(1).integers(0, 255, (3, *shape))), dtype="u2")
    for channels in ([], [entry("blue"), entry("red", "absolute_cap", min=0, max=9000)] * 3):
        native, expected = both(channels, image)
        assert_bits(native, expected)
    if image.size == 0:
        with pytest.raises(ValueError, match="zero-size array"):
            BandMixer([entry("red", "normalize")], False, 1.0).apply(image)


# --- the cache ------------------------------------------------------------------------------------

def test_cache_returns_one_private_copy_per_input_object():
    image = rgb([[1, 2]], 3, 4)
    transform = BandMixer([entry("red")], False, 1.0)
    first = transform.apply(image)
    cached = transform.apply(image)
    assert cached is not first and cached is transform._BandMixer__last_result and transform.apply(image) is cached
    assert transform._BandMixer__last_img is image
    np.testing.assert_array_equal(cached, first)
    first[...] = 5
    image["red"] = 200
    transform.channels.append(entry("blue"))
    assert transform.apply(image) is cached and cached.shape == (1, 2, 1) and cached.max() < 1
    other = image.copy()
    assert transform.apply(other).shape == (1, 2, 2) and transform._BandMixer__last_img is other
    for bad in ([entry("violet")], [entry("red", "bogus")]):
        transform.channels = bad
        with pytest.raises(ValueError):
            transform.apply(image)
        assert transform._BandMixer__last_img is other and transform.apply(other).shape == (1, 2, 2)


def test_cached_copies_are_reused_only_when_no_one_else_holds_them():
    rng = np.random.default_rng(4)
    images = [rgb(*rng.integers(0, 256, (3, 6, 5))) for _ in range(4)]
    channels = [entry("red"), entry("blue", "normalize")]
    transform = BandMixer(channels, False, 1.0)
    transform.apply(images[0])
    held = transform.apply(images[0])              # a hit hands out the cached copy itself
    view = transform._BandMixer__last_result[1:]  # and a view keeps the copy alive too
    kept, kept_view = held.copy(), view.copy()
    for image in images[1:] + images[:1] + images[1:]:  # misses: copies nobody holds may be reused
        expected = steps.assemble(copy.deepcopy(channels), image)
        assert_bits(transform.apply(image), expected)
        assert_bits(transform.apply(image), expected)   # the hit: the copy just written
    assert_bits(held, kept)
    assert_bits(view, kept_view)


# --- configuration errors ---------------------------------------------------------------------------

IMAGE = rgb([[1, 2]], 3, 4)
ERRORS = [
    ([entry("violet")], ValueError, "Channel violet not available. Available channels: red, green, blue."),
    ([entry("red", "bogus")], ValueError, 'Unknown operation "bogus" for channel red.'),
    ([entry("custom", 7, name="blue")], ValueError, 'Unknown operation "7" for channel blue.'),
    ([entry(3)], TypeError, "Expected str, got int"),
    ([entry("custom", name=b"red")], TypeError, "Expected str, got bytes"),
    ([entry(None)], TypeError, "Argument 'channel_name' has incorrect type (expected str, got NoneType)"),
    ([entry("custom")], KeyError, "'name'"),
    ([entry("red", "absolute_cap", min=0)], KeyError, "'max'"),
    ([entry("red", "absolute_cap", min="low", max=1)], ValueError, "could not convert string to float: 'low'"),
    ([entry("red", "relative_cap", min=[1])], TypeError, "float() argument must be"),
    ([{"channel": {}}], KeyError, "'channel_type'"),
    ([{}], KeyError, "'channel'"),
]


@pytest.mark.parametrize("channels, error, message", ERRORS)
def test_configuration_errors(channels, error, message):
    transform = BandMixer(channels, False, 1.0)
    with pytest.raises(error) as info:
        transform.apply(IMAGE)
    assert str(info.value).startswith(message)


def test_relative_cap_on_floats_and_argument_types():
    with pytest.raises(ValueError) as info:
        BandMixer([entry("x", "relative_cap")], False, 1.0).apply(field([[0.5]]))
    assert str(info.value) == ('"Relative Cap" can only be used on integer channels, not on channels of dtype '
                               'float32. Processing channel x failed for item.')
    for call, name, expected, got in [
        (lambda: BandMixer((entry("red"),), False, 1.0), "channels", "list", "tuple"),
        (lambda: BandMixer(type("L", (list,), {})(), False, 1.0), "channels", "list", "L"),
        (lambda: BandMixer([], False, 1.0).apply_to_bbox([0.1, 0.2, 0.3, 0.4]), "bbox", "tuple", "list"),
        (lambda: BandMixer([], False, 1.0).apply_to_keypoint(None), "keypoint", "tuple", "NoneType"),
        (lambda: BandMixer.retrieve_channel(b"red", IMAGE), "channel_name", "str", "bytes"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    with pytest.raises(TypeError):
        BandMixer([], False, "p")


# --- Python code running during a call ------------------------------------------------------------

class Hooked(dict):
    """A configuration mapping that runs `hook` when key `key` is read."""

    def __init__(self, data, key, hook):
        super().__init__(data)
        self.key, self.hook = key, hook

    def __getitem__(self, key):
        if key == self.key:
            self.hook()
        return super().__getitem__(key)

    def get(self, key, default=None):
        if key == self.key:
            self.hook()
        return super().get(key, default)


def mutations(image, channels):
    def reshape():
        image.shape = (image.shape[1], image.shape[0])

    def retype():
        image.dtype = [("red", "i1"), ("green", "u1"), ("blue", "i1")]

    def grow():
        channels.append(entry("red"))

    def empty():
        channels.clear()

    return [reshape, retype, grow, empty]


class Selection:
    """An operation name whose comparisons run `hook` first."""

    def __init__(self, name, hook):
        self.name, self.hook = name, hook

    def __eq__(self, other):
        self.hook()
        return self.name == other


@pytest.mark.parametrize("via", ["lookup", "comparison"])
@pytest.mark.parametrize("which", range(4))
def test_configuration_code_changing_the_image_or_the_list(which, via):
    """The call behaves as the NumPy steps do under the same changes: the same result or error."""
    outcomes = []
    for run in ("native", "steps"):
        image = rgb(np.arange(12).reshape(3, 4), 7, 9)
        channels = [entry("red"), entry("blue"), entry("green", "absolute_cap", min=0, max=50)]
        hook = mutations(image, channels)[which]
        fired = []

        def once():
            return fired or fired.append(hook())

        if via == "lookup":
            channels[1]["channel"]["enable_operations"] = Hooked(
                {"operations": {"selection": "normalize"}}, "operations", once)
        else:
            channels[1]["channel"]["enable_operations"] = {"operations": {"selection": Selection("normalize", once)}}
        try:
            if run == "native":
                outcomes.append(BandMixer(channels, False, 1.0).apply(image))
            else:
                outcomes.append(steps.assemble(channels, image))
        except (ValueError, IndexError) as error:
            outcomes.append((type(error), str(error)))
    native, expected = outcomes
    if isinstance(expected, tuple):
        assert native == expected
    else:  # an emptied list leaves the last channel as np.empty made it
        assert_bits(native[..., :2], expected[..., :2])


@pytest.mark.parametrize("reshape", [False, True])
def test_a_source_changed_after_it_was_read_is_computed_by_numpy(reshape):
    kept = np.arange(12, dtype=np.uint16).reshape(3, 4)

    class Keeping(BandMixer):
        @staticmethod
        def retrieve_channel(channel_name, img):
            return kept if channel_name == "kept" else BandMixer.retrieve_channel(channel_name, img)

    def change():
        kept.dtype = np.int16
        kept[0, 0] = -3
        if reshape:
            kept.shape = (4, 3)

    channels = [entry("kept", "absolute_cap", min=0, max=10),
                {"channel": Hooked({"channel_type": {"selection": "red"}}, "channel_type", change)}]
    transform = Keeping(channels, False, 1.0)
    if reshape:
        with pytest.raises(ValueError, match="broadcast"):
            transform.apply(rgb(np.ones((3, 4)), 0, 0))
        return
    out = transform.apply(rgb(np.ones((3, 4)), 0, 0))
    np.testing.assert_allclose(out[..., 0], np.clip(kept / 5 - 1, -1, 1), atol=1e-6)
    assert out[0, 0, 0] == -1 and out[2, 3, 0] == 1
    np.testing.assert_allclose(out[..., 1], 2 / 255 - 1, rtol=1e-6)


def test_replaced_np_global_runs_the_numpy_steps(monkeypatch):
    calls = []

    class Recorder:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(bandmixer, "np", Recorder())
    image = rgb(np.arange(6).reshape(2, 3), 4, 5, "i2")
    channels = [entry("red", "normalize"), entry("grey", "relative_cap", min=0.2, max=0.3), entry("blue")]
    assert_bits(*both(channels, image))
    assert {"empty", "subtract", "multiply", "clip", "iinfo", "min", "max", "add", "issubdtype"} <= set(calls)


# --- pipelines, serialisation, frame ------------------------------------------------------------------

CHANNELS = [entry("red"), entry("custom", "normalize", name="blue"), entry("grey", "absolute_cap", min=0, max=128)]


def test_compose_pipelines_with_boxes_keypoints_and_masks():
    image = rgb(*np.random.default_rng(5).integers(0, 255, (3, 24, 32)))
    mask = np.zeros((24, 32), np.uint8)
    boxes, keypoints = [(0.1, 0.2, 0.5, 0.6, "a")], [(3.0, 4.0, 0.5, 1.0)]
    data = dict(image=image, mask=mask, bboxes=boxes, keypoints=keypoints)
    params = dict(bbox_params=A.BboxParams("albumentations"), keypoint_params=A.KeypointParams("xyas"))
    out = A.Compose([BandMixer(CHANNELS, True, 1.0)], **params)(**data)
    assert_bits(out["image"], steps.assemble(copy.deepcopy(CHANNELS), image))
    assert out["mask"] is mask and out["bboxes"] == boxes and out["keypoints"] == keypoints
    flipped = A.Compose([BandMixer(CHANNELS, False, 1.0), A.HorizontalFlip(p=1.0)], **params)(**data)
    np.testing.assert_array_equal(flipped["image"], out["image"][:, ::-1])
    assert A.Compose([BandMixer(CHANNELS, False, 0.0)], **params)(**data)["image"] is image


def test_serialisation_copies_and_pickling():
    transform = BandMixer(CHANNELS, True, 0.25)
    serialised = A.to_dict(transform)
    assert serialised["transform"] == {"__class_fullname__": "BandMixer", "always_apply": True, "p": 0.25,
                                       "channels": CHANNELS}
    restored = A.from_dict(json.loads(json.dumps(serialised)))
    image = rgb([[1, 200]], 3, 4)
    assert type(restored) is BandMixer and restored.channels == CHANNELS
    for duplicate in (restored, copy.deepcopy(transform), pickle.loads(pickle.dumps(transform))):
        assert_bits(duplicate.apply(image), transform.apply(image.copy()))


def test_module_and_class_frame():
    assert bandmixer.__doc__ == BandMixer.__doc__ == (
        "Assemble an unstructured image from configured channels of a structured array.")
    assert [n for n in vars(bandmixer) if not n.startswith("__")] == ["Any", "cast", "cv2", "np", "DualTransform",
                                                                       "BandMixer"]
    assert (bandmixer.Any, bandmixer.cast, bandmixer.cv2, bandmixer.np) == (typing.Any, typing.cast, cv2, np)
    assert BandMixer.__bases__ == (A.DualTransform,) and BandMixer.__module__ == bandmixer.__name__
    assert isinstance(vars(BandMixer)["retrieve_channel"], staticmethod)
    assert isinstance(vars(BandMixer)["get_class_fullname"], classmethod)
    lines = {
        "__init__": "BandMixer.__init__(self, list channels: list[dict[str, Any]], bool always_apply: bool, "
                    "double p: float) -> None",
        "retrieve_channel": "BandMixer.retrieve_channel(str channel_name: str, img: np.ndarray[Any, Any]) -> "
                            "np.ndarray[Any, Any]",
        "apply": "BandMixer.apply(self, img: np.ndarray[Any, Any], **_params: Any) -> np.ndarray[Any, Any]",
        "apply_to_bbox": "BandMixer.apply_to_bbox(self, tuple bbox: tuple[float, ...], **_params: Any) -> "
                         "tuple[float, ...]",
        "apply_to_keypoint": "BandMixer.apply_to_keypoint(self, tuple keypoint: tuple[float, ...], **_params: Any) "
                             "-> tuple[float, ...]",
        "get_transform_init_args_names": "BandMixer.get_transform_init_args_names(self) -> tuple[str]",
        "get_class_fullname": "BandMixer.get_class_fullname(cls) -> str",
    }
    assert {n for n, v in vars(BandMixer).items() if callable(v) or isinstance(v, (staticmethod, classmethod))} \
        == set(lines)
    for name, line in lines.items():
        function = getattr(BandMixer, name)
        function = getattr(function, "__func__", function)
        assert function.__doc__.split("\n\n")[0] == line and function.__qualname__ == f"BandMixer.{name}"
        assert "return" in function.__annotations__ and function.__defaults__ is None
    assert BandMixer.apply.__annotations__ == {"img": "np.ndarray[Any, Any]", "_params": "Any",
                                               "return": "np.ndarray[Any, Any]"}
    transform = BandMixer([], False, 1)
    assert transform.get_transform_init_args_names() == ("channels",)
    assert transform.get_transform_init_args_names() is BandMixer([], 1, 0.5).get_transform_init_args_names()
    assert vars(transform).items() >= {"channels": [], "_BandMixer__last_img": None,
                                       "_BandMixer__last_result": None}.items()
    assert (transform.p, transform.always_apply) == (1.0, False) and type(transform.p) is float
    bbox = (0.1, 0.2, 0.3, 0.4)
    assert transform.apply_to_bbox(bbox, rows=3) is bbox and transform.apply_to_keypoint(bbox) is bbox
    assert type("Sub", (BandMixer,), {}).get_class_fullname() == "Sub"


def test_repeated_use_is_stable(memory_growth):
    image = rgb(np.arange(20).reshape(4, 5), 1, 2)
    channels = [entry("red", "normalize"), entry("gray"), entry("blue", "absolute_cap", min=-1, max=4)]
    bad = [[entry("violet")], [entry("red", "bogus")], [entry(None)], [entry("red", "absolute_cap", min="x", max=1)]]

    def run():
        BandMixer(channels, False, 1.0).apply(image)
        for channels_bad in bad:
            try:
                BandMixer(channels_bad, False, 1.0).apply(image)
            except (ValueError, TypeError):
                pass

    run()
    growth = memory_growth(run, 3, 200)
    assert min(growth) < 8 * 1024, growth
