"""Pictures of the demo: drawing with OpenCV, the overlap matrix with matplotlib."""

from __future__ import annotations

from pathlib import Path

import cv2
import numpy as np

from vornhaven.preprocessing import shapekit

from .scene import COLOUR_FIELDS, NIR_FIELD, Scene

# distinct colours (BGR), one per box id
PALETTE = [(75, 25, 230), (75, 180, 60), (25, 225, 255), (200, 130, 0), (48, 130, 245), (180, 30, 145),
           (240, 240, 70), (230, 50, 240), (60, 245, 210), (190, 190, 250), (128, 128, 0), (255, 190, 220)]


def colour(box_id: int) -> tuple[int, int, int]:
    return PALETTE[int(box_id) % len(PALETTE)]


def _to_uint8(field: np.ndarray) -> np.ndarray:
    if field.dtype == np.uint8:
        return field
    if np.issubdtype(field.dtype, np.integer):
        info = np.iinfo(field.dtype)
        return ((field.astype(np.float64) - info.min) * (255.0 / (info.max - info.min))).astype(np.uint8)
    return cv2.normalize(field.astype(np.float32), None, 0, 255, cv2.NORM_MINMAX).astype(np.uint8)


def _points(points: np.ndarray, scale: float = 1.0, offset: tuple[float, float] = (0.0, 0.0)) -> np.ndarray:
    # 4 bits of sub-pixel precision for OpenCV's drawing functions
    return np.round((points * scale + offset) * 16).astype(np.int32)


def _draw_boxes(picture: np.ndarray, ids, vexl: np.ndarray, scale: float = 1.0, offset=(0.0, 0.0),
                thickness: int = 2) -> None:
    """Each box's outline, and a line from its centre to the middle of its top edge."""
    if len(vexl) == 0:
        return
    corners = shapekit.vexl_to_box_corners(vexl)
    keypoints = shapekit.vexl_to_keypoints(vexl).reshape(-1, 3, 2)
    for box_id, box, points in zip(ids, corners, keypoints):
        cv2.polylines(picture, [_points(box, scale, offset)], True, colour(box_id), thickness, cv2.LINE_AA, 4)
        centre, top = _points(points[:2], scale, offset)
        cv2.line(picture, tuple(map(int, centre)), tuple(map(int, top)), colour(box_id), max(1, thickness - 1), cv2.LINE_AA, 4)


def draw_input(scene: Scene) -> np.ndarray:
    """The input's colours with its boxes, and beside it the near-infrared band, if any."""
    rgb = np.dstack([_to_uint8(scene.image[name]) for name in COLOUR_FIELDS])
    panels = [cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)]
    if scene.has_nir:
        panels.append(cv2.applyColorMap(_to_uint8(scene.image[NIR_FIELD]), cv2.COLORMAP_VIRIDIS))
    ids = range(len(scene.boxes))
    for panel in panels:
        _draw_boxes(panel, ids, scene.boxes)
        for box_id, (cx, cy) in zip(ids, scene.boxes[:, :2]):
            cv2.putText(panel, str(box_id), (int(cx) - 4, int(cy) + 5), cv2.FONT_HERSHEY_SIMPLEX, 0.5,
                        (255, 255, 255), 2, cv2.LINE_AA)
            cv2.putText(panel, str(box_id), (int(cx) - 4, int(cy) + 5), cv2.FONT_HERSHEY_SIMPLEX, 0.5,
                        colour(box_id), 1, cv2.LINE_AA)
    gap = np.full((panels[0].shape[0], 6, 3), 255, np.uint8)
    return np.hstack([panels[0], gap, panels[1]]) if len(panels) == 2 else panels[0]


def draw_sample(image: np.ndarray, grouped: np.ndarray, clipped: np.ndarray, ids: np.ndarray, index: int,
                cell: int) -> np.ndarray:
    """One augmented sample in a cell x cell square: its first three channels as colours, the
    clipped boxes, and the augmented {centre, top, right} keypoints of every box as dots."""
    height, width = image.shape[:2]
    scale = cell / max(height, width)
    size = (max(1, round(width * scale)), max(1, round(height * scale)))
    rgb = image[..., :3] if image.ndim == 3 and image.shape[2] >= 3 else np.dstack([image.reshape(height, width, -1)[..., 0]] * 3)
    picture = np.clip((rgb + 1.0) * 127.5, 0, 255).astype(np.uint8)
    picture = cv2.cvtColor(cv2.resize(picture, size, interpolation=cv2.INTER_AREA), cv2.COLOR_RGB2BGR)
    out = np.full((cell, cell, 3), 32, np.uint8)
    offset = ((cell - size[0]) // 2, (cell - size[1]) // 2)
    out[offset[1]:offset[1] + size[1], offset[0]:offset[0] + size[0]] = picture
    _draw_boxes(out, ids, clipped, scale, offset)
    for points in grouped:
        for point in _points(points, scale, offset):
            cv2.circle(out, tuple(map(int, point)), 2 * 16, (255, 255, 255), -1, cv2.LINE_AA, 4)
    cv2.putText(out, f"#{index}", (6, 18), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (255, 255, 255), 1, cv2.LINE_AA)
    return out


def grid(cells: list[np.ndarray], columns: int = 4, gap: int = 4) -> np.ndarray:
    rows = -(-len(cells) // columns)
    cell = cells[0].shape[0]
    out = np.full((rows * (cell + gap) + gap, min(columns, len(cells)) * (cell + gap) + gap, 3), 255, np.uint8)
    for k, picture in enumerate(cells):
        y, x = divmod(k, columns)
        out[gap + y * (cell + gap):gap + y * (cell + gap) + cell, gap + x * (cell + gap):gap + x * (cell + gap) + cell] = picture
    return out


def write_png(path: Path, picture: np.ndarray) -> None:
    # Encoded in memory and written by Python: cv2.imwrite keeps a reference to its file name for good
    ok, encoded = cv2.imencode(".png", picture)
    if not ok:
        raise OSError(f"OpenCV could not write {path}")
    Path(path).write_bytes(encoded.tobytes())


def overlap_matrix(records: list[dict], number_of_boxes: int) -> np.ndarray:
    """Share of samples in which boxes i and j overlap after clipping; on the diagonal, the share
    in which box i is still (partly) inside the image."""
    counts = np.zeros((number_of_boxes, number_of_boxes))
    for record in records:
        for box in record["clipped"]:
            counts[box[0], box[0]] += 1
        for i, j in record["overlaps"]:
            counts[i, j] += 1
            counts[j, i] += 1
    return counts / max(1, len(records))


def plot_overlap(path: Path, matrix: np.ndarray, count: int) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    n = len(matrix)
    figure, axes = plt.subplots(figsize=(1.5 + 0.6 * max(n, 3), 1.2 + 0.55 * max(n, 3)), dpi=100)
    try:
        image = axes.imshow(matrix, vmin=0.0, vmax=1.0, cmap="viridis")
        for i in range(n):
            for j in range(n):
                axes.text(j, i, f"{matrix[i, j]:.2f}", ha="center", va="center", fontsize=8,
                          color="black" if matrix[i, j] > 0.6 else "white")
        axes.set_xticks(range(n))
        axes.set_yticks(range(n))
        axes.set_xlabel("box")
        axes.set_ylabel("box")
        axes.set_title(f"overlap after clipping, share of {count} samples\n(diagonal: box inside the image)", fontsize=9)
        figure.colorbar(image, ax=axes, fraction=0.046, pad=0.04)
        figure.tight_layout()
        figure.savefig(path)
    finally:
        plt.close(figure)
