"""Augment a data set in shards on a Dask cluster.

    python examples/dask_sharded.py                          # a LocalCluster of 2 worker processes
    python examples/dask_sharded.py --address tcp://host:8786

Each task augments one shard (a list of item indices). The worker builds the pipeline once and
keeps it; every item gets its own seed from the run's seed and the item's index, and draws from
generators seeded with it (``seeded_generators``: a Dask worker's own threads draw from
``random`` too, so seeding the shared generator would not do). The outputs are the same on any
cluster, with any number of workers and any shard size, and the same as in one process.
"""

from __future__ import annotations

import argparse
import functools
import threading

import albumentations as A
import cv2
import numpy as np

from vornhaven.demo.seeding import sample_seed, seeded_generators
from vornhaven.preprocessing.augmentations.transform.fracborder import FracBorder
from vornhaven.preprocessing.augmentations.transform.fracmiddle import FracMiddle
from vornhaven.preprocessing.augmentations.transform.pickweighted import PickWeighted


@functools.cache
def pipeline() -> A.Compose:
    """Built once per worker process (transforms keep per-input state: one per process)."""
    return A.Compose(
        [PickWeighted([FracBorder(aspect_ratio=1.0, border_mode=cv2.BORDER_CONSTANT, value=0, p=0.5),
                       FracMiddle(aspect_ratio=1.0, p=0.5)], p=1.0),
         A.HorizontalFlip(p=0.5),
         A.Rotate(limit=20, border_mode=cv2.BORDER_CONSTANT, value=0, p=0.8)],
        keypoint_params=A.KeypointParams("xy", remove_invisible=False))


def load_item(index: int) -> tuple[np.ndarray, list[tuple[float, float]]]:
    """Stands for reading item ``index`` of a data set: an image and its keypoints."""
    rng = np.random.default_rng(index)
    height, width = rng.integers(60, 120, 2)
    image = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    keypoints = [(float(x), float(y)) for x, y in rng.uniform(0, [width - 1, height - 1], (4, 2))]
    return image, keypoints


_ONE_ITEM_AT_A_TIME = threading.Lock()  # one pipeline per process: no two threads interleave on it


def augment_shard(indices: list[int], seed: int) -> list[tuple[int, np.ndarray, list]]:
    """One task: the items of a shard, each seeded from (seed, index)."""
    out = []
    for index in indices:
        image, keypoints = load_item(index)
        with _ONE_ITEM_AT_A_TIME, seeded_generators(sample_seed(seed, index)):
            result = pipeline()(image=image, keypoints=keypoints)
        out.append((index, result["image"], result["keypoints"]))
    return out


def shards(size: int, shard_size: int) -> list[list[int]]:
    return [list(range(start, min(size, start + shard_size))) for start in range(0, size, shard_size)]


def augment_dataset(client, size: int, seed: int, shard_size: int = 8) -> list[tuple[int, np.ndarray, list]]:
    """All items, in index order, computed in shards on the cluster behind ``client``."""
    futures = client.map(augment_shard, shards(size, shard_size), seed=seed, pure=False)
    return [item for shard in client.gather(futures) for item in shard]


def main() -> None:
    from distributed import Client, LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", help="scheduler address (default: a LocalCluster of 2 processes)")
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    if args.address:
        client = Client(args.address)
    else:
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None))
    with client:
        client.upload_file(__file__)  # every worker can import this module: tasks refer to it by name
        items = augment_dataset(client, args.size, args.seed)
    print(f"{len(items)} items augmented; the first: image {items[0][1].shape}, {len(items[0][2])} keypoints")


if __name__ == "__main__":
    import dask_sharded  # this file as a module, so that its functions travel by name

    dask_sharded.main()
