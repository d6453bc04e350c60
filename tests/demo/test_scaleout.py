"""Scale-out: on a running cluster of two worker processes (two threads each), the documented Dask
example and the demo give exactly their in-process outputs; the demo's transforms, pickled, give
the same samples in spawned worker processes."""

import importlib
import json
import logging
import multiprocessing
import os
import pickle
import random
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

from vornhaven.demo import cli, pipeline
from vornhaven.demo.scene import default_scene
from vornhaven.demo.seeding import seeded_generators

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "dask_sharded.py"


def load_example(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLE.parent))
    return importlib.import_module(EXAMPLE.stem)


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as running:
        yield running


def test_example_on_a_cluster(cluster, monkeypatch):
    from distributed import Client

    example = load_example(monkeypatch)
    expected = example.augment_shard(list(range(20)), seed=11)
    with Client(cluster) as client:
        client.upload_file(str(EXAMPLE))
        got = example.augment_dataset(client, 20, seed=11, shard_size=3)
        pids = set(client.run(os.getpid).values())
    assert len(pids) == 2 and os.getpid() not in pids
    assert [i for i, *_ in got] == list(range(20))
    for (_, image, keypoints), (_, image_expected, keypoints_expected) in zip(got, expected):
        np.testing.assert_array_equal(image, image_expected)
        assert keypoints == keypoints_expected


def test_demo_on_a_scheduler_address(cluster, tmp_path):
    runs = {}
    for name, engine in (("in-process", []), ("cluster", ["--dask", cluster.scheduler_address])):
        assert cli.main(["--count", "5", "--seed", "2", "--out", str(tmp_path / name), *engine]) == 0
        runs[name] = (json.loads((tmp_path / name / "summary.json").read_text())["samples"],
                      (tmp_path / name / "grid.png").read_bytes())
    assert runs["cluster"] == runs["in-process"]


def test_seeded_generators_ignore_other_threads():
    """Another thread drawing from `random` meanwhile does not change a seeded block's draws."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    stop = threading.Event()
    noise = threading.Thread(target=lambda: [random.random() for _ in iter(stop.is_set, True)])
    with seeded_generators(7):
        alone = [random.random() for _ in range(2000)]
    noise.start()
    try:
        with seeded_generators(7):
            crowded = [random.random() for _ in range(2000)]
    finally:
        stop.set()
        noise.join()
        sys.setswitchinterval(interval)
    reference = random.Random(7)
    assert crowded == alone == [reference.random() for _ in range(2000)]


def _run_pickled(payload):
    scene, pickled, index = payload
    return pipeline.process_sample(scene, 5, index, pipeline=pickle.loads(pickled)).record


def test_pickled_transforms_in_spawned_workers():
    scene = default_scene()
    built = pipeline.build_pipeline(scene.has_nir)
    expected = [pipeline.process_sample(scene, 5, i, pipeline=built).record for i in range(4)]
    pickled = pickle.dumps(pipeline.build_pipeline(scene.has_nir))
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        got = pool.map(_run_pickled, [(scene, pickled, i) for i in range(4)])
    assert got == expected
