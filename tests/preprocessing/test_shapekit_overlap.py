"""Overlap and clipping: intersect, clipper, intersections, surrounding_rectangle_from_corners.

Worked examples, properties, one differential test per function against the NumPy steps in
numpy_steps (bit for bit), errors and introspection.
"""

import inspect
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

from vornhaven.preprocessing import shapekit as sk

import numpy_steps as ref

ARRAY = "np.ndarray[Any, Any]"


def same(native, expected):
    """Equal values, dtype and shape, bit for bit (None and tuples element by element)."""
    if expected is None or isinstance(expected, tuple):
        assert type(native) is type(expected)
        if expected is not None:
            assert len(native) == len(expected)
            for n, e in zip(native, expected):
                same(n, e)
        return
    assert isinstance(native, np.ndarray)
    assert native.dtype == expected.dtype and native.shape == expected.shape
    assert native.tobytes() == np.ascontiguousarray(expected).tobytes()


def quiet(function, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return function(*args)


def rectangles(rng, n, dtype, spread=20.0):
    """Corners and half-side vectors of n random rotated rectangles, as inference_boxes_to_corners
    makes them."""
    boxes = np.column_stack([
        rng.uniform(0, spread, (n, 2)), rng.uniform(0.5, 6, (n, 2)), rng.uniform(-np.pi, np.pi, n),
    ]).astype(np.float32)
    corners, distances = sk.inference_boxes_to_corners(boxes)
    return corners.astype(dtype), distances.astype(dtype)


# --------------------------------------------------------------------------------------------
# Worked examples
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("a1, a2, b1, b2, expected", [
    ((0, 0), (1, 1), (0, 1), (1, 0), (0.5, 0.5)),          # diagonals of the unit square
    ((0, 0), (1, 0), (1.5, -1), (1.5, 1), None),           # would cross at lambda 1.5
    ((0, 0), (1, 0), (1, 0), (1, 1), (1, 0)),              # meet at an end point
    ((0, 0), (1, 0), (1 + 1e-12, -1), (1 + 1e-12, 1), (1 + 1e-12, 0)),  # 1e-12 beyond: tolerated
    ((0, 0), (1, 0), (0.5, 1e-12), (0.5, 1), (0.5, 1e-12)),  # clamped to b's end point
])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_intersect_examples(a1, a2, b1, b2, expected, dtype):
    points = [np.array(p, dtype=dtype) for p in (a1, a2, b1, b2)]
    result = sk.intersect(*points)
    same(result, quiet(ref.intersect, *points))
    if expected is None:
        assert result is None
    else:
        np.testing.assert_allclose(result, expected, rtol=1e-6, atol=1e-6)


def test_clipper_examples():
    inside = np.array([[10.0, 10.0], [10.0, 20.0], [20.0, 20.0], [20.0, 10.0]])
    clipped, found = sk.clipper(inside, (100, 100))
    np.testing.assert_allclose(clipped, inside[[1, 2, 3, 0]], atol=1e-12)
    assert np.array_equal(found, inside)

    corner = np.array([[-10.0, -10.0], [50.0, -10.0], [50.0, 50.0], [-10.0, 50.0]])
    clipped, found = sk.clipper(corner, (100, 100))
    np.testing.assert_allclose(clipped, [[50, 0], [50, 50], [0, 50], [0, 0]], atol=1e-12)
    assert np.array_equal(found, [[50, 50], [50, 0], [0, 50]])

    assert sk.clipper(corner + 500, (100, 100)) == (None, None)
    cover = np.array([[-10.0, -10.0], [-10.0, 200.0], [200.0, 200.0], [200.0, -10.0]])
    clipped, found = sk.clipper(cover, [100, 100], True)
    np.testing.assert_allclose(clipped, [[0, 99], [99, 99], [99, 0], [0, 0]], atol=1e-12)
    assert found.shape == (0,)


def test_intersections_examples():
    unit = np.array([[[0, 0], [0, 1], [1, 0], [1, 1]]], dtype=np.float64)
    half = np.array([[[0, 0.5], [0.5, 0], [0, 0], [0, 0]]])
    assert sk.intersections(unit, half, unit, half).tolist() == [[True]]
    for shift, overlapping in [(1.0, True), (1.0 + 1e-9, False), (3.0, False)]:
        moved = unit + np.array([shift, 0.0])
        assert sk.intersections(unit, half, moved, half).tolist() == [[overlapping]]
    for na, nb in [(0, 3), (3, 0), (0, 0)]:
        result = sk.intersections(np.zeros((na, 4, 2)), np.zeros((na, 4, 2)), np.zeros((nb, 4, 2)), np.zeros((nb, 4, 2)))
        assert result.dtype == bool and result.shape == (na, nb)


def test_surrounding_rectangle_truncates_toward_zero():
    corners = np.array([[[-0.5, 1.0], [3.7, 2.9], [1.0, -2.5], [0.0, 0.0]]])
    low, high = sk.surrounding_rectangle_from_corners(corners)
    assert low.dtype == high.dtype == np.int32
    assert low.tolist() == [[0, -2]] and high.tolist() == [[3, 2]]


# --------------------------------------------------------------------------------------------
# Properties
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_intersections_symmetric_and_reflexive(dtype):
    rng = np.random.default_rng(7)
    ca, da = rectangles(rng, 40, dtype)
    cb, db = rectangles(rng, 30, dtype)
    forward = sk.intersections(ca, da, cb, db)
    assert np.array_equal(forward, sk.intersections(cb, db, ca, da).T)
    assert sk.intersections(ca, da, ca, da).diagonal().all()


def test_clipping_a_box_inside_returns_it():
    rng = np.random.default_rng(3)
    corners, _ = rectangles(rng, 20, np.float64, spread=60)
    for box in corners[:, [0, 2, 3, 1]] + 20:  # cyclic order, inside a 200 x 200 image
        clipped, found = sk.clipper(box, (200, 200))
        np.testing.assert_allclose(clipped, box[[1, 2, 3, 0]], atol=1e-9)
        assert np.array_equal(found, box)


# --------------------------------------------------------------------------------------------
# Differential tests against the NumPy steps
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_intersect_matches_numpy_steps(dtype):
    rng = np.random.default_rng(11)
    for _ in range(400):
        a1, a2, b1 = rng.normal(size=(3, 2)) * rng.choice([1e-3, 1, 1e3])
        # b2 near a's line, or a's end point nudged by a few ulps: near-touching crossings
        b2 = a2 + rng.choice([0, 1e-12, 1e-7, 1.0]) * rng.normal(size=2) if rng.random() < 0.5 else rng.normal(size=2)
        points = [np.asarray(p, dtype=dtype) for p in (a1, a2, b1, b2)]
        strided = [np.repeat(p, 2)[::2] for p in points]
        try:
            expected = quiet(ref.intersect, *points)
        except AssertionError:
            with pytest.raises(AssertionError):
                sk.intersect(*points)
            continue
        same(sk.intersect(*points), expected)
        same(sk.intersect(*strided), expected)
    # integer image corners as clipper passes them, and lists through NumPy
    same(sk.intersect(np.array([-5.0, 3.0]), np.array([4.0, 3.5]), np.array([0, 0]), np.array([0, 99])),
         quiet(ref.intersect, np.array([-5.0, 3.0]), np.array([4.0, 3.5]), np.array([0, 0]), np.array([0, 99])))
    with pytest.raises(TypeError, match="unsupported operand"):  # lists: the NumPy steps' own error
        sk.intersect([0, 0], [2, 2], [0, 2], [2, 0])


def outcome(function, *args):
    try:
        return quiet(function, *args)
    except Exception as error:  # noqa: BLE001 - the exception type is the outcome
        return type(error)


def same_clipping(box, size):
    native, expected = outcome(sk.clipper, box, size), outcome(ref.clipper, box, size)
    if isinstance(expected, type):
        assert native is expected
        return
    same(native, expected)
    if expected[0] is not None:  # the layouts NumPy's steps leave behind
        assert native[0].strides == expected[0].strides and native[1].strides == expected[1].strides


SQUARE = np.array([[-10.0, -10.0], [50.0, -10.0], [50.0, 50.0], [-10.0, 50.0]])


@pytest.mark.parametrize("box, size", [
    (SQUARE, np.array([100, 80])),
    (SQUARE, np.array([100.5, 80.0])),
    (SQUARE, [100, 80.0]),
    (SQUARE, (100.25, 79.75)),
    (SQUARE, (2**60, 80)),                   # beyond float64's integers
    (SQUARE, (100, 1)),                      # a zero-length image border
    (SQUARE, (True, 80)),
    (SQUARE.astype(np.float32), (100, 80)),
    (np.asfortranarray(SQUARE), (100, 80)),
    (np.repeat(SQUARE, 2, axis=0)[::2], (100, 80)),
    (SQUARE[:3], (100, 80)),                 # three corners
    (np.vstack([SQUARE, [[20.0, 70.0]]]), (100, 80)),
    (np.array([[0.0, 0.0], [-0.0, 5.0], [5.0, 5.0], [5.0, -0.0]]), (100, 80)),  # zeros of both signs
    (np.array([[1.0, 1.0], [2.0, 2.0], [3.0, 3.0], [4.0, 4.0]]), (100, 80)),    # collinear: pinv
    (np.full((4, 2), 7.0), (100, 80)),       # all in one point
    (np.array([[-5.0, 3.0], [1e300, 3.0], [1e300, 9.0], [-5.0, 9.0]]), (100, 80)),
    (np.array([[np.nan, 3.0], [20.0, 3.0], [20.0, 9.0], [-5.0, 9.0]]), (100, 80)),
    (SQUARE + 500, (100, 80)),               # nothing inside
    (SQUARE * 10 - 200, (100, 80)),          # covers the image
])
def test_clipper_matches_numpy_steps_on_hard_cases(box, size):
    same_clipping(box, size)


def test_clipper_matches_numpy_steps():
    rng = np.random.default_rng(5)
    corners, _ = rectangles(rng, 300, np.float64, spread=140)
    for k, box in enumerate(corners[:, [0, 2, 3, 1]] - 20):
        size = [int(v) for v in rng.integers(20, 120, 2)]
        same_clipping(box, (tuple(size), np.array(size), [size[0] + 0.5, float(size[1])])[k % 3])


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_intersections_match_numpy_steps(dtype):
    rng = np.random.default_rng(13)
    ca, da = rectangles(rng, 60, dtype)
    cb, db = rectangles(rng, 50, dtype)
    # near-touching pairs: copies of a's rectangles shifted along their own sides by 0 or a few ulps
    shift = 2 * da[:10, 1] * (1 + rng.choice([-1, 0, 1], (10, 1)) * np.finfo(dtype).eps)
    cb[:10], db[:10] = ca[:10] + shift[:, None], da[:10]
    da[5, 0] = 0  # a zero-length side
    cb[7, 2] = np.nan
    expected = ref.intersections(ca, da, cb, db)
    assert np.array_equal(sk.intersections(ca, da, cb, db), expected)
    strided = [np.repeat(x, 2, axis=0)[::2] for x in (ca, da, cb, db)]
    assert np.array_equal(sk.intersections(*strided), expected)
    # the Python loop over the pairs agrees with the vectorised reference
    assert np.array_equal(ref.intersections(ca[:8], da[:8], cb[:8], db[:8], loop=True), expected[:8, :8])
    # mixed dtypes run the NumPy steps
    mixed = quiet(sk.intersections, ca[:6].astype(np.float64), da[:6], cb[:6], db[:6])
    assert np.array_equal(mixed, ref.intersections(ca[:6].astype(np.float64), da[:6], cb[:6], db[:6]))


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int16])
def test_surrounding_rectangle_matches_numpy_steps(dtype):
    rng = np.random.default_rng(17)
    corners = (rng.normal(size=(200, 4, 2)) * 300).astype(dtype)
    if dtype != np.int16:
        corners[3, 1, 0] = np.nan
        corners[4, 2, 1] = np.inf
        corners[5, 0, 0] = 3e9
    for array in (corners, corners[::-2, :, ::-1]):
        same(quiet(sk.surrounding_rectangle_from_corners, array), ref.surrounding_rectangle_from_corners(array))
    same(sk.surrounding_rectangle_from_corners(corners[:0]), ref.surrounding_rectangle_from_corners(corners[:0]))


# --------------------------------------------------------------------------------------------
# Errors, inputs, introspection
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("call", [
    lambda: sk.intersect(np.zeros(2), np.ones(2), np.zeros(2) + 2, np.ones(2) + 2),  # parallel
    lambda: sk.intersect(np.zeros(2), np.zeros(2), np.zeros(2), np.ones(2)),  # zero-length
    lambda: sk.intersections(np.zeros((2, 4, 2)), np.zeros((2, 4, 2)), np.zeros((1, 3, 2)), np.zeros((1, 4, 2))),
    lambda: sk.intersections(np.zeros((2, 4, 2)), np.zeros((3, 4, 2)), np.zeros((1, 4, 2)), np.zeros((1, 4, 2))),
    lambda: sk.intersections(np.zeros((2, 4, 2)), np.zeros((2, 4, 2)), np.zeros((1, 4, 2)), np.zeros((1, 4))),
    lambda: sk.surrounding_rectangle_from_corners(np.zeros((2, 3, 2))),
])
def test_shape_asserts(call):
    with pytest.raises(AssertionError):
        quiet(call)


def test_asserts_are_skipped_under_O():
    script = textwrap.dedent("""
        import warnings; warnings.simplefilter("ignore")
        import numpy as np
        from vornhaven.preprocessing import shapekit as sk
        print(sk.intersect(np.zeros(2), np.ones(2), np.array([0.0, 1.0]), np.array([1.0, 2.0])))
        print(sk.intersect(np.zeros(2), np.ones(2), np.zeros(2) + 2, np.ones(2) + 2))
    """)
    out = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, check=True).stdout
    # parallel: infinite parameters, None; collinear: NaN parameters, min(1.0, nan) keeps 1.0
    assert out.split("\n")[:2] == ["None", "[3. 3.]"]


def test_inputs_are_not_modified_and_bad_types_raise_numpys_errors():
    rng = np.random.default_rng(1)
    ca, da = rectangles(rng, 5, np.float32)
    arguments = [ca, da, ca[::-1], da[::-1]]
    copies = [a.copy() for a in arguments]
    sk.intersections(*arguments)
    sk.surrounding_rectangle_from_corners(ca)
    box = ca[0, [0, 2, 3, 1]]
    box_copy = box.copy()
    sk.clipper(box, (3, 3))
    assert all(np.array_equal(a, c) for a, c in zip(arguments, copies)) and np.array_equal(box, box_copy)
    with pytest.raises(TypeError):
        sk.intersect(np.zeros(2), "a", np.zeros(2), np.ones(2))
    with pytest.raises(TypeError):
        sk.intersections(ca, da, ca)
    with pytest.raises(AttributeError, match="shape"):
        sk.intersections(ca.tolist(), da, ca, da)
    with pytest.raises(AttributeError, match="shape"):
        sk.surrounding_rectangle_from_corners(ca.tolist())


SIGNATURES = {
    "intersect": ("(a1: 'Any', a2: 'Any', b1: 'Any', b2: 'Any') -> 'np.ndarray[Any, Any] | None'", "."),
    "clipper": (
        f"(box_corners: '{ARRAY}', image_size: '{ARRAY}', visualize: 'bool' = False) -> "
        f"'tuple[{ARRAY} | None, {ARRAY} | None]'",
        "Clip boxes at the edge of the image.\n",
    ),
    "intersections": (
        f"(corners_a: '{ARRAY}', distances_a: '{ARRAY}', corners_b: '{ARRAY}', distances_b: '{ARRAY}') -> '{ARRAY}'",
        "Compute intersections.\n\n",
    ),
    "surrounding_rectangle_from_corners": (f"(corners: '{ARRAY}') -> 'tuple[{ARRAY}, {ARRAY}]'", "."),
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_introspection(name):
    function = getattr(sk, name)
    signature, doc_start = SIGNATURES[name]
    assert str(inspect.signature(function)) == signature
    assert all(type(v) is str for v in function.__annotations__.values())
    head, _, text = function.__doc__.partition("\n\n")
    assert head.startswith(name + "(") and text.startswith(doc_start.partition("\n\n")[0].rstrip("\n"))
    assert function.__module__ == "vornhaven.preprocessing.shapekit"
    if name == "clipper":
        assert function.__defaults__ == (False,)
        assert "bool visualize: bool = False" in head
    if name == "intersections":
        assert function.__doc__.endswith(
            ":param distances_b:\n:return:") and "                          H---G\n" in function.__doc__
