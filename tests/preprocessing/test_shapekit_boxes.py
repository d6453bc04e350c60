"""Parallelogram and box geometry of shapekit: angles, corner points, parallelogram_to_box and the
fitting of boxes to parallelogram keypoints.

Results are compared bit for bit (values, dtype, shape, strides) with the plain NumPy steps in
``numpy_steps``, through the native paths and through NumPy's (the module's ``np`` replaced).
"""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.testing import assert_allclose, assert_array_equal

import numpy_steps as steps
from numpy_steps import BOX_LAYOUTS, assert_identical, outcome, twins
from vornhaven.preprocessing import shapekit as sk

PI = np.pi
BR = sk.BoxReconstruction
fit = sk.get_box_and_rotation_from_parallelogram_keypoints


# --------------------------------------------------------------------------------------------
# Worked examples
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("mode", list(BR))
def test_axis_aligned_rectangle(mode, path):
    keypoints = np.array([[[10.0, 10.0], [10.0, 6.0], [13.0, 10.0]]])
    corners, rotations = fit(keypoints, box_reconstruction_mode=mode)
    assert_allclose(corners, [[[7, 6], [13, 6], [13, 14], [7, 14]]], atol=1e-14)
    assert_allclose(rotations, [0.0], atol=1e-15)
    assert corners.dtype == rotations.dtype == np.float64


@pytest.mark.parametrize("mode, half_width", [(BR.MAX, 5.0), (BR.AVG, 4.0), (BR.MIN, 3.0), (7, 4.0)])
def test_sheared_parallelogram_widens_along_the_longer_axis(mode, half_width, path):
    corners, rotations = fit(np.array([[[0.0, 0.0], [1.0, -2.0], [4.0, 0.0]]]), box_reconstruction_mode=mode)
    w = half_width
    assert_array_equal(corners, [[[-w, -2], [w, -2], [w, 2], [-w, 2]]])
    assert_array_equal(rotations, [0.0])


def test_equal_half_axes_count_the_top_one_as_longer():
    # a rhombus: with top taken as the longer axis MAX widens the vertical side
    keypoints = np.array([[[0.0, 0.0], [3.0, -4.0], [5.0, 0.0]]])
    corners, rotations = fit(keypoints)
    assert_allclose(np.linalg.norm(corners[0, 0] - corners[0, 1]), 2 * 4.0, rtol=1e-12)
    assert_allclose(np.linalg.norm(corners[0, 1] - corners[0, 2]), 2 * (5.0 + 3.0), rtol=1e-12)
    assert_allclose(rotations, [np.arctan2(-4.0, 3.0) + PI / 2], rtol=1e-14)


@pytest.mark.parametrize(
    "top, rotation",
    [((0.0, -1.0), 0.0), ((1.0, 0.0), PI / 2), ((0.0, 1.0), PI), ((-1.0, 0.0), (3 * PI / 2, -PI / 2))],
)
def test_rotations_are_not_wrapped(top, rotation):
    right = (-top[1] * 2, top[0] * 2)  # longer, perpendicular
    _, rotations = fit(np.array([[[0.0, 0.0], top, right]]))
    assert any(np.isclose(rotations[0], r, atol=1e-12) for r in np.atleast_1d(rotation))


def test_empty_and_integer_input(path):
    corners, rotations = fit(np.empty((0, 3, 2)))
    assert corners.shape == (0, 4, 2) and rotations.shape == (0,)
    keypoints = np.array([[[10, 10], [10, 6], [13, 10]]], dtype=np.int32)
    before = keypoints.copy()
    corners, _ = fit(keypoints, visualize=[1])
    assert corners.dtype == np.float64 and keypoints.dtype == np.int32
    assert_array_equal(keypoints, before)


def test_degenerate_half_axes(path):
    keypoints = np.array([[[3.0, 4.0], [3.0, 4.0], [3.0, 4.0]], [[0.0, 0.0], [0.0, 0.0], [2.0, 0.0]]])
    corners, rotations = fit(keypoints)
    assert_array_equal(corners[0], [[3.0, 4.0]] * 4)
    assert_array_equal(corners[1], [[-2.0, 0.0], [2.0, 0.0], [2.0, 0.0], [-2.0, 0.0]])
    assert_array_equal(rotations, [PI / 2, PI / 2])  # arctan2(0, 0) is 0


def test_corner_points_and_angles():
    tuples = np.array([[[0.0, -2.0], [3.0, 0.0]]], dtype=np.float32)
    corners = sk.get_corner_points_from_box_tuples(tuples)
    assert corners.dtype == np.float32
    assert_array_equal(corners, [[[-3, -2], [3, -2], [3, 2], [-3, 2]]])
    angles = sk.get_angles_from_points(np.array([[1.0, 0.0], [0.0, 1.0], [-1.0, 0.0], [-1.0, -0.0], [0.0, 0.0]]))
    assert_array_equal(angles, [0.0, PI / 2, PI, -PI, 0.0])


# --------------------------------------------------------------------------------------------
# parallelogram_to_box: in place, modes, indices
# --------------------------------------------------------------------------------------------


class TestParallelogramToBox:
    FLAT = np.array([[4.0, 0.0], [1.0, -2.0], [-3.0, 2.0], [6.0, 1e-7]])

    @pytest.mark.parametrize("mode", [BR.MAX, BR.AVG, BR.MIN, 2, None, "MAX"])
    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    @pytest.mark.parametrize("index_dtype", [np.int64, np.int32, np.int16, np.uint8])
    def test_matches_the_numpy_steps(self, mode, dtype, index_dtype, path):
        flat, expected = self.FLAT.astype(dtype), self.FLAT.astype(dtype)
        longer = np.array([0, 3], dtype=index_dtype)
        assert sk.parallelogram_to_box(flat, longer, mode) is flat
        steps.parallelogram_to_box(expected, longer, mode)
        assert_array_equal(flat, expected)

    def test_repeated_indices_read_everything_before_writing(self, path):
        flat = np.array([[4.0, 0.0], [1.0, 0.0], [-3.0, 2.0], [6.0, 1e-7]])
        sk.parallelogram_to_box(flat, np.array([1, 1]), BR.MAX)  # both pairs name row 1
        assert_array_equal(flat, [[0.0, 0.0], [1.0 + 3.0, 0.0], [0.0, 2.0], [6.0, 1e-7]])  # the last write wins

    def test_alignment_check_fires_after_the_update_and_ignores_nan(self):
        flat = np.array([[4.0, 1e-5], [1.0, -2.0]])
        with pytest.raises(AssertionError):
            sk.parallelogram_to_box(flat, np.array([0]), BR.MAX)
        assert_array_equal(flat, [[5.0, 1e-5], [0.0, -2.0]])
        flat = np.array([[np.nan, np.nan], [1.0, -2.0]])
        sk.parallelogram_to_box(flat, np.array([0]), BR.MIN)
        assert np.isnan(flat[0]).all() and flat[1, 0] == 0.0

    @pytest.mark.parametrize(
        "flat_shape, index, error, message",
        [
            ((4, 3), [0, 2], AssertionError,
             "This method of transforming parallelograms to boxes only supports two-dimensional state-spaces."),
            ((3, 2), [0], AssertionError,
             "the flat parallelogram points have to contain two points per parallelogram."),
            ((4, 2), [0], AssertionError, ""),
            ((4, 2), [[0, 2]], AssertionError, ""),
            ((4, 2), [0, 4], IndexError, None),
            ((4, 2), [0.0, 2.0], IndexError, None),
        ],
    )
    def test_bad_input(self, flat_shape, index, error, message):
        with pytest.raises(error) as excinfo:
            sk.parallelogram_to_box(np.zeros(flat_shape), np.array(index), BR.MAX)
        assert message is None or str(excinfo.value) == message

    def test_read_only_is_refused_by_numpy(self):
        flat = self.FLAT.copy()
        flat.flags.writeable = False
        with pytest.raises(ValueError):
            sk.parallelogram_to_box(flat, np.array([0, 3]), BR.AVG)


# --------------------------------------------------------------------------------------------
# Against the NumPy steps, and properties of fitted boxes
# --------------------------------------------------------------------------------------------


def random_parallelograms(rng, n, dtype=np.float64, jitter=5.0):
    boxes = np.column_stack([rng.uniform(-1e3, 1e3, (n, 2)), rng.uniform(0.5, 300, (n, 2)), rng.uniform(-7, 7, n)])
    keypoints = steps.vexl_to_keypoints(boxes).reshape((n, 3, 2))
    keypoints[:, 1:] += rng.uniform(-jitter, jitter, (n, 2, 2))
    return keypoints.astype(dtype)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("layout", BOX_LAYOUTS)
def test_functions_match_the_numpy_steps(dtype, layout, path):
    rng = np.random.default_rng(5)
    for n in (0, 1, 2, 3, 17, 130, 300):  # across the chunks of the native loops
        keypoints, expected_keypoints = twins(random_parallelograms(rng, n, dtype), layout)
        for mode in BR:
            assert_identical(fit(keypoints, box_reconstruction_mode=mode),
                             steps.get_box_and_rotation_from_parallelogram_keypoints(
                                 expected_keypoints, box_reconstruction_mode=mode))
        assert_array_equal(keypoints, expected_keypoints)
        points, _ = twins(keypoints[:, 1] - keypoints[:, 0], layout)
        assert_identical(sk.get_angles_from_points(points), steps.get_angles_from_points(points))
        tuples, _ = twins(keypoints[:, 1:] - keypoints[:, :1], layout)
        assert_identical(sk.get_corner_points_from_box_tuples(tuples), steps.get_corner_points_from_box_tuples(tuples))


@settings(max_examples=200, deadline=None)
@given(data=st.data(), dtype=st.sampled_from([np.float64, np.float32]), mode=st.sampled_from(list(BR)))
def test_fit_of_arbitrary_values_including_nan_and_inf(data, dtype, mode):
    n = data.draw(st.integers(0, 5))
    keypoints = data.draw(hnp.arrays(dtype, (n, 3, 2), elements=hnp.from_dtype(np.dtype(dtype))))
    expected = outcome(steps.get_box_and_rotation_from_parallelogram_keypoints, keypoints, box_reconstruction_mode=mode)
    assert_identical(outcome(fit, keypoints, box_reconstruction_mode=mode), expected)


def test_nan_in_nan_out():
    keypoints = random_parallelograms(np.random.default_rng(6), 3)
    keypoints[1, 2, 0] = np.nan
    corners, rotations = fit(keypoints)
    assert np.isnan(corners[1]).all() and np.isfinite(corners[[0, 2]]).all()
    assert np.isfinite(rotations[[0, 2]]).all()


@settings(max_examples=100, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), jitter=st.floats(0.0, 20.0))
def test_fitted_boxes_are_rectangles_ordered_by_mode(seed, jitter):
    keypoints = random_parallelograms(np.random.default_rng(seed), 20, jitter=jitter)
    areas = []
    for mode in BR:
        corners, rotations = fit(keypoints, box_reconstruction_mode=mode)
        sides = np.roll(corners, -1, axis=1) - corners
        lengths = np.linalg.norm(sides, axis=2)
        scale = lengths.max(axis=1, keepdims=True)
        assert_allclose(np.einsum("bkd,bkd->bk", sides, np.roll(sides, -1, axis=1)) / scale**2, 0.0, atol=1e-9)
        assert_allclose(corners.mean(axis=1), keypoints[:, 0], atol=1e-9)
        top = (corners[:, 0] + corners[:, 1]) / 2 - keypoints[:, 0]
        assert_allclose(np.cos(rotations - PI / 2), top[:, 0] / np.linalg.norm(top, axis=1), atol=1e-9)
        assert ((-PI / 2 - 1e-12 <= rotations) & (rotations <= 3 * PI / 2)).all()
        areas.append(lengths[:, 0] * lengths[:, 1])
    assert (areas[0] <= areas[1] * (1 + 1e-12)).all() and (areas[1] <= areas[2] * (1 + 1e-12)).all()


# --------------------------------------------------------------------------------------------
# Errors
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "keypoints, error, message",
    [
        (np.zeros((2, 4, 2)), AssertionError,
         "For two dimensional boxes we need exactly three keypoints to represent a parallelogram"),
        (np.zeros((2, 3, 3)), AssertionError, "This function is only designed to work for two-dimensional boxes"),
        (np.zeros((2, 4, 3)), AssertionError, "This function is only designed to work for two-dimensional boxes"),
        (np.zeros((3, 2)), ValueError, "need more than 2 values to unpack"),
        (np.zeros((1, 3, 2, 1)), ValueError, "too many values to unpack (expected 3)"),
        ([[[0.0, 0.0]] * 3], AttributeError, None),
        (np.array([[["a", "b"]] * 3]), ValueError, None),
    ],
)
def test_fit_errors(keypoints, error, message, path):
    with pytest.raises(error) as excinfo:
        fit(keypoints)
    assert message is None or str(excinfo.value) == message


@pytest.mark.parametrize(
    "function, argument, error, message",
    [
        (sk.get_angles_from_points, np.zeros((3, 3)), AssertionError,
         "Can only get angles from two-dimensional points. "),
        (sk.get_angles_from_points, np.zeros(3), IndexError, None),
        (sk.get_corner_points_from_box_tuples, np.zeros((3, 3, 2)), AssertionError, ""),
        (sk.get_corner_points_from_box_tuples, np.zeros((3, 2, 3)), AssertionError, ""),
        (sk.get_corner_points_from_box_tuples, [[[0.0, 0.0]] * 2], AttributeError, None),
    ],
)
def test_helper_errors(function, argument, error, message):
    with pytest.raises(error) as excinfo:
        function(argument)
    assert message is None or str(excinfo.value) == message
