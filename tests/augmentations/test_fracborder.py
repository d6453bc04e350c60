"""FracBorder: padding towards a target aspect ratio through albumentations' PadIfNeeded.

Constructor defaults and conversions, the minimum sizes derived per input, and whole pipelines
on images of many shapes with boxes, keypoints and masks, checked against the geometry and
against PadIfNeeded given the same pixel sizes.
"""

import random

import albumentations as A
import cv2
import numpy as np
import pytest

from ratio_helpers import (FORMATS, RATIOS, SHAPES, border_sizes, encode, inputs, pipeline,
                            plain_equivalent, run_both)
from vornhaven.preprocessing.augmentations.transform.fracborder import FracBorder

Position = A.PadIfNeeded.PositionType


def test_constructor_defaults_and_pass_through():
    transform = FracBorder(2.0)
    assert transform.position is Position.CENTER
    assert (transform.border_mode, transform.value, transform.mask_value) == (cv2.BORDER_CONSTANT, 0, None)
    assert (transform.min_height, transform.min_width) == (1, 1)
    assert (transform.pad_height_divisor, transform.pad_width_divisor) == (None, None)
    value, mask_value = (10, 20, 30), [1]
    transform = FracBorder(0.5, "bottom_right", 1.9, value, mask_value, True, 0.5)
    assert transform.position is Position.BOTTOM_RIGHT
    assert transform.border_mode == 1 and type(transform.border_mode) is int
    assert transform.value is value and transform.mask_value is mask_value
    transform = FracBorder(0.5, Position.TOP_LEFT, border_mode=np.int64(4))
    assert transform.position is Position.TOP_LEFT and type(transform.border_mode) is int


@pytest.mark.parametrize("border_mode, got", [("x", "str"), (None, "NoneType"), ([0], "list")])
def test_border_mode_must_be_a_number(border_mode, got):
    with pytest.raises(TypeError) as info:
        FracBorder(1.0, border_mode=border_mode)
    assert str(info.value) == f"Argument 'border_mode' has incorrect type (expected int, got {got})"


def test_base_initialiser_errors_come_first():
    with pytest.raises(ValueError) as plain:
        A.PadIfNeeded(position="bogus")
    for ratio in (1.0, 0):
        with pytest.raises(ValueError) as info:
            FracBorder(ratio, position="bogus")
        assert str(info.value) == str(plain.value)


@pytest.mark.parametrize("rows, cols, ratio, min_height, min_width", [
    (100, 50, 1.0, 100, 100),
    (100, 100, 2.0, 100, 200),    # square counts as portrait
    (50, 100, 1.5, 67, 100),
    (100, 80, 0.5, 100, 50),      # below the input width: nothing to pad
    (5, 1, 0.5, 5, 2),            # 2.5 rounds to even
    (7, 1, 0.5, 7, 4),            # 3.5 rounds to even
    (1, 5, 2.0, 2, 5),
    (1, 7, 2.0, 4, 7),
    (10, 3, 1.15, 10, 12),        # 11.5 in double precision
    (1, 5, 10 / 97, 48, 5),       # 5 / r is 48.5 exactly; 5 * (1 / r) would round to 49
    (1, 9, 6 / 97, 146, 9),       # 9 / r is 145.5; 9 * (1 / r) would round to 145
    (1, 1, 0.1, 1, 1),            # at least one pixel
    (1, 1000, 1e6, 1, 1000),
])
def test_minimum_sizes(rows, cols, ratio, min_height, min_width):
    transform, image = FracBorder(ratio), np.zeros((rows, cols), np.uint8)
    params = transform.update_params({}, image=image)
    assert (transform.min_height, transform.min_width) == (min_height, min_width)
    assert (params["rows"], params["cols"]) == (rows, cols)
    pad_rows, pad_cols = max(min_height - rows, 0), max(min_width - cols, 0)
    assert (params["pad_top"], params["pad_bottom"]) == (pad_rows // 2, pad_rows - pad_rows // 2)
    assert (params["pad_left"], params["pad_right"]) == (pad_cols // 2, pad_cols - pad_cols // 2)
    out = transform.apply(image, **params)
    assert out.shape == (max(rows, min_height), max(cols, min_width))


def test_huge_ratio_gives_an_exact_integer_minimum():
    transform = FracBorder(1e300)
    transform.update_params({}, image=np.zeros((3, 2), np.uint8))
    assert transform.min_width == int(3 * 1e300) and type(transform.min_width) is int


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("ratio", RATIOS, ids=lambda r: f"{r:.3g}")
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: f"{s[0]}x{s[1]}")
def test_pipeline_geometry(shape, ratio, fmt):
    rows, cols = shape
    min_height, min_width = border_sizes(rows, cols, ratio)
    height, width = max(rows, min_height), max(cols, min_width)
    top, left = (height - rows) // 2, (width - cols) // 2
    image, mask = inputs(rows, cols)
    boxes = [(0, 0, cols, rows), (cols / 4, rows / 5, cols / 2, rows / 2 + 0.5)]
    keypoints = [(0, 0), (cols - 1, rows - 1), (cols / 2, rows / 3)]
    transform = FracBorder(ratio, value=(7, 7, 7), mask_value=3)
    data = dict(image=image, mask=mask, keypoints=keypoints,
                bboxes=[encode(b, fmt, rows, cols) + (f"box{i}",) for i, b in enumerate(boxes)])

    out = run_both(transform, plain_equivalent(transform, rows, cols), fmt, **data)

    expected_image = np.full((height, width) + image.shape[2:], 7, image.dtype)
    expected_image[top:top + rows, left:left + cols] = image
    expected_mask = np.full((height, width), 3, mask.dtype)
    expected_mask[top:top + rows, left:left + cols] = mask
    np.testing.assert_array_equal(out["image"], expected_image)
    np.testing.assert_array_equal(out["mask"], expected_mask)
    assert len(out["bboxes"]) == 2
    for i, (box, (x1, y1, x2, y2)) in enumerate(zip(out["bboxes"], boxes)):
        moved = encode((x1 + left, y1 + top, x2 + left, y2 + top), fmt, height, width)
        assert box[:4] == pytest.approx(moved, abs=1e-9) and box[4] == f"box{i}"
    assert out["keypoints"] == pytest.approx([(x + left, y + top) for x, y in keypoints], abs=1e-9)


@pytest.mark.parametrize("position", ["center", "top_left", "top_right", "bottom_left", "bottom_right"])
@pytest.mark.parametrize("shape, ratio", [((30, 20), 2.0), ((20, 30), 0.4), ((5, 5), 1.5), ((2, 9), 0.3)])
@pytest.mark.parametrize("border_mode, value, mask_value", [
    (cv2.BORDER_CONSTANT, (10, 20, 30), 5), (cv2.BORDER_REFLECT_101, None, None),
    (cv2.BORDER_REPLICATE, 0, 0)])
def test_positions_and_borders_match_pad_if_needed(position, shape, ratio, border_mode, value, mask_value):
    image, mask = inputs(*shape)
    image = np.dstack([image] * 3) if image.ndim == 2 else image
    transform = FracBorder(ratio, position, border_mode, value, mask_value)
    out = run_both(transform, plain_equivalent(transform, *shape), "pascal_voc", image=image, mask=mask,
                   bboxes=[(0, 0, shape[1], shape[0], 1), (1, 0, 2, 1.5, 2)],
                   keypoints=[(0, 0), (shape[1] - 1, shape[0] - 1)])
    assert out["image"].shape[:2] == tuple(map(max, shape, border_sizes(*shape, ratio)))


@pytest.mark.skipif(not hasattr(Position, "RANDOM"), reason="no random position in this albumentations")
def test_random_position_moves_targets_with_the_content():
    image = np.arange(1, 7 * 4 + 1, dtype=np.uint8).reshape(7, 4)
    offsets = set()
    for seed in range(8):
        random.seed(seed)
        out = pipeline(FracBorder(3.0, position="random"), "pascal_voc")(
            image=image, bboxes=[(0, 0, 4, 7, "all")], keypoints=[(0, 0), (3, 6)])
        assert out["image"].shape == (7, 21)
        (left, top), far = out["keypoints"]
        assert far == (left + 3, top + 6) and top == 0
        assert out["bboxes"][0][:4] == pytest.approx((left, 0, left + 4, 7))
        np.testing.assert_array_equal(out["image"][:, left:left + 4], image)
        assert np.count_nonzero(out["image"]) == image.size
        offsets.add(left)
    assert len(offsets) > 1
