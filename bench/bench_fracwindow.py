"""The fractional crops FracWindow and MeshCrop.

* a whole ``A.Compose`` (512 x 512 x 3 uint8 image, 20 boxes, 60 keypoints) holding FracWindow,
  against the same ``Compose`` holding ``A.Crop`` given the same pixel window; the ratio is
  plain / native, so 1.0 means no overhead (target: at most 10 % overhead, ratio >= 0.91);
* MeshCrop's rescaling of a float32 512 x 512 x 3 crop (``apply`` on a 1024 x 1024 x 3 image,
  the window cut by FracWindow's crop) against the same crop followed by the NumPy steps (copy,
  min, max, subtract, multiply, subtract, clip); target 3x.
"""

from __future__ import annotations

import numpy as np

from harness import Workload

IMAGE_SIDE = 512
PIPELINE_TARGET = {IMAGE_SIDE: 1 / 1.10}
RESCALE_TARGET = {IMAGE_SIDE: 3.0}
FRACTIONS = (0.1, 0.2, 0.85, 0.9)


def _sample(side: int):
    rng = np.random.default_rng(7)
    image = rng.integers(0, 256, (side, side, 3), dtype=np.uint8)
    corners = rng.uniform(side * 0.1, side * 0.6, (20, 2))
    sizes = rng.uniform(4, side * 0.3, (20, 2))
    bboxes = [tuple(map(float, (*c, *(c + s)))) for c, s in zip(corners, sizes)]
    keypoints = [tuple(map(float, k)) for k in rng.uniform(0, side - 1, (60, 2))]
    return image, bboxes, keypoints


def _pipeline_setup(side: int):
    import albumentations as A

    from vornhaven.preprocessing.augmentations.transform.fracwindow import FracWindow

    image, bboxes, keypoints = _sample(side)
    native = FracWindow(*FRACTIONS)
    x_min, y_min, x_max, y_max = (round(f * side) for f in FRACTIONS)
    plain = A.Crop(x_min, y_min, x_max, y_max)
    labels = list(range(len(bboxes)))

    def compose(transform):
        pipeline = A.Compose([transform], bbox_params=A.BboxParams("pascal_voc", label_fields=["labels"]),
                             keypoint_params=A.KeypointParams("xy"))

        def run():
            out = pipeline(image=image, bboxes=bboxes, labels=labels, keypoints=keypoints)
            return (out["image"], [tuple(map(float, b)) for b in out["bboxes"]],
                    [tuple(map(float, k)) for k in out["keypoints"]])

        return run

    return compose(native), compose(plain)


def _rescale_setup(side: int):
    from vornhaven.preprocessing.augmentations.transform.fracwindow import MeshCrop

    rng = np.random.default_rng(11)
    image = (rng.random((2 * side, 2 * side, 3), dtype=np.float32) * 255).astype(np.float32)
    transform = MeshCrop(1, 1, 0.5, 0.5)
    transform.update_crops(transform.all_crops)  # its one cell: the top-left side x side window
    params = transform.update_params({}, image=image)
    assert (transform.y_max - transform.y_min, transform.x_max - transform.x_min) == (side, side)
    y_min, y_max, x_min, x_max = transform.y_min, transform.y_max, transform.x_min, transform.x_max

    def native():
        return transform.apply(image, **params)

    def numpy_steps():
        result = image[y_min:y_max, x_min:x_max]
        min_value = float(np.min(result))
        max_value = float(np.max(result))
        if max_value - min_value > 0:
            result = result.copy()
            np.subtract(result, min_value, out=result)
            np.multiply(result, 2 / (max_value - min_value), out=result)
            np.subtract(result, 1.0, out=result)
            np.clip(result, -1.0, 1.0, out=result)
        return result

    return native, numpy_steps


WORKLOADS = [
    Workload("Compose[FracWindow] vs Compose[Crop]", (IMAGE_SIDE,), _pipeline_setup, PIPELINE_TARGET),
    Workload("MeshCrop rescale[float32]", (IMAGE_SIDE,), _rescale_setup, RESCALE_TARGET, rtol=0.0),
]
