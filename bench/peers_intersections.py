"""intersections against its peers: shapely 2's STRtree.query(predicate="intersects") and
cv2.rotatedRectangleIntersection pair by pair (the latter on a sample of pairs, scaled up).

Run: python bench/peers_intersections.py [sizes...]   (ratio = peer time / native time)
"""

from __future__ import annotations

import sys
import time

import cv2
import numpy as np
import shapely

from vornhaven.preprocessing import shapekit as sk


def rectangles(size: int, seed: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng([0x0E1A, size, seed])
    boxes = np.column_stack(
        [rng.uniform(0, 2000, (size, 2)), rng.uniform(4, 300, (size, 2)), rng.uniform(-np.pi, np.pi, size)]
    ).astype(np.float32)
    corners, distances = sk.inference_boxes_to_corners(boxes)
    return boxes, corners, distances


def best(function, repeats: int = 3) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def main(sizes: list[int]) -> None:
    for n in sizes:
        boxes_a, ca, da = rectangles(n, 1)
        boxes_b, cb, db = rectangles(n, 2)
        native = best(lambda: sk.intersections(ca, da, cb, db))
        polygons_a = shapely.polygons(ca[:, [0, 2, 3, 1]].astype(np.float64))
        polygons_b = shapely.polygons(cb[:, [0, 2, 3, 1]].astype(np.float64))

        def strtree() -> np.ndarray:
            return shapely.STRtree(polygons_b).query(polygons_a, predicate="intersects")

        tree = best(strtree)
        pairs = strtree()
        dense = np.zeros((n, n), dtype=bool)
        dense[pairs[0], pairs[1]] = True
        agree = (dense == sk.intersections(ca, da, cb, db)).mean()

        rects_a = [((float(x), float(y)), (float(w), float(h)), float(np.degrees(-r))) for x, y, w, h, r in boxes_a]
        rects_b = [((float(x), float(y)), (float(w), float(h)), float(np.degrees(-r))) for x, y, w, h, r in boxes_b]
        sample = min(n, 200)

        def opencv() -> None:
            for ra in rects_a[:sample]:
                for rb in rects_b:
                    cv2.rotatedRectangleIntersection(ra, rb)

        cv = best(opencv, 1) * n / sample
        print(f"{n} x {n}: native {native * 1e3:.2f} ms; shapely STRtree {tree * 1e3:.2f} ms "
              f"(ratio {tree / native:.1f}x, agreement {agree:.5f}); cv2 pairwise {cv * 1e3:.0f} ms "
              f"(ratio {cv / native:.0f}x)")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [300, 2000])
