"""CropsData.find_crop: which crops of a mesh contain a point.

The native collection against the same steps written in plain Python (a class with the
collection's indices and lookup), both built on one mesh of crops as MeshCrop lays it out:
n x n cells, each 0.2 of the image wide and high (neighbours overlap), or 1/n wide and high (a
tiling, no overlap). One run looks up 64 box centres spread over the image, a few of them on the
far border. The size is n; the target is for the 16 x 16 mesh.

Where the time goes: a native method call and the new set it returns already cost about a sixth
of the Python steps' time (measured on CPython 3.12: a call about 75 ns, `set()` about 95 ns,
the Python steps 0.9 to 1.3 us per point), so the ratio stays well below 10x whatever the lookup
does. The native side remembers the intersection of two index sets by their contents and checks
both sets byte for byte on every call (they may have changed in between), so its time also grows
with the sets.
"""

from __future__ import annotations

import copy
import random

import numpy as np

from harness import Workload

POINTS = 64
TARGET = {16: 10.0}


class PyCropsData:
    """The collection's index and lookup steps in plain Python."""

    def __init__(self, data):
        self.data = data
        self.og_data = copy.deepcopy(data)
        self._needs_norm = any(c.x2 > 1 or c.y2 > 1 for c in data)
        self.__post_init__()

    def __post_init__(self):
        x_values, y_values = [], []
        for crop in self.data:
            x_values += [float(crop.x1), float(crop.x2)]
            y_values += [float(crop.y1), float(crop.y2)]
        self.x_values, self.y_values = sorted(set(x_values)), sorted(set(y_values))
        self.x_index = {v: set() for v in self.x_values}
        self.y_index = {v: set() for v in self.y_values}
        for crop in self.data:
            for v in self.x_values:
                if v >= float(crop.x2):
                    break
                if float(crop.x1) <= v < float(crop.x2):
                    self.x_index[v].add(crop)
            for v in self.y_values:
                if v >= float(crop.y2):
                    break
                if float(crop.y1) <= v < float(crop.y2):
                    self.y_index[v].add(crop)

    def find_crop(self, x, y):
        if x >= 1:
            x = np.nextafter(1.0, 0.0)
        if y >= 1:
            y = np.nextafter(1.0, 0.0)
        crops_x = self.x_index.get(self._find(self.x_values, x), set())
        crops_y = self.y_index.get(self._find(self.y_values, y), set())
        return crops_x & crops_y

    @staticmethod
    def _find(values, lookup):
        previous = None
        for value in values:
            if value > lookup:
                return previous
            previous = value
        return previous


def _mesh(n: int, size: float | None):
    from vornhaven.preprocessing.augmentations.transform.fracwindow import CropData

    side = 1.0 / n if size is None else size

    def start(i):
        return i * side if size is None else (0.0 if i == 0 else i * (1 - size) / (n - 1))

    def end(i):  # the last cell ends at the border, 1.0, also where rounding would put it beyond
        return min(start(i) + side, 1.0)

    return [CropData(ix * n + iy, n * n, start(ix), end(ix), start(iy), end(iy), n, n)
            for ix in range(n) for iy in range(n)]


def _setup(size: float | None):
    def setup(n: int):
        from vornhaven.preprocessing.augmentations.transform.fracwindow import CropsData

        rng = random.Random(n)
        points = [(rng.random(), rng.random()) for _ in range(POINTS - 4)] + [(1.0, 0.5), (0.5, 1.0), (1.0, 1.0),
                                                                              (0.0, 0.0)]
        # Both collections index the same crop objects (a lookup changes nothing), so their
        # answers compare as sets.
        crops = _mesh(n, size)
        native, python = CropsData(crops), PyCropsData(list(crops))
        xs, ys = [x for x, _ in points], [y for _, y in points]

        def run(records):
            find = records.find_crop
            return lambda: list(map(find, xs, ys))

        return run(native), run(python)

    return setup


WORKLOADS = [
    Workload("CropsData.find_crop[overlapping 0.2 cells] vs Python steps", (4, 16), _setup(0.2), TARGET),
    Workload("CropsData.find_crop[tiling] vs Python steps", (4, 16), _setup(None)),
]
