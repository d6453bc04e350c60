"""PickWeighted against albumentations' OneOf with the same children.

Per call on a tiny image (8 x 8 x 3 uint8) with two children that always apply (HorizontalFlip
and VerticalFlip, p=1) and the composition's p=1, so every call draws one child and runs it.
Both draw from Python's `random` in the same order and pick by NumPy's legacy generator, so with
the same seed they pick the same child: the result check runs each side from one seed. The ratio
is OneOf / PickWeighted; the target asks PickWeighted for at most half of OneOf's time.
"""

from __future__ import annotations

import random

import numpy as np

from harness import Workload

IMAGE_SIDE = 8
SEED = 20261208
TARGET = {IMAGE_SIDE: 2.0}


def _setup(side: int):
    import albumentations as A

    from vornhaven.preprocessing.augmentations.transform.pickweighted import PickWeighted

    image = np.random.default_rng(5).integers(0, 256, (side, side, 3), dtype=np.uint8)

    def children():
        return [A.HorizontalFlip(p=1.0), A.VerticalFlip(p=1.0)]

    def run(composition):
        seeded = [False]

        def once():
            if not seeded[0]:  # the first call (the result check) starts from a known state
                random.seed(SEED)
                seeded[0] = True
            return composition(image=image)["image"]

        return once

    return run(PickWeighted(children(), p=1.0)), run(A.OneOf(children(), p=1.0))


WORKLOADS = [
    Workload("PickWeighted vs OneOf (2 children, tiny image)", (IMAGE_SIDE,), _setup, TARGET),
]
