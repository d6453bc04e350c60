"""The demo end to end: its outputs, the same results on every engine and for a user's copy of
the scene, and bad input (message, exit status 2, nothing written)."""

import json
import socket
import tempfile

import cv2
import numpy as np
import pytest

from vornhaven.demo import cli, pipeline, render
from vornhaven.demo.scene import default_scene
from vornhaven.preprocessing import shapekit

ARGS = ["--count", "6", "--seed", "3"]


def run(out, *args):
    return cli.main([*args, "--out", str(out)])


def engine_free(out):
    """What must not depend on where the samples ran."""
    summary = json.loads((out / "summary.json").read_text())
    return (summary["samples"], summary["overlap_share"], (out / "grid.png").read_bytes(),
            (out / "overlap.png").read_bytes())


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    out = tmp_path_factory.mktemp("reference") / "out"
    assert run(out, *ARGS) == 0
    return out


@pytest.fixture
def private_tmp(tmp_path, monkeypatch):
    """The temporary folder the demo stages its outputs in, to see that nothing is left there."""
    folder = tmp_path / "tmp"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


def test_outputs(tmp_path, capsys, private_tmp):
    out = tmp_path / "nested" / "out"
    assert run(out, "--count", "3") == 0
    assert capsys.readouterr().out.splitlines()[-1] == str(out.resolve())
    assert sorted(p.name for p in out.iterdir()) == ["grid.png", "input.png", "overlap.png", "summary.json"]
    assert not list(private_tmp.iterdir())
    grid = cv2.imdecode(np.fromfile(out / "grid.png", np.uint8), cv2.IMREAD_COLOR)
    assert grid.shape == (pipeline.CELL + 8, 3 * pipeline.CELL + 16, 3)
    summary = json.loads((out / "summary.json").read_text())
    assert list(summary["stages"]) == list(pipeline.STAGES)
    assert [s["index"] for s in summary["samples"]] == [0, 1, 2]


def test_progress_bar_for_many_samples(tmp_path, capsys):
    assert run(tmp_path / "out", "--count", str(cli.PROGRESS_FROM)) == 0
    assert f"0/{cli.PROGRESS_FROM} [" in capsys.readouterr().err  # tqdm's bar, on standard error


def test_samples_are_consistent(reference):
    """Each fitted box keeps about its object's area; a clipped box lies within its fitted box, and
    is that box when the fitted box lies in the image; overlaps name clipped boxes."""
    summary = json.loads((reference / "summary.json").read_text())
    for sample in summary["samples"]:
        size = np.array(sample["size"]) - 1
        fitted = {box[0]: np.array(box[1:]) for box in sample["fitted"]}
        assert sorted(fitted) == list(range(len(summary["boxes"])))
        # scaled by 0.85..1.15 per axis and sheared: a box regrouped from another box's keypoints
        # would be far off its own area
        for box_id, box in fitted.items():
            original = summary["boxes"][box_id]
            assert 0.6 < box[2] * box[3] / (original[2] * original[3]) < 2.0
        for box_id, *clipped in sample["clipped"]:
            cx, cy, w, h, r = fitted[box_id]
            d = shapekit.vexl_to_box_corners(np.array([clipped]))[0] - (cx, cy)
            # offsets in the fitted box's own axes
            along = np.column_stack([np.cos(r) * d[:, 0] - np.sin(r) * d[:, 1], np.sin(r) * d[:, 0] + np.cos(r) * d[:, 1]])
            assert (np.abs(along) <= np.array([w, h]) / 2 + 1e-6).all()
            inside = shapekit.vexl_to_box_corners(fitted[box_id][None])[0]
            if ((inside >= 0) & (inside <= size)).all():
                np.testing.assert_allclose(clipped, fitted[box_id], rtol=1e-9, atol=1e-9)
        kept = {box[0] for box in sample["clipped"]}
        assert {i for pair in sample["overlaps"] for i in pair} <= kept


@pytest.mark.parametrize("engine", [[], ["--workers", "2"], ["--dask", "local", "--workers", "2"]],
                         ids=["again", "workers", "dask"])
def test_same_outputs_on_every_engine(reference, tmp_path, engine):
    if "--dask" in engine:
        pytest.importorskip("distributed")
    assert run(tmp_path / "out", *ARGS, *engine) == 0
    assert engine_free(tmp_path / "out") == engine_free(reference)


def test_seed_decides(reference, tmp_path):
    assert run(tmp_path / "out", "--count", "6", "--seed", "4") == 0
    ours, theirs = engine_free(tmp_path / "out")[0], engine_free(reference)[0]
    assert [s["image_sha256"] for s in ours] != [s["image_sha256"] for s in theirs]


def test_users_copy_of_the_scene(reference, tmp_path):
    """The built-in scene saved as .npy and JSON gives the built-in run's samples; as a PNG
    (colours only) it runs on three channels."""
    scene = default_scene()
    np.save(tmp_path / "scene.npy", scene.image)
    (tmp_path / "boxes.json").write_text(json.dumps(scene.boxes.tolist()))
    assert run(tmp_path / "npy", *ARGS, "--image", str(tmp_path / "scene.npy"), "--boxes", str(tmp_path / "boxes.json")) == 0
    assert engine_free(tmp_path / "npy")[:2] == engine_free(reference)[:2]

    rgb = np.dstack([scene.image[name] for name in ("blue", "green", "red")])
    (tmp_path / "scene.png").write_bytes(cv2.imencode(".png", rgb)[1].tobytes())
    assert run(tmp_path / "png", "--count", "2", "--image", str(tmp_path / "scene.png"), "--boxes", str(tmp_path / "boxes.json")) == 0
    summary = json.loads((tmp_path / "png" / "summary.json").read_text())
    assert summary["image"]["fields"] == {"red": "uint8", "green": "uint8", "blue": "uint8"}


def _closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


BAD = {
    "missing image": (["--image", "{tmp}/nope.png"], "image file not found"),
    "unreadable image": (["--image", "{tmp}/garbage.png"], "cannot read"),
    "npy without fields": (["--image", "{tmp}/plain.npy"], "structured array"),
    "malformed JSON": (["--boxes", "{tmp}/bad.json"], "not valid JSON"),
    "four numbers": (["--boxes", "{tmp}/four.json"], "box 1 is [1, 2, 3, 4]"),
    "not a list": (["--boxes", "{tmp}/object.json"], "JSON list of VEXL boxes"),
    "zero width": (["--boxes", "{tmp}/flat.json"], "positive width and height"),
    "out is a file": (["--out", "{tmp}/garbage.png"], "is not a folder"),
    "unreachable scheduler": (["--dask", "tcp://127.0.0.1:{port}", "--connect-timeout", "1"], "cannot reach the Dask scheduler"),
    "workers on a cluster": (["--dask", "tcp://127.0.0.1:{port}", "--workers", "2"], "--workers"),
    "zero count": (["--count", "0"], "at least 1"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_input(case, tmp_path, capsys, private_tmp):
    if case == "unreachable scheduler":
        pytest.importorskip("distributed")
    args, message = BAD[case]
    (tmp_path / "garbage.png").write_bytes(b"not a picture")
    np.save(tmp_path / "plain.npy", np.zeros((4, 4), np.uint8))
    (tmp_path / "bad.json").write_text("[[1, 2, 3, 4, 5],")
    (tmp_path / "four.json").write_text("[[1, 2, 3, 4, 5], [1, 2, 3, 4]]")
    (tmp_path / "object.json").write_text('{"boxes": []}')
    (tmp_path / "flat.json").write_text("[[1, 2, 0, 4, 5]]")
    argv = [a.format(tmp=tmp_path, port=_closed_port()) for a in args]
    out = tmp_path / "out"
    try:
        code = cli.main(["--out", str(out), *argv])
    except SystemExit as exit:  # argparse's own errors
        code = exit.code
    assert code == 2
    assert message in capsys.readouterr().err
    assert not out.exists() and not list(private_tmp.iterdir())


def test_failure_leaves_earlier_outputs(tmp_path, monkeypatch, private_tmp):
    out = tmp_path / "out"
    out.mkdir()
    (out / "summary.json").write_text("earlier")

    def broken(*_):
        raise RuntimeError("disk full")

    monkeypatch.setattr(render, "plot_overlap", broken)
    with pytest.raises(RuntimeError):
        run(out, "--count", "2")
    assert [p.name for p in out.iterdir()] == ["summary.json"] and (out / "summary.json").read_text() == "earlier"
    assert not list(private_tmp.iterdir())
