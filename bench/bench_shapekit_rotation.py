"""Rotations of shapekit: batched in-place rotations of point sets and of 2 x 2 matrices, and
the single rotation matrix.

The NumPy side of each workload is the plain Python version of the same steps, the one the tests
compare with (``tests/numpy_steps.py``): sizes read from ``.shape`` into ints, the shape asserts,
``np.cos`` / ``np.sin``, the stacked matrices built with ``np.array(...).reshape``, one
``np.einsum(..., out=...)`` and the return of the input array. Both sides rotate in place, each on its own copy of the inputs, so repeated calls keep
rotating the same arrays; rotations keep norms, so the values stay in range.
"""

from __future__ import annotations

import functools
from typing import Any, Callable

import numpy as np

import numpy_steps as steps
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
        return _pair(_shapekit().rot_points_multi_rads, steps.rot_points_multi_rads, *_point_sets(size, dtype))

    return Workload(f"rot_points_multi_rads[{np.dtype(dtype).name}]", SIZES, setup, STACK_TARGETS, RTOL[dtype])


def _mats_workload(dtype: type) -> Workload:
    def setup(size: int) -> tuple[Callable[[], Any], Callable[[], Any]]:
        return _pair(_shapekit().rot_mats_multi_rads, steps.rot_mats_multi_rads, *_covariances(size, dtype))

    return Workload(f"rot_mats_multi_rads[{np.dtype(dtype).name}]", SIZES, setup, STACK_TARGETS, RTOL[dtype])


def _matrix_workload(keyword: str, angle: float) -> Workload:
    def setup(size: int) -> tuple[Callable[[], Any], Callable[[], Any]]:
        native = _shapekit().get_rotation_matrix_2d
        # Lambdas rather than partial(..., **kwargs): a partial with keywords copies its dict on
        # every call, which would cost more than the native call itself.
        if keyword == "angle_in_deg":
            return lambda: native(angle_in_deg=angle), lambda: steps.get_rotation_matrix_2d(angle_in_deg=angle)
        return lambda: native(angle_in_rad=angle), lambda: steps.get_rotation_matrix_2d(angle_in_rad=angle)

    return Workload(f"get_rotation_matrix_2d[{keyword}]", (1,), setup, {1: 5.0}, 1e-15)


WORKLOADS = [
    _points_workload(np.float64),
    _points_workload(np.float32),
    _mats_workload(np.float64),
    _mats_workload(np.float32),
    _matrix_workload("angle_in_rad", 0.6544984694978736),
    _matrix_workload("angle_in_deg", 37.5),
]
