"""``python -m vornhaven.demo``: the label path of the platform on a scene, in pictures.

Input problems (missing or unreadable files, malformed JSON, boxes of the wrong shape, an
unreachable scheduler, bad options) end the run with a message and exit status 2 before anything
is written. The outputs are made in a private temporary folder and moved into the output folder
only when all of them are complete, summary.json last.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

from . import pipeline, render
from .engines import connect, run_in_process, run_on_dask, run_with_processes
from .scene import InputError, load_scene

PROG = "python -m vornhaven.demo"
GRID_SAMPLES = 16
PROGRESS_FROM = 32  # samples from which a progress bar is shown
OUTPUTS = ("input.png", "grid.png", "overlap.png", "summary.json")  # published in this order


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a number of at least 1, got {value}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a seed of at least 0, got {value}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text}")
    return value


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Run the label path (BandMixer -> PickWeighted(FracBorder, FracMiddle) -> MeshCrop -> "
                    "flip/rotate/affine -> regrouping -> parallelogram fitting -> clipping -> overlap) on a "
                    "scene and write pictures and a summary.")
    p.add_argument("--image", type=Path, metavar="PATH", help="PNG/JPEG, or .npy of a structured array with fields red, green, "
                                              "blue (and optionally nir); default: a built-in scene")
    p.add_argument("--boxes", type=Path, metavar="PATH", help="JSON list of VEXL boxes [center_x, center_y, width, height, rotation]")
    p.add_argument("--count", type=_count, default=16, metavar="N", help="number of augmented samples (default 16)")
    p.add_argument("--seed", type=_seed, default=0, metavar="S", help="seed of the run (default 0)")
    p.add_argument("--out", type=Path, default=Path("demo-output"), metavar="DIR", help="output folder (default ./demo-output)")
    p.add_argument("--workers", type=_count, metavar="N", help="run in N local worker processes (with --dask local: N Dask workers)")
    p.add_argument("--dask", metavar="ADDRESS", help="run on a Dask cluster: 'local' starts a LocalCluster, "
                                                     "otherwise the address of a scheduler")
    p.add_argument("--connect-timeout", type=_seconds, default=10.0, metavar="SECONDS",
                   help="how long to try to reach a Dask scheduler (default 10)")
    return p


def _check_out(out: Path) -> None:
    if out.exists() and not out.is_dir():
        raise InputError(f"--out {out} exists and is not a folder")
    existing = out
    while not existing.exists():
        existing = existing.parent
    if not existing.is_dir() or not os.access(existing, os.W_OK | os.X_OK):
        raise InputError(f"cannot write into {existing} (for --out {out})")


class _Progress:
    def __init__(self, count: int):
        self.bar = None
        if count >= PROGRESS_FROM:
            from tqdm import tqdm

            self.bar = tqdm(total=count, unit="sample", file=sys.stderr, leave=False)

    def advance(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _engine_name(args: argparse.Namespace, workers: int) -> str:
    if args.dask == "local":
        return f"Dask LocalCluster, {workers} worker processes"
    if args.dask:
        return f"Dask scheduler {args.dask}"
    return f"{args.workers} local worker processes" if args.workers else "in-process"


def _publish(staging: Path, out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    for name in OUTPUTS:
        partial = out / f".{name}.partial"
        shutil.copyfile(staging / name, partial)
        os.replace(partial, out / name)


def run(args: argparse.Namespace) -> Path:
    if args.dask and args.dask != "local" and args.workers:
        raise InputError("--workers sets the number of local processes; a running Dask cluster has its own")
    out = args.out
    _check_out(out)
    scene = load_scene(args.image, args.boxes)
    render_below = min(args.count, GRID_SAMPLES)
    workers = args.workers or 2

    client = cluster = None
    if args.dask:
        client, cluster = connect(args.dask, workers, args.connect_timeout)
    staging = Path(tempfile.mkdtemp(prefix="vornhaven-demo-"))
    try:
        started = time.perf_counter()
        progress = _Progress(args.count)
        try:
            if client is not None:
                results = run_on_dask(client, scene, args.seed, args.count, render_below, progress.advance)
            elif args.workers:
                results = run_with_processes(scene, args.seed, args.count, render_below, args.workers, progress.advance)
            else:
                results = run_in_process(scene, args.seed, args.count, render_below, progress.advance)
        finally:
            progress.close()
        wall = time.perf_counter() - started
        timings = {stage: sum(r.timings.get(stage, 0.0) for r in results) for stage in pipeline.STAGES}
        records = [r.record for r in results]

        start = time.perf_counter()
        matrix = render.overlap_matrix(records, len(scene.boxes))
        render.write_png(staging / "input.png", render.draw_input(scene))
        render.write_png(staging / "grid.png", render.grid([r.cell for r in results[:render_below]]))
        render.plot_overlap(staging / "overlap.png", matrix, args.count)
        summary = {
            "source": scene.source,
            "image": {"width": scene.image.shape[1], "height": scene.image.shape[0],
                      "fields": {name: str(scene.image.dtype[name]) for name in scene.image.dtype.names}},
            "boxes": scene.boxes.tolist(),
            "seed": args.seed,
            "count": args.count,
            "engine": _engine_name(args, workers),
            "stages": pipeline.STAGES,
            "seconds": {"wall": wall, **timings},
            "overlap_share": matrix.tolist(),
            "samples": records,
        }
        (staging / "summary.json").write_text(json.dumps(summary, indent=1) + "\n", encoding="utf-8")
        writing = time.perf_counter() - start
        _publish(staging, out)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()

    print(f"vornhaven demo: {args.count} samples of {scene.source} "
          f"({scene.image.shape[1]} x {scene.image.shape[0]}, {len(scene.boxes)} boxes), seed {args.seed}, "
          f"{_engine_name(args, workers)}")
    print(f"  {'stage':<24}{'total s':>9}{'ms/sample':>11}")
    for stage in pipeline.STAGES:
        per_sample = 1000 * timings[stage] / (render_below if stage == "render" else args.count)
        print(f"  {stage:<24}{timings[stage]:>9.3f}{per_sample:>11.2f}")
    print(f"  {'pictures and summary':<24}{writing:>9.3f}")
    print(f"  {'samples, wall time':<24}{wall:>9.3f}" + ("  (stages: summed over the workers)" if args.workers or args.dask else ""))
    print(f"wrote {', '.join(OUTPUTS)} to")
    return out


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)  # exits with status 2 on a bad option
    try:
        out = run(args)
    except InputError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    print(out.resolve())
    return 0
