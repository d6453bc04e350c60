"""BandMixer: a float32 image assembled from the fields of a structured image (side x side).

* three uint8 fields ("red", "green", "blue") with the default operations, against the NumPy
  ufunc steps (with the same cached copy of the result; target 3x), and against a plain copy of
  the bytes the call writes, ``output.copy()`` of the 1024 x 1024 x 3 float32 result (ratio
  copy / native; "within 2x of a copy" is a ratio of at least 0.5);
* three float32 fields with "normalize" (the channels' own minimum and maximum), against the
  NumPy steps (target 3x);
* a repeated call on the same image object, answered from the cache (an identity test and the two
  attribute reads), against the same method written in Python; no target: both are dominated by
  the cost of the method call itself.

Each call of the first three sees a cache miss (the cached input is reset before it).
"""

from __future__ import annotations

import numpy as np

from harness import Workload

SIDE = 1024


def _channels(names, operation=None):
    channels = []
    for name in names:
        configuration = {"channel_type": {"selection": name}}
        if operation:
            configuration["enable_operations"] = {"operations": {"selection": operation}}
        channels.append({"channel": configuration})
    return channels


def _image(side, dtype):
    rng = np.random.default_rng(11)
    image = np.zeros((side, side), [("red", dtype), ("green", dtype), ("blue", dtype)])
    for name in ("red", "green", "blue"):
        if np.dtype(dtype).kind == "u":
            image[name] = rng.integers(0, 256, (side, side))
        else:
            image[name] = rng.standard_normal((side, side)) * 40 + 3
    return image


def _transforms(channels):
    from bandmixer_steps import StepsBandMixer
    from vornhaven.preprocessing.augmentations.transform.bandmixer import BandMixer

    return BandMixer(channels, False, 1.0), StepsBandMixer(channels)


def _miss(transform, image, attribute):
    def run():
        setattr(transform, attribute, None)
        return transform.apply(image)

    return run


def _against_steps(dtype, operation):
    def setup(side):
        image = _image(side, dtype)
        native, steps = _transforms(_channels(("red", "green", "blue"), operation))
        return _miss(native, image, "_BandMixer__last_img"), _miss(steps, image, "last_img")

    return setup


def _against_copy(side):
    image = _image(side, "u1")
    native, _ = _transforms(_channels(("red", "green", "blue")))
    result = native.apply(image.copy())

    def copy():
        return result.copy()

    return _miss(native, image, "_BandMixer__last_img"), copy


def _cache_hit(side):
    image = _image(side, "u1")
    native, steps = _transforms(_channels(("red", "green", "blue")))
    native.apply(image)
    steps.apply(image)
    return (lambda: native.apply(image)), (lambda: steps.apply(image))


WORKLOADS = [
    Workload("BandMixer 3 x uint8 default vs NumPy steps", (SIDE,), _against_steps("u1", None), {SIDE: 3.0}),
    Workload("BandMixer 3 x uint8 default vs output.copy()", (SIDE,), _against_copy, {SIDE: 0.5}),
    Workload("BandMixer 3 x float32 normalize vs NumPy steps", (SIDE,), _against_steps("f4", "normalize"),
             {SIDE: 3.0}),
    Workload("BandMixer cache hit vs Python", (SIDE,), _cache_hit),
]
