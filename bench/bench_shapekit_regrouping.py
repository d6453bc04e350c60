"""Regrouping of shapekit: assemble_keypoints_after_shuffle on flat keypoint lists as an
albumentations pipeline hands them back (a list of (x, y) tuples and the two label lists,
shuffled), with the VEXL boxes carried along as a per-box array.

The NumPy side is the plain Python version of the same steps (tests/numpy_steps.py): ``np.unique`` of the ids, then one ``np.where`` and one dict per box.
"""

from __future__ import annotations

import functools
import sys
from pathlib import Path
from typing import Any, Callable

import numpy as np

from harness import Workload

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import numpy_steps as ref  # noqa: E402

SIZES = (1, 10, 100, 1000)
TARGETS = {10: 10.0, 1000: 100.0}


def _shapekit() -> Any:
    from vornhaven.preprocessing import shapekit

    return shapekit


def _setup(size: int, form: str) -> tuple[Callable[[], Any], Callable[[], Any]]:
    sk = _shapekit()
    rng = np.random.default_rng([0x5EED, size])
    vexl = np.column_stack(
        [rng.uniform(0.0, 2000.0, (size, 2)), rng.uniform(4.0, 300.0, (size, 2)), rng.uniform(-np.pi, np.pi, size)]
    )
    keypoints = sk.vexl_to_keypoints(vexl)
    instances, positions = sk.keypoints_trivial_lookup(len(keypoints))
    permutation = rng.permutation(len(keypoints))
    points = [tuple(map(float, p)) for p in keypoints] if form == "tuples" else list(keypoints)
    lists = [[items[j] for j in permutation] for items in (points, list(instances), list(positions))]
    return (
        functools.partial(sk.assemble_keypoints_after_shuffle, *lists, boxes=vexl),
        functools.partial(ref.assemble_keypoints_after_shuffle, *lists, boxes=vexl),
    )


WORKLOADS = [
    Workload(f"assemble_keypoints_after_shuffle[{form}]", SIZES, functools.partial(_setup, form=form), TARGETS, 0.0)
    for form in ("tuples", "arrays")
]
