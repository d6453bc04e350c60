"""Fuzz target: PickWeighted against its plain-Python steps.

Children with probabilities of any kind and value, the composition's own probability, calls
with or without force and in replay mode under a seeded ``random``, weights set afterwards
(which NumPy's legacy generator may refuse), and children or weights whose calls or conversions
change the child list mid-call. Each side gets its own, identically built children.
"""

import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import atheris  # noqa: E402
import albumentations as A  # noqa: E402,F401 - imported before the instrumented modules
import numpy as np  # noqa: E402

# coverage feedback from the input builders and the reference steps (the module itself is native)
with atheris.instrument_imports(include=["transform_inputs", "test_pickweighted", "vornhaven"]):
    from transform_inputs import Draw, Hook, failed, outcome, same_type
    from test_pickweighted import Child, PlainPickWeighted
    from vornhaven.preprocessing.augmentations.transform.pickweighted import PickWeighted

RESULTS = [dict, dict, dict, dict, None, (), 5, [1]]


def recipe(draw):
    """Children as plain data: (p, result, clears the list when called)."""
    children = []
    for _ in range(draw.int(0, 6)):
        p = draw.kind(draw.float(), wrong=draw.int(0, 7) == 0)
        children.append((p, draw.pick(RESULTS) if draw.int(0, 5) == 0 else dict, draw.int(0, 11) == 0))
    return children


def build(children):
    made = []
    for i, (p, result, clears) in enumerate(children):
        child = Child(f"c{i}", p, result, None)
        if clears:
            child.on_call = made.clear
        made.append(child)
    return made


def weights(draw):
    """Weights set after construction: a list of any length, of values of any kind (a Hook marks a
    weight whose conversion empties the child list)."""
    out = []
    for _ in range(draw.int(0, 6)):
        k = draw.int(0, 9)
        if k == 0:
            out.append(Hook(draw.fdp.ConsumeProbability(), None))
        elif k == 1:
            out.append(draw.pick(["a", None, [0.5], np.float32(0.25)]))
        else:
            out.append(draw.fdp.ConsumeProbability() if draw.bool() else draw.float())
    return out


def same(got, want, what):
    if same_type(got, want, what):
        assert repr(got) == repr(want), (what, got, want)


def one_input(data: bytes) -> None:
    draw = Draw(atheris.FuzzedDataProvider(data))
    children = recipe(draw)
    p = draw.kind(draw.fdp.ConsumeProbability() if draw.bool() else draw.float())
    as_tuple = draw.int(0, 15) == 0
    mine, theirs = build(children), build(children)
    native = outcome(lambda: PickWeighted(tuple(mine) if as_tuple else mine, p))
    if as_tuple or isinstance(p, (str, list)) or p is None:
        assert failed(native) and native[0] is TypeError, native
        return
    plain = outcome(lambda: PlainPickWeighted(theirs, p))
    if not same_type(native, plain, "construction"):
        return
    same((native.p, native.transforms_ps), (plain.p, plain.transforms_ps), "state")
    assert type(native.p) is float and native.get_class_fullname() == "PickWeighted"
    if draw.int(0, 3) == 0:
        shared = weights(draw)
        native.transforms_ps = [Hook(w.value, mine.clear) if isinstance(w, Hook) else w for w in shared]
        plain.transforms_ps = [Hook(w.value, theirs.clear) if isinstance(w, Hook) else w for w in shared]
    if draw.int(0, 5) == 0:
        native.replay_mode = plain.replay_mode = True
    for _ in range(draw.int(1, 4)):
        seed, force = draw.int(0, 2**31), draw.bool()
        args = draw.pick([(), ("x",), (None, 1)])
        with np.errstate(all="ignore"):
            random.seed(seed)
            got = outcome(lambda: native(*args, force_apply=force, image=seed))
            state = random.getstate()
            random.seed(seed)
            want = outcome(lambda: plain(force_apply=force, image=seed))
        if not failed(want) and want is not None and type(want) is not dict:  # a child's result is checked
            assert failed(got) and got[0] is TypeError, (got, want)
            continue
        same(got, want, "call")
        assert failed(got) or random.getstate() == state, "random draws differ"
        assert len(mine) == len(theirs)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
