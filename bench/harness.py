"""Building blocks of the benchmark runner: the workload description, result checks and timing.

A workload module (``bench/bench_*.py``) exposes ``WORKLOADS``, a list of :class:`Workload`.
For every size, ``setup(size)`` prepares inputs and returns two zero-argument callables, the
native one and the plain NumPy one, each doing one run of the same steps on its own copy of the
same inputs and returning the result. The runner calls each once and checks that the results
agree (:func:`assert_same_result`) before it times them (:func:`measure`).
"""

from __future__ import annotations

import gc
import itertools
import math
import statistics
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping, Sequence

import numpy as np

Setup = Callable[[int], "tuple[Callable[[], Any], Callable[[], Any]]"]


@dataclass(frozen=True)
class Workload:
    """One benchmarked operation, run at several sizes.

    name:    shown in the table and the plot, e.g. "rot_points_multi_rads[float64]".
    sizes:   the sizes passed to ``setup``; what a size counts is up to the workload.
    setup:   ``setup(size) -> (native_callable, numpy_callable)``.
    targets: ``{size: minimum ratio}``, ratio = NumPy time / native time.
    rtol:    tolerance of the result check, relative to each element and, as an absolute
             floor, to the largest magnitude in the NumPy result (so values that happen to be
             near zero are judged on the scale of the whole result).
    baseline: ``setup`` returns a third callable doing the surrounding calls without the work
             being compared (the caller's and a stub base's share); its time, measured in the
             same run, is taken off both sides, so the ratio compares the work itself.
    """

    name: str
    sizes: Sequence[int]
    setup: Setup
    targets: Mapping[int, float] = field(default_factory=dict)
    rtol: float = 1e-13
    baseline: bool = False

    def __post_init__(self) -> None:
        if not self.sizes:
            raise ValueError(f"workload {self.name!r} has no sizes")
        unknown = set(self.targets) - set(self.sizes)
        if unknown:
            raise ValueError(f"workload {self.name!r} has targets for sizes it does not run: {sorted(unknown)}")
        bad = {size: ratio for size, ratio in self.targets.items() if not ratio > 0}
        if bad:
            raise ValueError(f"workload {self.name!r} has non-positive targets: {bad}")


def assert_same_result(native: Any, reference: Any, rtol: float, path: str = "result") -> None:
    """Raise AssertionError unless ``native`` matches ``reference``.

    Arrays must agree in type, dtype and shape exactly and in value within ``rtol`` (see
    :class:`Workload`); NaNs must sit in the same places. Tuples and lists are compared item by
    item; anything else with ``==``, or numerically when both sides are numbers.
    """
    if isinstance(reference, (tuple, list)):
        assert type(native) is type(reference), f"{path}: {type(native).__name__} instead of {type(reference).__name__}"
        assert len(native) == len(reference), f"{path}: {len(native)} items instead of {len(reference)}"
        for i, (a, b) in enumerate(zip(native, reference)):
            assert_same_result(a, b, rtol, f"{path}[{i}]")
    elif isinstance(reference, np.ndarray):
        assert isinstance(native, np.ndarray), f"{path}: {type(native).__name__} instead of an ndarray"
        assert native.dtype == reference.dtype, f"{path}: dtype {native.dtype} instead of {reference.dtype}"
        assert native.shape == reference.shape, f"{path}: shape {native.shape} instead of {reference.shape}"
        if reference.dtype.kind in "fc":
            finite = reference[np.isfinite(reference)]
            scale = float(np.max(np.abs(finite))) if finite.size else 0.0
            np.testing.assert_allclose(native, reference, rtol=rtol, atol=rtol * scale, err_msg=path)
        else:
            np.testing.assert_array_equal(native, reference, err_msg=path)
    elif isinstance(reference, (float, np.floating)) and isinstance(native, (float, int, np.number)):
        np.testing.assert_allclose(native, reference, rtol=rtol, err_msg=path)
    else:
        assert native == reference, f"{path}: {native!r} instead of {reference!r}"


@dataclass(frozen=True)
class Timing:
    """Per-call times of one callable: one entry per sample of ``loops`` calls."""

    loops: int
    per_call: tuple[float, ...]

    @property
    def best(self) -> float:
        return min(self.per_call)

    @property
    def median(self) -> float:
        return statistics.median(self.per_call)


def time_loops(func: Callable[[], Any], loops: int, clock: Callable[[], float] = time.perf_counter) -> float:
    """Seconds taken by ``loops`` back-to-back calls of ``func``, garbage collection off."""
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        it = itertools.repeat(None, loops)
        start = clock()
        for _ in it:
            func()
        return clock() - start
    finally:
        if gc_was_enabled:
            gc.enable()


def autorange(func: Callable[[], Any], min_sample_time: float, max_loops: int = 1 << 30) -> int:
    """Number of loops for which one sample of ``func`` takes at least ``min_sample_time``."""
    loops = 1
    while True:
        elapsed = time_loops(func, loops)
        if elapsed >= min_sample_time or loops >= max_loops:
            return loops
        if elapsed <= 0:
            factor = 10
        else:
            # Aim a little past the threshold, grow by at most 100x per step so a first
            # call that was slow (cold caches, lazy imports) cannot make us undershoot badly.
            factor = min(100, max(2, math.ceil(1.2 * min_sample_time / elapsed)))
        loops = min(max_loops, loops * factor)


def measure(
    native: Callable[[], Any],
    reference: Callable[[], Any],
    repeats: int,
    min_sample_time: float,
    baseline: Callable[[], Any] | None = None,
) -> tuple[Timing, Timing]:
    """Time both callables in the same run.

    Each side gets its own loop count (each sample lasts at least ``min_sample_time``); then
    ``repeats`` rounds take one sample of each, alternating which side goes first, so that slow
    phases of a shared machine hit both sides alike.
    """
    if repeats < 1:
        raise ValueError("repeats must be at least 1")
    funcs = (native, reference) if baseline is None else (native, reference, baseline)
    loops = tuple(autorange(f, min_sample_time) for f in funcs)
    samples: tuple[list[float], ...] = tuple([] for _ in funcs)
    for r in range(repeats):
        order = range(len(funcs)) if r % 2 == 0 else reversed(range(len(funcs)))
        for side in order:
            samples[side].append(time_loops(funcs[side], loops[side]) / loops[side])
    if baseline is not None:
        # each round's baseline sample comes off that round's samples of both sides
        base = samples[2]
        samples = tuple([max(t - b, 1e-12) for t, b in zip(samples[side], base)] for side in (0, 1))
    return Timing(loops[0], tuple(samples[0])), Timing(loops[1], tuple(samples[1]))
