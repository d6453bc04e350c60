"""Python code that runs in the middle of a shapekit call (a mode's comparison, a replaced module
global, a key of the module namespace) and changes the arrays or globals the call works with.

Each case runs in a fresh interpreter, so that a crash fails the case, and expects what the NumPy
steps do: a Python exception or their result.
"""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import gc, typing, numpy as np
from vornhaven.preprocessing import shapekit as sk
MAX, AVG = sk.BoxReconstruction.MAX, sk.BoxReconstruction.AVG
flat, longer = np.array([[5.0, 0.0], [1.0, 0.0], [4.0, 0.0], [1.0, 0.0]]), np.array([0, 2])

class Mode:  # equal to `equal_to` only; each comparison runs `act` first
    def __init__(self, act, equal_to=MAX):
        self.act, self.equal_to = act, equal_to
    __hash__ = object.__hash__
    def __eq__(self, other):
        self.act()
        return other is self.equal_to

class StandIn:  # NumPy, recording the names looked up; looking up `trigger` runs `act`
    def __init__(self, trigger=None, act=None):
        self.trigger, self.act, self.calls = trigger, act, []
    def __getattr__(self, name):
        self.calls.append(name)
        if name == self.trigger:
            self.act()
            gc.collect()
        return getattr(np, name)

def outcome(call, expected=None):  # the exception's name, or the result (compared with `expected`)
    try:
        result = call()
    except Exception as error:
        return type(error).__name__
    if expected is None:
        return np.asarray(result).tolist()
    return "same" if all(map(np.array_equal, result, expected)) else f"differs: {result}"
"""

P2B = "print(outcome(lambda: sk.parallelogram_to_box(flat, longer, Mode(lambda: {}))))"
FIT = """
keypoints = np.random.default_rng(1).normal(size={}).astype(np.{})
expected = sk.get_box_and_rotation_from_parallelogram_keypoints(keypoints.copy())
mode = Mode(lambda: {})
print(outcome(lambda: sk.get_box_and_rotation_from_parallelogram_keypoints(keypoints, box_reconstruction_mode=mode),
              expected))
"""
SET_STATE = "{}.__setstate__((1, {}, np.dtype('{}'), False, bytes({})))"  # new, smaller memory

CASES = {
    # parallelogram_to_box: the mode is compared after the native path has looked at the arrays
    "index beyond the array": (P2B.format("longer.__setitem__(1, 2**40)"), "IndexError"),
    "index one past the end": (P2B.format("longer.__setitem__(1, 5)"), "IndexError"),
    "index past the end, -O": (P2B.format("longer.__setitem__(1, 5)"), "IndexError", "-O"),
    "index to the last row": (P2B.format("longer.__setitem__(1, -1)"),
                              [[6.0, 0.0], [0.0, 0.0], [4.0, 0.0], [0.0, 0.0]]),
    "read-only target": (P2B.format("flat.flags.__setattr__('writeable', False)"), "ValueError"),
    "target reshaped": (P2B.format("setattr(flat, 'shape', (2, 4))"), "IndexError"),
    "np replaced": (
        "np_ = StandIn()\n" + P2B.replace("print(", "result = (").format("setattr(sk, 'np', np_)")
        + "\nprint([result, np_.calls])",
        [[[6.0, 0.0], [0.0, 0.0], [5.0, 0.0], [0.0, 0.0]], ["abs", "abs"]],
    ),
    # the fit: the NumPy steps have read the keypoints (float32: all of them) before the comparison
    "keypoints reshaped": (FIT.format((2, 3, 2), "float64", "setattr(keypoints, 'shape', (3, 2, 2))"), "same"),
    "keypoints rewritten": (FIT.format((3, 3, 2), "float32", "keypoints.fill(7)"), "same"),
    "keypoints' memory replaced": (
        FIT.format((100_000, 3, 2), "float32", SET_STATE.format("keypoints", (1, 3, 2), "f4", 24)), "same"),
    # globals used across calls that may rebind them
    "np dropped, rotation": (
        "sk.np = StandIn('cos', lambda: setattr(sk, 'np', np))\n"
        "print(outcome(lambda: sk.rot_points_multi_rads(np.ones((2, 1, 2)), np.zeros(2))))",
        [[[1.0, 1.0]], [[1.0, 1.0]]],
    ),
    "np dropped, rotation matrix": (
        "sk.np = StandIn('cos', lambda: setattr(sk, 'np', np))\n"
        "print(outcome(lambda: sk.get_rotation_matrix_2d(angle_in_rad=0.0)))",
        [[1.0, -0.0], [0.0, 1.0]],
    ),
    "cast dropped": (
        "keypoints = np.arange(12.0).reshape(2, 3, 2)\n"
        "expected = [sk.keypoints_to_box_corners(keypoints)]\n"
        "sk.cast = lambda annotation, value: value\n"
        "sk.np = StandIn('ndarray', lambda: setattr(sk, 'cast', typing.cast))\n"
        "print(outcome(lambda: [sk.keypoints_to_box_corners(keypoints)], expected))",
        "same",
    ),
    "BoxReconstruction dropped": (
        "real = sk.BoxReconstruction\n"
        "sk.BoxReconstruction = type('Fake', (), {'MAX': real.MAX, 'AVG': real.AVG, 'MIN': real.MIN})\n"
        "def restore():\n"
        "    sk.BoxReconstruction = real\n"
        "    gc.collect()\n"
        "print(outcome(lambda: sk.parallelogram_to_box(flat, longer, Mode(restore, AVG))))",
        [[5.0, 0.0], [0.0, 0.0], [4.0, 0.0], [0.0, 0.0]],
    ),
    # a key of the module namespace whose hash is that of "np": looking up `np` calls its __eq__
    "namespace key": (
        "vexl = np.zeros((100_000, 5))\n"
        "class Key:\n"
        "    armed = False\n"
        "    __hash__ = lambda self: hash('np')\n"
        "    def __eq__(self, other):\n"
        "        if Key.armed:\n"
        "            Key.armed = False\n"
        f"            {SET_STATE.format('vexl', (1, 5), 'f8', 40)}\n"
        "        return False\n"
        "namespace = vars(sk)\n"
        "numpy = namespace.pop('np')\n"
        "namespace[Key()], namespace['np'], Key.armed = None, numpy, True\n"
        "print(outcome(lambda: sk.vexl_to_box_corners(vexl)))",
        "AssertionError",
    ),
}


@pytest.mark.parametrize("code, expected, flags", [(c[0], c[1], c[2:]) for c in CASES.values()], ids=CASES)
def test_callbacks_never_break_the_native_paths(code, expected, flags):
    completed = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(PRELUDE) + code], capture_output=True, text=True, timeout=300
    )
    assert completed.returncode == 0, f"exit {completed.returncode}\n{completed.stdout}\n{completed.stderr}"
    assert completed.stdout.strip().splitlines()[-1] == str(expected)
