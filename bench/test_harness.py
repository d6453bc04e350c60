"""Tests of the benchmark runner and of the NumPy versions the rotation workloads compare against
(``tests/numpy_steps.py``).

Run with ``python -m pytest bench`` in an environment with NumPy and pytest (matplotlib is only
needed for the end-to-end run). They do not need the native module.
"""

from __future__ import annotations

import functools
import json
import sys
import textwrap
import time
import types
from pathlib import Path

import numpy as np
import pytest

BENCH_DIR = Path(__file__).resolve().parent
sys.path[:0] = [str(BENCH_DIR), str(BENCH_DIR.parent / "tests")]  # as run.py sets them

import bench_shapekit_rotation as rot  # noqa: E402
import numpy_steps as steps  # noqa: E402
import run  # noqa: E402
from harness import Workload, assert_same_result, autorange, measure  # noqa: E402


class TestResultCheck:
    def test_accepts_rounding_and_judges_near_zero_values_on_the_result_scale(self):
        ref = np.array([[500.0, 1e-13], [-250.0, 3.0]])
        assert_same_result(ref * (1 + 1e-15) + 1e-12, ref, 1e-13)
        assert_same_result((ref, [ref]), (ref, [ref]), 1e-13)

    @pytest.mark.parametrize(
        "native",
        [
            np.array([1.0, 2.0], dtype=np.float32),  # dtype changed
            np.array([[1.0, 2.0]]),  # shape changed
            np.array([1.0, 2.0 + 1e-9]),  # value off
            np.array([1.0, np.nan]),  # NaN where the reference has a number
            [np.array([1.0, 2.0])],  # container instead of the array
        ],
    )
    def test_rejects_wrong_results(self, native):
        with pytest.raises(AssertionError):
            assert_same_result(native, np.array([1.0, 2.0]), 1e-13)

    def test_tuple_items_and_length_are_checked(self):
        a = np.zeros(2)
        with pytest.raises(AssertionError):
            assert_same_result((a,), (a, a), 1e-13)
        with pytest.raises(AssertionError):
            assert_same_result((a, a + 1), (a, a), 1e-13)

    def test_workload_rejects_targets_for_sizes_it_does_not_run(self):
        with pytest.raises(ValueError, match="targets for sizes"):
            Workload("w", (1, 10), lambda n: (None, None), {100: 2.0})


class TestTiming:
    def test_autorange_reaches_the_sample_time(self):
        def one_ms():
            end = time.perf_counter() + 1e-3
            while time.perf_counter() < end:
                pass

        loops = autorange(one_ms, 0.005)
        assert 5 <= loops <= 60

    def test_measure_samples_both_sides_alternately(self):
        calls = []
        native, numpy = (lambda: calls.append("n")), (lambda: calls.append("p"))
        t_native, t_numpy = measure(native, numpy, repeats=4, min_sample_time=0.0)
        assert len(t_native.per_call) == len(t_numpy.per_call) == 4
        # After autoranging (one call each), the rounds go n p, p n, n p, p n.
        assert "".join(calls[2:]) == "nppnnppn"


def _workload(native, numpy, targets=None, sizes=(3,)):
    return Workload("w", sizes, lambda n: (native, numpy), targets or {})


class TestRunCase:
    def test_wrong_result_is_reported_and_never_timed(self):
        calls = {"native": 0}

        def native():
            calls["native"] += 1
            return np.ones(3)

        r = run.run_case("m", _workload(native, lambda: np.zeros(3), {3: 1.0}), 3, 3, 0.0)
        assert r.status == "ERROR" and r.error.startswith("result check")
        assert calls["native"] == 1 and r.ratio is None

    def test_exceptions_are_reported_with_the_side_that_raised(self):
        def boom():
            raise RuntimeError("boom")

        r = run.run_case("m", _workload(boom, lambda: 1.0), 3, 3, 0.0)
        assert r.error == "native side: RuntimeError: boom"

        def setup(size):
            raise ImportError("no module named shapekit")

        r = run.run_case("m", Workload("w", (1,), setup), 1, 3, 0.0)
        assert r.error.startswith("setup: ImportError")

    def test_check_sees_the_inputs_before_any_timed_run(self):
        # In-place workloads: the check must compare the first run of each side, not a state
        # that depends on how often each side was called before.
        a, b = np.arange(3.0), np.arange(3.0)

        def inc(x):
            x += 1
            return x

        r = run.run_case("m", _workload(lambda: inc(a), lambda: inc(b)), 3, 2, 0.0)
        assert r.error is None and r.native_best > 0 and r.numpy_best > 0

    def test_inputs_bound_with_partial_must_agree_after_the_run(self):
        # A native side that returns the right values but does not write them into its input.
        def in_place(x):
            x *= 2
            return x

        a, b = np.arange(3.0), np.arange(3.0)
        w = _workload(functools.partial(lambda x: x * 2, a), functools.partial(in_place, b))
        r = run.run_case("m", w, 3, 2, 0.0)
        assert r.error.startswith("result check") and "inputs after one run" in r.error

    @pytest.mark.parametrize(
        "native_s, numpy_s, target, status",
        [(1.0, 30.0, 20.0, "ok"), (1.0, 19.9, 20.0, "FAIL"), (1.0, 5.0, None, "-")],
    )
    def test_status_against_target(self, native_s, numpy_s, target, status):
        r = run.CaseResult("m", "w", 1, target, native_best=native_s, numpy_best=numpy_s)
        assert r.status == status
        assert r.ratio == pytest.approx(numpy_s / native_s)


FAKE_WORKLOADS = '''
import numpy as np
from harness import Workload

def fast(n):
    return (lambda: np.zeros(n)), (lambda: np.zeros(n) + 0.0 * np.ones(n))

def wrong(n):
    return (lambda: np.ones(n)), (lambda: np.zeros(n))

WORKLOADS = [
    Workload("zeros[fast]", (1, 10), fast, {1: 1.0, 10: 1e9}),
    Workload("zeros[wrong]", (2,), wrong),
]
'''


class TestMain:
    @pytest.fixture
    def bench_dir(self, tmp_path):
        (tmp_path / "bench_fake.py").write_text(textwrap.dedent(FAKE_WORKLOADS))
        (tmp_path / "bench_broken.py").write_text("raise RuntimeError('broken module')\n")
        (tmp_path / "helper.py").write_text("raise AssertionError('not a workload module')\n")
        return tmp_path

    def test_report_files_summary_and_exit_status(self, bench_dir, capsys):
        pytest.importorskip("matplotlib")
        out = bench_dir / "out"
        status = run.main(["--quick", "--out", str(out)], bench_dir=bench_dir)
        text = capsys.readouterr()
        assert status == 1  # one case failed its check, one module did not load
        assert "broken module" in text.err
        assert "Missed targets (1 of 2): zeros[fast] size 10" in text.out

        report = json.loads((out / "results.json").read_text())
        rows = {(r["workload"], r["size"]): r for r in report["results"]}
        assert set(rows) == {("zeros[fast]", 1), ("zeros[fast]", 10), ("zeros[wrong]", 2)}
        assert rows["zeros[fast]", 10]["status"] == "FAIL"
        assert rows["zeros[wrong]", 2]["status"] == "ERROR" and rows["zeros[wrong]", 2]["native_s"] is None
        assert report["missed_targets"] == [
            {"workload": "zeros[fast]", "size": 10, "ratio": rows["zeros[fast]", 10]["ratio"], "target": 1e9}
        ]
        assert (out / "ratios.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        table = (out / "targets.md").read_text().splitlines()
        assert [row.split(" | ")[1:3] for row in table if "zeros[" in row] == [["zeros[fast]", "1"], ["zeros[fast]", "10"]]
        assert table[-1].endswith("| >=1e+09x | FAIL |")

    def test_missed_targets_alone_do_not_fail_the_run(self, bench_dir, capsys):
        (bench_dir / "bench_broken.py").unlink()
        status = run.main(["--quick", "--filter", "FAST", "--out", str(bench_dir / "out")], bench_dir=bench_dir)
        assert status == 0
        assert "zeros[wrong]" not in capsys.readouterr().out

    def test_duplicate_workload_names_are_load_errors(self, bench_dir):
        (bench_dir / "bench_fake2.py").write_text(textwrap.dedent(FAKE_WORKLOADS))
        found, errors = run.discover(bench_dir)
        assert len(found) == 2
        assert any("broken module" in e for e in errors)
        assert sum("also used in bench_fake" in e for e in errors) == 2


class TestRotationReferences:
    """The NumPy versions define what the native side is checked against."""

    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_rot_points_rotates_each_set_in_place(self, dtype):
        points, angles = rot._point_sets(50, dtype)
        x, y = points[..., 0].astype(np.float64), points[..., 1].astype(np.float64)
        c, s = np.cos(angles.astype(np.float64))[:, None], np.sin(angles.astype(np.float64))[:, None]
        result = steps.rot_points_multi_rads(points, angles)
        assert result is points and result.dtype == dtype
        np.testing.assert_allclose(result, np.stack([x * c - y * s, x * s + y * c], -1), rtol=1e-5, atol=1e-2)

    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_rot_mats_is_r_m_r_transposed_in_place(self, dtype):
        matrices, angles = rot._covariances(50, dtype)
        c, s = np.cos(angles.astype(np.float64)), np.sin(angles.astype(np.float64))
        r = np.stack([np.stack([c, -s], -1), np.stack([s, c], -1)], -2)
        expected = r @ matrices.astype(np.float64) @ r.transpose(0, 2, 1)
        result = steps.rot_mats_multi_rads(matrices, angles)
        assert result is matrices and result.dtype == dtype
        np.testing.assert_allclose(result, expected, rtol=1e-5, atol=1e-3)

    def test_rotation_matrix(self):
        np.testing.assert_allclose(steps.get_rotation_matrix_2d(angle_in_deg=90), [[0, -1], [1, 0]], atol=1e-15)
        assert np.array_equal(steps.get_rotation_matrix_2d(angle_in_rad=0.0), np.eye(2))
        with pytest.raises(ValueError, match=r"degrees \(None\) in radians \(None\)"):
            steps.get_rotation_matrix_2d()
        with pytest.raises(ValueError, match=r"degrees \(1.0\) in radians \(1.0\)"):
            steps.get_rotation_matrix_2d(angle_in_deg=1.0, angle_in_rad=1.0)

    def test_workloads_accept_a_sound_implementation_and_reject_a_wrong_one(self, monkeypatch):
        # A native side that computes in double precision and rounds once must pass the check at
        # every size and dtype; one that rotates the wrong way must not.
        def rot_points(points, rads, sign=1.0):
            p, t = points.astype(np.float64), rads.astype(np.float64)
            c, s = np.cos(t)[:, None], sign * np.sin(t)[:, None]
            points[...] = np.stack([p[..., 0] * c - p[..., 1] * s, p[..., 0] * s + p[..., 1] * c], -1)
            return points

        def rot_mats(matrices, rads):
            t = rads.astype(np.float64)
            c, s = np.cos(t), np.sin(t)
            r = np.stack([np.stack([c, -s], -1), np.stack([s, c], -1)], -2)
            matrices[...] = r @ matrices.astype(np.float64) @ r.transpose(0, 2, 1)
            return matrices

        def rot_matrix(*, angle_in_deg=None, angle_in_rad=None):
            return steps.get_rotation_matrix_2d(angle_in_deg=angle_in_deg, angle_in_rad=angle_in_rad)

        fake = types.SimpleNamespace(
            rot_points_multi_rads=rot_points, rot_mats_multi_rads=rot_mats, get_rotation_matrix_2d=rot_matrix
        )
        monkeypatch.setattr(rot, "_shapekit", lambda: fake)
        for wl in rot.WORKLOADS:
            for size in wl.sizes:
                r = run.run_case("m", wl, size, 1, 0.0)
                assert r.error is None, f"{wl.name} size {size}: {r.error}"

        fake.rot_points_multi_rads = lambda p, t: rot_points(p, t, sign=-1.0)
        wl = rot.WORKLOADS[0]
        native, numpy = wl.setup(10)
        with pytest.raises(AssertionError):
            assert_same_result(native(), numpy(), wl.rtol)
