"""The demo's input: a multi-band structured image and the VEXL boxes of its objects.

The built-in scene is generated from fixed numbers, so it is the same on every machine. A user's
own image (PNG/JPEG, or ``.npy`` of a structured array) and boxes (a JSON list of VEXL boxes) are
read and checked here; every problem is reported as an :class:`InputError`.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np

from vornhaven.preprocessing import shapekit

#: The fields a structured image must have; "nir" is used when present.
COLOUR_FIELDS = ("red", "green", "blue")
NIR_FIELD = "nir"

SCENE_HEIGHT, SCENE_WIDTH = 360, 480

# Objects of the built-in scene: VEXL box (centre x, centre y, width, height, rotation in radians),
# colour (red, green, blue) and near-infrared level. Some overlap, one leaves the image.
_OBJECTS = (
    ((110.0, 95.0, 120.0, 60.0, 0.35), (196, 160, 64), 42000),
    ((300.0, 110.0, 100.0, 50.0, -0.60), (60, 140, 70), 52000),
    ((365.0, 150.0, 80.0, 44.0, 0.20), (170, 70, 60), 9000),
    ((215.0, 245.0, 150.0, 46.0, 1.10), (80, 90, 170), 15000),
    ((455.0, 310.0, 96.0, 64.0, 0.50), (200, 200, 80), 30000),
    ((70.0, 285.0, 72.0, 110.0, -0.25), (120, 60, 150), 24000),
    ((250.0, 55.0, 56.0, 30.0, 2.50), (220, 120, 40), 36000),
)


class InputError(Exception):
    """A problem with the user's input: reported with exit status 2."""


@dataclass(frozen=True)
class Scene:
    """A structured image (fields red, green, blue and optionally nir) and its VEXL boxes."""

    image: np.ndarray
    boxes: np.ndarray  # float64, (N, 5)
    source: str

    @property
    def has_nir(self) -> bool:
        return NIR_FIELD in (self.image.dtype.names or ())


def _fill(field: np.ndarray, corners: np.ndarray, value: int) -> None:
    # 4 bits of sub-pixel precision, so that rotated edges are placed to 1/16 pixel
    cv2.fillPoly(field, [np.round(corners * 16).astype(np.int32)], int(value), cv2.LINE_8, 4)


def default_scene() -> Scene:
    """The built-in scene: smooth backgrounds with fixed noise, seven rotated objects, and a
    lighter band along each object's top edge so that its orientation can be seen."""
    rng = np.random.default_rng(20261208)
    y, x = np.mgrid[0:SCENE_HEIGHT, 0:SCENE_WIDTH].astype(np.float64)
    noise = rng.normal(0.0, 6.0, (4, SCENE_HEIGHT, SCENE_WIDTH))
    red = 70 + 50 * x / SCENE_WIDTH + noise[0]
    green = 95 + 25 * np.sin(y / 37.0) + noise[1]
    blue = 120 - 40 * y / SCENE_HEIGHT + noise[2]
    nir = 12000 + 6000 * np.cos(x / 53.0) + 400 * noise[3]
    fields = [np.clip(f, 0, 255).astype(np.uint8) for f in (red, green, blue)]
    fields.append(np.clip(nir, 0, 65535).astype(np.uint16))

    boxes = np.array([o[0] for o in _OBJECTS])
    bodies = shapekit.vexl_to_box_corners(boxes)
    # the band: the top fifth of each box
    cx, cy, w, h, r = boxes.T
    shift = -0.4 * h
    bands = np.column_stack([cx + shift * np.sin(r), cy + shift * np.cos(r), w, 0.2 * h, r])
    band_corners = shapekit.vexl_to_box_corners(bands)
    for (_, colour, level), body, band in zip(_OBJECTS, bodies, band_corners):
        for field, value in zip(fields, (*colour, level)):
            _fill(field, body, value)
        for field, value in zip(fields, (*(min(255, c + 60) for c in colour), min(65535, level + 8000))):
            _fill(field, band, value)
    return Scene(to_structured(fields, with_nir=True), boxes, "built-in scene")


def to_structured(fields: list[np.ndarray], with_nir: bool) -> np.ndarray:
    names = COLOUR_FIELDS + ((NIR_FIELD,) if with_nir else ())
    dtype = np.dtype([(name, field.dtype) for name, field in zip(names, fields)])
    image = np.empty(fields[0].shape, dtype=dtype)
    for name, field in zip(names, fields):
        image[name] = field
    return image


def load_image(path: Path) -> np.ndarray:
    """A structured image from a PNG/JPEG file (its colour channels become red, green and blue)
    or from a ``.npy`` file holding a two-dimensional structured array with those fields."""
    if not path.is_file():
        raise InputError(f"image file not found: {path}")
    if path.suffix.lower() == ".npy":
        try:
            image = np.load(path, allow_pickle=False)
        except (OSError, ValueError, EOFError) as error:
            raise InputError(f"cannot read {path} as a NumPy .npy file: {error}") from None
        names = image.dtype.names or ()
        missing = [name for name in COLOUR_FIELDS if name not in names]
        if image.ndim != 2 or missing:
            raise InputError(f"{path} must hold a two-dimensional structured array with the fields "
                             f"red, green, blue (and optionally nir); got shape {image.shape}, "
                             f"fields {list(names)}")
        if any(image.dtype[name].kind not in "uif" or image.dtype[name].shape for name in names
               if name in COLOUR_FIELDS + (NIR_FIELD,)):
            raise InputError(f"{path}: the fields red, green, blue and nir must be plain numbers")
        keep = [name for name in COLOUR_FIELDS + (NIR_FIELD,) if name in names]
        return to_structured([np.ascontiguousarray(image[name]) for name in keep], NIR_FIELD in keep)
    # Read by Python and decoded in memory: cv2.imread keeps a reference to its file name for good
    try:
        data = np.frombuffer(Path(path).read_bytes(), np.uint8)
    except OSError:
        data = np.zeros(0, np.uint8)
    pixels = cv2.imdecode(data, cv2.IMREAD_UNCHANGED) if data.size else None
    if pixels is None:
        raise InputError(f"cannot read {path} as an image (PNG, JPEG or .npy)")
    if pixels.ndim == 2:
        channels = [pixels] * 3
    else:
        # OpenCV orders colours blue, green, red; an alpha channel is dropped
        channels = [pixels[..., 2], pixels[..., 1], pixels[..., 0]] if pixels.shape[2] >= 3 else [pixels[..., 0]] * 3
    image = to_structured([np.ascontiguousarray(c) for c in channels], with_nir=False)
    return image


def load_boxes(path: Path) -> np.ndarray:
    """VEXL boxes from a JSON file: a list of [center_x, center_y, width, height, rotation]."""
    if not path.is_file():
        raise InputError(f"boxes file not found: {path}")
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError) as error:
        raise InputError(f"cannot read {path}: {error}") from None
    except json.JSONDecodeError as error:
        raise InputError(f"{path} is not valid JSON: {error}") from None
    shape_message = (f"{path} must hold a JSON list of VEXL boxes, each a list of five numbers "
                     "[center_x, center_y, width, height, rotation]")
    if not isinstance(data, list):
        raise InputError(shape_message)
    for i, box in enumerate(data):
        if (not isinstance(box, list) or len(box) != 5
                or not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in box)):
            raise InputError(f"{shape_message}; box {i} is {json.dumps(box)}")
        if not all(math.isfinite(v) for v in box) or box[2] <= 0 or box[3] <= 0:
            raise InputError(f"{path}: box {i} needs finite numbers and a positive width and height, "
                             f"got {json.dumps(box)}")
    return np.array(data, dtype=np.float64).reshape(-1, 5)


def load_scene(image: Path | None, boxes: Path | None) -> Scene:
    """The built-in scene, with the user's image and/or boxes in place of its own."""
    if image is None and boxes is None:
        return default_scene()
    default = default_scene() if image is None else None
    picture = default.image if default is not None else load_image(image)
    labels = load_boxes(boxes) if boxes is not None else np.empty((0, 5))
    if picture.shape[0] < 2 or picture.shape[1] < 2:
        raise InputError(f"the image must be at least 2 x 2 pixels, got {picture.shape[1]} x {picture.shape[0]}")
    source = ", ".join(str(p) for p in (image, boxes) if p is not None)
    return Scene(picture, labels, source)
