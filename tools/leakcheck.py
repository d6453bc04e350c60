#!/usr/bin/env python3
"""Leak check: every entry point of the six modules called many times, memory must stay flat.

For each entry point of the table in leakcheck_cases.py, and separately for its valid call and
its invalid calls (taken in turn), it runs a warm-up and then ``--calls`` calls in ``--rounds``
rounds. After each round it collects garbage and reads the memory that tracemalloc traces and the
resident set size (/proc/self/statm). A leak grows memory in every round, while the interpreter
may grow or rebuild an internal table once in a while, so the judged growth of a case is the
smallest growth of its rounds after the first. A case also fails when the reference count of its
function or of an argument changed, when its valid call raised or an invalid call did not.

    python tools/leakcheck.py                   # 100,000 calls each (LEAK_CALLS overrides)
    python tools/leakcheck.py --calls 2000 --filter shapekit

It writes summary.md and summary.json to --out (build/leakcheck) and exits with 1 on a leak.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time
import tracemalloc
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))
import leakcheck_cases  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]


def resident_bytes() -> int | None:
    """The resident set size, or None where it means nothing (AddressSanitizer keeps freed memory
    in quarantine, so it grows by design) or the platform does not tell it."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return None
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, AttributeError):
        return None


def traced_limit(per_round: int) -> int:
    """Traced growth allowed per round: half a byte per call (a leak of one byte per call fails), at
    least 2 KiB; 8 KiB when objects come straight from malloc (PYTHONMALLOC=malloc, the sanitizer run),
    where traced memory moves by a few KiB a round whatever the number of calls."""
    floor = 8192 if os.environ.get("PYTHONMALLOC", "").startswith("malloc") else 2048
    return max(floor, per_round // 2)


def resident_limit(per_round: int) -> int:
    """Resident growth allowed per round: 16 bytes per call, at least 256 KiB (page granularity,
    allocator arenas); one small object kept per call (32 bytes and more) fails at 20,000 calls."""
    return max(256 * 1024, 16 * per_round)


def rounds(run: Callable[[int], None], count: int, per_round: int) -> tuple[list[int], list[int] | None]:
    """Growth of traced and of resident memory over each of ``count`` rounds of ``run(per_round)``.
    The caller has tracemalloc running."""
    deltas: tuple[list[int], list[int]] = ([], [])
    previous = (tracemalloc.get_traced_memory()[0], resident_bytes())
    for _ in range(count):
        run(per_round)
        gc.collect()
        current = (tracemalloc.get_traced_memory()[0], resident_bytes())
        deltas[0].append(current[0] - previous[0])
        if current[1] is not None and previous[1] is not None:
            deltas[1].append(current[1] - previous[1])
        previous = current
    return deltas[0], (deltas[1] or None)


@dataclass
class Result:
    module: str
    entry_point: str
    kind: str  # "valid" or "invalid"
    calls: int
    traced: list[int]  # growth per round, bytes
    resident: list[int] | None
    problems: list[str]

    @property
    def traced_growth(self) -> int:
        return min(self.traced[1:] or self.traced)

    @property
    def resident_growth(self) -> int | None:
        return None if self.resident is None else min(self.resident[1:] or self.resident)


def _runner(calls: list[leakcheck_cases.Call], failing: bool) -> Callable[[int], None]:
    prepared = [(c.function, c.args, c.kwargs) for c in calls]
    if not failing:
        function, args, kwargs = prepared[0]

        def run(n: int) -> None:
            for _ in range(n):
                function(*args, **kwargs)
        return run

    def run_failing(n: int) -> None:
        for i in range(n):
            function, args, kwargs = prepared[i % len(prepared)]
            try:
                function(*args, **kwargs)
            except Exception:  # noqa: BLE001 - the failure is the workload
                pass
    return run_failing


def _table_problems(calls: list[leakcheck_cases.Call], failing: bool) -> list[str]:
    problems = []
    for index, c in enumerate(calls):
        try:
            c()
        except Exception as error:  # noqa: BLE001
            if not failing:
                problems.append(f"valid call raised {type(error).__name__}: {error}")
        else:
            if failing:
                problems.append(f"invalid call {index} did not raise")
    return problems


def _held(calls: list[leakcheck_cases.Call]) -> list[Any]:
    """The objects whose reference counts must not change: functions and arguments."""
    return [o for c in calls for o in (c.function, *c.args, *c.kwargs.values())]


def check(entry: leakcheck_cases.EntryPoint, failing: bool, calls: int, count: int) -> Result:
    """Runs one case: warm-up, then ``calls`` calls in ``count`` rounds (tracemalloc running)."""
    cases = entry.invalid if failing else [entry.valid]
    problems = _table_problems(cases, failing)
    run, per_round = _runner(cases, failing or bool(problems)), max(1, calls // count)
    run(min(per_round, 1000))  # caches, interned names, lazily imported modules
    gc.collect()
    held = _held(cases)
    references = [sys.getrefcount(o) for o in held]
    traced, resident = rounds(run, count, per_round)
    after = [sys.getrefcount(o) for o in held]
    # A reference leaked by some call path grows a count by the calls taking it; shared objects such
    # as small ints (not immortal before CPython 3.12) move by a few references meanwhile.
    changed = [f"{type(o).__name__} {now - before:+d}" for o, before, now in zip(held, references, after)
               if abs(now - before) >= max(1, per_round // 2)]
    if changed:
        problems.append(f"reference counts changed: {', '.join(changed)}")
    result = Result(entry.module, entry.name, "invalid" if failing else "valid", per_round * count,
                    traced, resident, problems)
    if result.traced_growth >= traced_limit(per_round):
        problems.append(f"traced memory grew by {result.traced_growth} bytes per round")
    if result.resident_growth is not None and result.resident_growth >= resident_limit(per_round):
        problems.append(f"resident memory grew by {result.resident_growth} bytes per round")
    return result


def run_table(entries: list[leakcheck_cases.EntryPoint], calls: int, count: int,
              progress: Callable[[Result], None] = lambda r: None) -> list[Result]:
    """Checks every entry point, valid and invalid, with tracemalloc running. The collector's
    automatic runs are off during the rounds (each round ends with a full collection), and the
    objects alive before the check are frozen, so that those collections stay cheap."""
    results = []
    tracing = tracemalloc.is_tracing()
    tracemalloc.start()
    enabled = gc.isenabled()
    gc.disable()
    gc.collect()
    gc.freeze()
    try:
        for entry in entries:
            for failing in (False, True):
                results.append(check(entry, failing, calls, count))
                progress(results[-1])
    finally:
        gc.unfreeze()
        if enabled:
            gc.enable()
        if not tracing:
            tracemalloc.stop()
    return results


def _kib(value: int | None) -> str:
    return "n/a" if value is None else f"{value / 1024:.1f}"


def summary(results: list[Result], calls: int, count: int, seconds: float) -> str:
    per_round = max(1, calls // count)
    lines = [f"# Leak check: {calls:,} calls per entry point and kind, {count} rounds", "",
             f"Judged growth: the smallest growth of rounds 2 to {count} (KiB per {per_round:,} calls); "
             f"limits {_kib(traced_limit(per_round))} KiB traced, {_kib(resident_limit(per_round))} KiB "
             f"resident. Python {sys.version.split()[0]}, {seconds:.0f} s.", "",
             "| module | entry points | calls | max traced growth (KiB/round) | max resident growth "
             "(KiB/round) | leaks |", "|---|---:|---:|---:|---:|---:|"]
    modules = dict.fromkeys(r.module for r in results)
    for module in modules:
        mine = [r for r in results if r.module == module]
        resident = [r.resident_growth for r in mine if r.resident_growth is not None]
        lines.append(f"| {module} | {len({r.entry_point for r in mine})} | {sum(r.calls for r in mine):,} | "
                     f"{_kib(max(r.traced_growth for r in mine))} | {_kib(max(resident) if resident else None)} "
                     f"| {sum(bool(r.problems) for r in mine)} |")
    lines += ["", "| entry point | kind | traced growth per round (bytes) | resident growth per round (KiB) "
              "| problems |", "|---|---|---|---|---|"]
    for r in results:
        resident = "n/a" if r.resident is None else ", ".join(f"{d / 1024:.0f}" for d in r.resident)
        lines.append(f"| {r.module}: {r.entry_point} | {r.kind} | {', '.join(map(str, r.traced))} | {resident} "
                     f"| {'; '.join(r.problems)} |")
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=int(os.environ.get("LEAK_CALLS", 100_000)),
                        help="calls per entry point and kind (default: LEAK_CALLS or 100000)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--filter", default="", help="only entry points whose 'module: name' contains this")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "leakcheck")
    options = parser.parse_args(argv)
    if options.rounds < 2:
        parser.error("--rounds must be at least 2")

    entries = [e for e in leakcheck_cases.entry_points() if options.filter in f"{e.module}: {e.name}"]

    def progress(r: Result) -> None:
        verdict = "LEAK " + "; ".join(r.problems) if r.problems else "flat"
        print(f"{r.module}: {r.entry_point} [{r.kind}] traced {r.traced_growth} B, resident "
              f"{_kib(r.resident_growth)} KiB per round: {verdict}", flush=True)

    start = time.perf_counter()
    results = run_table(entries, options.calls, options.rounds, progress)
    seconds = time.perf_counter() - start
    options.out.mkdir(parents=True, exist_ok=True)
    text = summary(results, options.calls, options.rounds, seconds)
    (options.out / "summary.md").write_text(text)
    (options.out / "summary.json").write_text(json.dumps(
        {"calls": options.calls, "rounds": options.rounds, "seconds": round(seconds, 1),
         "results": [asdict(r) for r in results]}, indent=1))
    print(text.split("\n\n| entry point")[0])
    failed = [r for r in results if r.problems]
    print(f"{len(failed)} of {len(results)} cases failed; summary in {options.out / 'summary.md'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
