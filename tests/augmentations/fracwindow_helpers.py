"""Shared expectations for the fractional crops FracWindow and MeshCrop.

Plain-Python models of the pixel window, of MeshCrop's crop choice (with its random draws) and
of the rescaling's NumPy steps, pipeline inputs, and a worker entry point for multiprocessing
tests (it lives here so that spawned workers can import it).
"""

import random

import albumentations as A
import numpy as np

from vornhaven.preprocessing.augmentations.transform.fracwindow import FracWindow, MeshCrop

ALBUMENTATIONS_1_1 = A.__version__.startswith("1.1.")


def window(fractions, rows, cols):
    """(x_min, y_min, x_max, y_max) FracWindow hands to Crop for fractions (x0, y0, x1, y1)."""
    x0, y0, x1, y1 = fractions
    x_min, y_min = round(x0 * cols), round(y0 * rows)
    x_max, y_max = max(round(x1 * cols), x_min + 1), max(round(y1 * rows), y_min + 1)
    if y_max > rows:
        y_max, y_min = y_max - 1, y_min - 1
    if x_max > cols:
        x_max, x_min = x_max - 1, x_min - 1
    return x_min, y_min, x_max, y_max


def pixel_window(transform):
    return transform.x_min, transform.y_min, transform.x_max, transform.y_max


def choose(crops, keypoints, rows, cols, printed):
    """The crop MeshCrop chooses from ``crops`` (a CropsData) for one input, drawing from ``random``."""
    if crops is None or not crops.data:
        return None
    crops.normalize(cols, rows)
    selected = None
    if len(crops.data) >= 2 and random.random() > 0.5:
        centres = list(keypoints[::3][:-1]) if keypoints is not None else []
        samples = set()
        for centre in centres:
            samples |= crops.find_crop(centre[0] / cols, centre[1] / rows)
        if samples:
            selected = random.choice(list(samples))
        elif centres:
            printed.append("weird")
    if selected is None:
        selected = random.choice(crops.data)
    return selected


def rescale_steps(result):
    """MeshCrop's rescaling of a cropped image, written with NumPy."""
    min_value = float(np.min(result))
    max_value = float(np.max(result))
    if max_value - min_value > 0:
        result = result.copy()
        np.subtract(result, min_value, out=result)
        np.multiply(result, 2 / (max_value - min_value), out=result)
        np.subtract(result, 1.0, out=result)
        np.clip(result, -1.0, 1.0, out=result)
    return result


def sample(rows, cols, seed=0, dtype=np.uint8):
    """An image, a mask, labelled pixel boxes (pascal_voc) and keypoints for a rows x cols input."""
    rng = np.random.default_rng(seed)
    if dtype == np.uint8:
        image = rng.integers(0, 256, (rows, cols, 3), dtype=np.uint8)
    else:
        image = (rng.random((rows, cols, 3)) * 100 - 20).astype(dtype)
    mask = rng.integers(0, 5, (rows, cols), dtype=np.uint8)
    corners = rng.uniform(0, 0.7, (6, 2)) * (cols, rows)
    sizes = rng.uniform(0.05, 0.3, (6, 2)) * (cols, rows)
    bboxes = [(*map(float, c), *map(float, np.minimum(c + s, (cols, rows))), f"b{i}")
              for i, (c, s) in enumerate(zip(corners, sizes))]
    keypoints = [tuple(map(float, k)) for k in rng.uniform(0, 1, (9, 2)) * (cols - 1, rows - 1)]
    return {"image": image, "mask": mask, "bboxes": bboxes, "keypoints": keypoints}


def compose(transforms, cls=A.Compose):
    return cls(transforms, bbox_params=A.BboxParams("pascal_voc"), keypoint_params=A.KeypointParams("xy"))


def run_pipeline(job):
    """Worker entry point: run a pipeline on one sample; return its targets and the window."""
    pipeline, data, seed = job
    random.seed(seed)
    out = pipeline(**data)
    transform = pipeline.transforms[0]
    return out["image"], out["mask"], out["bboxes"], out["keypoints"], pixel_window(transform)


__all__ = ["FracWindow", "MeshCrop"]
