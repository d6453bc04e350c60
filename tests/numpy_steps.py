"""Plain NumPy versions of shapekit's functions, step by step as the module documents them.

The tests run the module's functions and these on twin inputs and expect the same results bit
for bit; the benchmarks (``bench/bench_shapekit_*.py``) time the module against these. The shape
checks are the module's asserts. The checks that a rotation happened in place compare identity
first (a NaN in the data must not fail them), and the alignment check of
``parallelogram_to_box`` only fails for a longer half-axis whose y is 1e-5 or more away from the
x axis (NaN does not fail it).

arctan2 is NumPy's own unless :func:`arctan2_answer` picks one of its two answers (the tests'
``conftest.py`` picks :func:`arctan2_apart`, the one the module gives). The last part holds what
the tests compare with: twin inputs in a given memory layout, outcomes and the identity check.
"""

import contextlib
import enum
import warnings
from typing import Any, cast

import numpy as np


class BoxReconstruction(enum.Enum):
    """Stand-in for the module's modes. These steps go by ``value`` (an object whose ``value`` is 2
    counts as MAX, 0 as MIN), so the module's own members work here too; the module itself compares
    modes with ``==`` against its own members."""

    MIN = 0
    AVG = 1
    MAX = 2


def same_array(result, target):
    return result is target or np.all(result == target)


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


_arctan2 = np.arctan2


@contextlib.contextmanager
def arctan2_answer(arctan2):
    """Runs the steps with one of NumPy's two arctan2 answers."""
    global _arctan2
    saved, _arctan2 = _arctan2, arctan2
    try:
        yield
    finally:
        _arctan2 = saved


# --------------------------------------------------------------------------------------------
# Rotations
# --------------------------------------------------------------------------------------------


def get_rotation_matrix_2d(*, angle_in_deg=None, angle_in_rad=None):
    if (angle_in_deg is None) == (angle_in_rad is None):
        raise ValueError(f"Pass angle either in degrees ({angle_in_deg}) in radians ({angle_in_rad}).")
    if angle_in_deg is not None:
        angle_in_rad = angle_in_deg / 180 * np.pi
    return np.array(
        [[np.cos(angle_in_rad), -1.0 * np.sin(angle_in_rad)], [np.sin(angle_in_rad), np.cos(angle_in_rad)]]
    )


def coordinate_transformation(spanning_points):
    new_origin = spanning_points[1]
    base_system = (spanning_points[[0, 2]] - new_origin).T
    coordinate_transform_matrix = np.linalg.pinv(base_system)
    return (
        lambda a: coordinate_transform_matrix.dot((a - new_origin).T).T,
        lambda a: base_system.dot(a.T).T + new_origin,
    )


def _stacked_rotations(rotation_rads, number_of_rotations, state_dimensionality):
    cr = np.cos(rotation_rads)
    sr = np.sin(rotation_rads)
    rotation_matrix = np.array([[cr, -sr], [sr, cr]]).reshape((2, 2, number_of_rotations))
    assert rotation_matrix.shape == (state_dimensionality, state_dimensionality, number_of_rotations)
    return rotation_matrix


def rot_mats_multi_rads(matrices, rotation_rads):
    number_of_rotations = int(matrices.shape[0])
    state_dimensionality = int(matrices.shape[1])
    assert matrices.shape == (number_of_rotations, state_dimensionality, state_dimensionality)
    assert rotation_rads.shape == (number_of_rotations,)
    rotation_matrix = _stacked_rotations(rotation_rads, number_of_rotations, state_dimensionality)
    np.einsum("tTR,RTS,sSR->Rts", rotation_matrix, matrices, rotation_matrix, out=matrices)
    return matrices


def rot_points_multi_rads(points, rotation_rads):
    number_of_rotations = int(points.shape[0])
    number_of_points_per_rotation = int(points.shape[1])
    state_dimensionality = int(points.shape[2])
    assert points.shape == (number_of_rotations, number_of_points_per_rotation, state_dimensionality)
    assert rotation_rads.shape == (number_of_rotations,)
    rotation_matrix = _stacked_rotations(rotation_rads, number_of_rotations, state_dimensionality)
    np.einsum("rcR,Rxc->Rxr", rotation_matrix, points, out=points)
    return points


# --------------------------------------------------------------------------------------------
# Parallelograms and boxes
# --------------------------------------------------------------------------------------------


def get_angles_from_points(points):
    number_of_points = int(points.shape[0])
    point_dimensionality = int(points.shape[1])
    assert points.shape == (number_of_points, point_dimensionality)
    assert point_dimensionality == 2, "Can only get angles from two-dimensional points. "
    angles = _arctan2(*points[:, ::-1].T)
    assert angles.shape == (number_of_points,)
    return angles


def parallelogram_to_box(parallelogram_flat, longer_axis_index, box_reconstruction_mode):
    number_of_points = int(parallelogram_flat.shape[0])
    dimensionality = int(parallelogram_flat.shape[1])
    assert parallelogram_flat.shape == (number_of_points, dimensionality)
    assert dimensionality == 2, (
        "This method of transforming parallelograms to boxes only supports two-dimensional state-spaces."
    )
    assert number_of_points % 2 == 0, "the flat parallelogram points have to contain two points per parallelogram."
    number_of_parallelograms = int(longer_axis_index.shape[0])
    assert longer_axis_index.shape == (number_of_parallelograms,)
    assert 2 * number_of_parallelograms == number_of_points
    other_point_index = (longer_axis_index + 1) % 2 + np.arange(longer_axis_index.shape[0]) * 2
    assert other_point_index.shape == (number_of_parallelograms,)
    mode = getattr(box_reconstruction_mode, "value", None)
    if mode == BoxReconstruction.MAX.value:
        parallelogram_flat[longer_axis_index, 0] += np.abs(parallelogram_flat[other_point_index, 0])
    elif mode == BoxReconstruction.MIN.value:
        parallelogram_flat[longer_axis_index, 0] -= np.abs(parallelogram_flat[other_point_index, 0])
    parallelogram_flat[other_point_index, 0] = 0
    assert not (np.abs(parallelogram_flat[longer_axis_index, 1]) >= 1e-5).any()
    return parallelogram_flat


def get_corner_points_from_box_tuples(box_tuples):
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


def get_box_and_rotation_from_parallelogram_keypoints(
    parallelogram_keypoints, *, box_reconstruction_mode=BoxReconstruction.MAX, visualize=False
):
    parallelogram_keypoints = parallelogram_keypoints.astype(np.float64, copy=False)
    number_of_parallelograms, number_of_keypoints, dimensionality = parallelogram_keypoints.shape
    assert dimensionality == 2, "This function is only designed to work for two-dimensional boxes"
    assert number_of_keypoints == 3, (
        "For two dimensional boxes we need exactly three keypoints to represent a parallelogram"
    )
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
    angle_parallelogram_x = get_angles_from_points(parallelogram_tuple_flat[longer_axis_flat])
    assert angle_parallelogram_x.shape == (number_of_parallelograms,)
    parallelogram_tuple.shape = (number_of_parallelograms, 2, dimensionality)
    result = rot_points_multi_rads(points=parallelogram_tuple, rotation_rads=-angle_parallelogram_x)
    assert same_array(result, parallelogram_tuple)
    parallelogram_tuple.shape = (number_of_parallelograms * 2, dimensionality)
    result = parallelogram_to_box(parallelogram_tuple, longer_axis_flat, box_reconstruction_mode)
    parallelogram_tuple.shape = (number_of_parallelograms, 2, dimensionality)
    assert same_array(result, parallelogram_tuple)
    assert result is parallelogram_tuple or np.all(result.flatten() == parallelogram_tuple.flatten())
    result = rot_points_multi_rads(points=parallelogram_tuple, rotation_rads=angle_parallelogram_x)
    assert same_array(result, parallelogram_tuple)
    assert parallelogram_tuple.shape == (number_of_parallelograms, 2, dimensionality)
    box_corners = get_corner_points_from_box_tuples(parallelogram_tuple)
    assert box_corners.shape == (number_of_parallelograms, 4, 2)
    np.add(box_corners, parallelogram_center, out=box_corners)
    rotations = get_angles_from_points(parallelogram_tuple[:, 0]) + np.pi / 2
    assert rotations.shape == (number_of_parallelograms,)
    return box_corners, rotations


def vexl_to_keypoints(vexl_boxes):
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
    tmp = rot_points_multi_rads(points=distance_difference, rotation_rads=rotations)
    assert same_array(tmp, distance_difference)
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


def keypoints_trivial_lookup(number_of_keypoints):
    assert number_of_keypoints % 3 == 0
    number_of_boxes = int(number_of_keypoints / 3)
    instance_lookup = np.repeat(np.arange(0, number_of_boxes), 3).astype(str)
    position_lookup = np.repeat(np.array(["center", "top", "right"])[np.newaxis], number_of_boxes, axis=0).flatten()
    return instance_lookup, position_lookup


def vexl_to_box_corners(vexl_boxes):
    number_of_boxes = int(vexl_boxes.shape[0])
    number_of_vexl_box_coordinates = int(vexl_boxes.shape[1])
    assert vexl_boxes.shape == (number_of_boxes, number_of_vexl_box_coordinates)
    assert number_of_vexl_box_coordinates == 5, (
        "Boxes in VEXL format must consist of exactly five points: (center_x, center_y, width, height, rotation)."
    )
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
    tmp = rot_points_multi_rads(points=box, rotation_rads=rotations * -1)
    assert same_array(tmp, box)
    np.add(box, center[:, np.newaxis], out=box)
    assert box.shape == (number_of_boxes, 4, 2)
    return box


def box_corners_to_vexl(box_corners, rotations):
    number_of_boxes = int(box_corners.shape[0])
    number_of_box_corners = int(box_corners.shape[1])
    state_dimensionality = int(box_corners.shape[2])
    assert box_corners.shape == (number_of_boxes, number_of_box_corners, state_dimensionality)
    assert rotations.shape == (number_of_boxes,)
    assert number_of_box_corners == 4
    assert state_dimensionality == 2
    centers = box_corners.mean(axis=1)[:, np.newaxis]
    assert centers.shape == (number_of_boxes, 1, state_dimensionality)
    rotated_box_corners = rot_points_multi_rads(points=box_corners - centers, rotation_rads=-rotations)
    assert rotated_box_corners.shape == (number_of_boxes, number_of_box_corners, state_dimensionality)
    widths, heights = np.abs(rotated_box_corners[:, 1, :] - rotated_box_corners[:, 3, :]).T
    boxes_vexl = (
        np.array([centers[:, 0, 0], centers[:, 0, 1], widths, heights, rotations / -1])
        .reshape((5, number_of_boxes))
        .swapaxes(1, 0)
    )
    assert boxes_vexl.shape == (number_of_boxes, 5)
    return boxes_vexl


def keypoints_to_vexl(keypoints):
    number_of_parallelograms, number_of_keypoints, dimensionality = keypoints.shape
    assert number_of_keypoints == 3
    assert dimensionality == 2
    vexl_boxes = np.empty((number_of_parallelograms, 5), dtype=np.float32)
    vexl_boxes[:, :2] = keypoints[:, 0]
    np.subtract(keypoints[:, 1:3], keypoints[:, :1], out=keypoints[:, 1:3])
    vexl_boxes[:, 3:1:-1] = np.linalg.norm(keypoints[:, 1:3], axis=2) * 2
    vexl_boxes[:, 4] = -(get_angles_from_points(keypoints[:, 1]) + np.pi / 2)
    return vexl_boxes


def keypoints_to_box_corners(keypoints):
    number_of_parallelograms, number_of_keypoints, dimensionality = keypoints.shape
    assert number_of_keypoints == 3
    assert dimensionality == 2
    parallelogram_center = keypoints[:, 0][:, True]
    assert parallelogram_center.shape == (number_of_parallelograms, 1, 2)
    parallelogram_tuple = keypoints[:, 1:3] - parallelogram_center
    assert parallelogram_tuple.shape == (number_of_parallelograms, 2, 2)
    box_corners = get_corner_points_from_box_tuples(parallelogram_tuple)
    assert box_corners.shape == (number_of_parallelograms, 4, 2)
    return cast(np.ndarray[Any, Any], box_corners + parallelogram_center)


def inference_boxes_to_corners(boxes, size_factor=1.0):
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
    rot_points_multi_rads(distances, orientations)
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


# --------------------------------------------------------------------------------------------
# Overlap and clipping
# --------------------------------------------------------------------------------------------


def _cross(u: Any, v: Any) -> Any:
    with warnings.catch_warnings():  # NumPy 2 deprecates np.cross of 2-vectors
        warnings.simplefilter("ignore", DeprecationWarning)
        return np.cross(u, v)


def _outside(t: Any) -> Any:
    if t <= 0:
        return -t
    if t >= 1:
        return t - 1
    return 0


def intersect(a1: Any, a2: Any, b1: Any, b2: Any) -> np.ndarray | None:
    r = a2 - a1
    s = b2 - b1
    nominator = _cross(b1 - a1, s)
    denominator = _cross(r, s)
    assert denominator != 0
    lambda_a = nominator / denominator
    lambda_b = _cross(b1 - a1, r) / denominator
    badness = max(_outside(lambda_a), _outside(lambda_b))
    if badness < 1e-11:
        return b1 + max(0.0, min(1.0, lambda_b)) * s
    return None


def clipper(box_corners: np.ndarray, image_size: Any, visualize: bool = False) -> tuple[Any, Any]:
    image_size = np.array(image_size) - 1
    img_corners = np.array([[0, 0], [image_size[0], 0], image_size, [0, image_size[1]]])
    box_corners_tlbr = [(*(bc < 0), *(bc > image_size)) for bc in box_corners]
    interesting = list(img_corners)
    interesting += [bc for bc, flags in zip(box_corners, box_corners_tlbr) if not any(flags)]
    for i in range(len(box_corners_tlbr)):
        for e in range(4):
            if box_corners_tlbr[i][e] != box_corners_tlbr[i - 1][e]:
                ic = intersect(box_corners[i - 1], box_corners[i], img_corners[e - 1], img_corners[e])
                if ic is not None:
                    interesting.append(ic)
    encode, decode = coordinate_transformation(box_corners[:3])
    encoded = [
        row
        for k, row in enumerate(encode(interesting))
        if k >= len(img_corners) or (np.all(-1e-12 <= row) and np.all(row <= 1.000000000001))
    ]
    if not encoded:
        return None, None
    min_x, min_y = np.min(encoded, axis=0)
    max_x, max_y = np.max(encoded, axis=0)
    new_box_corners = decode(np.array([[min_x, min_y], [min_x, max_y], [max_x, max_y], [max_x, min_y]]))
    return new_box_corners, np.array(interesting[len(img_corners) :])


def _axes(distances: np.ndarray, row: int) -> np.ndarray:
    return -distances[:, row] * 2 / np.linalg.norm(distances[:, row] * 2, axis=1)[:, None] ** 2


def intersections_projections(corners_a, distances_a, corners_b, distances_b):  # type: ignore[no-untyped-def]
    """The four (Na, Nb, 4) arrays of normalised coordinates."""
    adbc = corners_b[:, 0][np.newaxis, :, np.newaxis] - corners_a[:, np.newaxis]
    ehfg = corners_a[:, 0][:, np.newaxis, np.newaxis] - corners_b[np.newaxis]
    with np.errstate(all="ignore"):
        to_bottom_a, to_right_a = _axes(distances_a, 0), _axes(distances_a, 1)
        to_bottom_b, to_right_b = _axes(distances_b, 0), _axes(distances_b, 1)
        return (
            np.einsum("abft,at->abf", ehfg, to_right_a),
            np.einsum("abft,at->abf", ehfg, to_bottom_a),
            np.einsum("abft,bt->abf", adbc, to_right_b),
            np.einsum("abft,bt->abf", adbc, to_bottom_b),
        )


def intersections(corners_a, distances_a, corners_b, distances_b, loop=False):  # type: ignore[no-untyped-def]
    """The overlap matrix; `loop` runs the per-pair decision as the Python loop over the pairs."""
    projections = intersections_projections(corners_a, distances_a, corners_b, distances_b)
    if not loop:
        separated = np.zeros(projections[0].shape[:2], dtype=bool)
        for val in projections:
            separated |= (val < 0).all(axis=2) | (val > 1).all(axis=2)
        return ~separated
    result = np.zeros(projections[0].shape[:2], dtype=bool)
    for i_a in range(result.shape[0]):
        for i_b in range(result.shape[1]):
            for val in projections:
                row = val[i_a, i_b]
                if (row < 0).all() or (row > 1).all():
                    break
            else:
                result[i_a, i_b] = True
    return result


def surrounding_rectangle_from_corners(corners: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return np.min(corners, axis=1).astype(np.int32), np.max(corners, axis=1).astype(np.int32)


# --------------------------------------------------------------------------------------------
# Keypoint regrouping after a shuffle
# --------------------------------------------------------------------------------------------


def assemble_keypoints_after_shuffle(keypoints, instances, positions, **kwargs):
    number_of_position_measurements = len(instances)
    keypoint_dimensionality = 2
    instance_array = np.array(instances)
    assert instance_array.shape == (number_of_position_measurements,)
    arr_keypoints = np.array(keypoints).reshape(number_of_position_measurements, keypoint_dimensionality)
    keypoint_dimensionality = arr_keypoints.shape[1]
    assert arr_keypoints.shape == (number_of_position_measurements, keypoint_dimensionality)
    arr_positions = np.array(positions, dtype=object)
    assert arr_positions.shape == (number_of_position_measurements,)
    unique_instances = np.unique(instance_array)
    number_of_unique_instances = unique_instances.shape[0]
    assert number_of_unique_instances == number_of_position_measurements / 3
    sorted_keypoints = np.empty((number_of_unique_instances, 3, keypoint_dimensionality))
    sorted_kwarg_arrays = {}
    for key, values in kwargs.items():
        sorted_kwarg_arrays[key] = np.empty((number_of_unique_instances, *values.shape[1:]))
    to_original_index = np.empty(number_of_unique_instances)
    assert all(v.shape[0] == number_of_unique_instances for v in kwargs.values())
    for i, uiid in enumerate(unique_instances):
        position_map = {arr_positions[index]: index for index in np.where(instance_array == str(uiid))[0]}
        sorted_keypoints[i] = [arr_keypoints[position_map[key]] for key in ("center", "top", "right")]
        for k, v in kwargs.items():
            sorted_kwarg_arrays[k][i] = v[int(uiid)]
        to_original_index[i] = int(uiid)
    return (sorted_keypoints, to_original_index, *sorted_kwarg_arrays.values())


# --------------------------------------------------------------------------------------------
# Comparing the module with these: memory layouts, outcomes, identical results
# --------------------------------------------------------------------------------------------


def _every(step, start=None):
    return lambda base: base[(slice(start, None, step),) * base.ndim]


def _permuted(shape):
    order = np.roll(np.arange(len(shape)), -1)
    return tuple(shape[i] for i in order), lambda base: base.transpose(np.argsort(order))


# Each maps the wanted shape to (the shape of a base array, the view of that shape on it).
LAYOUTS = {
    "contiguous": lambda shape: (shape, lambda base: base),
    "transposed": lambda shape: (shape[::-1], lambda base: base.T),  # Fortran order
    "permuted": _permuted,
    "strided": lambda shape: (tuple(2 * n + 1 for n in shape), _every(2, 1)),
    "reversed": lambda shape: (shape, lambda base: base[::-1]),  # the first axis
    "reversed_axes": lambda shape: (shape, _every(-1)),
    "reversed_strided": lambda shape: (tuple(2 * n for n in shape), _every(-2)),
}
BOX_LAYOUTS = ["contiguous", "transposed", "strided", "reversed"]


def twins(values, layout):
    """Two independent arrays holding ``values`` in the same memory layout (one of LAYOUTS).

    A view's base holds the same other values around it in both (see :func:`whole`)."""
    base_shape, view_of = LAYOUTS[layout](tuple(values.shape))
    pair = []
    for _ in range(2):
        base = np.random.default_rng(0).uniform(-1e3, 1e3, base_shape).astype(values.dtype)
        view = view_of(base)
        view[...] = values
        pair.append(view)
    return tuple(pair)


def whole(array):
    """The array a twin views, or the twin itself."""
    return array if array.base is None else array.base


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
