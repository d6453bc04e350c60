"""The aspect-ratio transforms FracBorder and FracMiddle in albumentations pipelines.

Two kinds of workload:

* a whole ``A.Compose`` (512 x 512 x 3 uint8 image, 20 boxes, 60 keypoints) holding the native
  transform, against the same ``Compose`` holding the plain albumentations base given the pixel
  sizes directly; the ratio is plain / native, so 1.0 means no overhead (target: at most 10 %
  overhead, ratio >= 0.91);
* the transform's own per-call work, ``update_params`` and the size checks of the three target
  methods, against a straightforward pure-Python subclass doing the same steps. The base's
  ``update_params`` and ``apply`` are replaced by stubs through the class hierarchy (a mixin
  between the transform and its base, which is where ``super()`` looks), so only the
  transform's own steps are timed; the time of the same calls on a bare subclass of the stub
  (the pipeline's and the stub's share) is taken off both sides.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from harness import Workload

IMAGE_SIDE = 512
ASPECT_RATIO = 1.5
PIPELINE_TARGET = {IMAGE_SIDE: 1 / 1.10}
OWN_WORK_TARGET = {IMAGE_SIDE: 3.0}

_ROWS_COLS_MESSAGE = (
    " augmentation.Make sure that you use the recommended version of Albumentations and report this "
    "incompatibility to a Vornhaven developer."
)


def _albumentations():
    import albumentations as A
    import cv2

    return A, cv2


def _python_classes():
    """Pure-Python versions of the two transforms: the same steps, written plainly."""
    A, cv2 = _albumentations()

    class _Checked:
        def apply(self, img, **params):
            self._check(**params)
            return super().apply(img, **params)

        def apply_to_bbox(self, bbox, **params):
            self._check(**params)
            return super().apply_to_bbox(bbox, **params)

        def apply_to_keypoint(self, keypoint, **params):
            self._check(**params)
            return super().apply_to_keypoint(keypoint, **params)

        def _check(self, rows=None, cols=None, **_kwargs):
            if rows is None and cols is None:
                raise NotImplementedError("Rows and Columns have to be provided by a compatible version.")
            if rows != self._last_input_height:
                raise NotImplementedError(
                    f"Rows {rows} does not match expected height {self._last_input_height}. The current version "
                    f"of Albumentations is incompatible with the {type(self).__name__}" + _ROWS_COLS_MESSAGE
                )
            if cols != self._last_input_width:
                raise NotImplementedError(
                    f"Cols {cols} does not match expected width {self._last_input_width}. The current version "
                    f"of Albumentations is incompatible with the {type(self).__name__}" + _ROWS_COLS_MESSAGE
                )

    class PyFracBorder(_Checked, A.PadIfNeeded):
        def __init__(self, aspect_ratio, position=A.PadIfNeeded.PositionType.CENTER, border_mode=cv2.BORDER_CONSTANT,
                     value=0, mask_value=None, always_apply=False, p=1.0):
            super().__init__(min_height=1, min_width=1, position=position, border_mode=border_mode, value=value,
                             mask_value=mask_value, always_apply=always_apply, p=p)
            if aspect_ratio <= 0:
                raise ValueError("Aspect ratio has to be > 0")
            self.aspect_ratio = float(aspect_ratio)
            self._last_input_height = 0
            self._last_input_width = 0

        def update_params(self, params, **kwargs):
            params = super().update_params(params, **kwargs)
            self._last_input_height = int(params["rows"])
            self._last_input_width = int(params["cols"])
            if self._last_input_height >= self._last_input_width:
                self.min_height = self._last_input_height
                self.min_width = max(int(round(self.min_height * self.aspect_ratio)), 1)
            else:
                self.min_width = self._last_input_width
                self.min_height = max(int(round(self.min_width / self.aspect_ratio)), 1)
            return super().update_params(params, **kwargs)

    class PyFracMiddle(_Checked, A.CenterCrop):
        def __init__(self, aspect_ratio, always_apply=False, p=1.0):
            super().__init__(width=1, height=1, always_apply=always_apply, p=p)
            if aspect_ratio <= 0:
                raise ValueError("Aspect ratio has to be > 0")
            self.aspect_ratio = float(aspect_ratio)
            self._last_input_height = 0
            self._last_input_width = 0

        def update_params(self, params, **kwargs):
            params = super().update_params(params, **kwargs)
            self._last_input_height = int(params["rows"])
            self._last_input_width = int(params["cols"])
            if self._last_input_height >= self._last_input_width:
                self.width = self._last_input_width
                self.height = max(int(round(self.width / self.aspect_ratio)), 1)
            else:
                self.height = self._last_input_height
                self.width = max(int(round(self.height * self.aspect_ratio)), 1)
            return super().update_params(params, **kwargs)

    return PyFracBorder, PyFracMiddle


def _native(name: str):
    if name == "FracBorder":
        from vornhaven.preprocessing.augmentations.transform.fracborder import FracBorder

        return FracBorder
    from vornhaven.preprocessing.augmentations.transform.fracmiddle import FracMiddle

    return FracMiddle


def _sample(side: int):
    rng = np.random.default_rng(7)
    image = rng.integers(0, 256, (side, side, 3), dtype=np.uint8)
    corners = rng.uniform(0, side * 0.6, (20, 2))
    sizes = rng.uniform(4, side * 0.3, (20, 2))
    bboxes = [tuple(map(float, (*c, *(c + s)))) for c, s in zip(corners, sizes)]
    keypoints = [tuple(map(float, k)) for k in rng.uniform(0, side - 1, (60, 2))]
    return image, bboxes, keypoints


def _pipeline_setup(name: str):
    def setup(side: int):
        A, cv2 = _albumentations()
        image, bboxes, keypoints = _sample(side)
        if name == "FracBorder":
            native = _native(name)(ASPECT_RATIO)
            # square input counts as portrait: the height is kept, the width derived
            plain = A.PadIfNeeded(min_height=side, min_width=max(int(round(side * ASPECT_RATIO)), 1),
                                  border_mode=cv2.BORDER_CONSTANT, value=0)
        else:
            native = _native(name)(ASPECT_RATIO)
            plain = A.CenterCrop(height=max(int(round(side / ASPECT_RATIO)), 1), width=side)
        labels = list(range(len(bboxes)))

        def compose(transform):
            pipeline = A.Compose([transform], bbox_params=A.BboxParams("pascal_voc", label_fields=["labels"]),
                                 keypoint_params=A.KeypointParams("xy"))

            def run():
                out = pipeline(image=image, bboxes=bboxes, labels=labels, keypoints=keypoints)
                return out["image"], [tuple(map(float, b)) for b in out["bboxes"]], [tuple(map(float, k)) for k in out["keypoints"]]

            return run

        return compose(native), compose(plain)

    return setup


def _own_work_setup(name: str):
    def setup(side: int):
        A, _ = _albumentations()
        base = A.PadIfNeeded if name == "FracBorder" else A.CenterCrop
        py_border, py_middle = _python_classes()
        python_cls = py_border if name == "FracBorder" else py_middle

        class StubBase(base):
            # stand-ins for the base's work; their cost is in the baseline too
            def update_params(self, params, **kwargs):
                params.update(kwargs)
                return params

            def apply(self, img, **params):
                return img

        class Native(_native(name), StubBase):
            pass

        class Python(python_cls, StubBase):
            pass

        class Bare(StubBase):
            # the same calls with none of the transform's own steps
            def __init__(self, aspect_ratio):
                pass

        native, python, bare = Native(ASPECT_RATIO), Python(ASPECT_RATIO), Bare(ASPECT_RATIO)
        image = np.zeros((side, side, 3), np.uint8)
        incoming = {"interpolation": 1}

        def run(transform):
            # the per-input calls a pipeline makes: update_params, then the target methods,
            # each of which starts with the size check
            def once():
                params = transform.update_params(dict(incoming), image=image, rows=side, cols=side)
                transform.apply(image, **params)
                transform.apply(image, **params)
                transform.apply(image, **params)
                return params

            return once

        return run(native), run(python), run(bare)

    return setup


WORKLOADS = [
    Workload("Compose[FracBorder] vs Compose[PadIfNeeded]", (IMAGE_SIDE,), _pipeline_setup("FracBorder"),
             PIPELINE_TARGET),
    Workload("Compose[FracMiddle] vs Compose[CenterCrop]", (IMAGE_SIDE,), _pipeline_setup("FracMiddle"),
             PIPELINE_TARGET),
    Workload("FracBorder own work vs pure Python", (IMAGE_SIDE,), _own_work_setup("FracBorder"), OWN_WORK_TARGET,
             baseline=True),
    Workload("FracMiddle own work vs pure Python", (IMAGE_SIDE,), _own_work_setup("FracMiddle"), OWN_WORK_TARGET,
             baseline=True),
]
