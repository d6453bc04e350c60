"""Box geometry of shapekit: parallelogram fitting and the conversions between VEXL boxes,
keypoints and corners.

The NumPy side of each workload is the plain Python version of the same steps: sizes read from
``.shape``, the shape asserts, the array expressions in the documented order, the rotations
through a plain ``rot_points_multi_rads`` (``np.cos`` / ``np.sin``, the stacked matrices and one
``np.einsum(..., out=...)``), and the in-place checks (the same object, or equal values).
``keypoints_to_vexl`` rewrites its input on both sides, each on its own copy, so repeated calls
keep working on arrays of the same shape and similar values.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, cast

import numpy as np

from bench_shapekit_rotation import np_rot_points_multi_rads
from harness import Workload

SIZES = (1, 10, 100, 1000, 10000)
TARGETS = {10: 20.0, 1000: 3.0}
FIT_TARGETS = {10: 20.0, 1000: 2.0}
KEYPOINTS_TO_VEXL_TARGETS = {10: 20.0, 1000: 2.0}
RTOL = {np.float64: 1e-13, np.float32: 4e-6}
MAX = 2


def _shapekit() -> Any:
    from vornhaven.preprocessing import shapekit

    return shapekit


# --- NumPy versions ------------------------------------------------------------------------


def _in_place(result: np.ndarray, target: np.ndarray) -> bool:
    return result is target or bool(np.all(result == target))


def np_get_angles_from_points(points: np.ndarray) -> np.ndarray:
    number_of_points = int(points.shape[0])
    point_dimensionality = int(points.shape[1])
    assert points.shape == (number_of_points, point_dimensionality)
    assert point_dimensionality == 2, "Can only get angles from two-dimensional points. "
    angles = np.arctan2(*points[:, ::-1].T)
    assert angles.shape == (number_of_points,)
    return angles


def np_parallelogram_to_box(
    parallelogram_flat: np.ndarray, longer_axis_index: np.ndarray, box_reconstruction_mode: int
) -> np.ndarray:
    number_of_points = int(parallelogram_flat.shape[0])
    dimensionality = int(parallelogram_flat.shape[1])
    assert parallelogram_flat.shape == (number_of_points, dimensionality)
    assert dimensionality == 2
    assert number_of_points % 2 == 0
    number_of_parallelograms = int(longer_axis_index.shape[0])
    assert longer_axis_index.shape == (number_of_parallelograms,)
    assert 2 * number_of_parallelograms == number_of_points
    other_point_index = (longer_axis_index + 1) % 2 + np.arange(longer_axis_index.shape[0]) * 2
    assert other_point_index.shape == (number_of_parallelograms,)
    if box_reconstruction_mode == MAX:
        parallelogram_flat[longer_axis_index, 0] += np.abs(parallelogram_flat[other_point_index, 0])
    parallelogram_flat[other_point_index, 0] = 0
    assert not (np.abs(parallelogram_flat[longer_axis_index, 1]) >= 1e-5).any()
    return parallelogram_flat


def np_get_corner_points_from_box_tuples(box_tuples: np.ndarray) -> np.ndarray:
    number_of_boxes = int(box_tuples.shape[0])
    number_of_support_points = int(box_tuples.shape[1])
    state_dimension = int(box_tuples.shape[2])
    assert box_tuples.shape == (number_of_boxes, number_of_support_points, state_dimension)
    assert number_of_support_points == 2
    assert state_dimension == 2
    top = box_tuples[:, 0]
    right = box_tuples[:, 1]
    assert top.shape == (number_of_boxes, state_dimension)
    assert right.shape == (number_of_boxes, state_dimension)
    box_corners = np.array([top - right, top + right, right - top, -right - top]).swapaxes(0, 1)
    return box_corners.reshape((number_of_boxes, 4, state_dimension))


def np_get_box_and_rotation_from_parallelogram_keypoints(
    parallelogram_keypoints: np.ndarray, *, box_reconstruction_mode: int = MAX, visualize: bool = False
) -> tuple[np.ndarray, np.ndarray]:
    parallelogram_keypoints = parallelogram_keypoints.astype(np.float64, copy=False)
    number_of_parallelograms, number_of_keypoints, dimensionality = parallelogram_keypoints.shape
    assert dimensionality == 2
    assert number_of_keypoints == 3
    parallelogram_center = np.expand_dims(parallelogram_keypoints[:, 0, :], 1)
    assert parallelogram_center.shape == (number_of_parallelograms, 1, 2)
    parallelogram_tuple = parallelogram_keypoints[:, 1:3].copy()
    assert parallelogram_tuple.shape == (number_of_parallelograms, 2, 2)
    np.subtract(parallelogram_tuple, parallelogram_center, out=parallelogram_tuple)
    longer_axis_flat = np.argmax(np.linalg.norm(parallelogram_tuple, axis=2), 1)
    assert longer_axis_flat.shape == (number_of_parallelograms,)
    np.add(longer_axis_flat, np.arange(number_of_parallelograms) * 2, out=longer_axis_flat)
    assert longer_axis_flat.shape == (number_of_parallelograms,)
    parallelogram_tuple.shape = (number_of_parallelograms * 2, dimensionality)
    parallelogram_tuple_flat = parallelogram_tuple.reshape((number_of_parallelograms * 2, dimensionality))
    assert parallelogram_tuple_flat.shape == (number_of_parallelograms * 2, dimensionality)
    angle_parallelogram_x = np_get_angles_from_points(parallelogram_tuple_flat[longer_axis_flat])
    assert angle_parallelogram_x.shape == (number_of_parallelograms,)
    parallelogram_tuple.shape = (number_of_parallelograms, 2, dimensionality)
    result = np_rot_points_multi_rads(points=parallelogram_tuple, rotation_rads=-angle_parallelogram_x)
    assert _in_place(result, parallelogram_tuple)
    parallelogram_tuple.shape = (number_of_parallelograms * 2, dimensionality)
    result = np_parallelogram_to_box(parallelogram_tuple, longer_axis_flat, box_reconstruction_mode)
    parallelogram_tuple.shape = (number_of_parallelograms, 2, dimensionality)
    assert _in_place(result, parallelogram_tuple)
    assert result is parallelogram_tuple or np.all(result.flatten() == parallelogram_tuple.flatten())
    result = np_rot_points_multi_rads(points=parallelogram_tuple, rotation_rads=angle_parallelogram_x)
    assert _in_place(result, parallelogram_tuple)
    assert parallelogram_tuple.shape == (number_of_parallelograms, 2, dimensionality)
    box_corners = np_get_corner_points_from_box_tuples(parallelogram_tuple)
    assert box_corners.shape == (number_of_parallelograms, 4, 2)
    np.add(box_corners, parallelogram_center, out=box_corners)
    rotations = np_get_angles_from_points(parallelogram_tuple[:, 0]) + np.pi / 2
    assert rotations.shape == (number_of_parallelograms,)
    return box_corners, rotations


def np_vexl_to_keypoints(vexl_boxes: np.ndarray) -> np.ndarray:
    number_of_boxes = int(vexl_boxes.shape[0])
    assert vexl_boxes.shape == (number_of_boxes, 5)
    centers, distances = vexl_boxes[:, :2], vexl_boxes[:, 2:4] / 2
    rotations = (vexl_boxes[:, 4] * -1 + np.pi) % (2 * np.pi) - np.pi
    assert centers.shape == (number_of_boxes, 2)
    assert distances.shape == (number_of_boxes, 2)
    assert rotations.shape == (number_of_boxes,)
    distance_difference = (
        np.array([distances * np.array([0, 1]), distances * np.array([1, 0])])
        .reshape((2, number_of_boxes, 2))
        .swapaxes(0, 1)
    )
    assert distance_difference.shape == (number_of_boxes, 2, 2)
    tmp = np_rot_points_multi_rads(points=distance_difference, rotation_rads=rotations)
    assert _in_place(tmp, distance_difference)
    assert distance_difference.shape == (number_of_boxes, 2, 2)
    top = centers - distance_difference[:, 0]
    right = centers + distance_difference[:, 1]
    assert top.shape == (number_of_boxes, 2)
    assert right.shape == (number_of_boxes, 2)
    assert centers.shape == (number_of_boxes, 2)
    assert rotations.shape == (number_of_boxes,)
    keypoints = np.hstack((centers, top, right))
    keypoints.shape = (number_of_boxes * 3, 2)
    return keypoints


def np_vexl_to_box_corners(vexl_boxes: np.ndarray) -> np.ndarray:
    number_of_boxes = int(vexl_boxes.shape[0])
    number_of_vexl_box_coordinates = int(vexl_boxes.shape[1])
    assert vexl_boxes.shape == (number_of_boxes, number_of_vexl_box_coordinates)
    assert number_of_vexl_box_coordinates == 5
    center, sizes, rotations = vexl_boxes[:, :2], vexl_boxes[:, 2:4] / 2, vexl_boxes[:, 4]
    assert center.shape == (number_of_boxes, 2)
    assert sizes.shape == (number_of_boxes, 2)
    assert rotations.shape == (number_of_boxes,)
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
    assert box.shape == (number_of_boxes, 4, 2)
    tmp = np_rot_points_multi_rads(points=box, rotation_rads=rotations * -1)
    assert _in_place(tmp, box)
    np.add(box, center[:, np.newaxis], out=box)
    assert box.shape == (number_of_boxes, 4, 2)
    return box


def np_box_corners_to_vexl(box_corners: np.ndarray, rotations: np.ndarray) -> np.ndarray:
    number_of_boxes = int(box_corners.shape[0])
    number_of_box_corners = int(box_corners.shape[1])
    state_dimensionality = int(box_corners.shape[2])
    assert box_corners.shape == (number_of_boxes, number_of_box_corners, state_dimensionality)
    assert rotations.shape == (number_of_boxes,)
    assert number_of_box_corners == 4
    assert state_dimensionality == 2
    centers = box_corners.mean(axis=1)[:, np.newaxis]
    assert centers.shape == (number_of_boxes, 1, state_dimensionality)
    rotated_box_corners = np_rot_points_multi_rads(points=box_corners - centers, rotation_rads=-rotations)
    assert rotated_box_corners.shape == (number_of_boxes, number_of_box_corners, state_dimensionality)
    widths, heights = np.abs(rotated_box_corners[:, 1, :] - rotated_box_corners[:, 3, :]).T
    boxes_vexl = (
        np.array([centers[:, 0, 0], centers[:, 0, 1], widths, heights, rotations / -1])
        .reshape((5, number_of_boxes))
        .swapaxes(1, 0)
    )
    assert boxes_vexl.shape == (number_of_boxes, 5)
    return boxes_vexl


def np_keypoints_to_vexl(keypoints: np.ndarray) -> np.ndarray:
    number_of_parallelograms, number_of_keypoints, dimensionality = keypoints.shape
    assert number_of_keypoints == 3
    assert dimensionality == 2
    vexl_boxes = np.empty((number_of_parallelograms, 5), dtype=np.float32)
    vexl_boxes[:, :2] = keypoints[:, 0]
    np.subtract(keypoints[:, 1:3], keypoints[:, :1], out=keypoints[:, 1:3])
    vexl_boxes[:, 3:1:-1] = np.linalg.norm(keypoints[:, 1:3], axis=2) * 2
    vexl_boxes[:, 4] = -(np_get_angles_from_points(keypoints[:, 1]) + np.pi / 2)
    return vexl_boxes


def np_keypoints_to_box_corners(keypoints: np.ndarray) -> np.ndarray:
    number_of_parallelograms, number_of_keypoints, dimensionality = keypoints.shape
    assert number_of_keypoints == 3
    assert dimensionality == 2
    parallelogram_center = keypoints[:, 0][:, True]
    assert parallelogram_center.shape == (number_of_parallelograms, 1, 2)
    parallelogram_tuple = keypoints[:, 1:3] - parallelogram_center
    assert parallelogram_tuple.shape == (number_of_parallelograms, 2, 2)
    box_corners = np_get_corner_points_from_box_tuples(parallelogram_tuple)
    assert box_corners.shape == (number_of_parallelograms, 4, 2)
    return cast(np.ndarray[Any, Any], box_corners + parallelogram_center)


def np_inference_boxes_to_corners(boxes: np.ndarray, size_factor: float = 1.0) -> tuple[np.ndarray, np.ndarray]:
    number_of_boxes = len(boxes)
    corners = np.empty((number_of_boxes, 4, 2), dtype=np.float32)
    corners[:, :4] = boxes[:, :2][:, np.newaxis]
    assert corners.shape == (number_of_boxes, 4, 2)
    orientations = (np.pi - boxes[:, 4]) % (2 * np.pi)
    assert orientations.shape == (number_of_boxes,)
    distances = np.zeros((number_of_boxes, 4, 2), dtype=np.float32)
    distances[:, 0, 0] = boxes[:, 2] / 2 * size_factor
    distances[:, 1, 1] = boxes[:, 3] / 2 * size_factor
    assert distances.shape == (number_of_boxes, 4, 2)
    np_rot_points_multi_rads(distances, orientations)
    to_bottom = distances[:, 0]
    to_right = distances[:, 1]
    top_left = corners[:, 0]
    bottom_left = corners[:, 1]
    top_right = corners[:, 2]
    bottom_right = corners[:, 3]
    assert top_left.shape == (number_of_boxes, 2)
    assert top_right.shape == (number_of_boxes, 2)
    assert bottom_right.shape == (number_of_boxes, 2)
    assert bottom_left.shape == (number_of_boxes, 2)
    left = corners[:, :2]
    right = corners[:, 2:]
    top = corners[:, 0::2]
    bottom = corners[:, 1::2]
    assert left.shape == (number_of_boxes, 2, 2)
    assert right.shape == (number_of_boxes, 2, 2)
    assert top.shape == (number_of_boxes, 2, 2)
    assert bottom.shape == (number_of_boxes, 2, 2)
    np.subtract(top, to_bottom[:, np.newaxis], out=top)
    np.add(bottom, to_bottom[:, np.newaxis], out=bottom)
    np.subtract(left, to_right[:, np.newaxis], out=left)
    np.add(right, to_right[:, np.newaxis], out=right)
    return corners, distances


# --- inputs --------------------------------------------------------------------------------


def _rng(*key: int) -> np.random.Generator:
    return np.random.default_rng([0xB0C5, *key])


def _vexl(size: int, dtype: type, columns: int = 5) -> np.ndarray:
    """Pixel-scale boxes: centres in a 2000 x 2000 image, sides up to 300, any rotation."""
    rng = _rng(1, size, columns)
    boxes = np.column_stack(
        [
            rng.uniform(0.0, 2000.0, (size, 2)),
            rng.uniform(4.0, 300.0, (size, 2)),
            rng.uniform(-np.pi, np.pi, size),
            rng.uniform(0.0, 1.0, (size, columns - 5)),
        ]
    )
    return boxes.astype(dtype)


def _parallelograms(size: int, dtype: type) -> np.ndarray:
    """Keypoints of the VEXL boxes, the top and right points jittered into parallelograms."""
    boxes = _vexl(size, np.float64)
    keypoints = np_vexl_to_keypoints(boxes).reshape((size, 3, 2))
    keypoints[:, 1:] += _rng(2, size).uniform(-5.0, 5.0, (size, 2, 2))
    return keypoints.astype(dtype)


def _pair(
    native: Callable[..., Any], numpy: Callable[..., Any], *inputs: Any
) -> tuple[Callable[[], Any], Callable[[], Any]]:
    """Bind each side to its own copies of ``inputs``."""

    def copies() -> list[Any]:
        return [x.copy() if isinstance(x, np.ndarray) else x for x in inputs]

    return functools.partial(native, *copies()), functools.partial(numpy, *copies())


def _workload(name: str, dtype: type, make_inputs: Callable[[int, type], tuple[Any, ...]], targets) -> Workload:
    def setup(size: int) -> tuple[Callable[[], Any], Callable[[], Any]]:
        native = getattr(_shapekit(), name)
        return _pair(native, globals()[f"np_{name}"], *make_inputs(size, dtype))

    return Workload(f"{name}[{np.dtype(dtype).name}]", SIZES, setup, targets, RTOL[dtype])


def _corners_and_rotations(size: int, dtype: type) -> tuple[np.ndarray, np.ndarray]:
    boxes = _vexl(size, np.float64)
    return np_vexl_to_box_corners(boxes).astype(dtype), (-boxes[:, 4]).astype(dtype)


WORKLOADS = [
    _workload(
        "get_box_and_rotation_from_parallelogram_keypoints", np.float64, lambda n, t: (_parallelograms(n, t),),
        FIT_TARGETS,
    ),
    _workload("vexl_to_keypoints", np.float64, lambda n, t: (_vexl(n, t),), TARGETS),
    _workload("vexl_to_keypoints", np.float32, lambda n, t: (_vexl(n, t),), TARGETS),
    _workload("vexl_to_box_corners", np.float64, lambda n, t: (_vexl(n, t),), TARGETS),
    _workload("box_corners_to_vexl", np.float64, _corners_and_rotations, TARGETS),
    _workload("box_corners_to_vexl", np.float32, _corners_and_rotations, TARGETS),
    _workload("keypoints_to_vexl", np.float64, lambda n, t: (_parallelograms(n, t),), KEYPOINTS_TO_VEXL_TARGETS),
    _workload("keypoints_to_vexl", np.float32, lambda n, t: (_parallelograms(n, t),), KEYPOINTS_TO_VEXL_TARGETS),
    _workload("keypoints_to_box_corners", np.float64, lambda n, t: (_parallelograms(n, t),), TARGETS),
    _workload("inference_boxes_to_corners", np.float32, lambda n, t: (_vexl(n, t, columns=7), 1.25), TARGETS),
]
