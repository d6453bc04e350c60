"""Rotations of shapekit: batched in-place rotations of point sets and of 2 x 2 matrices, and
the single rotation matrix.

The NumPy side of each workload is the plain Python version of the same steps: sizes read from
``.shape`` into ints, the shape asserts, ``np.cos`` / ``np.sin``, the stacked matrices built
with ``np.array(...).reshape``, one ``np.einsum(..., out=...)`` and the return of the input
array. Both sides rotate in place, each on its own copy of the inputs, so repeated calls keep
rotating the same arrays; rotations keep norms, so the values stay in range.
"""

from __future__ import annotations

import functools
from typing import Any, Callable

import numpy as np

from harness import Workload

SIZES = (1, 10, 100, 1000, 10000)
STACK_TARGETS = {1: 20.0, 10000: 5.0}
POINTS_PER_SET = 4

# Result checks, relative to the largest value of the result: float64 leaves room for a different
# order of the sums and a last-bit difference in sin/cos; float32 also for sin/cos and sums
# evaluated in a wider precision than NumPy's float32 loops.
RTOL = {np.float64: 1e-14, np.float32: 4e-6}


def _shapekit() -> Any:
    from vornhaven.preprocessing import shapekit

    return shapekit


# --- NumPy versions ------------------------------------------------------------------------


def np_get_rotation_matrix_2d(*, angle_in_deg: float | None = None, angle_in_rad: float | None = None) -> np.ndarray:
    if (angle_in_deg is None) == (angle_in_rad is None):
        raise ValueError(f"Pass angle either in degrees ({angle_in_deg}) in radians ({angle_in_rad}).")
    if angle_in_deg is not None:
        angle_in_rad = angle_in_deg / 180 * np.pi
    return np.array(
        [[np.cos(angle_in_rad), -1.0 * np.sin(angle_in_rad)], [np.sin(angle_in_rad), np.cos(angle_in_rad)]]
    )


def np_rot_mats_multi_rads(matrices: np.ndarray, rotation_rads: np.ndarray) -> np.ndarray:
    number_of_rotations = int(matrices.shape[0])
    state_dimensionality = int(matrices.shape[1])
    assert matrices.shape == (number_of_rotations, state_dimensionality, state_dimensionality)
    assert rotation_rads.shape == (number_of_rotations,)
    cr = np.cos(rotation_rads)
    sr = np.sin(rotation_rads)
    rotation_matrix = np.array([[cr, -sr], [sr, cr]]).reshape((2, 2, number_of_rotations))
    assert rotation_matrix.shape == (state_dimensionality, state_dimensionality, number_of_rotations)
    np.einsum("tTR,RTS,sSR->Rts", rotation_matrix, matrices, rotation_matrix, out=matrices)
    assert matrices.shape == (number_of_rotations, state_dimensionality, state_dimensionality)
    return matrices


def np_rot_points_multi_rads(points: np.ndarray, rotation_rads: np.ndarray) -> np.ndarray:
    number_of_rotations = int(points.shape[0])
    number_of_points_to_rotate_per_rotation = int(points.shape[1])
    state_dimensionality = int(points.shape[2])
    assert points.shape == (number_of_rotations, number_of_points_to_rotate_per_rotation, state_dimensionality)
    assert rotation_rads.shape == (number_of_rotations,)
    cr = np.cos(rotation_rads)
    sr = np.sin(rotation_rads)
    rotation_matrix = np.array([[cr, -sr], [sr, cr]]).reshape((2, 2, number_of_rotations))
    assert rotation_matrix.shape == (state_dimensionality, state_dimensionality, number_of_rotations)
    np.einsum("rcR,Rxc->Rxr", rotation_matrix, points, out=points)
    assert points.shape == (number_of_rotations, number_of_points_to_rotate_per_rotation, state_dimensionality)
    return points


# --- inputs --------------------------------------------------------------------------------


def _rng(*key: int) -> np.random.Generator:
    return np.random.default_rng([0x5EED, *key])


def _angles(rng: np.random.Generator, size: int, dtype: type) -> np.ndarray:
    return rng.uniform(-np.pi, np.pi, size).astype(dtype)


def _point_sets(size: int, dtype: type) -> tuple[np.ndarray, np.ndarray]:
    rng = _rng(1, size, np.dtype(dtype).itemsize)
    # Pixel-scale coordinates of box corners, centred on the origin.
    points = rng.uniform(-500.0, 500.0, (size, POINTS_PER_SET, 2)).astype(dtype)
    return points, _angles(rng, size, dtype)


def _covariances(size: int, dtype: type) -> tuple[np.ndarray, np.ndarray]:
    rng = _rng(2, size, np.dtype(dtype).itemsize)
    a = rng.normal(0.0, 10.0, (size, 2, 2))
    matrices = (a @ a.transpose(0, 2, 1) + np.eye(2)).astype(dtype)
    return matrices, _angles(rng, size, dtype)


def _pair(
    native: Callable[..., Any], numpy: Callable[..., Any], *inputs: np.ndarray
) -> tuple[Callable[[], Any], Callable[[], Any]]:
    """Bind each side to its own copies of ``inputs``."""
    return (
        functools.partial(native, *(x.copy() for x in inputs)),
        functools.partial(numpy, *(x.copy() for x in inputs)),
    )


def _points_workload(dtype: type) -> Workload:
    def setup(size: int) -> tuple[Callable[[], Any], Callable[[], Any]]:
        return _pair(_shapekit().rot_points_multi_rads, np_rot_points_multi_rads, *_point_sets(size, dtype))

    return Workload(f"rot_points_multi_rads[{np.dtype(dtype).name}]", SIZES, setup, STACK_TARGETS, RTOL[dtype])


def _mats_workload(dtype: type) -> Workload:
    def setup(size: int) -> tuple[Callable[[], Any], Callable[[], Any]]:
        return _pair(_shapekit().rot_mats_multi_rads, np_rot_mats_multi_rads, *_covariances(size, dtype))

    return Workload(f"rot_mats_multi_rads[{np.dtype(dtype).name}]", SIZES, setup, STACK_TARGETS, RTOL[dtype])


def _matrix_workload(keyword: str, angle: float) -> Workload:
    def setup(size: int) -> tuple[Callable[[], Any], Callable[[], Any]]:
        native = _shapekit().get_rotation_matrix_2d
        # Lambdas rather than partial(..., **kwargs): a partial with keywords copies its dict on
        # every call, which would cost more than the native call itself.
        if keyword == "angle_in_deg":
            return lambda: native(angle_in_deg=angle), lambda: np_get_rotation_matrix_2d(angle_in_deg=angle)
        return lambda: native(angle_in_rad=angle), lambda: np_get_rotation_matrix_2d(angle_in_rad=angle)

    return Workload(f"get_rotation_matrix_2d[{keyword}]", (1,), setup, {1: 5.0}, 1e-15)


WORKLOADS = [
    _points_workload(np.float64),
    _points_workload(np.float32),
    _mats_workload(np.float64),
    _mats_workload(np.float32),
    _matrix_workload("angle_in_rad", 0.6544984694978736),
    _matrix_workload("angle_in_deg", 37.5),
]
