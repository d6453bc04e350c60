"""Fuzz target: the fracwindow module (FracWindow, CropData, CropsData, MeshCrop) against its models.

FracWindow: fractions of any kind and value, at construction or set later (also as objects whose
conversion changes the transform or the image), the pixel window against its model and every
target method against albumentations' Crop with that window. CropsData: random layouts in
fraction or pixel form, lookups, normalisation and indexing against the plain steps, also with
edges whose comparisons change the crop list mid-call. MeshCrop: meshes from fuzzed counts and
sizes, the edge accessors, the crop choice with its random draws against the model, and the
rescaling of float images of any dtype, byte order and layout against its NumPy steps.
"""

import contextlib
import io
import random
import sys
from fractions import Fraction
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import atheris  # noqa: E402
import albumentations as A  # noqa: E402
import numpy as np  # noqa: E402

# coverage feedback from the input builders and the reference steps (the module itself is native)
with atheris.instrument_imports(include=["transform_inputs", "fracwindow_helpers", "test_crop_records",
                                          "test_meshcrop", "vornhaven"]):
    from transform_inputs import Draw, Hook, assert_same_array, failed, outcome, same_type
    from fracwindow_helpers import choose, pixel_window, window
    from test_crop_records import Hostile, Steps, index_positions, positions
    from test_meshcrop import assert_same_rescale
    from vornhaven.preprocessing.augmentations.transform.fracwindow import CropData, CropsData, FracWindow, MeshCrop

NUMERIC = (int, float, np.floating, np.integer, Fraction)
FRACTIONS = ("x_min_percent", "y_min_percent", "x_max_percent", "y_max_percent")
IMAGE_DTYPES = ["u1", "u2", "f4", "f8"]
ANY = (Exception,)  # compared by type with the plain steps, so any error type must agree


def box_and_keypoints(draw):
    box = tuple(sorted((draw.fdp.ConsumeProbability(), draw.fdp.ConsumeProbability()))) * 2
    keypoints = [(draw.float(), draw.float(), draw.float(), draw.float()) for _ in range(draw.int(0, 3))]
    return [("apply_to_bbox", (box[0], box[2], box[1], box[3])), ("apply_to_keypoints", keypoints)]


def window_case(draw):
    fractions = [draw.fraction() for _ in range(4)]
    args = [draw.kind(f) for f in fractions]
    extra = {"p": draw.kind(draw.fdp.ConsumeProbability(), wrong=draw.int(0, 7) == 0)}
    transform = outcome(lambda: FracWindow(*args, **extra))
    if not all(isinstance(a, NUMERIC) for a in (*args, extra["p"])):
        assert failed(transform) and transform[0] is TypeError, transform
        return
    x0, y0, x1, y1 = (float(a) for a in args)
    if not (0 <= x0 <= x1 <= 1 and 0 <= y0 <= y1 <= 1):
        assert failed(transform) and transform[0] is ValueError, transform
        return
    assert not failed(transform), transform
    for _ in range(draw.int(1, 3)):
        image = draw.image(IMAGE_DTYPES, 2, 3, 9)
        rows, cols = image.shape[:2]
        hooked = False
        if draw.int(0, 2) == 0:  # fractions set later: any kind, unordered, or changing things
            name = draw.pick(FRACTIONS)
            effect = draw.pick([lambda: setattr(transform, "x_min_percent", float("nan")),
                                lambda: vars(transform).pop("x_max_percent", None),
                                lambda: image.resize((0,), refcheck=False) if image.flags.owndata else None,
                                lambda: setattr(transform, "y_max_percent", "x")])
            value = draw.kind(draw.float(), effect=effect)
            hooked = isinstance(value, Hook)
            setattr(transform, name, value)
        current = [getattr(transform, n, None) for n in FRACTIONS]
        before = pixel_window(transform)
        got = outcome(lambda: transform.update_params({}, image=image))
        if hooked:  # the model cannot replay the hook: no crash and a refusal or a window is enough
            if not failed(got):
                assert all(type(v) is int for v in pixel_window(transform))
            continue
        want = outcome(lambda: window(current, rows, cols), ANY)
        if not same_type(got, want, "update_params"):
            assert pixel_window(transform) == before
            continue
        assert pixel_window(transform) == want and all(type(v) is int for v in want), (pixel_window(transform), want)
        params = got
        plain = A.Crop(*want)
        for method, target in [("apply", image), *box_and_keypoints(draw)]:
            mine = dict(params)
            if draw.int(0, 9) == 0:
                mine["cols"] = draw.pick([cols + 1, None, "3"])
                got_target = outcome(lambda: getattr(transform, method)(target, **mine))
                assert failed(got_target) and got_target[0] in (NotImplementedError, TypeError), got_target
                continue
            got_target = outcome(lambda: getattr(transform, method)(target, **mine))
            want_target = outcome(lambda: getattr(plain, method)(target, **mine))
            if same_type(got_target, want_target, method):
                if method == "apply":
                    assert_same_array(got_target, want_target, method)
                else:
                    assert repr(got_target) == repr(want_target), (got_target, want_target)
    assert transform.get_transform_init_args_names() == FRACTIONS
    assert transform.get_class_fullname() == "FracWindow"


def edge(draw, pixels):
    value = float(draw.int(0, 400)) if pixels else draw.fraction()
    return 0.0 if value != value else value  # NaN edges leave the order of the sorted values open


def layout(draw):
    pixels = draw.int(0, 2) == 0
    out = []
    for _ in range(draw.int(0, 7)):
        x1, x2, y1, y2 = (edge(draw, pixels and draw.int(0, 7) > 0) for _ in range(4))
        if draw.bool():
            x1, x2 = sorted((x1, x2))
            y1, y2 = sorted((y1, y2))
        out.append((x1, x2, y1, y2, draw.int(0, 3), draw.int(0, 3)))
    return out


def crops_case(draw):
    shape = layout(draw)
    n = len(shape)
    hostile = None
    if n and draw.int(0, 3) == 0:
        hostile = (draw.int(0, n - 1), draw.pick(["x1", "x2", "y1", "y2"]), draw.int(0, 3))

    def make():
        data = [CropData(i, n, x1, x2, y1, y2, nx, ny) for i, (x1, x2, y1, y2, nx, ny) in enumerate(shape)]
        if hostile is not None:
            where, which, effect = hostile
            extra = CropData(n, n, 0.0, 0.1, 0.0, 0.1, 1, 1)
            action = [data.clear, lambda: data.append(extra), lambda: data.pop(0), lambda: data.reverse()][effect]
            setattr(data[where], which, Hostile(getattr(data[where], which), action))
        return data

    mine, theirs = make(), make()
    records = outcome(lambda: CropsData(mine), ANY)
    steps = outcome(lambda: Steps(theirs), ANY)
    if not same_type(records, steps, "CropsData"):
        return
    assert index_positions(records) == index_positions(steps)
    assert len(records) == len(steps.data)
    for _ in range(draw.int(1, 6)):
        what = draw.int(0, 3)
        if what == 0:
            size = (draw.float(), draw.float()) if draw.bool() else (float(draw.int(1, 2000)), float(draw.int(1, 2000)))
            got = outcome(lambda: records.normalize(*size), ANY)
            want = outcome(lambda: steps.normalize(*size), ANY)
            if same_type(got, want, "normalize"):
                assert [repr(vars(c)) for c in records.data] == [repr(vars(c)) for c in steps.data]
                assert index_positions(records) == index_positions(steps)
        elif what == 1:
            index = draw.int(-n - 1, n)
            got = outcome(lambda: records[index], ANY)
            want = outcome(lambda: steps.data[index], ANY)
            if same_type(got, want, "getitem"):
                assert records.data.index(got) == steps.data.index(want)
        else:
            x, y = draw.fraction(), draw.fraction()
            got = outcome(lambda: records.find_crop(x, y), ANY)
            want = outcome(lambda: steps.find_crop(x, y), ANY)
            if same_type(got, want, "find_crop"):
                assert type(got) is set and positions(records.data, got) == positions(steps.data, want)
                # the same steps on the native object's own indices: the very set, in the same order
                assert list(got) == list(Steps.find_crop(records, x, y))


def mesh_case(draw):
    counts = [draw.kind(draw.int(-1, 5), wrong=draw.int(0, 7) == 0) for _ in range(2)]
    sizes = [draw.kind(draw.fraction() if draw.bool() else float(draw.int(1, 300)), wrong=draw.int(0, 7) == 0)
             for _ in range(2)]
    renorm = draw.bool()
    transform = outcome(lambda: MeshCrop(*counts, *sizes, renorm=renorm), ANY)
    if failed(transform):  # argument kinds, empty meshes (a plain Exception), NaN sizes (an assertion)
        assert transform[0] in (TypeError, ValueError, OverflowError, AssertionError, Exception), transform
        return
    nx, ny = (int(c) for c in counts)
    assert transform.batches_per_index == nx * ny == len(transform.all_crops)
    for accessor in ("x1", "x2", "y1", "y2"):
        i = draw.int(-1, nx * ny)
        got = outcome(lambda: getattr(transform, accessor)(i), ANY)
        limit = nx if accessor[0] == "x" else ny
        if 0 <= i < limit:
            index = i * ny if accessor[0] == "x" else i
            assert repr(got) == repr(float(getattr(transform.all_crops.data[index], accessor))), (accessor, i, got)
        elif not transform.all_crops._needs_norm:  # pixel meshes are read without a range check
            assert failed(got) and got[0] is Exception, got
    assert transform.get_class_fullname() == "MeshCrop"

    if draw.bool():
        data = list(transform.all_crops.data)
        chosen = data[:draw.int(0, len(data))] if draw.bool() else data
        crops = outcome(lambda: CropsData(chosen), ANY) if len(chosen) != len(data) else transform.all_crops
        if failed(crops):
            return
        transform.update_crops(crops)
    elif draw.int(0, 3) == 0 and len(transform.all_crops):
        transform.apply_crop(transform.all_crops[draw.int(0, len(transform.all_crops) - 1)])
    image = draw.image(["f4", "f8", "u1"], 2, 3, 9)
    rows, cols = image.shape[:2]
    keypoints = draw.pick([None, [], "some"])
    if keypoints == "some":
        keypoints = [(draw.float(), draw.float()) for _ in range(draw.int(1, 7))]
    seed = draw.int(0, 2**20)
    kwargs = {} if keypoints is None else {"keypoints": keypoints}
    with contextlib.redirect_stdout(io.StringIO()):
        random.seed(seed)
        got = outcome(lambda: transform.update_params({}, image=image, **kwargs), ANY)
        state = random.getstate()
        random.seed(seed)
        expected = outcome(lambda: choose(transform.crops, keypoints, rows, cols, []), ANY)
    if isinstance(expected, CropData):  # the chosen crop's window may fail (NaN edges)
        edges = (expected.x1, expected.y1, expected.x2, expected.y2)
        failure = outcome(lambda: window(edges, rows, cols), ANY)
        expected = failure if failed(failure) else expected
    if not same_type(got, expected, "choice"):
        return
    assert random.getstate() == state, "random draws differ"
    if expected is not None:
        assert transform.crop is expected, (transform.crop, expected)
        crop = expected
        assert pixel_window(transform) == window((crop.x1, crop.y1, crop.x2, crop.y2), rows, cols)
    params = got
    plain = A.Crop(*pixel_window(transform))
    for method, target, base in [("apply_to_mask", image, "apply"), ("apply_to_keypoints",
                                                                      [(1.0, 2.0, 0.0, 1.0)] * 2, None)]:
        mine = outcome(lambda: getattr(transform, method)(target, **params), ANY)
        theirs = outcome(lambda: getattr(plain, base or method)(target, **params), ANY)
        if same_type(mine, theirs, method) and method == "apply_to_mask":
            assert_same_array(mine, theirs, method)
        elif not failed(mine):
            assert repr(mine) == repr(theirs)


def rescale_case(draw):
    image = draw.image(["f2", "f4", "f8", "u1", "i2"], 2, 3, 9)
    if 0 in image.shape[:2]:
        return
    errstate = draw.pick([None, {"all": "raise"}, {"over": "raise"}, {"invalid": "raise"}])
    assert_same_rescale(image, errstate)


CASES = [window_case, crops_case, crops_case, mesh_case, rescale_case]


def one_input(data: bytes) -> None:
    draw = Draw(atheris.FuzzedDataProvider(data))
    draw.pick(CASES)(draw)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
