"""Input builders shared by the fuzz targets of the transform modules.

Everything is drawn from an ``atheris.FuzzedDataProvider``: numbers (with NaN, infinities,
subnormals and huge values), the Python kind a number is passed as (including kinds a function
must refuse, and objects whose conversions run code that changes the inputs), arrays of any
dtype, byte order and stride, and small shapes. The targets compare the transforms with the
plain reference steps kept next to the tests, which are put on ``sys.path`` here.
"""

import math
import sys
import warnings
from fractions import Fraction
from pathlib import Path

import cv2
import numpy as np

# NumPy's and the reference steps' warnings are not findings, and printing them slows the fuzzer.
warnings.simplefilter("ignore")

ROOT = Path(__file__).resolve().parent.parent
for _path in (ROOT / "tests", ROOT / "tests" / "augmentations"):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))

# What a call may raise for input it refuses. Anything else (SystemError above all) is a finding.
REFUSALS = (TypeError, ValueError, OverflowError, KeyError, IndexError, AttributeError, ZeroDivisionError,
            NotImplementedError, cv2.error)

SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 1.5, 2.0, math.nan, math.inf, -math.inf, 5e-324, 1e-310, 1e-39, 1e-45,
           3.4028234663852886e38, 3.5e38, 1e300, -1e300, 2.0**53 + 1, 2.0**63, 0.9999999999999999,
           1.0000000000000002]


class Hook:
    """A number whose conversions and comparisons run ``effect`` once before answering."""

    def __init__(self, value, effect):
        self.value, self.effect = value, effect

    def _run(self):
        effect, self.effect = self.effect, None
        if effect is not None:
            effect()
        return self.value

    def __float__(self):
        return float(self._run())

    def __index__(self):
        value = self._run()
        return int(value) if isinstance(value, float) and math.isfinite(value) else value.__index__()

    __int__ = __index__

    def __eq__(self, other):
        return self._run() == other

    def __lt__(self, other):
        return self._run() < other

    def __le__(self, other):
        return self._run() <= other

    def __gt__(self, other):
        return self._run() > other

    def __ge__(self, other):
        return self._run() >= other

    __hash__ = object.__hash__

    def __repr__(self):
        return f"Hook({self.value!r})"


ANY = (Exception,)  # where both sides run, their errors are compared by type


def outcome(run, refusals=REFUSALS):
    """The result of ``run()``, or (type, message) of an error it is allowed to raise."""
    try:
        return run()
    except refusals as error:
        return type(error), str(error)


def failed(result):
    return isinstance(result, tuple) and len(result) == 2 and isinstance(result[0], type) \
        and issubclass(result[0], BaseException)


def same_type(got, want, what):
    """Both failed with the same error type, or both succeeded."""
    assert failed(got) == failed(want), (what, got, want)
    if failed(got):
        assert got[0] is want[0], (what, got, want)
    return not failed(got)


def assert_same_array(got, want, what=""):
    """Same dtype, shape and bytes (NaN payloads included)."""
    assert isinstance(got, np.ndarray), (what, type(got))
    assert got.dtype == want.dtype and got.shape == want.shape, (what, got.dtype, want.dtype, got.shape, want.shape)
    assert got.tobytes() == want.tobytes(), (what, got, want)


class Draw:
    """Typed draws from a FuzzedDataProvider."""

    def __init__(self, fdp):
        self.fdp = fdp

    def int(self, low, high):
        return self.fdp.ConsumeIntInRange(low, high)

    def bool(self):
        return self.fdp.ConsumeBool()

    def pick(self, items):
        return items[self.fdp.ConsumeIntInRange(0, len(items) - 1)]

    def float(self):
        how = self.int(0, 4)
        if how == 0:
            return self.pick(SPECIAL)
        if how == 1:
            return self.fdp.ConsumeRegularFloat()
        if how == 2:
            return self.fdp.ConsumeProbability()
        if how == 3:
            return float(self.int(-3, 300))
        return self.int(0, 64) / 8

    def fraction(self):
        """Mostly in [0, 1], sometimes anything."""
        return self.fdp.ConsumeProbability() if self.bool() else self.float()

    def kind(self, value, effect=None, wrong=True):
        """``value`` as one of the Python kinds a caller may pass; ``effect`` hooks a Hook."""
        kinds = ["float", "float", "float", "int", "np64", "np32", "fraction", "bool"]
        if effect is not None:
            kinds.append("hook")
        if wrong:
            kinds += ["str", "none", "list"]
        k = self.pick(kinds)
        finite = isinstance(value, (int, float)) and math.isfinite(value)
        if k == "int":
            return int(value) if finite and abs(value) < 2**70 else value
        if k == "np64":
            return np.float64(value)
        if k == "np32":
            with np.errstate(all="ignore"):
                return np.float32(value)
        if k == "fraction":
            return Fraction(value) if finite else value
        if k == "bool":
            return bool(value)
        if k == "hook":
            return Hook(value, effect)
        if k == "str":
            return str(value)
        if k == "none":
            return None
        if k == "list":
            return [value]
        return float(value)

    def shape(self, ndim_low=0, ndim_high=3, side=6):
        return tuple(self.int(0, side) for _ in range(self.int(ndim_low, ndim_high)))

    def values(self, dtype, shape):
        """An array of ``dtype`` (any byte order) filled from the fuzzer's bytes and special values."""
        dtype = np.dtype(dtype)
        count = int(np.prod(shape, dtype=np.int64))
        raw = self.fdp.ConsumeBytes(count * dtype.itemsize)
        raw += bytes(count * dtype.itemsize - len(raw))
        out = np.frombuffer(raw, dtype).reshape(shape).copy()
        if dtype.kind == "b":
            out = out.view(np.uint8) & 1
            return out.astype(dtype)
        if dtype.kind == "f" and count and self.bool():
            specials = np.array(SPECIAL, np.float64)
            flat = out.reshape(-1)
            with np.errstate(all="ignore"):
                for _ in range(self.int(0, 4)):
                    flat[self.int(0, count - 1)] = specials[self.int(0, len(specials) - 1)]
        return out

    def layout(self, array):
        """``array`` or a view of it with other strides, offsets or axis order."""
        how = self.int(0, 4)
        if how == 1 and array.ndim:
            return array[::-1]
        if how == 2 and array.ndim >= 2:
            return array.T
        if how == 3 and array.ndim and array.shape[0] > 1:
            return array[1::2]
        if how == 4 and array.ndim >= 2 and array.shape[-1] > 1:
            return array[..., ::-2]
        return array

    def image(self, dtypes, ndim_low=2, ndim_high=3, side=8):
        dtype = np.dtype(self.pick(dtypes))
        if dtype.itemsize > 1 and self.bool():
            dtype = dtype.newbyteorder()
        shape = self.shape(ndim_low, ndim_high, side)
        return self.layout(self.values(dtype, shape))


# --- the aspect-ratio transforms ------------------------------------------------------------------

RATIO_DTYPES = ["u1", "u2", "i2", "f4", "f8"]
POSITIONS = ["center", "top_left", "top_right", "bottom_left", "bottom_right", "random", "bogus", None]


def unpaddable(image, border_mode):
    """Whether FracBorder refuses the image: OpenCV's padding reads past an image without channels and
    never returns for an empty one in any border mode but constant (0)."""
    if image.ndim == 3 and image.shape[2] == 0:
        return True
    constant = isinstance(border_mode, int) and border_mode == 0
    return image.size == 0 and not (constant and image.ndim in (2, 3))


def ratio_case(draw, cls):
    """One input for FracBorder or FracMiddle, compared with the albumentations base class
    configured with the pixel sizes the ratio model derives."""
    import ratio_helpers as model

    border = cls.__name__ == "FracBorder"
    ratio = draw.kind(draw.float())
    kwargs = {"p": draw.kind(draw.fdp.ConsumeProbability()), "always_apply": draw.pick([False, True, 0, [1]])}
    if border:
        kwargs.update(position=draw.pick(POSITIONS), border_mode=draw.pick([0, 1, 2, 3, 4, 1.9, np.int64(4), "x"]),
                      value=draw.pick([0, 7, 2.5, (10, 20, 30), None]), mask_value=draw.pick([None, 3, (1, 2, 3)]))
        kwargs = {k: v for k, v in kwargs.items() if v is not None or k == "mask_value" or draw.bool()}
    transform = outcome(lambda: cls(ratio, **kwargs))
    if failed(transform):
        assert transform[0] in (TypeError, ValueError), transform
        return
    value = float(ratio)
    assert value > 0 or value != value, ("non-positive ratio accepted", ratio)
    assert transform.aspect_ratio == value or value != value
    assert transform.get_transform_init_args_names() == model.SPEC[cls]["init_args"]
    assert transform.get_class_fullname() == cls.__name__

    # a random position draws in each base update: the native update runs the base twice
    differential = not (border and str(getattr(transform, "position", "")).lower().endswith("random"))
    for _ in range(draw.int(1, 3)):
        image = draw.image(RATIO_DTYPES, 2, 3, 9)
        rows, cols = image.shape[:2]
        before = model.state(transform)
        params = {} if draw.int(0, 7) else draw.pick([type("D", (dict,), {})(), [], None])
        got = outcome(lambda: transform.update_params(params, image=image))
        if type(params) is not dict:
            assert failed(got) and got[0] is TypeError, got
            return
        sizes = outcome(lambda: model.SPEC[cls]["sizes"](rows, cols, transform.aspect_ratio))
        if not same_type(got, sizes, "update_params"):
            assert model.state(transform) == before, "state changed by a failed update"
            continue
        height, width = sizes
        assert got is params
        a, b = model.SPEC[cls]["size_attrs"]
        assert (getattr(transform, a), getattr(transform, b)) == (height, width)
        if not differential or border and height * width > 1 << 16:  # padding that large is not worth the time
            continue
        plain = model.plain_equivalent(transform, rows, cols)
        want = plain.update_params({}, image=image)
        assert got == want, (got, want)
        targets = [("apply", image), ("apply_to_bbox", tuple(sorted((draw.fdp.ConsumeProbability(),
                                                                     draw.fdp.ConsumeProbability())) * 2)),
                   ("apply_to_keypoint", (draw.float(), draw.float(), draw.float(), draw.float()))]
        refused = border and unpaddable(image, transform.border_mode)
        for method, target in targets:
            if not differential:
                break
            mine = dict(params)
            if draw.int(0, 9) == 0:  # parameters of another input
                key = "rows" if draw.bool() else "cols"
                mine[key] = draw.pick([mine[key] + 1, None, "3"])
            elif draw.int(0, 9) == 0:  # rows whose conversion changes the transform or the image
                mine["rows"] = Hook(rows, draw.pick([
                    lambda: setattr(transform, "aspect_ratio", 1e300),
                    lambda: setattr(transform, a, 10**6),
                    lambda: vars(transform).pop(f"_{cls.__name__}__last_input_height", None),
                    lambda: image.resize((0,), refcheck=False) if image.flags.owndata else None]))
                differential = False  # the hook's changes outlive the call
            with np.errstate(all="ignore"):
                got_target = outcome(lambda: getattr(transform, method)(target, **mine), ANY)
                if method == "apply" and refused and mine.get("rows") is params.get("rows") \
                        and mine.get("cols") is params.get("cols"):
                    # OpenCV would read past the image or never return: refused before the base is called
                    assert failed(got_target) and got_target[0] is ValueError, got_target
                elif mine.get("rows") is params.get("rows") and mine.get("cols") is params.get("cols"):
                    want_target = outcome(lambda: getattr(plain, method)(target, **mine), ANY)
                    if same_type(got_target, want_target, method):
                        if method == "apply" and image.size == 0:  # OpenCV pads nothing with uninitialised memory
                            assert type(got_target) is type(want_target)  # None from OpenCV, or an array
                            assert np.shape(got_target) == np.shape(want_target)
                        elif method == "apply":
                            assert_same_array(got_target, want_target, method)
                        else:
                            assert repr(got_target) == repr(want_target), (got_target, want_target)
                else:  # a size other than the one of the last update is refused
                    if not isinstance(mine["rows"], Hook):
                        assert failed(got_target), got_target
                        assert got_target[0] in (NotImplementedError, TypeError), got_target
        transform = transform if draw.bool() else cls(transform.aspect_ratio)
