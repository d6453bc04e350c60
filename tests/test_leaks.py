"""Every entry point of the six modules, called with valid and with invalid input, keeps memory and
reference counts flat: the table and the judgement of tools/leakcheck.py on a short run
(`make leakcheck` runs 100,000 calls each)."""

import ctypes
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import leakcheck  # noqa: E402
from leakcheck_cases import MODULES, EntryPoint, call, entry_points, public_names  # noqa: E402

# 4 rounds of 250 calls: one small object kept per call grows traced memory by some 8 KiB a round,
# four times the limit; under AddressSanitizer (objects from malloc, a higher limit) 4 rounds of 600
CALLS = 1000 if leakcheck.resident_bytes() is not None else 2400


@pytest.fixture(scope="module")
def table():
    return entry_points()


@pytest.mark.parametrize("module", MODULES)
def test_the_table_covers_every_entry_point(table, module):
    missing = public_names(module) - {f"{e.module}:{e.name}" for e in table}
    assert not missing


def test_no_entry_point_leaks(table):
    results = leakcheck.run_table(table, CALLS, 4)
    assert len(results) == 2 * len(table) and all(r.calls == CALLS for r in results)
    # A short run can see memory move for other reasons (an interpreter cache filling up): entry
    # points with a finding run again with four times the calls, which a leak grows with.
    suspects = {(r.module, r.entry_point) for r in results if r.problems}
    if suspects:
        results = leakcheck.run_table([e for e in table if (e.module, e.name) in suspects], 4 * CALLS, 4)
    assert {f"{r.module}: {r.entry_point} [{r.kind}]": r.problems for r in results if r.problems} == {}


def test_leaks_and_table_faults_are_reported():
    kept, token = [], object()

    def fail():
        raise ValueError("invalid")

    probes = [
        EntryPoint("probe", "keeps an object", call(lambda: kept.append(object())), [call(fail)]),
        EntryPoint("probe", "keeps a reference", call(lambda o: ctypes.pythonapi.Py_IncRef(ctypes.py_object(o)), token),
                   [call(lambda: kept.append(object()) or fail())]),
        EntryPoint("probe", "wrong table", call(fail), [call(lambda: None)]),
    ]
    references = sys.getrefcount(token)
    problems = [r.problems for r in leakcheck.run_table(probes, CALLS, 4)]
    while sys.getrefcount(token) > references:  # give back what the probe kept (the sanitizer run checks)
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(token))
    assert [[p.split(" by ")[0] for p in found] for found in problems] == [
        ["traced memory grew"], [],
        [f"reference counts changed: object +{CALLS}"], ["traced memory grew"],
        ["valid call raised ValueError: invalid"], ["invalid call 0 did not raise"]]
