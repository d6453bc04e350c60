"""Many threads at once: the geometry functions on separate arrays and on shared read-only
inputs (intersections runs its kernel without the interpreter lock), and transforms shared by
threads against the rule of one input at a time per instance: an error or a correct result,
never corrupted memory."""

import sys
import threading

import numpy as np
import pytest

from vornhaven.preprocessing import shapekit as sk
from vornhaven.preprocessing.augmentations.transform.bandmixer import BandMixer
from vornhaven.preprocessing.augmentations.transform.fracwindow import FracWindow

THREADS, ROUNDS = 8, 60


def run_threads(work):
    """work(thread_index) in THREADS threads started together, switching between them as often as
    the interpreter can; the exceptions they raised."""
    start, errors = threading.Barrier(THREADS), []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        return _run(work, start, errors)
    finally:
        sys.setswitchinterval(interval)


def _run(work, start, errors):
    def body(index):
        start.wait()
        try:
            work(index)
        except Exception as error:  # noqa: BLE001 - collected for the assertion below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def boxes(seed, n):
    rng = np.random.default_rng(seed)
    return np.column_stack([rng.uniform(0, 300, (n, 2)), rng.uniform(2, 40, (n, 2)),
                            rng.uniform(-np.pi, np.pi, n)]).astype(np.float32)


def geometry_calls(vexl):
    """Calls of the geometry functions on `vexl` (read-only inputs welcome), by name."""
    corners, half_sides = sk.inference_boxes_to_corners(vexl)
    box = sk.vexl_to_box_corners(vexl[:1].astype(np.float64))[0]
    keypoints = sk.vexl_to_keypoints(vexl.astype(np.float64))
    ids, positions = sk.keypoints_trivial_lookup(len(keypoints))
    return {
        "intersections": lambda: sk.intersections(corners, half_sides, corners, half_sides),
        "corners": lambda: sk.vexl_to_box_corners(vexl.astype(np.float64)),
        "fit": lambda: sk.get_box_and_rotation_from_parallelogram_keypoints(keypoints.reshape(-1, 3, 2))[0],
        "clipper": lambda: sk.clipper(box, (200, 150))[0],
        "regroup": lambda: sk.assemble_keypoints_after_shuffle(list(keypoints[::-1]), list(ids[::-1]),
                                                               list(positions[::-1]))[0],
        "rotate": lambda: sk.rot_points_multi_rads(keypoints.reshape(-1, 3, 2).copy(), vexl[:, 4].astype(np.float64)),
    }


@pytest.mark.parametrize("shared", [True, False], ids=["shared read-only input", "one input per thread"])
def test_geometry_from_many_threads(shared):
    inputs = [boxes(0 if shared else i, 120) for i in range(THREADS)]
    for vexl in inputs:
        vexl.setflags(write=False)
    expected = [{name: call() for name, call in geometry_calls(vexl).items()} for vexl in inputs]

    def work(index):
        calls = geometry_calls(inputs[index])
        for _ in range(ROUNDS):
            for name, call in calls.items():
                result, wanted = np.asarray(call()), np.asarray(expected[index][name])
                assert (result.dtype, result.shape, result.tobytes()) == (wanted.dtype, wanted.shape,
                                                                          wanted.tobytes()), name

    assert run_threads(work) == []
    assert all(np.array_equal(vexl, boxes(0 if shared else i, 120)) for i, vexl in enumerate(inputs))


def test_transforms_shared_between_threads_raise_or_give_correct_results():
    crop = FracWindow(0.25, 0.1, 0.75, 0.9)
    channels = [{"channel": {"channel_type": {"selection": "red"}}},
                {"channel": {"channel_type": {"selection": "blue"},
                             "enable_operations": {"operations": {"selection": "normalize"}}}}]
    mixer = BandMixer(channels, False, 1.0)
    rng = np.random.default_rng(5)
    images = [rng.integers(0, 256, (40 + 8 * i, 60 + 4 * i, 3), dtype=np.uint8) for i in range(THREADS)]
    structured = []
    for image in images:
        s = np.zeros(image.shape[:2], [("red", "u1"), ("green", "u1"), ("blue", "u1")])
        s["red"], s["green"], s["blue"] = image[..., 0], image[..., 1], image[..., 2]
        structured.append(s)
    alone = [BandMixer(channels, False, 1.0).apply(s) for s in structured]

    def window(rows, cols):
        return (slice(round(0.1 * rows), round(0.9 * rows)), slice(round(0.25 * cols), round(0.75 * cols)))

    outcomes = []

    def work(index):
        image, rows, cols = images[index], *images[index].shape[:2]
        for _ in range(ROUNDS):
            try:
                params = crop.update_params({}, image=image)
                out = crop.apply(image, **params)
                # the window computed for this input, or (the base class reads the window after
                # the check, and another thread may set its own in between) for another's
                assert any(np.array_equal(out, image[window(*other.shape[:2])]) for other in images)
                outcomes.append("cropped")
            except NotImplementedError:  # another thread's input came between: the size check
                outcomes.append("refused")
            except ValueError as error:  # or albumentations' own check of another input's window
                assert "Values for crop should be non negative" in str(error)
                outcomes.append("refused")
            mixed = mixer.apply(structured[index])
            assert np.array_equal(mixed, alone[index])

    assert run_threads(work) == []
    assert len(outcomes) == THREADS * ROUNDS and "cropped" in outcomes
