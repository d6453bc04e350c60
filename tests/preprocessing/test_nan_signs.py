"""The sign of NaN in shapekit's results: the native paths give the NaN the NumPy steps give.

A NaN keeps its sign through arithmetic, negation flips it, and the NaN an invalid operation
makes (inf - inf, 0 * inf, cos(inf)) has it set; where two NaN meet, NumPy's loops keep one or the
other, by loop and by position in it. The inputs hold +NaN and values that make NaN of their own,
at sizes across the vector bodies and remainders of NumPy's loops (past 64 boxes as well).
"""

import numpy as np
import pytest

import numpy_steps as steps
from numpy_steps import assert_identical, outcome, twins
from vornhaven.preprocessing import shapekit as sk

fit = sk.get_box_and_rotation_from_parallelogram_keypoints
steps_fit = steps.get_box_and_rotation_from_parallelogram_keypoints
SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -2.5, 1e300]
SIZES = [1, 2, 5, 9, 17, 70]
DTYPES = [(np.float64, np.float64), (np.float32, np.float32), (np.float64, np.float32)]


def special(rng, shape, dtype, share=0.4):
    values = rng.uniform(-10, 10, shape)
    mask = rng.random(shape) < share
    values[mask] = rng.choice(SPECIAL, mask.sum())
    with np.errstate(over="ignore"):
        return values.astype(dtype)


ROTATIONS = {
    "points": (sk.rot_points_multi_rads, steps.rot_points_multi_rads, (3, 2)),
    "matrices": (sk.rot_mats_multi_rads, steps.rot_mats_multi_rads, (2, 2)),
}


# Fortran-ordered points are left out: einsum's loop then runs across the sets, and which NaN a
# product keeps changes with the position in NumPy's vector loop.
@pytest.mark.parametrize("layout", ["contiguous", "strided", "reversed"])
@pytest.mark.parametrize("dtypes", DTYPES, ids=["f64", "f32", "f64-f32"])
@pytest.mark.parametrize("kind", ROTATIONS)
def test_rotations(kind, dtypes, layout):
    function, reference, item_shape = ROTATIONS[kind]
    rng = np.random.default_rng(len(layout) + 10 * dtypes[1]().itemsize)
    for n in SIZES:
        array, expected = twins(special(rng, (n, *item_shape), dtypes[0]), layout)
        angles = special(rng, (n,), dtypes[1])
        with np.errstate(all="ignore"):
            assert_identical(function(array, angles), reference(expected, angles))


@pytest.mark.parametrize("angle", [np.nan, np.inf, -np.inf, 1e300, -0.0])
@pytest.mark.parametrize("keyword", ["angle_in_rad", "angle_in_deg"])
def test_rotation_matrix(keyword, angle):
    with np.errstate(all="ignore"):
        expected = steps.get_rotation_matrix_2d(**{keyword: angle})
        assert_identical(sk.get_rotation_matrix_2d(**{keyword: angle}), expected)


def box_calls(rng, n, dtype):
    """(name, function, reference, arguments) on n boxes of special values."""
    keypoints = special(rng, (n, 3, 2), dtype)
    for mode in sk.BoxReconstruction:
        yield (f"fit {mode.name}", lambda k, mode=mode: fit(k, box_reconstruction_mode=mode),
               lambda k, mode=mode: steps_fit(k, box_reconstruction_mode=mode), [keypoints])
        longer = np.arange(n) * 2 + rng.integers(0, 2, n)
        yield (f"parallelogram_to_box {mode.name}", lambda f, i, mode=mode: sk.parallelogram_to_box(f, i, mode),
               lambda f, i, mode=mode: steps.parallelogram_to_box(f, i, mode),
               [special(rng, (2 * n, 2), dtype), longer])
    for name, shape in [("vexl_to_keypoints", (n, 5)), ("vexl_to_box_corners", (n, 5)),
                        ("keypoints_to_vexl", (n, 3, 2)), ("keypoints_to_box_corners", (n, 3, 2)),
                        ("get_corner_points_from_box_tuples", (n, 2, 2))]:
        yield name, getattr(sk, name), getattr(steps, name), [special(rng, shape, dtype)]
    yield ("box_corners_to_vexl", sk.box_corners_to_vexl, steps.box_corners_to_vexl,
           [special(rng, (n, 4, 2), dtype), special(rng, (n,), dtype)])
    for size_factor in [1.0, np.nan, np.inf]:
        yield ("inference_boxes_to_corners", sk.inference_boxes_to_corners, steps.inference_boxes_to_corners,
               [special(rng, (n, 6), np.float32), size_factor])


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_box_functions(dtype):
    rng = np.random.default_rng(7)
    for n in SIZES:
        for name, function, reference, args in box_calls(rng, n, dtype):
            copies = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
            assert_identical(outcome(function, *args), outcome(reference, *copies))
            assert_identical(args[0], copies[0])  # what was written in place
