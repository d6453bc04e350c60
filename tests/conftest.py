"""Fixtures shared by the test suites."""

import gc
import os
import tracemalloc

import numpy as np
import pytest

import numpy_steps

if os.environ.get("VORNHAVEN_LEAK_CHECK"):
    # SciPy's f2py modules, which albumentations imports, leave two strings behind at import: that
    # import happens here, unseen by LeakSanitizer (whose check runs after the last test)
    import importlib

    from vornhaven import _runtime_probe

    _runtime_probe.unchecked(lambda: importlib.import_module("albumentations"))


@pytest.fixture(autouse=True, scope="session")
def steps_give_the_modules_arctan2_answer():
    """The NumPy steps' arctan2 gives the answer shapekit gives (see ``numpy_steps``)."""
    with numpy_steps.arctan2_answer(numpy_steps.arctan2_apart):
        yield


class NumpyStandIn:
    """Replaces shapekit's ``np``: everything is NumPy's, but the module must go through it.

    Its arctan2 gives the answer for operands apart from the output, so runs are repeatable."""

    arctan2 = staticmethod(numpy_steps.arctan2_apart)

    def __getattr__(self, name):
        return getattr(np, name)


@pytest.fixture(params=["native", "numpy"])
def path(request, monkeypatch):
    """Runs a test on shapekit's native paths and on NumPy's (the module's ``np`` replaced)."""
    if request.param == "numpy":
        from vornhaven.preprocessing import shapekit

        monkeypatch.setattr(shapekit, "np", NumpyStandIn())
    return request.param


def _resident_bytes():
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return None  # AddressSanitizer keeps freed memory in quarantine: the resident size grows by design
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, AttributeError):
        return None


@pytest.fixture
def memory_growth():
    """``growth(run, intervals, iterations, resident=False)``: how much memory grew over each of
    ``intervals`` rounds of ``iterations`` calls of ``run`` (each round ends with a collection).

    It counts the allocations tracemalloc traces, or with ``resident`` the resident set size
    (``[0]`` where the platform does not tell it). A leak grows it in every round; the
    interpreter may also grow or rebuild an internal table once in a while (about 1 MB on
    CPython 3.13), so judge the smallest growth of several rounds."""

    def growth(run, intervals, iterations, resident=False):
        if resident and _resident_bytes() is None:
            return [0]
        measure = _resident_bytes if resident else (lambda: tracemalloc.get_traced_memory()[0])
        if not resident:
            tracemalloc.start()
        try:
            deltas, previous = [], measure()
            for _ in range(intervals):
                for _ in range(iterations):
                    run()
                gc.collect()
                current = measure()
                deltas.append(current - previous)
                previous = current
            return deltas
        finally:
            if not resident:
                tracemalloc.stop()

    return growth


def pytest_sessionfinish(session, exitstatus):
    """With VORNHAVEN_LEAK_CHECK set (the sanitizer run), LeakSanitizer checks the heap once all tests
    have run, before the interpreter shuts down; reported leaks fail the session."""
    if not os.environ.get("VORNHAVEN_LEAK_CHECK"):
        return
    from vornhaven import _runtime_probe

    gc.collect()
    leaked = _runtime_probe.leak_check()
    if leaked is None:
        raise RuntimeError("VORNHAVEN_LEAK_CHECK is set but LeakSanitizer is not loaded")
    if leaked:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
    session.config.stash[LEAK_CHECK] = leaked


LEAK_CHECK = pytest.StashKey[bool]()


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    if LEAK_CHECK in config.stash:
        leaked = config.stash[LEAK_CHECK]
        terminalreporter.write_line(f"LeakSanitizer after the last test: {'leaks reported' if leaked else 'no leaks'}")
