"""Plain NumPy versions of shapekit's box functions, step by step as the module documents them.

The tests run the module's functions and these on twin inputs and expect the same results bit
for bit. The checks that a rotation happened in place compare identity first (a NaN in the data
must not fail them), and the alignment check of ``parallelogram_to_box`` only fails for a
longer half-axis whose y is 1e-5 or more away from the x axis (NaN does not fail it).
"""

import contextlib
from typing import Any, cast

import numpy as np

MAX, AVG, MIN = 2, 1, 0  # BoxReconstruction values


def same_array(result, target):
    return result is target or np.all(result == target)


def rot_points_multi_rads(points, rotation_rads):
    number_of_rotations = points.shape[0]
    cr = np.cos(rotation_rads)
    sr = np.sin(rotation_rads)
    rotation_matrix = np.array([[cr, -sr], [sr, cr]]).reshape((2, 2, number_of_rotations))
    np.einsum("rcR,Rxc->Rxr", rotation_matrix, points, out=points)
    return points


# np.arctan2 has two answers on some CPUs (AVX-512): its SIMD code, and a scalar code that differs
# in the last bit and runs when the output's byte range (step * count from the first element)
# meets an operand's, or for some strides. The module always gives the answer for an output lying
# apart from the operands; these give either on purpose.
def _byte_range(array):
    start = array.__array_interface__["data"][0]
    span = abs(array.strides[0]) * len(array)
    low = start - span if array.strides[0] < 0 else start
    return low - 64, low + span + array.itemsize + 64


def arctan2_apart(y, x):
    """NumPy's answer with the output lying apart from the operands' ranges."""
    result = np.arctan2(y, x)  # the layout NumPy gives the result
    spare = []  # outputs that happened to land next to an operand, kept until a good one is found
    while True:
        out = np.empty(len(result), result.dtype)
        low, high = _byte_range(out)
        if all(high < a or b < low for a, b in map(_byte_range, (y, x))):
            break
        spare.append(out)
    np.arctan2(y, x, out=out)
    result[...] = out
    return result


def arctan2_overlapping(y, x):
    """NumPy's answer when the output lies inside the operands' range (its scalar code)."""
    result = np.arctan2(y, x)
    block = np.empty((len(result), 3), result.dtype)
    block[:, 0], block[:, 1] = y, x
    np.arctan2(block[:, 0], block[:, 1], out=block[:, 2])
    result[...] = block[:, 2]
    return result


_arctan2 = arctan2_apart


@contextlib.contextmanager
def arctan2_answer(arctan2):
    """Runs the reference with one of NumPy's two arctan2 answers."""
    global _arctan2
    saved, _arctan2 = _arctan2, arctan2
    try:
        yield
    finally:
        _arctan2 = saved


def get_angles_from_points(points):
    number_of_points = points.shape[0]
    assert points.shape == (number_of_points, 2)
    angles = _arctan2(*points[:, ::-1].T)
    assert angles.shape == (number_of_points,)
    return angles


def parallelogram_to_box(parallelogram_flat, longer_axis_index, box_reconstruction_mode):
    number_of_parallelograms = longer_axis_index.shape[0]
    other_point_index = (longer_axis_index + 1) % 2 + np.arange(number_of_parallelograms) * 2
    mode = getattr(box_reconstruction_mode, "value", None)
    if mode == MAX:
        parallelogram_flat[longer_axis_index, 0] += np.abs(parallelogram_flat[other_point_index, 0])
    elif mode == MIN:
        parallelogram_flat[longer_axis_index, 0] -= np.abs(parallelogram_flat[other_point_index, 0])
    parallelogram_flat[other_point_index, 0] = 0
    assert not (np.abs(parallelogram_flat[longer_axis_index, 1]) >= 1e-5).any()
    return parallelogram_flat


def get_corner_points_from_box_tuples(box_tuples):
    number_of_boxes, _, state_dimension = box_tuples.shape
    top = box_tuples[:, 0]
    right = box_tuples[:, 1]
    box_corners = np.array([top - right, top + right, right - top, -right - top]).swapaxes(0, 1)
    return box_corners.reshape((number_of_boxes, 4, state_dimension))


def get_box_and_rotation_from_parallelogram_keypoints(parallelogram_keypoints, mode_value=MAX):
    class Mode:
        value = mode_value

    parallelogram_keypoints = parallelogram_keypoints.astype(np.float64, copy=False)
    number_of_parallelograms, _, dimensionality = parallelogram_keypoints.shape
    parallelogram_center = np.expand_dims(parallelogram_keypoints[:, 0, :], 1)
    parallelogram_tuple = parallelogram_keypoints[:, 1:3].copy()
    np.subtract(parallelogram_tuple, parallelogram_center, out=parallelogram_tuple)
    longer_axis_flat = np.argmax(np.linalg.norm(parallelogram_tuple, axis=2), 1)
    np.add(longer_axis_flat, np.arange(number_of_parallelograms) * 2, out=longer_axis_flat)
    parallelogram_tuple.shape = (number_of_parallelograms * 2, dimensionality)
    parallelogram_tuple_flat = parallelogram_tuple.reshape((number_of_parallelograms * 2, dimensionality))
    angle_parallelogram_x = get_angles_from_points(parallelogram_tuple_flat[longer_axis_flat])
    parallelogram_tuple.shape = (number_of_parallelograms, 2, dimensionality)
    assert same_array(rot_points_multi_rads(parallelogram_tuple, -angle_parallelogram_x), parallelogram_tuple)
    parallelogram_tuple.shape = (number_of_parallelograms * 2, dimensionality)
    parallelogram_to_box(parallelogram_tuple, longer_axis_flat, Mode)
    parallelogram_tuple.shape = (number_of_parallelograms, 2, dimensionality)
    assert same_array(rot_points_multi_rads(parallelogram_tuple, angle_parallelogram_x), parallelogram_tuple)
    box_corners = get_corner_points_from_box_tuples(parallelogram_tuple)
    np.add(box_corners, parallelogram_center, out=box_corners)
    rotations = get_angles_from_points(parallelogram_tuple[:, 0]) + np.pi / 2
    return box_corners, rotations


def vexl_to_keypoints(vexl_boxes):
    number_of_boxes = vexl_boxes.shape[0]
    assert vexl_boxes.shape == (number_of_boxes, 5)
    centers, distances = vexl_boxes[:, :2], vexl_boxes[:, 2:4] / 2
    rotations = (vexl_boxes[:, 4] * -1 + np.pi) % (2 * np.pi) - np.pi
    distance_difference = (
        np.array([distances * np.array([0, 1]), distances * np.array([1, 0])])
        .reshape((2, number_of_boxes, 2))
        .swapaxes(0, 1)
    )
    assert same_array(rot_points_multi_rads(distance_difference, rotations), distance_difference)
    top = centers - distance_difference[:, 0]
    right = centers + distance_difference[:, 1]
    keypoints = np.hstack((centers, top, right))
    keypoints.shape = (number_of_boxes * 3, 2)
    return keypoints


def keypoints_trivial_lookup(number_of_keypoints):
    assert number_of_keypoints % 3 == 0
    number_of_boxes = int(number_of_keypoints / 3)
    instance_lookup = np.repeat(np.arange(0, number_of_boxes), 3).astype(str)
    position_lookup = np.repeat(np.array(["center", "top", "right"])[np.newaxis], number_of_boxes, axis=0).flatten()
    return instance_lookup, position_lookup


def vexl_to_box_corners(vexl_boxes):
    number_of_boxes = vexl_boxes.shape[0]
    assert vexl_boxes.shape == (number_of_boxes, 5)
    center, sizes, rotations = vexl_boxes[:, :2], vexl_boxes[:, 2:4] / 2, vexl_boxes[:, 4]
    box = (
        np.array(
            [
                sizes * np.array([-1, -1]),
                sizes * np.array([-1, 1]),
                sizes * np.array([1, 1]),
                sizes * np.array([1, -1]),
            ]
        )
        .reshape((4, number_of_boxes, 2))
        .swapaxes(0, 1)
    )
    assert same_array(rot_points_multi_rads(box, rotations * -1), box)
    np.add(box, center[:, np.newaxis], out=box)
    return box


def box_corners_to_vexl(box_corners, rotations):
    number_of_boxes = box_corners.shape[0]
    centers = box_corners.mean(axis=1)[:, np.newaxis]
    rotated_box_corners = rot_points_multi_rads(box_corners - centers, -rotations)
    widths, heights = np.abs(rotated_box_corners[:, 1, :] - rotated_box_corners[:, 3, :]).T
    return (
        np.array([centers[:, 0, 0], centers[:, 0, 1], widths, heights, rotations / -1])
        .reshape((5, number_of_boxes))
        .swapaxes(1, 0)
    )


def keypoints_to_vexl(keypoints):
    number_of_parallelograms, number_of_keypoints, dimensionality = keypoints.shape
    vexl_boxes = np.empty((number_of_parallelograms, 5), dtype=np.float32)
    vexl_boxes[:, :2] = keypoints[:, 0]
    np.subtract(keypoints[:, 1:3], keypoints[:, :1], out=keypoints[:, 1:3])
    vexl_boxes[:, 3:1:-1] = np.linalg.norm(keypoints[:, 1:3], axis=2) * 2
    vexl_boxes[:, 4] = -(get_angles_from_points(keypoints[:, 1]) + np.pi / 2)
    return vexl_boxes


def keypoints_to_box_corners(keypoints):
    number_of_parallelograms, number_of_keypoints, dimensionality = keypoints.shape
    parallelogram_center = keypoints[:, 0][:, True]
    parallelogram_tuple = keypoints[:, 1:3] - parallelogram_center
    box_corners = get_corner_points_from_box_tuples(parallelogram_tuple)
    return cast(np.ndarray[Any, Any], box_corners + parallelogram_center)


def inference_boxes_to_corners(boxes, size_factor=1.0):
    number_of_boxes = len(boxes)
    corners = np.empty((number_of_boxes, 4, 2), dtype=np.float32)
    corners[:, :4] = boxes[:, :2][:, np.newaxis]
    orientations = (np.pi - boxes[:, 4]) % (2 * np.pi)
    distances = np.zeros((number_of_boxes, 4, 2), dtype=np.float32)
    distances[:, 0, 0] = boxes[:, 2] / 2 * size_factor
    distances[:, 1, 1] = boxes[:, 3] / 2 * size_factor
    rot_points_multi_rads(distances, orientations)
    to_bottom = distances[:, 0]
    to_right = distances[:, 1]
    left, right, top, bottom = corners[:, :2], corners[:, 2:], corners[:, 0::2], corners[:, 1::2]
    np.subtract(top, to_bottom[:, np.newaxis], out=top)
    np.add(bottom, to_bottom[:, np.newaxis], out=bottom)
    np.subtract(left, to_right[:, np.newaxis], out=left)
    np.add(right, to_right[:, np.newaxis], out=right)
    return corners, distances


# --------------------------------------------------------------------------------------------
# Test helpers: memory layouts, outcomes, and a stand-in for the module's `np`
# --------------------------------------------------------------------------------------------

LAYOUTS = ["contiguous", "fortran", "strided", "reversed"]


def twins(values, layout):
    """Two independent arrays holding ``values`` with the same memory layout."""

    def make():
        if layout == "contiguous":
            return values.copy()
        if layout == "fortran":
            return np.array(values, order="F")
        if layout == "strided":
            base = np.zeros(tuple(2 * n + 1 for n in values.shape), values.dtype)
            view = base[(slice(1, None, 2),) * values.ndim]
            view[...] = values
            return view
        return values[::-1].copy()[::-1]

    return make(), make()


def outcome(function, *args, **kwargs):
    """The result of a call, or the type of the exception it raised."""
    try:
        with np.errstate(all="ignore"):
            return function(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the type is the outcome
        return type(exc)


def assert_identical(result, expected):
    """Same type, dtype, shape, strides and bits (NaN where NaN is)."""
    if isinstance(expected, type):
        assert result is expected or isinstance(result, expected), (result, expected)
        return
    if isinstance(expected, tuple):
        assert type(result) is tuple and len(result) == len(expected)
        for got, want in zip(result, expected):
            assert_identical(got, want)
        return
    assert type(result) is type(expected) is np.ndarray
    assert (result.dtype, result.shape, result.strides) == (expected.dtype, expected.shape, expected.strides)
    np.testing.assert_array_equal(result, expected)
    if result.dtype.kind == "f":  # the sign of NaN and of zero too
        np.testing.assert_array_equal(np.signbit(result), np.signbit(expected))


class NumpyStandIn:
    """Replaces the module's ``np``: everything is NumPy's, but the module must go through it.

    Its arctan2 gives the answer for operands apart from the output, so runs are repeatable."""

    arctan2 = staticmethod(arctan2_apart)

    def __getattr__(self, name):
        return getattr(np, name)
