"""Regrouping a flat keypoint list after augmentations reordered it: assemble_keypoints_after_shuffle.

Results are compared bit for bit with the plain steps in ``numpy_steps``, failures by
type and message, on the native path and on NumPy's (the module's ``np`` replaced); then the
whole label path of a rotated box runs through a real albumentations pipeline.
"""

import copy
import inspect
import subprocess
import sys
import textwrap
import traceback
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import numpy_steps as ref
from numpy_steps import assert_identical
from vornhaven.preprocessing import shapekit as sk

assemble = sk.assemble_keypoints_after_shuffle
ARRAY = "np.ndarray[Any, Any]"
LISTS = f"list[{ARRAY}]"


def flat_boxes(n, seed=0):
    """The keypoints and both lookups of n random boxes, each as a list."""
    vexl = np.random.default_rng(seed).uniform(1.0, 50.0, (n, 5))
    keypoints = sk.vexl_to_keypoints(vexl)
    instances, positions = sk.keypoints_trivial_lookup(len(keypoints))
    return vexl, list(keypoints), list(instances), list(positions)


def result_or_error(function, *args, **kwargs):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return function(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the failure is the outcome
        return type(exc), str(exc)


# --------------------------------------------------------------------------------------------
# Introspection and argument checks
# --------------------------------------------------------------------------------------------


def test_metadata():
    assert assemble.__name__ == assemble.__qualname__ == "assemble_keypoints_after_shuffle"
    assert assemble.__module__ == "vornhaven.preprocessing.shapekit"
    assert assemble.__annotations__ == {"keypoints": LISTS, "instances": LISTS, "positions": LISTS,
                                        "kwargs": ARRAY, "return": f"tuple[{ARRAY}, ...]"}
    kinds = [p.kind for p in inspect.signature(assemble).parameters.values()]
    assert kinds == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 3 + [inspect.Parameter.VAR_KEYWORD]
    assert assemble.__defaults__ is None and assemble.__kwdefaults__ is None
    head, blank, first, *_ = assemble.__doc__.split("\n")
    assert head == (f"assemble_keypoints_after_shuffle(list keypoints: {LISTS}, list instances: {LISTS}, "
                    f"list positions: {LISTS}, **kwargs: {ARRAY}) -> tuple[{ARRAY}, ...]")
    assert (blank, first) == ("", "Assemble keypoints after a flat representation of parallelogram keypoints "
                                  "have been shuffled.")
    assert assemble.__doc__.endswith("transformed kwargs   (shape: number_of_unique_instances, *-1)]")


class ListSubclass(list):
    pass


@pytest.mark.parametrize("argument", [0, 1, 2])
@pytest.mark.parametrize("bad, type_name", [((), "tuple"), (None, "NoneType"), (ListSubclass(), "ListSubclass"),
                                            (np.array([]), "numpy.ndarray")])
def test_the_three_lists_must_be_exact_lists(argument, bad, type_name):
    args = [[], [], []]
    args[argument] = bad
    name = ["keypoints", "instances", "positions"][argument]
    with pytest.raises(TypeError) as excinfo:
        assemble(*args)
    assert str(excinfo.value) == (f"Argument '{name}' has incorrect type (expected list, "
                                  f"got {type_name})")


def test_tracebacks_name_the_function_and_its_line():
    _, keypoints, instances, positions = flat_boxes(1)
    with pytest.raises(KeyError) as excinfo:
        assemble(keypoints, instances, positions[:1] + ["left", "right"])
    frame = traceback.extract_tb(excinfo.tb)[-1]
    assert (frame.name, frame.lineno) == ("assemble_keypoints_after_shuffle", 471)
    assert excinfo.value.args == ("top",)


# --------------------------------------------------------------------------------------------
# Worked examples
# --------------------------------------------------------------------------------------------


def test_reversed_lists_come_back_grouped_per_box(path):
    for n in range(11):
        _, keypoints, instances, positions = flat_boxes(n, seed=n)
        grouped, to_original_index = assemble(keypoints[::-1], instances[::-1], positions[::-1])
        assert_identical(grouped, np.array(keypoints).reshape((n, 3, 2))[list(range(n))])
        assert_identical(to_original_index, np.arange(n, dtype=np.float64))


def test_boxes_come_in_the_order_of_their_ids_as_strings(path):
    _, keypoints, instances, positions = flat_boxes(12)
    order = [0, 1, 10, 11, 2, 3, 4, 5, 6, 7, 8, 9]
    rows = np.arange(12) * 10
    table = np.arange(48).reshape((12, 4)).astype(np.float32)
    small = (np.arange(24).reshape((12, 2)) * 11).astype(np.uint8)  # bytes, not truth values
    flags = np.arange(12) % 3 == 0
    grouped, to_original_index, *extra = assemble(keypoints, instances, positions, rows=rows, table=table,
                                                  small=small, flags=flags)
    assert_identical(to_original_index, np.array(order, dtype=np.float64))
    assert_identical(grouped, np.array(keypoints).reshape((12, 3, 2))[order])
    # per-box arrays come back in keyword order, converted to float64, trailing axes kept
    assert len(extra) == 4
    for got, given in zip(extra, [rows, table, small, flags]):
        assert_identical(got, given[order].astype(np.float64))


def test_empty_lists(path):
    assert_identical(assemble([], [], []), (np.empty((0, 3, 2)), np.empty(0)))
    assert_identical(assemble([], [], [], extra=np.zeros((0, 4))), (np.empty((0, 3, 2)), np.empty(0), np.empty((0, 4))))


@settings(max_examples=60, deadline=None)
@given(n=st.integers(0, 30), data=st.data())
def test_regrouping_undoes_any_permutation(n, data):
    vexl, keypoints, instances, positions = flat_boxes(n, seed=n)
    permutation = data.draw(st.permutations(range(3 * n)))
    shuffled = [[items[j] for j in permutation] for items in (keypoints, instances, positions)]
    grouped, to_original_index, boxes = assemble(*shuffled, boxes=vexl)
    order = sorted(range(n), key=str)
    assert_identical(to_original_index, np.array(order, dtype=np.float64))
    assert_identical(grouped, np.array(keypoints).reshape((n, 3, 2))[order])
    assert_identical(boxes, vexl[order])


# --------------------------------------------------------------------------------------------
# The same outcome as the plain steps, on any input
# --------------------------------------------------------------------------------------------

IDS = ["0", "1", "2", "10", "01", "00", "٣", "a", "", " 4", "1\x00", "99", "é"]
LABELS = ["center", "top", "right"]


@st.composite
def flat_lists(draw):
    """Keypoints, ids and position labels of a few boxes, then disturbed: labels dropped,
    repeated or replaced, ids of other kinds, keypoints in other forms."""
    ids = draw(st.lists(st.sampled_from(IDS), max_size=5, unique=True))
    entries = [(box, label) for box in ids for label in LABELS]
    entries += draw(st.lists(st.tuples(st.sampled_from(IDS), st.sampled_from(LABELS + ["left"])), max_size=2))
    entries = draw(st.permutations(entries))
    if entries and draw(st.booleans()):
        del entries[draw(st.integers(0, len(entries) - 1))]
    as_id = draw(st.sampled_from([str, np.str_, lambda s: int(s) if s.isdecimal() else s]))
    as_label = draw(st.sampled_from([str, np.str_, lambda s: s if s != "top" else 7]))
    forms = [tuple, list, np.array, lambda p: np.array(p, np.float32), lambda p: np.array(p).astype(np.int64),
             lambda p: (np.float64(p[0]), int(p[1])), lambda p: (*p, 0.0)]
    form = draw(st.sampled_from(forms))
    values = st.floats(-1e3, 1e3, allow_nan=False, width=32) | st.integers(-10**6, 10**6)
    keypoints = [form(draw(st.tuples(values, values))) for _ in entries]
    return keypoints, [as_id(box) for box, _ in entries], [as_label(label) for _, label in entries]


PER_BOX = [np.float64, np.int64, np.float32, np.bool_, np.uint8, np.complex128, "U2", object]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lists=flat_lists(), data=st.data())
def test_outcome_matches_the_plain_steps(lists, data, path):
    kwargs = {}
    for key in data.draw(st.lists(st.sampled_from("abc"), max_size=2, unique=True)):
        rows = data.draw(st.integers(0, 12))
        shape = data.draw(st.sampled_from([(rows,), (rows, 3), (rows, 2, 0), (rows, 1, 2)]))
        dtype = data.draw(st.sampled_from(PER_BOX))
        values = (np.arange(np.prod(shape)).reshape(shape) % 5).astype(dtype)
        kwargs[key] = np.asfortranarray(values) if data.draw(st.booleans()) else values
    inputs = (lists, kwargs)
    before = copy.deepcopy(inputs)
    got = result_or_error(assemble, *lists, **kwargs)
    expected = result_or_error(ref.assemble_keypoints_after_shuffle, *copy.deepcopy(lists), **kwargs)
    if isinstance(expected, tuple) and isinstance(expected[0], type):
        assert got == expected
    else:
        assert_identical(got, expected)
    # nothing was written into the inputs
    for given_list, kept in zip(lists, before[0]):
        assert len(given_list) == len(kept)
        for a, b in zip(given_list, kept):
            assert type(a) is type(b) and np.array_equal(a, b)
    for key, value in kwargs.items():
        assert np.array_equal(value, before[1][key])


@pytest.mark.parametrize("case, error", [
    ("seven keypoints for three ids", AssertionError),
    ("a box without its top keypoint", KeyError),
    ("a non-decimal id", ValueError),
    ("a per-box array that is too short", AssertionError),
    ("an id beyond the per-box rows", IndexError),
    ("per-box strings", ValueError),
    ("three numbers per keypoint", ValueError),
], ids=lambda v: v if isinstance(v, str) else "")
def test_failures(case, error, path):
    _, keypoints, instances, positions = flat_boxes(1)
    kwargs = {}
    if case == "seven keypoints for three ids":
        _, keypoints, instances, positions = flat_boxes(3)
        keypoints, instances, positions = keypoints[:7], instances[:7], positions[:7]
    elif case == "a box without its top keypoint":
        positions = ["center", "center", "right"]
    elif case == "a non-decimal id":
        instances = [np.str_("x")] * 3
    elif case == "a per-box array that is too short":
        kwargs = {"boxes": np.zeros((0, 5))}
    elif case == "an id beyond the per-box rows":
        instances = ["1"] * 3
        kwargs = {"boxes": np.zeros((1, 5))}
    elif case == "per-box strings":
        kwargs = {"names": np.array(["a"])}
    else:
        keypoints = [(*point, 1.0) for point in keypoints]
    got = result_or_error(assemble, keypoints, instances, positions, **kwargs)
    assert got[0] is error
    assert got == result_or_error(ref.assemble_keypoints_after_shuffle, keypoints, instances, positions, **kwargs)


def run_script(script, *flags):
    completed = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(script)],
                               capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout.strip().splitlines()


def test_asserts_are_skipped_under_python_o():
    script = """
        import numpy as np
        from vornhaven.preprocessing import shapekit as sk
        ids, labels = ["0", "0", "0", "1"], ["center", "top", "right", "center"]
        for count, kwargs in [(4, {}), (3, {"boxes": np.arange(9)})]:
            try:
                out = sk.assemble_keypoints_after_shuffle([(1, 2)] * count, ids[:count], labels[:count], **kwargs)
            except Exception as exc:
                print(type(exc).__name__, repr(str(exc)))
            else:
                print([a.shape for a in out])
    """
    assert run_script(script) == ["AssertionError ''"] * 2
    # without the checks: the second box lacks its top keypoint; extra per-box rows are ignored
    assert run_script(script, "-O") == ["KeyError \"'top'\"", "[(1, 3, 2), (1,), (1,)]"]


def test_callbacks_that_change_the_inputs_mid_call():
    # each callback empties the lists and shrinks the per-box array while the call runs
    script = """
        import numpy as np
        from vornhaven.preprocessing import shapekit as sk
        keypoints, ids, labels = [(1.0, 2.0)] * 3, ["0"] * 3, ["center", "top", "right"]
        boxes = np.arange(5.0)

        def spoil():
            keypoints.clear(); ids.clear(); labels.clear(); boxes.resize(0, refcheck=False)

        class Label(str):
            def __hash__(self): return str.__hash__(self)
            def __eq__(self, other): spoil(); return str.__eq__(self, other)
        class Index:
            def __index__(self): spoil(); return 0
            def __str__(self): spoil(); return "0"
        class Point:
            def __array__(self, dtype=None, copy=None): spoil(); return np.array([1.0, 2.0])

        cases = {
            "label __eq__": lambda: labels.__setitem__(0, Label("center")),
            "id __index__ and __str__": lambda: ids.__setitem__(0, Index()),
            "keypoint __array__": lambda: keypoints.__setitem__(0, Point()),
        }
        for name, prepare in cases.items():
            keypoints[:], ids[:], labels[:] = [(1.0, 2.0)] * 3, ["0"] * 3, ["center", "top", "right"]
            boxes = np.arange(5.0)
            prepare()
            try:
                out = sk.assemble_keypoints_after_shuffle(keypoints, ids, labels, boxes=boxes)
                print(name, "result", [a.shape for a in out])
            except Exception as exc:
                print(name, type(exc).__name__)
    """
    lines = run_script(script)
    assert len(lines) == 3, lines  # each case finished with a result or an exception, and no crash


def test_repeated_calls_keep_reference_counts_and_memory_stable(memory_growth):
    vexl, keypoints, instances, positions = flat_boxes(20)
    odd = [keypoints, [int(i) for i in instances], positions]
    inputs = [vexl, *keypoints, *instances, *positions]

    def run():
        assemble(keypoints[::-1], instances[::-1], positions[::-1], boxes=vexl)
        result_or_error(assemble, *odd, boxes=vexl)
        result_or_error(assemble, keypoints, instances, positions, boxes=vexl[:3])

    for _ in range(100):
        run()
    counts = [sys.getrefcount(x) for x in inputs]
    assert min(memory_growth(run, 4, 300)) < 8 * 1024
    assert [sys.getrefcount(x) for x in inputs] == counts


# --------------------------------------------------------------------------------------------
# The label path of rotated boxes through albumentations
# --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("turn", [False, True], ids=["flip", "flip-and-rotate"])
def test_label_path_through_albumentations(turn):
    A = pytest.importorskip("albumentations")
    height, width, n = 100, 120, 12
    rng = np.random.default_rng(5)
    vexl = np.column_stack([rng.uniform(30, 90, n), rng.uniform(30, 70, n), rng.uniform(4, 20, n),
                            rng.uniform(4, 20, n), rng.uniform(-np.pi, np.pi, n)])
    keypoints = sk.vexl_to_keypoints(vexl)
    instances, positions = sk.keypoints_trivial_lookup(len(keypoints))
    # three probe points show the affine map the pipeline applied to every keypoint
    probes = [(0.0, 0.0), (10.0, 0.0), (0.0, 10.0)]
    pipeline = A.Compose(
        [A.HorizontalFlip(p=1.0)] + [A.Rotate(limit=(30, 30), p=1.0)] * turn,
        keypoint_params=A.KeypointParams("xy", label_fields=["instances", "positions"], remove_invisible=False),
    )
    out = pipeline(image=np.zeros((height, width, 3), np.uint8), keypoints=[tuple(p) for p in keypoints] + probes,
                   instances=list(instances) + ["probe"] * 3, positions=list(positions) + ["probe"] * 3)
    offset = np.array(out["keypoints"][-3])
    linear = (np.array(out["keypoints"][-2:]) - offset).T / 10.0  # columns: images of the unit vectors
    rotation = linear @ np.diag([-1.0, 1.0])  # the mirror image x -> c - x undone
    angle = np.arctan2(rotation[1, 0], rotation[0, 0])
    assert np.allclose(rotation.T @ rotation, np.eye(2)) and np.isclose(abs(angle), np.pi / 6 if turn else 0.0)
    if not turn:
        assert offset[0] in (width - 1, width) and offset[1] == 0  # x -> width (- 1) - x

    permutation = rng.permutation(len(keypoints))
    labels = (out["keypoints"][:-3], out["instances"][:-3], out["positions"][:-3])
    shuffled = [[items[j] for j in permutation] for items in labels]
    grouped, to_original_index, boxes = sk.assemble_keypoints_after_shuffle(*shuffled, boxes=vexl)
    original = to_original_index.astype(int)
    assert list(map(str, original)) == sorted(map(str, range(n)))
    assert_identical(boxes, vexl[original])

    corners, rotations = sk.get_box_and_rotation_from_parallelogram_keypoints(grouped)
    result = sk.box_corners_to_vexl(corners, rotations)
    expected_corners = sk.vexl_to_box_corners(vexl[original]) @ linear.T + offset
    for got, want in zip(corners, expected_corners):  # the same rectangle, corners in another order
        assert np.allclose(sorted(map(tuple, got)), sorted(map(tuple, want)), atol=1e-6)
    assert np.allclose(result[:, :2], vexl[original, :2] @ linear.T + offset)
    assert np.allclose(np.sort(result[:, 2:4], axis=1), np.sort(vexl[original, 2:4], axis=1))
