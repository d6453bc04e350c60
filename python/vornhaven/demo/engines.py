"""Where the samples run: in this process, in local worker processes, or on a Dask cluster.

Every engine cuts the sample indices into shards and runs ``process_shard`` on them; since each
sample seeds itself from the run's seed and its index, the results do not depend on the engine,
the number of workers or how the shards were spread over them.
"""

from __future__ import annotations

import logging
import multiprocessing
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor, as_completed

from .pipeline import SampleResult, process_sample, process_shard
from .scene import InputError, Scene


def shards(count: int, size: int) -> list[list[int]]:
    return [list(range(start, min(count, start + size))) for start in range(0, count, size)]


def shard_size(count: int, workers: int) -> int:
    # about four shards per worker keeps every worker busy and the progress bar moving
    return max(1, min(16, -(-count // (4 * max(1, workers)))))


def run_in_process(scene: Scene, seed: int, count: int, render_below: int,
                   advance: Callable[[int], None]) -> list[SampleResult]:
    results = []
    for index in range(count):
        results.append(process_sample(scene, seed, index, index < render_below))
        advance(1)
    return results


_WORKER_SCENE: Scene | None = None


def _init_worker(scene: Scene) -> None:
    global _WORKER_SCENE
    _WORKER_SCENE = scene


def _run_shard(seed: int, indices: list[int], render_below: int) -> list[SampleResult]:
    assert _WORKER_SCENE is not None
    return process_shard(_WORKER_SCENE, seed, indices, render_below)


def run_with_processes(scene: Scene, seed: int, count: int, render_below: int, workers: int,
                       advance: Callable[[int], None]) -> list[SampleResult]:
    """Local worker processes, started with "spawn" (no state inherited from this process); the
    scene is sent to each worker once."""
    results: list[SampleResult] = []
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(workers, mp_context=context, initializer=_init_worker, initargs=(scene,)) as pool:
        futures = [pool.submit(_run_shard, seed, shard, render_below)
                   for shard in shards(count, shard_size(count, workers))]
        for future in as_completed(futures):
            done = future.result()
            results.extend(done)
            advance(len(done))
    return sorted(results, key=lambda result: result.record["index"])


def connect(address: str, workers: int, timeout: float):
    """A Dask client: ``local`` starts a LocalCluster of ``workers`` single-threaded processes,
    anything else is the address of a running scheduler. Returns (client, cluster or None)."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise InputError("--dask needs Dask distributed: pip install 'vornhaven[distributed]'") from None
    if address == "local":
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR)
        return Client(cluster), cluster
    try:
        return Client(address, timeout=timeout), None
    except (OSError, TimeoutError, ValueError, TypeError) as error:
        raise InputError(f"cannot reach the Dask scheduler at {address}: {error}") from None


def run_on_dask(client, scene: Scene, seed: int, count: int, render_below: int,
                advance: Callable[[int], None]) -> list[SampleResult]:
    """Shards as Dask tasks; the scene is scattered to every worker once."""
    from distributed import as_completed as completed

    workers = max(1, len(client.scheduler_info().get("workers", {})))
    parts = shards(count, shard_size(count, workers))
    scene_on_workers = client.scatter(scene, broadcast=True)
    futures = client.map(process_shard, [scene_on_workers] * len(parts), [seed] * len(parts), parts,
                         [render_below] * len(parts), pure=False)
    results: list[SampleResult] = []
    for future in completed(futures):
        done = future.result()
        results.extend(done)
        advance(len(done))
    return sorted(results, key=lambda result: result.record["index"])
