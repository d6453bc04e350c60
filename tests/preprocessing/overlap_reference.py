"""Overlap and clipping written as plain NumPy steps: the reference the native functions of
shapekit are compared with, bit for bit (the benchmarks time the same steps)."""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np


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


def coordinate_transformation(spanning_points: np.ndarray) -> tuple[Any, Any]:
    new_origin = spanning_points[1]
    base_system = (spanning_points[[0, 2]] - new_origin).T
    matrix = np.linalg.pinv(base_system)
    return (lambda a: matrix.dot((a - new_origin).T).T), (lambda a: base_system.dot(a.T).T + new_origin)


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
