"""Box geometry of shapekit: parallelogram fitting and the conversions between VEXL boxes,
keypoints and corners.

The NumPy side of each workload is the plain Python version of the same steps, the one the tests
compare with (``tests/numpy_steps.py``): sizes read from ``.shape``, the shape asserts, the array
expressions in the documented order, the rotations through a plain ``rot_points_multi_rads``
(``np.cos`` / ``np.sin``, the stacked matrices and one ``np.einsum(..., out=...)``), and the
in-place checks (the same object, or equal values). Its arctan2 is ``np.arctan2`` itself: the
tests' choice of one of NumPy's two answers (``arctan2_apart``) costs more than the arctan2 and
would be timed too; the two differ in the last bit at most, well inside the result check.
``keypoints_to_vexl`` rewrites its input on both sides, each on its own copy, so repeated calls
keep working on arrays of the same shape and similar values.
"""

from __future__ import annotations

import functools
from typing import Any, Callable

import numpy as np

import numpy_steps as steps
from harness import Workload

SIZES = (1, 10, 100, 1000, 10000)
TARGETS = {10: 20.0, 1000: 3.0}
FIT_TARGETS = {10: 20.0, 1000: 2.0}
KEYPOINTS_TO_VEXL_TARGETS = {10: 20.0, 1000: 2.0}
RTOL = {np.float64: 1e-13, np.float32: 4e-6}


def _shapekit() -> Any:
    from vornhaven.preprocessing import shapekit

    return shapekit


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
    keypoints = steps.vexl_to_keypoints(boxes).reshape((size, 3, 2))
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
        return _pair(native, getattr(steps, name), *make_inputs(size, dtype))

    return Workload(f"{name}[{np.dtype(dtype).name}]", SIZES, setup, targets, RTOL[dtype])


def _corners_and_rotations(size: int, dtype: type) -> tuple[np.ndarray, np.ndarray]:
    boxes = _vexl(size, np.float64)
    return steps.vexl_to_box_corners(boxes).astype(dtype), (-boxes[:, 4]).astype(dtype)


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
