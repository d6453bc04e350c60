"""FracMiddle: a centred crop of a target aspect ratio through albumentations' CenterCrop.

The crop size derived per input, the request for a crop larger than the input, and whole
pipelines on images of many shapes with boxes, keypoints and masks, checked against the
geometry and against CenterCrop given the same pixel sizes.
"""

import albumentations as A
import numpy as np
import pytest

from ratio_helpers import (FORMATS, RATIOS, SHAPES, encode, inputs, middle_sizes, pipeline,
                            plain_equivalent, run_both)
from vornhaven.preprocessing.augmentations.transform.fracmiddle import FracMiddle


@pytest.mark.parametrize("rows, cols, ratio, height, width", [
    (100, 50, 1.0, 50, 50),
    (100, 100, 2.0, 50, 100),     # square counts as portrait
    (50, 100, 1.5, 50, 75),
    (60, 100, 0.75, 60, 45),
    (100, 5, 2.0, 2, 5),          # 2.5 rounds to even
    (100, 7, 2.0, 4, 7),          # 3.5 rounds to even
    (5, 100, 0.5, 5, 2),
    (7, 100, 0.5, 7, 4),
    (10, 20, 1.15, 10, 12),       # 11.5 in double precision
    (100, 5, 10 / 97, 48, 5),     # 5 / r is 48.5 exactly; 5 * (1 / r) would round to 49
    (200, 9, 6 / 97, 146, 9),     # 9 / r is 145.5; 9 * (1 / r) would round to 145
    (100, 1, 10.0, 1, 1),         # at least one pixel
    (100, 50, 0.25, 200, 50),     # larger than the input: passed on as it is
])
def test_crop_sizes(rows, cols, ratio, height, width):
    transform, image = FracMiddle(ratio), np.arange(rows * cols).reshape(rows, cols)
    params = transform.update_params({}, image=image)
    assert (transform.height, transform.width) == (height, width)
    assert (params["rows"], params["cols"]) == (rows, cols)
    if height <= rows and width <= cols:
        top, left = (rows - height) // 2, (cols - width) // 2
        window = image[top:top + height, left:left + width]
        np.testing.assert_array_equal(transform.apply(image, **params), window)
    else:
        with pytest.raises(ValueError) as plain:
            A.CenterCrop(height, width).apply(image)
        with pytest.raises(ValueError) as info:
            transform.apply(image, **params)
        assert str(info.value) == str(plain.value)


def test_constructor_leaves_a_one_pixel_crop():
    transform = FracMiddle(2.0, True, 0.5)
    assert (transform.height, transform.width, transform.always_apply, transform.p) == (1, 1, True, 0.5)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("ratio", RATIOS, ids=lambda r: f"{r:.3g}")
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: f"{s[0]}x{s[1]}")
def test_pipeline_geometry(shape, ratio, fmt):
    rows, cols = shape
    height, width = middle_sizes(rows, cols, ratio)
    image, mask = inputs(rows, cols)
    transform = FracMiddle(ratio)
    plain = plain_equivalent(transform, rows, cols)
    if height > rows or width > cols:
        data = dict(image=image, bboxes=[], keypoints=[])
        with pytest.raises(ValueError) as expected:
            pipeline(plain, fmt)(**data)
        with pytest.raises(ValueError) as info:
            pipeline(transform, fmt)(**data)
        assert str(info.value) == str(expected.value)
        return
    top, left = (rows - height) // 2, (cols - width) // 2
    inside = [(left, top, left + width, top + height),
              (left + width / 4, top + height / 5, left + width / 2, top + height / 2 + 0.5)]
    boxes = inside + [(0, 0, cols, rows)]
    keypoints = [(left, top), (left + width - 1, top + height - 1), (left + width / 2, top + height / 3),
                 (0, 0), (cols - 1, rows - 1), (cols - 1, 0)]
    data = dict(image=image, mask=mask, keypoints=keypoints,
                bboxes=[encode(b, fmt, rows, cols) + (f"box{i}",) for i, b in enumerate(boxes)])

    out = run_both(transform, plain, fmt, **data)

    np.testing.assert_array_equal(out["image"], image[top:top + height, left:left + width])
    np.testing.assert_array_equal(out["mask"], mask[top:top + height, left:left + width])
    assert len(out["bboxes"]) == 3
    for i, (box, (x1, y1, x2, y2)) in enumerate(zip(out["bboxes"], inside)):
        moved = encode((x1 - left, y1 - top, x2 - left, y2 - top), fmt, height, width)
        assert box[:4] == pytest.approx(moved, abs=1e-9) and box[4] == f"box{i}"
    shifted = [(x - left, y - top) for x, y in keypoints]
    visible = [(x, y) for x, y in shifted if 0 <= x < width and 0 <= y < height]
    assert out["keypoints"] == pytest.approx(visible)
