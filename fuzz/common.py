"""Building blocks for the fuzz targets: inputs drawn from the fuzzer's bytes.

Every function takes an ``atheris.FuzzedDataProvider`` (``fdp``) and draws from it, so the same
bytes always build the same inputs (a finding replays from its file):

- :func:`pick` -- one of a list of options.
- :func:`number` -- a Python float or int, often a special one (NaN of either sign, +-inf, +-0,
  subnormals, the largest finite values, integers beyond float64's).
- :func:`values` / :func:`shape` -- the values of an array of a given dtype and size; a small shape.
- :func:`array` -- an ndarray of a drawn or given dtype and shape, in a drawn memory layout
  (contiguous, Fortran order, strided, reversed, unaligned, byte-swapped, read-only, a subclass),
  holding drawn values.
- :func:`hostile` -- a number, a sequence or an array-like object whose ``__float__``,
  ``__index__``, ``__int__``, ``__array__``, ``__eq__``, ``__bool__``, ``__len__`` or
  ``__getitem__`` changes a given array or list while the call under test holds it (fills the
  array with NaN or inf or makes it read-only; clears, grows or shortens the list), then answers.
- :func:`argument` -- any kind of argument: an array, a nested list, a scalar, None, a string,
  or a hostile object.
- :func:`call` -- runs a function and gives its result or the type of the exception it raised;
  a ``SystemError`` (an error set without failing, or failing without an error) is re-raised as a
  finding.

The driver (``fuzz/run.py``) runs targets with NumPy's floating-point warnings and Python's
warnings silenced (:func:`quiet`); targets change no process-wide state themselves, so the
regression tests (tests/test_fuzz_regressions.py) can replay them inside the test suite.
"""

import sys
import warnings

import numpy as np

SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, float("nan"), -float("nan"), float("inf"), -float("inf"),
    5e-324, -5e-324, 2.2250738585072014e-308 / 3, 1e-45, 1.1754942e-38, 1.7976931348623157e308,
    -1.7976931348623157e308, 3.4028235e38, 3.5e38, 65504.0, 1e300, 2.0**53 + 1, 2.0**63, -2.0**63,
    2.0**64, 1e-7, 1e-5, np.pi, -np.pi / 2,
]
SPECIAL_INTS = [0, 1, -1, 2, 3, 4, 5, 6, 7, 8, 255, 256, -128, 2**31 - 1, -2**31, 2**63 - 1, -2**63,
                2**64, -2**70]

FLOAT_DTYPES = [np.float64, np.float32]
DTYPES = FLOAT_DTYPES + [np.float16, np.longdouble, np.int64, np.int32, np.int16, np.int8, np.uint8,
                         np.uint16, np.uint32, np.uint64, np.bool_, np.complex128, np.complex64, object]
LAYOUTS = ["contiguous", "fortran", "strided", "reversed", "reversed_axes", "unaligned", "byteswapped",
           "readonly", "subclass", "broadcast"]


class Tagged(np.ndarray):
    """An ndarray subclass with nothing of its own."""


def pick(fdp, options):
    return options[fdp.ConsumeIntInRange(0, len(options) - 1)]


def number(fdp, integer=None):
    """A float (or, with ``integer`` or by chance, an int), often a special value."""
    if integer is None:
        integer = fdp.ConsumeIntInRange(0, 3) == 0
    if integer:
        return pick(fdp, SPECIAL_INTS) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-1000, 1000)
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return pick(fdp, SPECIAL_FLOATS)
    if kind == 1:
        return fdp.ConsumeRegularFloat()
    if kind == 2:
        return fdp.ConsumeFloat()  # any double, NaN and inf included
    return float(fdp.ConsumeIntInRange(-300, 300)) / pick(fdp, [1.0, 2.0, 7.0, 1024.0])


def values(fdp, size, dtype):
    """``size`` values for an array of ``dtype`` (as float64 or object, cast by the caller)."""
    dtype = np.dtype(dtype)
    if dtype.kind == "f" or dtype.kind == "c":
        out = np.array([number(fdp, integer=False) for _ in range(size)], dtype=np.float64)
    elif dtype.kind == "b":
        out = np.array([fdp.ConsumeBool() for _ in range(size)], dtype=bool)
    elif dtype.kind in "iu":
        info = np.iinfo(dtype)
        out = np.array([fdp.ConsumeIntInRange(int(info.min), int(info.max)) for _ in range(size)], dtype=dtype)
    else:
        out = np.empty(size, dtype=object)
        out[:] = [number(fdp) for _ in range(size)]
    return out


def shape(fdp, max_dims=4, max_side=6):
    return tuple(fdp.ConsumeIntInRange(0, max_side) for _ in range(fdp.ConsumeIntInRange(0, max_dims)))


def array(fdp, dtype=None, shape_=None, layout=None, max_dims=4, max_side=6):
    """An ndarray of ``dtype`` (drawn from DTYPES if None) and ``shape_`` (drawn if None) in
    ``layout`` (drawn from LAYOUTS if None) holding drawn values."""
    dtype = np.dtype(pick(fdp, DTYPES) if dtype is None else dtype)
    shape_ = shape(fdp, max_dims, max_side) if shape_ is None else tuple(shape_)
    layout = pick(fdp, LAYOUTS) if layout is None else layout
    size = int(np.prod(shape_, dtype=np.int64))
    flat = values(fdp, size, dtype)
    with np.errstate(all="ignore"):
        plain = flat.astype(dtype).reshape(shape_)
    if layout == "contiguous" or plain.ndim == 0:
        return plain
    if layout == "fortran":
        return np.asfortranarray(plain)
    if layout == "strided":  # every other element along every axis of a larger filled base
        base = np.full(tuple(2 * n + 1 for n in shape_), plain.flat[0] if size else 0, dtype=dtype)
        view = base[(slice(1, None, 2),) * len(shape_)]
        view[...] = plain
        return view
    if layout == "reversed":
        return plain[::-1].copy()[::-1]
    if layout == "reversed_axes":
        return plain[(slice(None, None, -1),) * plain.ndim].copy()[(slice(None, None, -1),) * plain.ndim]
    if layout == "unaligned" and dtype.itemsize > 1 and dtype.kind != "O":
        raw = np.frombuffer(bytearray(plain.nbytes + 1), dtype=np.uint8)[1:]
        view = raw.view(dtype).reshape(shape_)
        view[...] = plain
        return view
    if layout == "byteswapped" and dtype.itemsize > 1 and dtype.kind != "O":
        return plain.astype(dtype.newbyteorder("S"))
    if layout == "readonly":
        plain.flags.writeable = False
        return plain
    if layout == "subclass":
        return plain.view(Tagged)
    if layout == "broadcast":
        return np.broadcast_to(plain[:1], shape_) if shape_[0] else plain
    return plain


class _Hostile:
    """Changes its target (at most ``times`` times) from every callback before it answers."""

    def __init__(self, target, action, answer, times):
        self.target, self.action, self.answer, self.times = target, action, answer, times

    def _strike(self):
        if self.times <= 0:
            return
        self.times -= 1
        target = self.target
        try:
            if isinstance(target, list):
                {"clear": target.clear, "grow": lambda: target.extend([None, 1.5, [0.0]] * 50),
                 "pop": lambda: target and target.pop(), "replace": lambda: target and target.__setitem__(0, "x"),
                 "nan": lambda: target and target.__setitem__(0, float("nan"))}.get(self.action, target.clear)()
            elif isinstance(target, np.ndarray):
                if self.action == "readonly":
                    target.flags.writeable = False
                elif target.flags.writeable:
                    target[...] = {"nan": np.nan, "inf": np.inf, "zero": 0, "huge": 1e300}.get(self.action, -1) \
                        if target.dtype.kind in "fc" else 0
        except Exception:  # noqa: BLE001 - the change may be refused; the call goes on regardless
            pass

    def __eq__(self, other):
        self._strike()
        return self.answer == other

    __hash__ = object.__hash__

    def __bool__(self):
        self._strike()
        return bool(self.answer)


class _Number:
    def __float__(self):
        self._strike()
        return float(self.answer)

    def __index__(self):
        self._strike()
        return int(self.answer) if np.isfinite(self.answer) else 0

    __int__ = __index__


class _Sequence:
    def __len__(self):
        self._strike()
        return 2

    def __getitem__(self, index):
        self._strike()
        if not isinstance(index, int) or not -2 <= index < 2:
            raise IndexError(index)
        return self.answer


class _Array:
    def __array__(self, dtype=None, copy=None):
        self._strike()
        return np.full((2,), self.answer, dtype=dtype if dtype is not None else np.float64)


class HostileNumber(_Hostile, _Number):
    """A number (``__float__``, ``__index__``, ``__int__``, ``__bool__``, ``__eq__``)."""


class HostileSequence(_Hostile, _Sequence):
    """A sequence of two equal numbers (``__len__``, ``__getitem__``, ``__bool__``, ``__eq__``)."""


class HostileArray(_Hostile, _Number, _Sequence, _Array):
    """All of the above and ``__array__`` (a float64 array of two equal numbers)."""


HOSTILE_ACTIONS = ["nan", "inf", "zero", "huge", "readonly", "clear", "grow", "pop", "replace"]


def hostile(fdp, target):
    """An object that changes ``target`` (an ndarray: filled or made read-only; a list: cleared,
    grown, shortened or an item replaced) from its callbacks, at most a drawn number of times, and
    answers as a drawn number (or a sequence or array of two of it)."""
    cls = pick(fdp, [HostileNumber, HostileSequence, HostileArray])
    return cls(target, pick(fdp, HOSTILE_ACTIONS), number(fdp), fdp.ConsumeIntInRange(1, 3))


def argument(fdp, target=None, max_dims=4, max_side=6):
    """Any kind of argument; hostile ones change ``target`` (or a fresh array) mid-call."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 3:
        return array(fdp, pick(fdp, FLOAT_DTYPES) if kind <= 1 else None, max_dims=max_dims, max_side=max_side)
    if kind == 4:
        a = array(fdp, None, max_dims=max_dims, max_side=max_side, layout="contiguous")
        return a.tolist()
    if kind == 5:
        return number(fdp)
    if kind == 6:
        return pick(fdp, [None, "abc", b"\x00", (), [], [[]], np.float32(number(fdp)), True, 1j, object()])
    if kind == 7:
        return [number(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    return hostile(fdp, target if target is not None else np.zeros((2, 2)))


def call(function, *args, **kwargs):
    """The result of ``function(*args, **kwargs)``, or the type of the exception it raised.

    A SystemError is raised on: the native code broke the C API's error protocol."""
    try:
        return function(*args, **kwargs)
    except SystemError:
        raise
    except Exception as exc:  # noqa: BLE001 - an ordinary error is an outcome
        return type(exc)


def quiet():
    """Silences warnings for the process (the targets compare results, not warnings)."""
    warnings.simplefilter("ignore")
    np.seterr(all="ignore")
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 3000))
