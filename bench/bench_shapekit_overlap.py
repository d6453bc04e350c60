"""Overlap and clipping of shapekit: the all-pairs overlap test of rotated rectangles, clipping
one box to the image, and integer bounds of boxes.

The NumPy side is the plain Python version of the same steps (tests/numpy_steps.py): for
``intersections`` the dense (Na, Nb, 4) projections by broadcasting and ``np.einsum``, then the
loop over the pairs with the four-axis decision; for ``clipper`` the flags, ``intersect`` with
``np.cross``, ``coordinate_transformation`` with ``np.linalg.pinv``.
"""

from __future__ import annotations

import functools
import sys
import warnings
from pathlib import Path
from typing import Any, Callable

import numpy as np

from harness import Workload

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import numpy_steps as ref  # noqa: E402


def _shapekit() -> Any:
    from vornhaven.preprocessing import shapekit

    return shapekit


def _rectangles(size: int, seed: int, dtype: type = np.float32) -> tuple[np.ndarray, np.ndarray]:
    """Pixel-scale rotated rectangles in a 2000 x 2000 image, as inference_boxes_to_corners makes them."""
    rng = np.random.default_rng([0x0E1A, size, seed])
    boxes = np.column_stack(
        [rng.uniform(0, 2000, (size, 2)), rng.uniform(4, 300, (size, 2)), rng.uniform(-np.pi, np.pi, size)]
    ).astype(np.float32)
    corners, distances = _shapekit().inference_boxes_to_corners(boxes)
    return corners.astype(dtype), distances.astype(dtype)


def _quiet(function: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(function)
    def run(*args: Any) -> Any:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return function(*args)

    return run


def _intersections(dtype: type) -> Workload:
    def setup(size: int) -> tuple[Callable[[], Any], Callable[[], Any]]:
        a, b = _rectangles(size, 1, dtype), _rectangles(size, 2, dtype)
        native = functools.partial(_shapekit().intersections, *a, *b)
        numpy = functools.partial(ref.intersections, *a, *b, loop=True)
        return native, numpy

    name = f"intersections[{np.dtype(dtype).name}]"
    return Workload(name, (50, 300), setup, {50: 20.0, 300: 300.0} if dtype == np.float32 else {})


def _clipper_setup(size: int) -> tuple[Callable[[], Any], Callable[[], Any]]:
    # one box crossing the top-left corner of a 640 x 480 image (rotated by 0.3 rad); NumPy warns
    # of nothing here, so neither side needs its warnings silenced (which would cost both ~2 us)
    c, s = np.cos(0.3), np.sin(0.3)
    box = np.array([[-40.0, -30.0], [-40.0, 90.0], [120.0, 90.0], [120.0, -30.0]]) @ np.array([[c, -s], [s, c]])
    return (
        functools.partial(_shapekit().clipper, box.copy(), (640, 480)),
        functools.partial(ref.clipper, box.copy(), (640, 480)),
    )


def _surrounding_setup(size: int) -> tuple[Callable[[], Any], Callable[[], Any]]:
    corners, _ = _rectangles(size, 3, np.float64)
    return (
        functools.partial(_shapekit().surrounding_rectangle_from_corners, corners.copy()),
        functools.partial(ref.surrounding_rectangle_from_corners, corners.copy()),
    )


WORKLOADS = [
    _intersections(np.float32),
    _intersections(np.float64),
    Workload("clipper[float64]", (1,), _clipper_setup, {1: 50.0}),
    Workload("surrounding_rectangle_from_corners[float64]", (10, 1000, 10000), _surrounding_setup, {1000: 3.0}),
]
