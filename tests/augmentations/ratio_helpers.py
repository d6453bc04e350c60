"""Shared expectations for the aspect-ratio transforms FracBorder and FracMiddle.

Holds a plain-Python model of how each transform sizes its base class for an input, the
metadata both classes expose, and a worker entry point for multiprocessing tests (it lives
here so that spawned workers can import it).
"""

import albumentations as A
import cv2
import numpy as np

from vornhaven.preprocessing.augmentations.transform import fracborder, fracmiddle
from vornhaven.preprocessing.augmentations.transform.fracborder import FracBorder
from vornhaven.preprocessing.augmentations.transform.fracmiddle import FracMiddle

CLASSES = [FracBorder, FracMiddle]


def border_sizes(rows, cols, aspect_ratio):
    """(min_height, min_width) FracBorder hands to PadIfNeeded for a rows x cols input."""
    if rows >= cols:
        return rows, max(int(round(rows * aspect_ratio)), 1)
    return max(int(round(cols / aspect_ratio)), 1), cols


def middle_sizes(rows, cols, aspect_ratio):
    """(height, width) of the window FracMiddle asks CenterCrop to cut from a rows x cols input."""
    if rows >= cols:
        return max(int(round(cols / aspect_ratio)), 1), cols
    return rows, max(int(round(rows * aspect_ratio)), 1)


def _methods(name, verb, init_text, init_signature):
    ann = "np.ndarray[Any, Any]"
    return {
        "__init__": (init_signature, init_text),
        "update_params": (
            f"{name}.update_params(self, dict params: dict[str, Any], **kwargs: Any) -> dict[str, Any]",
            "Update Albumentations params and compute "
            + ("padding" if verb == "padding" else "crop size") + " from current image shape.",
        ),
        f"_{name}__check_after_update": (
            f"{name}.__check_after_update(self, int rows: int | None = None, "
            "int cols: int | None = None, **_kwargs: Any) -> None",
            "Validate that Albumentations passed expected rows/cols after update.",
        ),
        "apply": (f"{name}.apply(self, img: {ann}, **params: Any) -> {ann}",
                  f"Apply the {verb} to an image."),
        "apply_to_bbox": (
            f"{name}.apply_to_bbox(self, tuple bbox: tuple[float, ...], **params: Any) -> tuple[float, ...]",
            f"Apply the {verb} to a bounding box.",
        ),
        "apply_to_keypoint": (
            f"{name}.apply_to_keypoint(self, tuple keypoint: tuple[float, ...], **params: Any) "
            "-> tuple[float, ...]",
            f"Apply the {verb} to a keypoint.",
        ),
        "get_transform_init_args_names": (
            f"{name}.get_transform_init_args_names(self) -> tuple[str, ...]",
            "Return init argument names for Albumentations serialization.",
        ),
        "get_class_fullname": (f"{name}.get_class_fullname(cls) -> str",
                               "Return the class name as fullname."),
    }


def _init_text(*lines):
    args = "\n".join("    " + line for line in lines)
    return (f"Initialize the transform.\n\nArgs:\n{args}\n\n"
            "Raises:\n    ValueError: If aspect_ratio is not greater than 0.")


_VALUE = "int | float | tuple[int, int, int]"
_COMMON_ANNOTATIONS = {
    "update_params": {"params": "dict[str, Any]", "kwargs": "Any", "return": "dict[str, Any]"},
    "check": {"rows": "int | None", "cols": "int | None", "_kwargs": "Any", "return": "None"},
    "apply": {"img": "np.ndarray[Any, Any]", "params": "Any", "return": "np.ndarray[Any, Any]"},
    "apply_to_bbox": {"bbox": "tuple[float, ...]", "params": "Any", "return": "tuple[float, ...]"},
    "apply_to_keypoint": {"keypoint": "tuple[float, ...]", "params": "Any", "return": "tuple[float, ...]"},
    "get_transform_init_args_names": {"return": "tuple[str, ...]"},
    "get_class_fullname": {"return": "str"},
}


def _annotations(name, init):
    out = {k: v for k, v in _COMMON_ANNOTATIONS.items() if k != "check"}
    out[f"_{name}__check_after_update"] = _COMMON_ANNOTATIONS["check"]
    out["__init__"] = init
    return out


SPEC = {
    FracBorder: {
        "module": fracborder,
        "base": A.PadIfNeeded,
        "doc": "Pad to a target aspect ratio while keeping the original content position.",
        "namespace": ["Any", "cast", "cv2", "np", "PadIfNeeded", "FracBorder"],
        "size_attrs": ("min_height", "min_width"),
        "sizes": border_sizes,
        "init_args": ("aspect_ratio", "border_mode", "value", "mask_value"),
        "defaults": (A.PadIfNeeded.PositionType.CENTER, int(cv2.BORDER_CONSTANT), 0, None, False, 1.0),
        "methods": _methods(
            "FracBorder", "padding",
            _init_text("aspect_ratio: Target width / height ratio.", "position: Padding position.",
                       "border_mode: OpenCV border mode.", "value: Padding value.",
                       "mask_value: Padding value for masks.",
                       "always_apply: Whether to always apply the transform.",
                       "p: Probability of applying the transform."),
            "FracBorder.__init__(self, double aspect_ratio: float, position: PadIfNeeded.PositionType | str "
            "= PadIfNeeded.PositionType.CENTER, int border_mode: int = cv2.BORDER_CONSTANT, "
            f"value: {_VALUE} = 0, mask_value: {_VALUE} | None = None, "
            "bool always_apply: bool = False, double p: float = 1.0) -> None",
        ),
        "annotations": _annotations("FracBorder", {
            "aspect_ratio": "float", "position": "PadIfNeeded.PositionType | str", "border_mode": "int",
            "value": _VALUE, "mask_value": f"{_VALUE} | None", "always_apply": "bool", "p": "float",
            "return": "None",
        }),
    },
    FracMiddle: {
        "module": fracmiddle,
        "base": A.CenterCrop,
        "doc": "Center-crop while preserving a target aspect ratio.",
        "namespace": ["Any", "cast", "np", "CenterCrop", "FracMiddle"],
        "size_attrs": ("height", "width"),
        "sizes": middle_sizes,
        "init_args": ("aspect_ratio",),
        "defaults": (False, 1.0),
        "methods": _methods(
            "FracMiddle", "crop",
            _init_text("aspect_ratio: Target width / height ratio.",
                       "always_apply: Whether to always apply the transform.",
                       "p: Probability of applying the transform."),
            "FracMiddle.__init__(self, double aspect_ratio: float, bool always_apply: bool = False, "
            "double p: float = 1.0) -> None",
        ),
        "annotations": _annotations("FracMiddle", {
            "aspect_ratio": "float", "always_apply": "bool", "p": "float", "return": "None",
        }),
    },
}


def state(transform):
    """The per-input state: remembered input size and the sizes handed to the base class."""
    cls = next(c for c in CLASSES if isinstance(transform, c))
    attrs = (f"_{cls.__name__}__last_input_height", f"_{cls.__name__}__last_input_width",
             *SPEC[cls]["size_attrs"])
    return {a: getattr(transform, a, None) for a in attrs}


def plain_equivalent(transform, rows, cols):
    """The albumentations base transform configured with the pixel sizes the transform derives."""
    cls = next(c for c in CLASSES if isinstance(transform, c))
    height, width = SPEC[cls]["sizes"](rows, cols, transform.aspect_ratio)
    if isinstance(transform, FracBorder):
        return A.PadIfNeeded(min_height=height, min_width=width, position=transform.position,
                             border_mode=transform.border_mode, value=transform.value,
                             mask_value=transform.mask_value, p=1.0)
    return A.CenterCrop(height, width, p=1.0)


def run_pipeline(job):
    """Worker entry point: run a pipeline on one sample and return the transformed targets."""
    pipeline, sample = job
    out = pipeline(**sample)
    return out["image"], out["bboxes"], out["keypoints"]


# --- pipeline data ---

FORMATS = ["pascal_voc", "albumentations", "coco"]
SHAPES = [(1, 1), (1, 7), (7, 1), (1, 100), (100, 1), (2, 3), (100, 50), (50, 100), (100, 80),
          (64, 64), (37, 91), (91, 37), (480, 640)]
RATIOS = [0.1, 0.5, 0.75, 1.0, 4 / 3, 2.0, 10.0]


def encode(box, fmt, rows, cols):
    """A pixel box (x_min, y_min, x_max, y_max) in the given albumentations format."""
    x1, y1, x2, y2 = box
    if fmt == "coco":
        return (x1, y1, x2 - x1, y2 - y1)
    if fmt == "albumentations":
        return (x1 / cols, y1 / rows, x2 / cols, y2 / rows)
    return (x1, y1, x2, y2)


def inputs(rows, cols):
    """An image (colour uint8 or grey float32, depending on the shape) and a mask."""
    rng = np.random.default_rng(rows * 7919 + cols)
    if (rows + cols) % 2:
        image = rng.random((rows, cols), dtype=np.float32)
    else:
        image = rng.integers(0, 256, (rows, cols, 3), dtype=np.uint8)
    return image, rng.integers(0, 256, (rows, cols), dtype=np.uint8)


def pipeline(transform, fmt):
    return A.Compose([transform], bbox_params=A.BboxParams(fmt), keypoint_params=A.KeypointParams("xy"))


def run_both(transform, plain, fmt, **data):
    """Outputs of a pipeline with the transform and of one with the plain base class: equal."""
    out, expected = pipeline(transform, fmt)(**data), pipeline(plain, fmt)(**data)
    assert out.keys() == expected.keys()
    for key in out:
        if isinstance(out[key], np.ndarray):
            np.testing.assert_array_equal(out[key], expected[key])
            assert out[key].dtype == expected[key].dtype
        else:
            assert out[key] == expected[key], key
    return out
