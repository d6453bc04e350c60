"""Per-sample seeding that holds in any worker.

The transforms draw from the process-wide generator of the ``random`` module (PickWeighted,
MeshCrop, albumentations' own transforms), and albumentations 1.x also from NumPy's global
generator. Seeding those before each sample makes the sample repeatable only if no other thread
of the process draws from them meanwhile, and a Dask worker's own threads do draw from
``random``. So, within :func:`seeded_generators`, the calling thread's calls of the ``random``
module's functions go to a generator of its own, seeded for the sample; other threads keep
drawing from the shared one. The module's functions are looked up at call time by the
transforms, which is what makes the routing work.
"""

from __future__ import annotations

import random
import threading
from collections.abc import Iterator
from contextlib import contextmanager

import numpy as np

_THREAD = threading.local()
_INSTALL = threading.Lock()
_installed = False


def _routed(name: str, shared):
    def call(*args, **kwargs):
        own = getattr(_THREAD, "generator", None)
        return (shared if own is None else getattr(own, name))(*args, **kwargs)

    call.__name__ = call.__qualname__ = name
    call.__module__ = "random"  # pickled by reference as random.<name>, which it now is
    call.__doc__ = shared.__doc__
    call.__wrapped__ = shared
    return call


def _install() -> None:
    global _installed
    with _INSTALL:
        if _installed:
            return
        shared = random._inst  # the instance behind the module's functions
        for name in random.__all__:
            function = getattr(random, name)
            if getattr(function, "__self__", None) is shared:
                setattr(random, name, _routed(name, function))
        _installed = True


def sample_seed(seed: int, index: int) -> int:
    """The seed of sample ``index`` of a run seeded with ``seed``: the same wherever it runs."""
    return int(np.random.SeedSequence([seed, index]).generate_state(1)[0])


@contextmanager
def seeded_generators(seed: int) -> Iterator[random.Random]:
    """Within the block, this thread's ``random.*`` calls draw from ``random.Random(seed)``;
    NumPy's global generator is seeded with ``seed`` (callers keep one sample at a time per
    process for it, as no other thread is expected to draw from it)."""
    _install()
    previous = getattr(_THREAD, "generator", None)
    _THREAD.generator = random.Random(seed)
    np.random.seed(seed)
    try:
        yield _THREAD.generator
    finally:
        _THREAD.generator = previous
