"""Every input the fuzzers found (fuzz/regressions/<module>/) replays cleanly through its target.

A target raises only on a finding (a mismatch with the NumPy steps, a SystemError); a crash takes
the test process down with it. tools/asan.sh runs these under the sanitizers too.
"""

import importlib.util
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("atheris", reason="atheris (requirements/test.txt) has wheels for CPython 3.12 and newer")

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
INPUTS = sorted(p for p in (FUZZ / "regressions").glob("*/*") if p.is_file())


def _target(module, cache={}):  # noqa: B006 - one import per target
    if module not in cache:
        for path in (FUZZ, FUZZ.parent / "tests" / "augmentations"):  # as fuzz/run.py has them
            if str(path) not in sys.path:
                sys.path.append(str(path))
        spec = importlib.util.spec_from_file_location(f"fuzz_target_{module}", FUZZ / "targets" / f"{module}.py")
        cache[module] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(cache[module])
    return cache[module]


@pytest.mark.parametrize("path", INPUTS, ids=[f"{p.parent.name}/{p.name}" for p in INPUTS])
def test_finding_stays_fixed(path):
    target = _target(path.parent.name)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        target.one_input(path.read_bytes())
