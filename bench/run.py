#!/usr/bin/env python3
"""Benchmark report: every workload of bench/bench_*.py against its plain NumPy version.

For each workload and size the runner checks once that the native and the NumPy callables give
the same result, then times both in the same run, sampling them alternately. It prints a table,
writes <out>/results.json, the cases with targets as a Markdown table to <out>/targets.md and
plots the ratios to <out>/ratios.png.

The exit status is 0 when every case ran and its results agreed, even if some ratios miss their
targets (the report says which); it is 1 when a case failed (setup error, exception, results
that differ) or a workload module could not be loaded.
"""

from __future__ import annotations

import argparse
import datetime
import functools
import importlib.util
import json
import os
import platform
import sys
import traceback
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Sequence

BENCH_DIR = Path(__file__).resolve().parent
STEPS_DIR = BENCH_DIR.parent / "tests"  # numpy_steps: the NumPy side of the shapekit workloads
for _directory in (STEPS_DIR, BENCH_DIR):
    if str(_directory) not in sys.path:
        sys.path.insert(0, str(_directory))

import numpy as np  # noqa: E402

from harness import Workload, assert_same_result, measure  # noqa: E402

DEFAULT_REPEATS = 7
QUICK_REPEATS = 3
MIN_SAMPLE_TIME = 0.020


@dataclass
class CaseResult:
    module: str
    workload: str
    size: int
    target: float | None
    native_best: float | None = None
    numpy_best: float | None = None
    native_median: float | None = None
    numpy_median: float | None = None
    native_loops: int | None = None
    numpy_loops: int | None = None
    error: str | None = None

    @property
    def ratio(self) -> float | None:
        if self.native_best is None or self.numpy_best is None or self.native_best <= 0:
            return None
        return self.numpy_best / self.native_best

    @property
    def ratio_median(self) -> float | None:
        if self.native_median is None or self.numpy_median is None or self.native_median <= 0:
            return None
        return self.numpy_median / self.native_median

    @property
    def status(self) -> str:
        if self.error is not None:
            return "ERROR"
        if self.target is None:
            return "-"
        return "ok" if self.ratio is not None and self.ratio >= self.target else "FAIL"

    def as_json(self) -> dict[str, Any]:
        return {
            "module": self.module,
            "workload": self.workload,
            "size": self.size,
            "native_s": self.native_best,
            "numpy_s": self.numpy_best,
            "native_median_s": self.native_median,
            "numpy_median_s": self.numpy_median,
            "native_loops": self.native_loops,
            "numpy_loops": self.numpy_loops,
            "ratio": self.ratio,
            "ratio_median": self.ratio_median,
            "target": self.target,
            "status": self.status,
            "error": self.error,
        }


def discover(bench_dir: Path) -> tuple[list[tuple[str, Workload]], list[str]]:
    """Import every bench_*.py of ``bench_dir``; return (module, workload) pairs and load errors."""
    found: list[tuple[str, Workload]] = []
    errors: list[str] = []
    names: dict[str, str] = {}
    for path in sorted(bench_dir.glob("bench_*.py")):
        module_name = path.stem
        try:
            spec = importlib.util.spec_from_file_location(module_name, path)
            module = importlib.util.module_from_spec(spec)
            sys.modules[module_name] = module
            spec.loader.exec_module(module)
            workloads = module.WORKLOADS
        except Exception:
            sys.modules.pop(module_name, None)
            errors.append(f"{module_name}: cannot load workloads:\n{traceback.format_exc()}")
            continue
        if not isinstance(workloads, (list, tuple)):
            errors.append(f"{module_name}: WORKLOADS is a {type(workloads).__name__}, not a list")
            continue
        for wl in workloads:
            if not isinstance(wl, Workload):
                errors.append(f"{module_name}: WORKLOADS holds a {type(wl).__name__}, not a Workload")
            elif wl.name in names:
                errors.append(f"{module_name}: workload name {wl.name!r} is also used in {names[wl.name]}")
            else:
                names[wl.name] = module_name
                found.append((module_name, wl))
    return found, errors


def matches(module: str, workload: Workload, pattern: str | None) -> bool:
    return pattern is None or pattern.lower() in f"{module}:{workload.name}".lower()


def _short_error(exc: BaseException) -> str:
    text = f"{type(exc).__name__}: {exc}".strip()
    return " ".join(text.split())[:400]


def run_case(module: str, workload: Workload, size: int, repeats: int, min_sample_time: float) -> CaseResult:
    result = CaseResult(module, workload.name, size, workload.targets.get(size))
    stage = "setup"
    try:
        callables = workload.setup(size)
        native, reference = callables[0], callables[1]
        baseline = callables[2] if workload.baseline else None
        # One run of each on the inputs as setup made them: a wrong result is never timed.
        stage = "NumPy side"
        expected = reference()
        stage = "native side"
        actual = native()
        stage = "result check"
        assert_same_result(actual, expected, workload.rtol)
        if isinstance(native, functools.partial) and isinstance(reference, functools.partial):
            # Bound inputs must agree after the run too: in-place results land where they
            # should, and nothing else is written.
            assert_same_result(native.args, reference.args, workload.rtol, "inputs after one run")
        del expected, actual
        stage = "timing"
        native_timing, numpy_timing = measure(native, reference, repeats, min_sample_time, baseline)
    except Exception as exc:
        result.error = f"{stage}: {_short_error(exc)}"
        return result
    result.native_best, result.native_median = native_timing.best, native_timing.median
    result.numpy_best, result.numpy_median = numpy_timing.best, numpy_timing.median
    result.native_loops, result.numpy_loops = native_timing.loops, numpy_timing.loops
    return result


def format_time(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def format_ratio(ratio: float | None) -> str:
    return "-" if ratio is None else f"{ratio:.1f}x"


class Table:
    """Prints rows as they come, so a long run shows progress."""

    HEADERS = ("workload", "size", "native", "numpy", "ratio", "target", "")

    def __init__(self, name_width: int) -> None:
        self.widths = (max(name_width, len(self.HEADERS[0])), 7, 10, 10, 8, 8, 5)

    def _line(self, cells: Sequence[str]) -> str:
        first, *rest = cells
        w_first, *w_rest = self.widths
        return "  ".join([first.ljust(w_first), *(c.rjust(w) for c, w in zip(rest, w_rest))]).rstrip()

    def header(self) -> None:
        print(self._line(self.HEADERS))
        print(self._line(["-" * w for w in self.widths]))

    def row(self, r: CaseResult) -> None:
        target = "-" if r.target is None else f">={r.target:g}x"
        print(
            self._line(
                [r.workload, str(r.size), format_time(r.native_best), format_time(r.numpy_best),
                 format_ratio(r.ratio), target, r.status]
            ),
            flush=True,
        )
        if r.error:
            print(f"    {r.error}", flush=True)


# The panel (extension module) each benchmark file belongs to, by the word after "bench_".
PANELS = {
    "shapekit": "shapekit",
    "fracwindow": "fracwindow",
    "crop": "fracwindow",
    "ratio": "fracborder / fracmiddle",
    "bandmixer": "bandmixer",
    "pickweighted": "pickweighted",
}


def panel_of(module: str) -> str:
    key = module.removeprefix("bench_").split("_")[0]
    return PANELS.get(key, key)


def plot(results: list[CaseResult], path: Path) -> None:
    """ratios.png: one panel per extension module, ratio against size (log-log), one colour per
    workload, its targets as bars of the same colour, missed targets ringed in red."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    panels: dict[str, dict[str, list[CaseResult]]] = {}
    for r in results:
        panels.setdefault(panel_of(r.module), {}).setdefault(r.workload, []).append(r)
    count = max(len(panels), 1)
    fig, axes = plt.subplots(count, 1, figsize=(12, 3.6 * count), layout="constrained", squeeze=False)
    colors = plt.get_cmap("tab10").colors
    styles = ("-", "--", ":", "-.")
    for ax in axes.flat[count:]:
        ax.set_visible(False)
    for ax, (panel, by_workload) in zip(axes.flat, panels.items()):
        plotted = False
        for i, (name, rows) in enumerate(by_workload.items()):
            color = colors[i % len(colors)]
            style = styles[(i // len(colors)) % len(styles)]
            timed = sorted((r.size, r.ratio) for r in rows if r.ratio is not None)
            if timed:
                xs, ys = zip(*timed)
                ax.plot(xs, ys, style, marker="o", color=color, label=name)
                plotted = True
            targets = sorted((r.size, r.target) for r in rows if r.target is not None)
            if targets:
                # Workloads often share a target; shift each one's bars a little so all stay visible.
                shift = 10 ** (0.01 * (i - (len(by_workload) - 1) / 2))
                xs, ys = zip(*targets)
                ax.plot([x * shift for x in xs], ys, linestyle="none", marker="_", markersize=14,
                        markeredgewidth=2.5, color=color)
            missed = [(r.size, r.ratio) for r in rows if r.status == "FAIL"]
            if missed:
                xs, ys = zip(*missed)
                ax.plot(xs, ys, linestyle="none", marker="o", markersize=12, fillstyle="none",
                        markeredgewidth=1.5, color="red")
        ax.axhline(1.0, color="grey", linewidth=1, linestyle=":")
        if plotted:
            ax.set_xscale("log")
            ax.set_yscale("log")
            sizes = [r.size for rows in by_workload.values() for r in rows]
            ax.set_xlim(min(sizes) / 2, max(sizes) * 2)  # a single size stays readable
            ax.legend(fontsize="x-small", loc="center left", bbox_to_anchor=(1.01, 0.5),
                      ncols=2 if len(by_workload) > 12 else 1)
        ax.set_title(panel)
        ax.set_xlabel("size")
        ax.set_ylabel("NumPy time / native time")
        ax.grid(True, which="both", alpha=0.3)
    fig.suptitle("Native speed-up over the plain version of the same steps (higher is better)")
    fig.legend(handles=[
        Line2D([], [], linestyle="none", marker="_", markersize=14, markeredgewidth=2.5, color="grey",
               label="target (minimum ratio)"),
        Line2D([], [], linestyle="none", marker="o", markersize=10, fillstyle="none", color="red",
               label="target missed"),
    ], loc="outside lower center", ncols=2, fontsize="small")
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def targets_table(results: list[CaseResult], env: dict[str, Any]) -> str:
    """targets.md: the cases that have a target, as a Markdown table for the README."""
    lines = [
        f"Python {env['python']}, NumPy {env['numpy']}, {env['machine']}, {env['cpus']} CPUs.",
        "",
        "| module | workload | size | native | NumPy / other | ratio | target | |",
        "| --- | --- | ---: | ---: | ---: | ---: | ---: | --- |",
    ]
    for r in results:
        if r.target is None:
            continue
        lines.append(f"| {panel_of(r.module)} | {r.workload} | {r.size} | {format_time(r.native_best)} | "
                     f"{format_time(r.numpy_best)} | {format_ratio(r.ratio)} | >={r.target:g}x | {r.status} |")
    return "\n".join(lines) + "\n"


def environment() -> dict[str, Any]:
    return {
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "numpy": np.__version__,
        "machine": platform.machine(),
        "system": platform.platform(),
        "cpus": os.cpu_count(),
        "asserts": __debug__,
    }


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--filter", metavar="SUBSTRING",
                        help="run only workloads whose 'module:name' contains SUBSTRING (case-insensitive)")
    parser.add_argument("--quick", action="store_true",
                        help=f"{QUICK_REPEATS} samples per side instead of {DEFAULT_REPEATS}")
    parser.add_argument("--repeats", type=int, metavar="N", help="samples per side (overrides --quick)")
    parser.add_argument("--out", type=Path, default=BENCH_DIR / "out", metavar="DIR",
                        help="directory for results.json and ratios.png (default: bench/out)")
    parser.add_argument("--list", action="store_true", help="list the workloads and exit")
    args = parser.parse_args(argv)
    if args.repeats is not None and args.repeats < 1:
        parser.error("--repeats must be at least 1")
    return args


def main(argv: Sequence[str] | None = None, bench_dir: Path = BENCH_DIR) -> int:
    args = parse_args(argv)
    repeats = args.repeats or (QUICK_REPEATS if args.quick else DEFAULT_REPEATS)

    found, load_errors = discover(bench_dir)
    selected = [(m, wl) for m, wl in found if matches(m, wl, args.filter)]
    for err in load_errors:
        print(f"ERROR {err}", file=sys.stderr)

    if args.list:
        for module, wl in selected:
            targets = ", ".join(f"{s}: >={t:g}x" for s, t in sorted(wl.targets.items())) or "no targets"
            print(f"{module}:{wl.name}  sizes {list(wl.sizes)}  ({targets})")
        return 1 if load_errors else 0
    if not selected:
        print("no workload matches" + (f" {args.filter!r}" if args.filter else ""), file=sys.stderr)
        return 1

    env = environment()
    print(f"Python {env['python']}, NumPy {env['numpy']}, {env['machine']}, {env['cpus']} CPUs"
          f"{'' if env['asserts'] else ', asserts off (-O)'}")
    print(f"Times are per call: the best of {repeats} samples of >= {MIN_SAMPLE_TIME * 1e3:g} ms of back-to-back calls,")
    print("native and NumPy sampled alternately in the same run. ratio = NumPy time / native time (higher is better).")
    print()

    table = Table(max(len(wl.name) for _, wl in selected))
    table.header()
    results: list[CaseResult] = []
    for module, wl in selected:
        for size in wl.sizes:
            r = run_case(module, wl, size, repeats, MIN_SAMPLE_TIME)
            results.append(r)
            table.row(r)

    missed = [r for r in results if r.status == "FAIL"]
    failed = [r for r in results if r.status == "ERROR"]
    met = sum(r.status == "ok" for r in results)
    print()
    if missed:
        print(f"Missed targets ({len(missed)} of {len(missed) + met}): "
              + "; ".join(f"{r.workload} size {r.size}: {format_ratio(r.ratio)} < {r.target:g}x" for r in missed))
    else:
        print(f"Missed targets: none ({met} met)")
    if failed or load_errors:
        print(f"Errors: {len(failed)} case(s) failed, {len(load_errors)} workload module(s) did not load")

    args.out.mkdir(parents=True, exist_ok=True)
    report = {
        "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "environment": env,
        "method": {
            "statistic": "min",
            "repeats": repeats,
            "min_sample_time_s": MIN_SAMPLE_TIME,
            "ratio": "numpy_s / native_s",
        },
        "results": [r.as_json() for r in results],
        "missed_targets": [{"workload": r.workload, "size": r.size, "ratio": r.ratio, "target": r.target}
                           for r in missed],
        "load_errors": load_errors,
    }
    json_path = args.out / "results.json"
    json_path.write_text(json.dumps(report, indent=2) + "\n")
    (args.out / "targets.md").write_text(targets_table(results, env))
    png_path = args.out / "ratios.png"
    try:
        plot(results, png_path)
    except Exception as exc:
        print(f"Plot not written: {_short_error(exc)}", file=sys.stderr)
        png_path = None
    print(f"Wrote {json_path}" + (f" and {png_path}" if png_path else ""))
    return 1 if failed or load_errors else 0


if __name__ == "__main__":
    sys.exit(main())
