"""PickWeighted against a plain-Python rendering of its steps (call by call, Python's `random`
seeded), against NumPy's legacy generator for the draw (bit for bit) and its errors, and in
albumentations pipelines: statistics, replay, nesting, serialisation."""

import inspect
import json
import random
import sys
import typing
from types import SimpleNamespace

import albumentations as A
import numpy as np
import pytest

from vornhaven.preprocessing.augmentations.transform import pickweighted
from vornhaven.preprocessing.augmentations.transform.pickweighted import PickWeighted

HIGH = 4294967295


class PlainPickWeighted(A.BaseCompose):
    def __init__(self, transforms, p=0.5):
        super().__init__(transforms, float(p))
        ps = [t.p for t in self.transforms]
        s = float(sum(ps))
        if s < 1:
            self.p *= s
        self.transforms_ps = [t / s for t in ps]

    def __call__(self, *args, force_apply=False, **data):
        if self.replay_mode:
            for t in self.transforms:
                data = t(**data)
            return data
        if self.transforms_ps and (force_apply or random.random() < self.p):
            random_state = np.random.RandomState(random.randint(0, HIGH))
            children = getattr(self.transforms, "transforms", self.transforms)
            data = children[random_state.choice(len(children), p=self.transforms_ps)](force_apply=True, **data)
        return data


class Child:
    """Logs its calls under "log" and returns the data, or `result` when given."""

    def __init__(self, name, p, result=dict, on_call=None):
        self.name, self.p, self.result, self.on_call = name, p, result, on_call

    def __call__(self, **kwargs):
        if self.on_call:
            self.on_call()
        kwargs["log"] = kwargs.get("log", []) + [(self.name, kwargs.pop("force_apply", None))]
        return kwargs if self.result is dict else self.result


def kids(*ps):
    return [Child(f"c{i}", p) for i, p in enumerate(ps)]


def fixed(seed):
    """Stands in for the module's `random`: always acts, seeds NumPy with `seed`."""
    return SimpleNamespace(random=lambda: 0.0, randint=lambda low, high: seed)


def outcome(run):
    try:
        return run()
    except Exception as error:  # noqa: BLE001 - compared by type and message
        return type(error), str(error)


def names(out):
    return [name for name, _ in out["log"]] if isinstance(out, dict) else out


def test_module_class_and_methods():
    assert [n for n in vars(pickweighted) if not n.startswith("__")] == [
        "random", "Any", "cast", "np", "BaseCompose", "PickWeighted"]
    assert (pickweighted.random, pickweighted.np, pickweighted.cast) == (random, np, typing.cast)
    assert pickweighted.__doc__ is None and PickWeighted.__bases__ == (A.BaseCompose,)
    assert (PickWeighted.__module__, PickWeighted.__qualname__) == (pickweighted.__name__, "PickWeighted")
    assert PickWeighted.__doc__ == "Select exactly one transform while retaining original per-transform probabilities."
    lines = {"__init__": "(self, list transforms: list[Any], double p: float = 0.5) -> None",
             "__call__": "(self, *args: Any, bool force_apply: bool = False, **data: Any) -> dict[str, Any]",
             "get_class_fullname": "(cls) -> str"}
    for name, line in lines.items():
        assert getattr(PickWeighted, name).__doc__.startswith(f"PickWeighted.{name}{line}\n\n")
    assert PickWeighted.__call__.__annotations__ == {"args": "Any", "force_apply": "bool", "data": "Any",
                                                     "return": "dict[str, Any]"}
    assert PickWeighted.__init__.__defaults__ == (0.5,) and PickWeighted.__call__.__kwdefaults__ == {
        "force_apply": False}
    assert [p.kind.name for p in inspect.signature(PickWeighted.__call__).parameters.values()] == [
        "POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL", "KEYWORD_ONLY", "VAR_KEYWORD"]
    assert PickWeighted.get_class_fullname() == "PickWeighted"
    assert type("Tuned", (PickWeighted,), {})([]).get_class_fullname() == "Tuned"


@pytest.mark.parametrize("args, error", [
    ((kids(0.2, 0.3), 1.0), None), ((kids(1.0, 1.0), 0.5), None), ((kids(*[0.1] * 10), 0.8), None), (([], 0.5), None),
    ((kids(1, np.float64(0.25)), np.float32(.3)), None), ((kids(0, 0.0), 0.5), None), (([object()], 0.5), None),
    ((tuple(kids(1)), 0.5), "Argument 'transforms' has incorrect type (expected list, got tuple)"),
    ((kids(1), "0.5"), "Argument 'p' has incorrect type (expected float, got str)"),
])
def test_construction_follows_the_plain_steps(args, error):
    native, plain = outcome(lambda: PickWeighted(*args)), outcome(lambda: PlainPickWeighted(*args))
    if error or isinstance(plain, tuple):  # argument checks; ZeroDivisionError, AttributeError as in Python
        assert native == ((TypeError, error) if error else plain) and (error or plain[0] is not TypeError)
    else:
        assert (native.p, native.transforms_ps) == (plain.p, plain.transforms_ps) and type(native.p) is float
        assert [type(v) for v in native.transforms_ps] == [type(v) for v in plain.transforms_ps]


def nested(cls):
    return cls([Child("a", 0.3), A.OneOf([Child("b", 1), Child("c", 2)], p=0.5),
                cls([Child("d", 0.4), Child("e", 0.6)], p=0.9)], p=0.8)


@pytest.mark.parametrize("make, force, args", [
    (lambda cls: cls(kids(0.2, 0.3), 1.0), False, ()), (lambda cls: cls(kids(1, 1), 0.5), False, ("x", 1)),
    (lambda cls: cls(kids(0.5, 0.1, 0.9, 0.3), 0.7), True, ()), (lambda cls: cls(kids(*[0.1] * 10)), False, ()),
    (nested, False, ()), (nested, True, (None,)),
])
def test_calls_follow_the_plain_steps(make, force, args):
    native, plain = make(PickWeighted), make(PlainPickWeighted)
    for seed in range(40):
        random.seed(seed)
        got = native(*args, force_apply=force, image=seed)
        state = random.getstate()
        random.seed(seed)
        assert got == plain(force_apply=force, image=seed) and random.getstate() == state


@pytest.mark.parametrize("ps, p, force, expected", [
    ((0.2, 0.3), 1.0, False, (0.2, 0.3)), ((1.0, 1.0), 0.5, False, (0.25, 0.25)),
    ((0.2, 0.3), 0.5, True, (0.4, 0.6)), ((0.1, 0.0, 0.6), 1.0, False, (0.1, 0, 0.6)),
])
def test_selection_statistics(ps, p, force, expected):
    n, composition = 20000, PickWeighted(kids(*ps), p)
    random.seed(1234)
    logs = [composition(force_apply=force).get("log", [(None, True)]) for _ in range(n)]
    assert all(len(log) == 1 and log[0][1] is True for log in logs)  # one child, always forced
    for i, q in enumerate(expected + (1 - sum(expected),)):
        count = sum(log[0][0] == (f"c{i}" if i < len(ps) else None) for log in logs)
        assert abs(count - n * q) <= 5 * (n * q * (1 - q)) ** 0.5, (i, count)


WEIGHTS = [[0.4, 0.6], [0.1] * 10, [1 / 3] * 3, [0.7, 0.2, 0.1], [1.0], [0.0, 1.0, 0.0], [1e-300, 1.0],
           list(np.random.default_rng(3).dirichlet(np.ones(40))), [0.5 + 7e-9, 0.5], [np.float64(0.3), 0.7]]


@pytest.mark.parametrize("weights", WEIGHTS + ["boundary"])
def test_draw_is_numpys_bit_for_bit(monkeypatch, weights):
    for seed in [0, 1, HIGH, 2**31] + np.random.default_rng(len(WEIGHTS)).integers(0, 2**32, 300).tolist():
        monkeypatch.setattr(pickweighted, "random", fixed(seed))
        # "boundary": the first cumulative bound is exactly the draw (side='right' takes the next)
        ps = [u := np.random.RandomState(seed).random_sample(), 1 - u] if weights == "boundary" else weights
        composition = PickWeighted(kids(*[1.0] * len(ps)))
        composition.transforms_ps = list(ps)
        assert names(composition(force_apply=True)) == [f"c{np.random.RandomState(seed).choice(len(ps), p=ps)}"]


# what the draw leaves to NumPy (weights or seeds it may refuse, a replaced RandomState): NumPy's answer
@pytest.mark.parametrize("n, ps, seed", [
    (2, [float("nan"), 1.0], 9), (2, [-0.5, 1.5], 9), (2, [0.4, 0.5], 9), (2, [float("inf"), 0.0], 9),
    (3, [0.5, 0.5], 9), (2, [[0.5, 0.5]], 9), (2, ["a", "b"], 9), (0, [1.0], 9), (2, [0, 1], 9), (2, (.25, .75), 9),
    (3, [np.float32(0.2), 0.3, 0.5], 9), (2, [0.5 + 2e-8, 0.5], 9), (2, [0.5, 0.5], -1), (2, [0.5, 0.5], 2**32),
    (2, [0.5, 0.5], 1.5), (2, [0.5, 0.5], "7"), (2, [0.5, 0.5], np.uint32(7)), (2, [0.3, 0.7], [3, 4]),
])
def test_what_numpy_refuses_raises_numpys_error(monkeypatch, n, ps, seed):
    monkeypatch.setattr(pickweighted, "random", fixed(seed))
    children = kids(*[1.0] * max(n, 1))
    composition = PickWeighted(children)
    children[n:], composition.transforms_ps = [], ps
    expected = outcome(lambda: [f"c{np.random.RandomState(seed).choice(n, p=ps)}"])
    assert outcome(lambda: names(composition(force_apply=True))) == expected


def test_a_replaced_random_state_is_called(monkeypatch):
    class Recording(np.random.RandomState):
        made = []

        def __init__(self, seed):
            self.made.append(seed)

        def choice(self, n, p):
            return n - 1

    monkeypatch.setattr(pickweighted, "random", fixed(5))
    monkeypatch.setattr(pickweighted, "np", SimpleNamespace(random=SimpleNamespace(RandomState=Recording)))
    assert names(PickWeighted(kids(0.9, 0.1))(force_apply=True)) == ["c1"] and Recording.made == [5]


@pytest.mark.parametrize("results, expected", [
    ((dict, dict, dict), [("c0", None), ("c1", None), ("c2", None)]),
    ((None, dict), (TypeError, "argument after ** must be a mapping, not NoneType")),
    ((5, dict), (TypeError, "argument after ** must be a mapping, not int")),
    ((dict, [1]), (TypeError, "Expected dict, got list")), ((dict, None), None),
])
def test_replay_mode_runs_every_child_in_order(results, expected):
    composition = PickWeighted([Child(f"c{i}", 0.3, result) for i, result in enumerate(results)])
    composition.replay_mode = True
    random.seed(0)
    state = random.getstate()
    got = outcome(lambda: composition(image=1))
    assert (got["log"] if isinstance(got, dict) else got) == expected and random.getstate() == state


def test_results_and_children_changed_while_running():
    assert outcome(lambda: PickWeighted([Child("c", 1.0, ())])(force_apply=True)) == (TypeError,
                                                                                      "Expected dict, got tuple")
    assert PickWeighted([])(force_apply=True, image=3) == {"image": 3}
    children = kids(1.0, 1.0)
    for child in children:
        child.on_call = children.clear
    composition = PickWeighted(children)
    random.seed(0)
    assert len(composition(force_apply=True)["log"]) == 1 and children == []
    assert outcome(lambda: composition(force_apply=True)) == (
        ValueError, "a must be greater than 0 unless no samples are taken")
    children[:] = kids(1.0, 1.0)
    composition.transforms_ps = [type("Weight", (), {"__float__": lambda w: children.clear() or 0.5})()] * 2
    assert outcome(lambda: composition(force_apply=True)) == (IndexError, "list index out of range")
    children[:] = kids(1.0, 1.0)
    children[0].on_call, composition.replay_mode = children.clear, True
    assert composition(image=0)["log"] == [("c0", None)]


def pipeline(p=0.8):  # the children's probabilities sum to less than 1: both compositions scale their p
    return A.Compose([PickWeighted([A.HorizontalFlip(p=0.1), A.OneOf([A.VerticalFlip(), A.Transpose()], p=0.1),
                                    PickWeighted([A.RandomRotate90(p=0.4), A.Transpose(p=0.5)], p=0.5)], p=p)])


def test_serialisation_keeps_the_given_probability():
    saved = A.to_dict(original := pipeline())
    assert [saved["transform"]["transforms"][0]["p"], saved["transform"]["transforms"][0]["transforms"][2]["p"]] == [
        0.8, 0.5]
    assert A.to_dict(loaded := A.from_dict(json.loads(json.dumps(saved)))) == saved
    for before, after in [(original[0], loaded[0]), (original[0][2], loaded[0][2])]:
        assert type(after) is PickWeighted and (after.p, after.transforms_ps) == (before.p, before.transforms_ps)
    assert (original[0].p, original[0][2].p) == pytest.approx((0.8 * 0.65, 0.5 * 0.9))
    composition = PickWeighted([A.NoOp(p=0.5)], 0.9)
    composition.p = 0.3  # set anew: written as it is
    assert A.to_dict(composition)["transform"]["p"] == 0.3


def test_replay_compose_records_and_replays_the_pick():
    image = np.arange(35, dtype=np.uint8).reshape(5, 7)
    replay = A.ReplayCompose([PickWeighted([A.HorizontalFlip(p=0.5), A.RandomRotate90(p=0.3)], p=1.0)])
    assert A.to_dict(A.from_dict(A.to_dict(replay)))["transform"]["transforms"][0]["p"] == 1.0
    for seed in range(20):
        random.seed(seed)
        out = replay(image=image)
        assert [t["applied"] for t in out["replay"]["transforms"][0]["transforms"]].count(True) <= 1
        np.testing.assert_array_equal(A.ReplayCompose.replay(out["replay"], image=image)["image"], out["image"])


def test_repeated_use_is_stable(memory_growth):
    image, composition, refusing = np.zeros((4, 4, 3), np.uint8), pipeline(0.9), PickWeighted(kids(0.5, 0.5))
    refusing.transforms_ps, replaying = [0.5, 0.4], PickWeighted([A.NoOp(), A.NoOp()])
    replaying.replay_mode = True
    held = (image, composition, refusing, replaying)

    def run_once():
        composition(image=image)
        composition.transforms[0]("x", force_apply=True, image=image)
        replaying(image=image)
        outcome(lambda: refusing(force_apply=True))

    counts = [sys.getrefcount(o) for o in held]
    traced = memory_growth(run_once, 3, 300)
    assert [sys.getrefcount(o) for o in held] == counts
    assert min(traced) < 8 * 1024, traced
