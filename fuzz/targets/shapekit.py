"""Fuzz target: shapekit's functions on any input, and against the plain NumPy steps.

Half the inputs call a drawn function with drawn arguments of any kind (arrays of any dtype,
shape and layout, lists, scalars, None, objects whose conversions change the other arguments
mid-call): any ordinary exception is fine, a crash, a hang or a SystemError is a finding. The
other half build inputs where the tests expect the module and the steps in ``numpy_steps`` to
agree -- float32/float64 arrays of the expected shape in the tests' memory layouts, holding any
values (NaN, inf, subnormals, huge) -- and compare outcomes: the result's type, dtype, shape,
strides and bits (NaN where NaN is, the sign of zero, and the sign of NaN where the tests hold the
module to it), or the exception type (and message, for the regrouping), and what was written into
the inputs. A difference raises AssertionError.
"""

import sys
from pathlib import Path

_ROOT = Path(__file__).resolve().parents[2]
for _path in (_ROOT / "fuzz", _ROOT / "tests"):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))

import atheris  # noqa: E402
import numpy as np  # noqa: E402

import common  # noqa: E402
import numpy_steps as steps  # noqa: E402
from common import call, pick  # noqa: E402
from vornhaven.preprocessing import shapekit as sk  # noqa: E402

BR = sk.BoxReconstruction
FUNCTIONS = sorted(name for name in dir(sk) if not name.startswith("_") and callable(getattr(sk, name))
                   and name not in ("BoxReconstruction", "np"))
KEYWORDS = ["angle_in_deg", "angle_in_rad", "box_reconstruction_mode", "visualize", "size_factor", "boxes", "a"]


def _mode(fdp, foreign=True):
    """A reconstruction mode; ``foreign`` adds an enum member of another class with MIN's value, which
    the module compares unequal to its members while ``numpy_steps`` goes by the value."""
    return pick(fdp, [BR.MAX, BR.AVG, BR.MIN, 0, 2, None, "MAX"] + [steps.BoxReconstruction.MIN] * foreign)


# --------------------------------------------------------------------------------------------
# Any call
# --------------------------------------------------------------------------------------------


# The shapes of each function's array arguments (n, m, k: counts), so that calls reach past the checks.
SHAPES = {
    "vexl_to_keypoints": ["n5"], "vexl_to_box_corners": ["n5"], "box_corners_to_vexl": ["n42", "n"],
    "keypoints_to_vexl": ["n32"], "keypoints_to_box_corners": ["n32"], "inference_boxes_to_corners": ["n6"],
    "get_box_and_rotation_from_parallelogram_keypoints": ["n32"], "get_angles_from_points": ["n2"],
    "get_corner_points_from_box_tuples": ["n22"], "rot_mats_multi_rads": ["n22", "n"],
    "rot_points_multi_rads": ["nk2", "n"], "parallelogram_to_box": ["N2", "n"], "coordinate_transformation": ["32"],
    "intersect": ["2", "2", "2", "2"], "clipper": ["42", "2"], "intersections": ["n42", "n42", "m42", "m42"],
    "surrounding_rectangle_from_corners": ["n42"], "keypoints_trivial_lookup": [""],
    "assemble_keypoints_after_shuffle": ["N", "N", "N"],
}


def _shaped(fdp, name):
    counts = {"n": fdp.ConsumeIntInRange(0, 5), "m": fdp.ConsumeIntInRange(0, 5), "k": fdp.ConsumeIntInRange(0, 4)}
    counts["N"] = 2 * counts["n"] if name == "parallelogram_to_box" else 3 * counts["n"]
    args = []
    for spec in SHAPES[name]:
        dtype = pick(fdp, common.FLOAT_DTYPES) if fdp.ConsumeBool() else None
        args.append(common.array(fdp, dtype, tuple(counts.get(c, int(c) if c.isdigit() else 0) for c in spec)))
    return args


def _large(value):
    """A number (or a NumPy array holding one) beyond 10**5."""
    if isinstance(value, (int, float, np.generic, np.ndarray)):
        try:
            return bool(np.any(np.abs(np.asarray(value, dtype=np.float64)) > 1e5))
        except (TypeError, ValueError):
            return False
    return False


def any_call(fdp):
    name = pick(fdp, FUNCTIONS)
    pool = [common.array(fdp, pick(fdp, common.FLOAT_DTYPES)) for _ in range(fdp.ConsumeIntInRange(1, 2))]
    args = []
    if name in SHAPES and fdp.ConsumeBool():  # arguments of the right shapes, one maybe swapped for another kind
        pool = args = _shaped(fdp, name)
        if args and fdp.ConsumeBool():
            args[fdp.ConsumeIntInRange(0, len(args) - 1)] = common.argument(fdp, target=pick(fdp, args))
    for _ in range(fdp.ConsumeIntInRange(0, 5) if not args else 0):
        if fdp.ConsumeBool():
            args.append(pick(fdp, pool))
        else:
            held = pool + [a for a in args if isinstance(a, (list, np.ndarray))]  # what a callback may change
            args.append(common.argument(fdp, target=pick(fdp, held)))
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        kwargs[pick(fdp, KEYWORDS)] = _mode(fdp) if fdp.ConsumeBool() else common.argument(fdp, pick(fdp, pool))
    if name == "keypoints_trivial_lookup" and any(_large(a) for a in [*args, *kwargs.values()]):
        return  # its work grows with the count: a large one only takes long
    result = call(getattr(sk, name), *args, **kwargs)
    if isinstance(result, tuple) and result and all(callable(f) for f in result):  # coordinate_transformation
        for function in result:
            call(function, common.argument(fdp, target=pool[0]))


# --------------------------------------------------------------------------------------------
# Against the NumPy steps
# --------------------------------------------------------------------------------------------


# Where two NaN meet, NumPy's loops keep one or the other by loop and position in it; the module gives
# NumPy's NaN signs for these layouts (the NaN-sign tests), and NaN at the same places for all.
SIGN_LAYOUTS = {"contiguous", "strided", "reversed"}


def _twins(fdp, dtype, shape, signs):
    """Two equal arrays in a drawn layout (numpy_steps.twins); clears ``signs[0]`` for a layout
    whose NaN signs may differ."""
    values = common.values(fdp, int(np.prod(shape)), dtype).astype(dtype).reshape(shape)
    layout = pick(fdp, steps.BOX_LAYOUTS)
    signs[0] &= layout in SIGN_LAYOUTS
    return steps.twins(values, layout)


def _assert_identical(result, expected, nan_signs=True):
    """numpy_steps.assert_identical; without ``nan_signs`` the sign of NaN is left out."""
    if nan_signs:
        return steps.assert_identical(result, expected)
    if isinstance(expected, tuple):
        assert type(result) is tuple and len(result) == len(expected)
        for got, want in zip(result, expected):
            _assert_identical(got, want, False)
        return None
    if not isinstance(expected, np.ndarray) or expected.dtype.kind != "f":
        return steps.assert_identical(result, expected)
    assert type(result) is np.ndarray
    assert (result.dtype, result.shape, result.strides) == (expected.dtype, expected.shape, expected.strides)
    np.testing.assert_array_equal(result, expected)  # NaN where NaN is
    numbers = ~np.isnan(expected)
    np.testing.assert_array_equal(np.signbit(result)[numbers], np.signbit(expected)[numbers])
    return None


def _identical(got, expected):
    try:
        steps.assert_identical(got, expected)
    except AssertionError:
        return False
    return True


def _compare(name, args, reference_args, nan_signs=True, **kwargs):
    """Same outcome from the module and the steps, and the same writes into array arguments."""
    with np.errstate(all="ignore"):
        got = call(getattr(sk, name), *args, **kwargs)
        expected = call(getattr(steps, name), *reference_args, **kwargs)
    what = "result"
    try:
        _assert_identical(got, expected, nan_signs)
        for i, (arg, reference_arg) in enumerate(zip(args, reference_args)):
            if isinstance(arg, np.ndarray):
                what = f"argument {i} afterwards"
                _assert_identical(arg, reference_arg, nan_signs)
                _assert_identical(steps.whole(arg), steps.whole(reference_arg), nan_signs)
    except AssertionError as error:
        raise AssertionError(f"{name}: {what} differs; module {got!r}, steps {expected!r}; arguments afterwards "
                             f"{args!r}, {reference_args!r}, {kwargs!r}") from error


def boxes(fdp):
    n = fdp.ConsumeIntInRange(0, 6)
    dtype = pick(fdp, common.FLOAT_DTYPES)
    name = pick(fdp, ["vexl_to_keypoints", "vexl_to_box_corners", "box_corners_to_vexl", "keypoints_to_vexl",
                      "keypoints_to_box_corners", "inference_boxes_to_corners",
                      "get_box_and_rotation_from_parallelogram_keypoints", "get_angles_from_points",
                      "get_corner_points_from_box_tuples"])
    shape = {"vexl_to_keypoints": (n, 5), "vexl_to_box_corners": (n, 5), "box_corners_to_vexl": (n, 4, 2),
             "inference_boxes_to_corners": (n, 6), "get_angles_from_points": (n, 2),
             "get_corner_points_from_box_tuples": (n, 2, 2)}.get(name, (n, 3, 2))
    kwargs = {}
    if name == "inference_boxes_to_corners":
        dtype = np.float32
    signs = [True]
    pair = [_twins(fdp, dtype, shape, signs)]
    if name == "box_corners_to_vexl":
        pair.append(_twins(fdp, pick(fdp, common.FLOAT_DTYPES), (n,), signs))
    if name == "inference_boxes_to_corners" and fdp.ConsumeBool():
        size = common.number(fdp, integer=False)
        pair.append((size, size))
    if name == "get_box_and_rotation_from_parallelogram_keypoints":
        kwargs["box_reconstruction_mode"] = pick(fdp, list(BR))
    _compare(name, [p[0] for p in pair], [p[1] for p in pair], signs[0], **kwargs)


def rotations(fdp):
    kind = fdp.ConsumeIntInRange(0, 2)
    if kind == 2:
        angle = common.number(fdp)
        key = pick(fdp, ["angle_in_deg", "angle_in_rad"])
        with np.errstate(all="ignore"):  # the module converts with float() on entry, the steps do not
            got, expected = call(sk.get_rotation_matrix_2d, **{key: angle}), call(steps.get_rotation_matrix_2d,
                                                                                   **{key: float(angle)})
        assert _identical(got, expected), ("get_rotation_matrix_2d", angle, got, expected)
        return
    array_dtype, angle_dtype = pick(fdp, [(np.float64, np.float64), (np.float32, np.float32),
                                          (np.float64, np.float32)])
    n = fdp.ConsumeIntInRange(0, 6)
    shape = (n, fdp.ConsumeIntInRange(0, 4), 2) if kind == 0 else (n, 2, 2)
    name = "rot_points_multi_rads" if kind == 0 else "rot_mats_multi_rads"
    signs = [True]
    array, angles = _twins(fdp, array_dtype, shape, signs), _twins(fdp, angle_dtype, (n,), signs)
    _compare(name, [array[0], angles[0]], [array[1], angles[1]], signs[0])


def flat_to_box(fdp):
    n = fdp.ConsumeIntInRange(0, 5)
    signs = [True]
    flat = _twins(fdp, pick(fdp, common.FLOAT_DTYPES), (2 * n, 2), signs)
    index = np.array([fdp.ConsumeIntInRange(0, 1) + 2 * i for i in range(n)],
                     dtype=pick(fdp, [np.int64, np.int32, np.int16, np.uint8]))
    mode = _mode(fdp, foreign=False)
    _compare("parallelogram_to_box", [flat[0], index, mode], [flat[1], index.copy(), mode], signs[0])


def overlap(fdp):
    dtype = pick(fdp, common.FLOAT_DTYPES)
    name = pick(fdp, ["intersect", "intersections", "surrounding_rectangle_from_corners", "clipper"])
    if name == "intersect":
        points = [common.values(fdp, 2, dtype).astype(dtype) for _ in range(4)]
        _same(name, points)
    elif name == "intersections":
        na, nb = fdp.ConsumeIntInRange(0, 4), fdp.ConsumeIntInRange(0, 4)
        args = [common.values(fdp, n * k * 2, dtype).astype(dtype).reshape((n, k, 2))
                for n, k in ((na, 4), (na, 4), (nb, 4), (nb, 4))]
        _same(name, args)
    elif name == "surrounding_rectangle_from_corners":
        n = fdp.ConsumeIntInRange(0, 6)
        _same(name, [common.values(fdp, n * 8, dtype).astype(dtype).reshape((n, 4, 2))])
    else:
        box = common.values(fdp, 8, dtype).astype(dtype).reshape((4, 2))
        size = pick(fdp, [tuple, list, np.array])([fdp.ConsumeIntInRange(1, 300), fdp.ConsumeIntInRange(1, 300)])
        _same(name, [box, size])


def _same(name, args):
    """Equal outcome, values bit for bit (but for the sign of NaN), dtype and shape."""
    got = call(getattr(sk, name), *args)
    expected = call(getattr(steps, name), *[a.copy() if isinstance(a, np.ndarray) else a for a in args])

    def same(native, reference):
        if reference is None or isinstance(reference, (tuple, type)):
            assert type(native) is type(reference) if not isinstance(reference, type) else native is reference
            if isinstance(reference, tuple):
                assert len(native) == len(reference)
                for n, r in zip(native, reference):
                    same(n, r)
            return
        assert isinstance(native, np.ndarray)
        assert native.dtype == reference.dtype and native.shape == reference.shape
        if reference.dtype.kind != "f":
            assert native.tobytes() == np.ascontiguousarray(reference).tobytes()
            return
        # NaN at the same places; the tests do not hold these functions to NumPy's NaN signs
        assert np.array_equal(native, reference, equal_nan=True)
        numbers = ~np.isnan(reference)
        assert np.array_equal(np.signbit(native)[numbers], np.signbit(reference)[numbers])

    try:
        same(got, expected)
    except AssertionError as error:
        raise AssertionError(f"{name}: module {got!r} != steps {expected!r}") from error


def frame(fdp):
    dtype = pick(fdp, [np.float64, np.float32, np.int64])
    spanning = steps.twins((np.array([fdp.ConsumeIntInRange(-5000, 5000) for _ in range(6)]) / 100).astype(dtype)
                           .reshape((3, 2)), pick(fdp, ["contiguous", "transposed", "strided", "reversed_axes"]))
    pairs = [call(sk.coordinate_transformation, spanning[0]), call(steps.coordinate_transformation, spanning[1])]
    if isinstance(pairs[1], type):
        assert pairs[0] is pairs[1] or isinstance(pairs[0], tuple), pairs  # pinv may fail where the module does not
        return
    n = fdp.ConsumeIntInRange(0, 5)
    points = np.array([fdp.ConsumeIntInRange(-10000, 10000) for _ in range(2 * n)], dtype=np.float64).reshape((n, 2))
    for got, expected in zip(*pairs):
        np.testing.assert_array_equal(got(points), expected(points))


IDS = ["0", "1", "2", "10", "01", "00", "٣", "a", "", " 4", "1\x00", "99", "é"]
LABELS = ["center", "top", "right"]


def regrouping(fdp):
    ids = list(dict.fromkeys(pick(fdp, IDS) for _ in range(fdp.ConsumeIntInRange(0, 4))))
    entries = [(box, label) for box in ids for label in LABELS]
    entries += [(pick(fdp, IDS), pick(fdp, LABELS + ["left"])) for _ in range(fdp.ConsumeIntInRange(0, 2))]
    order = [fdp.ConsumeIntInRange(0, 1 << 16) for _ in entries]
    entries = [entry for _, entry in sorted(zip(order, entries), key=lambda pair: pair[0])]
    if entries and fdp.ConsumeBool():
        del entries[fdp.ConsumeIntInRange(0, len(entries) - 1)]
    as_id = pick(fdp, [str, np.str_, lambda s: int(s) if s.isdecimal() else s])
    as_label = pick(fdp, [str, np.str_, lambda s: s if s != "top" else 7])
    form = pick(fdp, [tuple, list, np.array, lambda p: np.array(p, np.float32), lambda p: np.array(p).astype(np.int64),
                      lambda p: (np.float64(p[0]), int(p[1])), lambda p: (*p, 0.0)])
    coordinate = lambda: fdp.ConsumeIntInRange(-10**6, 10**6) / pick(fdp, [1, 8])  # noqa: E731 - finite, as in the tests
    keypoints = [form((coordinate(), coordinate())) for _ in entries]
    lists = (keypoints, [as_id(box) for box, _ in entries], [as_label(label) for _, label in entries])
    kwargs = {}
    for key in ("a", "b")[:fdp.ConsumeIntInRange(0, 2)]:
        rows = fdp.ConsumeIntInRange(0, 8)
        shape = pick(fdp, [(rows,), (rows, 3), (rows, 2, 0), (rows, 1, 2)])
        dtype = pick(fdp, [np.float64, np.int64, np.float32, np.bool_, np.uint8, np.complex128, "U2", object])
        values = (np.arange(np.prod(shape)).reshape(shape) % 5).astype(dtype)
        kwargs[key] = np.asfortranarray(values) if fdp.ConsumeBool() else values
    got = _result_or_error(sk.assemble_keypoints_after_shuffle, *lists, **kwargs)
    expected = _result_or_error(steps.assemble_keypoints_after_shuffle, *lists, **kwargs)
    if isinstance(expected, tuple) and isinstance(expected[0], type):
        assert got == expected, (got, expected)
    else:
        steps.assert_identical(got, expected)


def _result_or_error(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except SystemError:
        raise
    except Exception as exc:  # noqa: BLE001 - the failure is the outcome
        return type(exc), str(exc)


def lookup(fdp):
    count = 3 * fdp.ConsumeIntInRange(0, 1700) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 5000)
    steps.assert_identical(call(sk.keypoints_trivial_lookup, count), call(steps.keypoints_trivial_lookup, count))


CASES = [any_call, any_call, any_call, any_call, any_call, any_call, any_call,
         boxes, boxes, rotations, flat_to_box, overlap, overlap, frame, regrouping, lookup]


def one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    # The module gives NumPy's arctan2 answer for an output apart from its operands (see numpy_steps).
    with steps.arctan2_answer(steps.arctan2_apart), np.errstate(all="ignore"):
        pick(fdp, CASES)(fdp)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
