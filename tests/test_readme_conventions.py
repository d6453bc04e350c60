"""The README's conventions compared with OpenCV: its worked examples, and the OpenCV
equivalences as properties over random boxes."""

import math

import cv2
import numpy as np
import pytest

from vornhaven.preprocessing import shapekit
from vornhaven.preprocessing.augmentations.transform.fracborder import FracBorder
from vornhaven.preprocessing.augmentations.transform.fracmiddle import FracMiddle

BOX = np.array([[10.0, 20.0, 4.0, 2.0, 0.5]])
AXIS_BOX = np.array([[10.0, 20.0, 4.0, 2.0, 0.0]])
NAN_BOX = np.array([[np.nan, 20.0, 4.0, 2.0, 0.0]])
FLAT_BOX = np.array([[10.0, 20.0, 4.0, 0.0, 0.3]])


def keypoints_of(boxes):
    return shapekit.vexl_to_keypoints(boxes).reshape((-1, 3, 2))


def fit_to_vexl(keypoints):
    return shapekit.box_corners_to_vexl(*shapekit.get_box_and_rotation_from_parallelogram_keypoints(keypoints))


def random_boxes(n=300, seed=7):
    rng = np.random.default_rng(seed)
    return np.column_stack([rng.uniform(-500, 500, (n, 2)), rng.uniform(0.1, 80, (n, 2)),
                            rng.uniform(-2 * np.pi, 2 * np.pi, n)])


def inference_areas(boxes):
    corners = shapekit.inference_boxes_to_corners(np.float32(boxes))[0][0]
    return cv2.contourArea(corners), cv2.contourArea(corners[[0, 1, 3, 2]])


def wrapped(angles):
    return np.angle(np.exp(1j * angles))


EXAMPLES = {
    "boxPoints": (lambda: shapekit.vexl_to_box_corners(BOX)[0].round(3),
                  [[7.765, 20.081], [8.724, 21.836], [12.235, 19.919], [11.276, 18.164]]),
    "boxPoints-cv2": (lambda: cv2.boxPoints(((10.0, 20.0), (4.0, 2.0), -math.degrees(0.5)))[[1, 0, 3, 2]].round(3),
                      [[7.765, 20.081], [8.724, 21.836], [12.235, 19.919], [11.276, 18.164]]),
    "matrix": (lambda: shapekit.get_rotation_matrix_2d(angle_in_deg=30.0).round(3), [[0.866, -0.5], [0.5, 0.866]]),
    "matrix-cv2": (lambda: cv2.getRotationMatrix2D((0, 0), 30.0, 1)[:, :2].round(3), [[0.866, 0.5], [-0.5, 0.866]]),
    "rot-points": (lambda: shapekit.rot_points_multi_rads(np.array([[[1.0, 0.0]]]), np.array([np.pi / 2])).round(6),
                   [[[0.0, 1.0]]]),
    "vexl-keypoints": (lambda: shapekit.vexl_to_keypoints(np.array([[0.0, 0.0, 2.0, 2.0, 0.5]])).round(3),
                       [[0.0, 0.0], [-0.479, -0.878], [0.878, -0.479]]),
    "fit-rotation": (lambda: shapekit.get_box_and_rotation_from_parallelogram_keypoints(keypoints_of(BOX))[1],
                     [-0.5]),
    "order-vexl": (lambda: shapekit.vexl_to_box_corners(AXIS_BOX)[0], [[8, 19], [8, 21], [12, 21], [12, 19]]),
    "order-keypoints": (lambda: shapekit.keypoints_to_box_corners(keypoints_of(AXIS_BOX))[0],
                        [[8, 19], [12, 19], [12, 21], [8, 21]]),
    "order-inference": (lambda: shapekit.inference_boxes_to_corners(np.float32(AXIS_BOX))[0][0],
                        [[12, 21], [8, 21], [12, 19], [8, 19]]),
    "inference-area": (lambda: inference_areas(AXIS_BOX), [0.0, 8.0]),
    "nan-corners": (lambda: shapekit.vexl_to_box_corners(NAN_BOX)[0],
                    [[np.nan, 19], [np.nan, 21], [np.nan, 21], [np.nan, 19]]),
    "nan-keypoints-to-vexl": (lambda: shapekit.keypoints_to_vexl(keypoints_of(NAN_BOX)),
                              [[np.nan, 20, np.nan, np.nan, np.nan]]),
    "nan-fit": (lambda: fit_to_vexl(keypoints_of(NAN_BOX)), [[np.nan] * 5]),
    "flat-keypoints-to-vexl": (lambda: shapekit.keypoints_to_vexl(keypoints_of(FLAT_BOX)).round(4),
                               [[10, 20, 4, 0, -1.5708]]),
    "flat-fit": (lambda: fit_to_vexl(keypoints_of(FLAT_BOX)).round(4), [[10, 20, 1.1821, 3.8213, -1.5708]]),
}


@pytest.mark.parametrize("name", EXAMPLES)
def test_worked_example(name):
    compute, printed = EXAMPLES[name]
    # float32 results print the same digits as the float64 values written down
    np.testing.assert_allclose(np.asarray(compute(), dtype=float), printed, rtol=0, atol=1e-6)


@pytest.mark.parametrize("shape", [(100, 60), (60, 100), (80, 80), (5, 3)])
def test_ratio_transforms_at_the_shorter_side(shape):
    """FracBorder pads only the shorter side and FracMiddle crops only the longer one: a ratio
    that needs the shorter side shrunk leaves FracBorder's input unchanged and makes FracMiddle
    raise CenterCrop's error (crop size rounded to pixels)."""
    rows, cols = shape
    image = np.zeros((*shape, 3), np.uint8)
    # the ratios of the README, the input's own, either side of where the crop outgrows the input
    edge = [cols / (rows + d) if rows >= cols else (cols + d) / rows for d in (0.4, 0.6)]
    for ratio in [0.5, 0.8, 1.7, cols / rows, *edge, *np.geomspace(0.2, 5, 25)]:
        if rows >= cols:
            needed, crop = round(rows * ratio), (round(cols / ratio), cols)
        else:
            needed, crop = round(cols / ratio), (rows, round(rows * ratio))
        if needed <= min(shape):
            assert FracBorder(aspect_ratio=ratio)(image=image)["image"].shape == image.shape
        if crop[0] > rows or crop[1] > cols:
            with pytest.raises(ValueError, match=rf"^Requested crop size \({crop[0]}, {crop[1]}\) is larger than "
                                                 rf"the image size \({rows}, {cols}\)$"):
                FracMiddle(aspect_ratio=ratio)(image=image)
        else:
            assert FracMiddle(aspect_ratio=ratio)(image=image)["image"].shape[:2] == crop


@pytest.mark.parametrize("cls, ratio, expected", [
    (FracBorder, 0.8, (100, 80, 3)), (FracBorder, 0.5, (100, 60, 3)), (FracMiddle, 0.8, (75, 60, 3))])
def test_ratio_transform_example(cls, ratio, expected):
    assert cls(aspect_ratio=ratio)(image=np.zeros((100, 60, 3), np.uint8))["image"].shape == expected


# Each function's corners, with the indices that put them in TL, TR, BR, BL order.
CORNERS = {
    "vexl_to_box_corners": ([0, 3, 2, 1], lambda b: shapekit.vexl_to_box_corners(b)),
    "keypoints_to_box_corners": ([0, 1, 2, 3], lambda b: shapekit.keypoints_to_box_corners(keypoints_of(b))),
    "parallelogram fit": ([0, 1, 2, 3],
                          lambda b: shapekit.get_box_and_rotation_from_parallelogram_keypoints(keypoints_of(b))[0]),
    "inference_boxes_to_corners": ([3, 2, 0, 1], lambda b: shapekit.inference_boxes_to_corners(b)[0]),
}
BOX_POINTS_ORDER = [1, 2, 3, 0]  # cv2.boxPoints lists BL, TL, TR, BR


@pytest.mark.parametrize("name", CORNERS)
def test_corners_are_box_points_with_negated_degrees(name):
    order, corners_of = CORNERS[name]
    boxes = random_boxes()
    if name == "inference_boxes_to_corners":
        boxes = np.float32(boxes)
    ours = corners_of(boxes)[:, order]
    reference = np.array([cv2.boxPoints(((cx, cy), (w, h), -math.degrees(r)))
                          for cx, cy, w, h, r in boxes.tolist()])
    scale = np.abs(boxes[:, :2]).max(1) + boxes[:, 2] + boxes[:, 3]
    assert np.all(np.abs(ours - reference[:, BOX_POINTS_ORDER]).max((1, 2)) <= 1e-6 * scale)


def test_rotation_senses_against_opencv():
    rng = np.random.default_rng(11)
    degrees = rng.uniform(-720, 720, 300)
    for a in degrees:
        np.testing.assert_allclose(shapekit.get_rotation_matrix_2d(angle_in_deg=a),
                                   cv2.getRotationMatrix2D((0, 0), a, 1)[:, :2].T, rtol=0, atol=1e-12)
    points, rads = rng.uniform(-50, 50, (300, 4, 2)), np.radians(degrees)
    turned = shapekit.rot_points_multi_rads(points.copy(), rads)
    reference = [cv2.transform(p[None], cv2.getRotationMatrix2D((0, 0), -d, 1))[0] for p, d in zip(points, degrees)]
    np.testing.assert_allclose(turned, reference, rtol=0, atol=1e-9)
    # a VEXL rotation turns the other way; the parallelogram fit reports it in the rot_points sense
    boxes = random_boxes(seed=12)
    right = shapekit.vexl_to_keypoints(boxes).reshape((-1, 3, 2))[:, 2] - boxes[:, :2]
    offsets = np.column_stack([boxes[:, 2] / 2, np.zeros(len(boxes))])[:, None]
    np.testing.assert_allclose(right, shapekit.rot_points_multi_rads(offsets, -boxes[:, 4])[:, 0], atol=1e-9)
    rotations = shapekit.get_box_and_rotation_from_parallelogram_keypoints(keypoints_of(boxes))[1]
    assert np.abs(wrapped(rotations + boxes[:, 4])).max() < 1e-9


@pytest.mark.parametrize("convert", [
    shapekit.vexl_to_box_corners,
    shapekit.vexl_to_keypoints,
    lambda b: shapekit.inference_boxes_to_corners(np.float32(b))[0],
    lambda b: shapekit.keypoints_to_box_corners(keypoints_of(b)),
], ids=["vexl_to_box_corners", "vexl_to_keypoints", "inference_boxes_to_corners", "keypoints_to_box_corners"])
@pytest.mark.parametrize("axis", [0, 1])
def test_nan_centre_coordinate_stays_in_its_coordinate(convert, axis):
    boxes = random_boxes(n=20, seed=13)
    holed = boxes.copy()
    holed[::2, axis] = np.nan
    clean, result = convert(boxes).reshape((20, -1, 2)), convert(holed).reshape((20, -1, 2))
    assert np.isnan(result[::2, :, axis]).all()
    np.testing.assert_array_equal(np.delete(result, axis, 2)[::2], np.delete(clean, axis, 2)[::2])
    np.testing.assert_array_equal(result[1::2], clean[1::2])


def test_zero_height_round_trip_rotation():
    boxes = random_boxes(seed=14)
    boxes[:, 3] = 0.0
    keypoints = keypoints_of(boxes)
    np.testing.assert_allclose(fit_to_vexl(keypoints)[:, 4], -np.pi / 2, rtol=1e-12)
    np.testing.assert_allclose(shapekit.keypoints_to_vexl(keypoints.copy())[:, 4], -np.pi / 2, rtol=1e-7)
    boxes[:, 3] = 1e-12  # in the fit, any positive height keeps the rotation
    assert np.abs(wrapped(fit_to_vexl(keypoints_of(boxes))[:, 4] - boxes[:, 4])).max() < 1e-9
