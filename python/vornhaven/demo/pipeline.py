"""The platform's label path for one sample, stage by stage.

BandMixer -> PickWeighted(FracBorder, FracMiddle) -> MeshCrop -> flip, rotate, affine (albumentations)
-> regrouping of the keypoints -> parallelogram fitting -> clipping -> the overlap matrix.

Every sample is a pure function of the scene, the run's seed and the sample's index: its seed is
derived from the two numbers, and the generators that the transforms draw from are seeded with it
for the sample (see ``seeding``). A lock keeps two threads of one process from interleaving
samples on the process's one pipeline, so a worker with several threads gives the same results
as one with a single thread.
"""

from __future__ import annotations

import hashlib
import random
import threading
import time
from dataclasses import dataclass
from typing import Any

import albumentations as A
import cv2
import numpy as np

from vornhaven.preprocessing import shapekit
from vornhaven.preprocessing.augmentations.transform.bandmixer import BandMixer
from vornhaven.preprocessing.augmentations.transform.fracborder import FracBorder
from vornhaven.preprocessing.augmentations.transform.fracmiddle import FracMiddle
from vornhaven.preprocessing.augmentations.transform.fracwindow import MeshCrop
from vornhaven.preprocessing.augmentations.transform.pickweighted import PickWeighted

from .scene import COLOUR_FIELDS, NIR_FIELD, Scene
from .seeding import sample_seed, seeded_generators

#: The stages in the order they run, with what each one does.
STAGES = {
    "channels": "BandMixer: the structured image to float32 channels in [-1, 1]",
    "aspect": "PickWeighted(FracBorder, FracMiddle): pad or centre-crop to a square",
    "crop": "MeshCrop: one cell of a 3 x 3 mesh, preferring cells with box centres (apply_crop)",
    "keypoint augmentations": "HorizontalFlip, Rotate, Affine (albumentations)",
    "regrouping": "the flat keypoint list shuffled, then assemble_keypoints_after_shuffle: keypoints per box",
    "fitting": "get_box_and_rotation_from_parallelogram_keypoints, box_corners_to_vexl",
    "clipping": "clipper: boxes cut to the image",
    "overlap": "inference_boxes_to_corners, intersections",
    "render": "the sample drawn for the grid (OpenCV)",
}

ASPECT_RATIO = 1.0
CELL = 240  # pixels of one grid cell


def channel_config(has_nir: bool) -> list[dict[str, Any]]:
    """BandMixer's configuration: the colours with their default range (the whole range of the
    integer type), the near-infrared band capped to the lower half of its 16-bit range."""
    config: list[dict[str, Any]] = [{"channel": {"channel_type": {"selection": name}}} for name in COLOUR_FIELDS]
    if has_nir:
        config.append({"channel": {"channel_type": {"selection": "custom", "name": NIR_FIELD},
                                   "enable_operations": {"operations": {"selection": "relative_cap",
                                                                        "min": 0.0, "max": 0.5}}}})
    return config


def _keypoint_params() -> A.KeypointParams:
    # boxes may leave the image: their keypoints are kept, and clipping cuts the boxes later
    return A.KeypointParams("xy", label_fields=["instances", "positions"], remove_invisible=False)


@dataclass
class Pipeline:
    """The albumentations stages of the label path, each its own Compose so that it can be timed."""

    channels: A.Compose
    aspect: A.Compose
    crop: A.Compose
    mesh: MeshCrop
    keypoints: A.Compose


def build_pipeline(has_nir: bool) -> Pipeline:
    params = _keypoint_params()
    channels = A.Compose([BandMixer(channels=channel_config(has_nir), always_apply=True, p=1.0)], keypoint_params=params)
    children = [FracBorder(aspect_ratio=ASPECT_RATIO, border_mode=cv2.BORDER_CONSTANT, value=0, p=0.5),
                FracMiddle(aspect_ratio=ASPECT_RATIO, p=0.5)]
    aspect = A.Compose([PickWeighted(children, p=1.0)], keypoint_params=params)

    mesh = MeshCrop(3, 3, 0.7, 0.7)
    crop = A.Compose([mesh], keypoint_params=params)

    keypoints = A.Compose([
        A.HorizontalFlip(p=0.5),
        A.Rotate(limit=30, border_mode=cv2.BORDER_CONSTANT, value=0, p=0.8),
        A.Affine(scale=(0.85, 1.15), translate_percent=(-0.05, 0.05), shear=(-12, 12), p=0.8),
    ], keypoint_params=params)
    return Pipeline(channels, aspect, crop, mesh, keypoints)


_PIPELINES: dict[bool, Pipeline] = {}
_LOCK = threading.Lock()


def pipeline_for(scene: Scene) -> Pipeline:
    """One pipeline per process and kind of scene: a worker builds it once and keeps it."""
    if scene.has_nir not in _PIPELINES:
        _PIPELINES[scene.has_nir] = build_pipeline(scene.has_nir)
    return _PIPELINES[scene.has_nir]


@dataclass
class SampleResult:
    record: dict[str, Any]  # what summary.json keeps of the sample (deterministic)
    timings: dict[str, float]  # seconds per stage
    cell: np.ndarray | None  # the drawn grid cell (BGR uint8), for the first samples only


def _vexl_rows(ids: np.ndarray, boxes: np.ndarray) -> list[list[float]]:
    return [[int(i), *map(float, box)] for i, box in zip(ids, boxes)]


def choose_cell(mesh: MeshCrop, data: dict[str, Any]) -> Any:
    """MeshCrop's choice, made reproducible: half of the time a cell holding a box centre (the
    first keypoint of each box), otherwise any cell, drawn from ``random``. MeshCrop's own choice
    draws from the set of candidate cells in its iteration order, which follows the cells'
    identity hashes (memory addresses) and so differs between processes; here the candidates are
    taken in mesh order, and the cell is then fixed with ``apply_crop``."""
    cells = mesh.all_crops
    height, width = data["image"].shape[:2]
    if random.random() > 0.5:
        hits = set()
        for x, y, *_ in data["keypoints"][::3]:
            hits |= cells.find_crop(x / width, y / height)
        if hits:
            return random.choice([cell for cell in cells.data if cell in hits])
    return random.choice(cells.data)


def process_sample(scene: Scene, seed: int, index: int, render: bool = False,
                   pipeline: Pipeline | None = None) -> SampleResult:
    """One sample, with this process's pipeline for the scene unless one is given."""
    with _LOCK, seeded_generators(sample_seed(seed, index)):
        return _process_sample(scene, seed, index, render, pipeline or pipeline_for(scene))


def _process_sample(scene: Scene, seed: int, index: int, render: bool, pipeline: Pipeline) -> SampleResult:
    timings: dict[str, float] = {}
    clock = time.perf_counter

    keypoints = shapekit.vexl_to_keypoints(scene.boxes)
    instances, positions = shapekit.keypoints_trivial_lookup(len(keypoints))
    data = {"keypoints": [tuple(map(float, k)) for k in keypoints], "image": scene.image,
            "instances": [str(i) for i in instances], "positions": [str(p) for p in positions]}

    for stage, compose in (("channels", pipeline.channels), ("aspect", pipeline.aspect), ("crop", pipeline.crop),
                           ("keypoint augmentations", pipeline.keypoints)):
        start = clock()
        if stage == "crop":
            pipeline.mesh.apply_crop(choose_cell(pipeline.mesh, data))
        data = compose(**data)
        timings[stage] = clock() - start
    crop_window = [int(pipeline.mesh.x_min), int(pipeline.mesh.y_min), int(pipeline.mesh.x_max), int(pipeline.mesh.y_max)]

    image = np.ascontiguousarray(data["image"], dtype=np.float32)
    height, width = image.shape[:2]

    start = clock()
    # the flat list in a shuffled order, as an augmentation that reorders keypoints leaves it
    order = list(range(len(data["keypoints"])))
    random.shuffle(order)
    grouped, to_original_index, _ = shapekit.assemble_keypoints_after_shuffle(
        [np.asarray(data["keypoints"][k][:2]) for k in order], [data["instances"][k] for k in order],
        [data["positions"][k] for k in order], boxes=scene.boxes)
    ids = to_original_index.astype(np.int64)
    timings["regrouping"] = clock() - start

    start = clock()
    corners, rotations = shapekit.get_box_and_rotation_from_parallelogram_keypoints(
        grouped, box_reconstruction_mode=shapekit.BoxReconstruction.MAX)
    fitted = shapekit.box_corners_to_vexl(corners, rotations)
    timings["fitting"] = clock() - start

    start = clock()
    kept, clipped_corners = [], []
    for k in range(len(corners)):
        new_corners, _ = shapekit.clipper(corners[k], (width, height))
        if new_corners is not None:
            kept.append(k)
            clipped_corners.append(new_corners)
    kept_ids = ids[kept]
    clipped = (shapekit.box_corners_to_vexl(np.array(clipped_corners), rotations[kept]) if kept
               else np.empty((0, 5)))
    timings["clipping"] = clock() - start

    start = clock()
    box_corners, half_sides = shapekit.inference_boxes_to_corners(clipped.astype(np.float32))
    matrix = shapekit.intersections(box_corners, half_sides, box_corners, half_sides)
    timings["overlap"] = clock() - start
    pairs = sorted((int(min(kept_ids[a], kept_ids[b])), int(max(kept_ids[a], kept_ids[b])))
                   for a, b in zip(*np.nonzero(np.triu(matrix, 1))))

    cell = None
    if render:
        from .render import draw_sample

        start = clock()
        cell = draw_sample(image, grouped, clipped, kept_ids, index, CELL)
        timings["render"] = clock() - start

    record = {
        "index": index,
        "seed": sample_seed(seed, index),
        "size": [int(width), int(height)],
        "crop_window": crop_window,
        "image_sha256": hashlib.sha256(image.tobytes()).hexdigest(),
        "fitted": _vexl_rows(ids, fitted),
        "clipped": _vexl_rows(kept_ids, clipped),
        "overlaps": [list(p) for p in pairs],
    }
    return SampleResult(record, timings, cell)


def process_shard(scene: Scene, seed: int, indices: list[int], render_below: int) -> list[SampleResult]:
    """A shard of samples, as a worker runs it (samples below ``render_below`` are drawn)."""
    return [process_sample(scene, seed, i, i < render_below) for i in indices]
