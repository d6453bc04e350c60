"""Contains keypoint utilities."""

from collections.abc import Callable
from enum import Enum
from typing import Any, cast

import numpy as np

def get_rotation_matrix_2d(*, angle_in_deg: float | None = None, angle_in_rad: float | None = None) -> np.ndarray[Any, Any]: ...
def coordinate_transformation(
    spanning_points: np.ndarray[Any, Any],
) -> tuple[
    Callable[[np.ndarray[Any, Any] | list[np.ndarray[Any, Any]]], np.ndarray[Any, Any]],
    Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]],
]: ...

class BoxReconstruction(Enum):
    MIN = 0
    AVG = 1
    MAX = 2

def rot_mats_multi_rads(matrices: np.ndarray[Any, Any], rotation_rads: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]: ...
def rot_points_multi_rads(points: np.ndarray[Any, Any], rotation_rads: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]: ...
