"""Module frame of vornhaven.preprocessing.shapekit.

Namespace and definition order, the BoxReconstruction enumeration, the metadata of the
functions (names, annotations, defaults, docstrings, signatures, pickling), the one-time
initialisation guards and the handling of ``assert`` under ``python -O``.
"""

import collections.abc
import copy
import enum
import importlib
import importlib.machinery
import inspect
import json
import pickle
import subprocess
import sys
import textwrap
import typing

import numpy as np
import pytest
from numpy.testing import assert_array_equal

from vornhaven.preprocessing import shapekit as sk

MODULE = "vornhaven.preprocessing.shapekit"
ARRAY = "np.ndarray[Any, Any]"

# Every name the finished module binds, in the order its statements run on import.
DEFINITION_ORDER = [
    "Any", "cast", "Callable", "Enum", "np",
    "get_rotation_matrix_2d", "coordinate_transformation", "intersect", "clipper",
    "get_angles_from_points", "BoxReconstruction", "parallelogram_to_box",
    "get_corner_points_from_box_tuples", "rot_mats_multi_rads", "rot_points_multi_rads",
    "get_box_and_rotation_from_parallelogram_keypoints", "assemble_keypoints_after_shuffle",
    "vexl_to_keypoints", "keypoints_trivial_lookup", "vexl_to_box_corners",
    "box_corners_to_vexl", "keypoints_to_vexl", "keypoints_to_box_corners",
    "inference_boxes_to_corners", "surrounding_rectangle_from_corners", "intersections",
]
AVAILABLE = [
    "Any", "cast", "Callable", "Enum", "np", "get_rotation_matrix_2d",
    "coordinate_transformation", "intersect", "clipper", "get_angles_from_points", "BoxReconstruction",
    "parallelogram_to_box", "get_corner_points_from_box_tuples", "rot_mats_multi_rads",
    "rot_points_multi_rads", "get_box_and_rotation_from_parallelogram_keypoints",
    "assemble_keypoints_after_shuffle",
    "vexl_to_keypoints", "keypoints_trivial_lookup", "vexl_to_box_corners",
    "box_corners_to_vexl", "keypoints_to_vexl", "keypoints_to_box_corners",
    "inference_boxes_to_corners", "surrounding_rectangle_from_corners", "intersections",
]

P = inspect.Parameter
TRANSFORM_RETURN = (
    f"tuple[Callable[[{ARRAY} | list[{ARRAY}]], {ARRAY}], Callable[[{ARRAY}], {ARRAY}]]"
)

FUNCTIONS = {
    "get_rotation_matrix_2d": {
        "parameters": [
            ("angle_in_deg", P.KEYWORD_ONLY, None, "float | None"),
            ("angle_in_rad", P.KEYWORD_ONLY, None, "float | None"),
        ],
        "return": ARRAY,
        "defaults": None,
        "kwdefaults": {"angle_in_deg": None, "angle_in_rad": None},
        "doc": (
            "get_rotation_matrix_2d(*, float angle_in_deg: float | None = None, "
            "float angle_in_rad: float | None = None) -> np.ndarray[Any, Any]\n"
            "\n"
            "Return the 2 dimensional rotation matrix.\n"
            "\n"
            ":param angle_in_deg: Angle in degrees.\n"
            ":param angle_in_rad: Angle in radians.\n"
            ":return:  the two -dimensional rotation matrix."
        ),
    },
    "coordinate_transformation": {
        "parameters": [("spanning_points", P.POSITIONAL_OR_KEYWORD, P.empty, ARRAY)],
        "return": TRANSFORM_RETURN,
        "defaults": None,
        "kwdefaults": None,
        "doc": (
            f"coordinate_transformation(spanning_points: {ARRAY}) -> {TRANSFORM_RETURN}\n"
            "\n"
            "Compute a coordinate transformation functions.\n"
            "\n"
            "Transform from the canonical euclidean coordinate system to the coordinate system "
            "spanned by the #spanning_points.\n"
            "\n"
            ":param spanning_points: Three points (A, B, C), each \\\\in \\\\R^2 that span a "
            "two-dimensional coordinate system\n"
            "                        through the vectors BA, BC.\n"
            "\n"
            ":return:                Tuple: Function to conduct transformation into the new "
            "coordinate system,\n"
            "                               function to convert backwards.\n"
            "\n"
            "                        Each function takes as input a numpy array of size 2 or "
            "(n x 2), and emits an array\n"
            "                        of the input size."
        ),
    },
    "rot_mats_multi_rads": {
        "parameters": [
            ("matrices", P.POSITIONAL_OR_KEYWORD, P.empty, ARRAY),
            ("rotation_rads", P.POSITIONAL_OR_KEYWORD, P.empty, ARRAY),
        ],
        "return": ARRAY,
        "defaults": None,
        "kwdefaults": None,
        "doc": (
            f"rot_mats_multi_rads(matrices: {ARRAY}, rotation_rads: {ARRAY}) -> {ARRAY}\n"
            "\n"
            "Rotate covariance matrices by multiple rotations.\n"
            "\n"
            ":param matrices:       Matrices to be rotated (Shape: number_of_rotations, 2, 2)\n"
            "                       Attention: The rotation is performed inplace; hence the "
            "content of the \"points\" is\n"
            "                       overwritten.\n"
            "                       If you would like to keep the unrotated matrices, call this "
            "function on a copy of the\n"
            "                       matrices' numpy array.\n"
            "\n"
            ":param rotation_rads:  Angles along which points are rotated. "
            "(Shape: number_of_rotations)\n"
            "\n"
            ":return:               Rotated matrices (Shape: number_of_rotations, 2, 2) to offer\n"
            "                       the user the ability to call this function with a \"rvalue\" "
            "or a copy."
        ),
    },
    "rot_points_multi_rads": {
        "parameters": [
            ("points", P.POSITIONAL_OR_KEYWORD, P.empty, ARRAY),
            ("rotation_rads", P.POSITIONAL_OR_KEYWORD, P.empty, ARRAY),
        ],
        "return": ARRAY,
        "defaults": None,
        "kwdefaults": None,
        "doc": (
            f"rot_points_multi_rads(points: {ARRAY}, rotation_rads: {ARRAY}) -> {ARRAY}\n"
            "\n"
            "Rotate the box points inplace (!) and return a reference to the first argument.\n"
            "\n"
            ":param points:         Points to be rotated (Shape: number_of_rotations, "
            "number_of_points_per_rotation, 2)\n"
            "                       Attention: The rotation is performed inplace; hence the "
            "content of the \"points\" is\n"
            "                       overwritten.\n"
            "                       If you would like to keep the unrotated points, call this "
            "function on a copy of the points\n"
            "                       numpy array.\n"
            "\n"
            ":param rotation_rads:  Angles along which points are rotated. "
            "(Shape: number_of_rotations)\n"
            "\n"
            ":return:               Rotated points (Shape: number_of_rotations, "
            "number_of_points_per_rotation, 2) to offer\n"
            "                       the user the ability to call this function with a \"rvalue\" "
            "or a copy."
        ),
    },
}


# --------------------------------------------------------------------------------------------
# Module and namespace
# --------------------------------------------------------------------------------------------


def test_module_identity():
    assert sk.__doc__ == "Contains keypoint utilities."
    assert sk.__name__ == MODULE
    assert sk.__spec__.name == MODULE
    assert isinstance(sk.__spec__.loader, importlib.machinery.ExtensionFileLoader)
    assert sk.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert importlib.import_module(MODULE) is sk
    assert sys.modules[MODULE] is sk


def test_imported_names_are_the_real_objects():
    assert sk.Any is typing.Any
    assert sk.cast is typing.cast
    assert sk.Callable is collections.abc.Callable
    assert sk.Enum is enum.Enum
    assert sk.np is np


def test_namespace_holds_only_the_documented_names_in_definition_order():
    names = list(vars(sk))
    assert not hasattr(sk, "__all__")
    for name in AVAILABLE:
        assert name in names, name
    public = [name for name in names if not name.startswith("_")]
    assert set(public) <= set(DEFINITION_ORDER), set(public) - set(DEFINITION_ORDER)
    assert public == [name for name in DEFINITION_ORDER if name in public]


# --------------------------------------------------------------------------------------------
# BoxReconstruction
# --------------------------------------------------------------------------------------------


class TestBoxReconstruction:
    def test_is_a_plain_enum_class(self):
        cls = sk.BoxReconstruction
        assert isinstance(cls, enum.EnumMeta)
        assert cls.__bases__ == (enum.Enum,)
        assert not issubclass(cls, int)
        assert cls.__doc__ == "."
        assert cls.__name__ == cls.__qualname__ == "BoxReconstruction"
        assert cls.__module__ == MODULE

    def test_members_values_and_order(self):
        cls = sk.BoxReconstruction
        assert [(member.name, member.value) for member in cls] == [("MIN", 0), ("AVG", 1), ("MAX", 2)]
        assert list(cls.__members__) == ["MIN", "AVG", "MAX"]
        assert all(type(member.value) is int for member in cls)
        assert all(type(member) is cls for member in cls)
        assert cls(0) is cls.MIN and cls(1) is cls.AVG and cls(2) is cls.MAX
        assert cls["AVG"] is cls.AVG
        assert cls.MIN != 0
        with pytest.raises(ValueError):
            cls(3)

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickles_by_reference(self, protocol):
        cls = sk.BoxReconstruction
        assert pickle.loads(pickle.dumps(cls, protocol)) is cls
        for member in cls:
            assert pickle.loads(pickle.dumps(member, protocol)) is member
            assert copy.deepcopy(member) is member


# --------------------------------------------------------------------------------------------
# Function metadata
# --------------------------------------------------------------------------------------------


@pytest.fixture(params=sorted(FUNCTIONS))
def function(request):
    return request.param, getattr(sk, request.param), FUNCTIONS[request.param]


class TestFunctionMetadata:
    def test_names(self, function):
        name, func, _ = function
        assert callable(func)
        assert func.__name__ == name
        assert func.__qualname__ == name
        assert func.__module__ == MODULE

    def test_annotations_are_strings_in_parameter_order(self, function):
        _, func, expected = function
        annotations = {p[0]: p[3] for p in expected["parameters"]}
        annotations["return"] = expected["return"]
        assert func.__annotations__ == annotations
        assert list(func.__annotations__) == list(annotations)
        assert all(type(value) is str for value in func.__annotations__.values())

    def test_defaults(self, function):
        _, func, expected = function
        assert func.__defaults__ == expected["defaults"]
        assert func.__kwdefaults__ == expected["kwdefaults"]

    def test_docstring_is_signature_line_then_text(self, function):
        _, func, expected = function
        assert func.__doc__ == expected["doc"]

    def test_inspect_signature(self, function):
        _, func, expected = function
        signature = inspect.signature(func)
        assert [
            (p.name, p.kind, p.default, p.annotation) for p in signature.parameters.values()
        ] == expected["parameters"]
        assert signature.return_annotation == expected["return"]

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickle_and_copies_return_the_function_itself(self, function, protocol):
        _, func, _ = function
        assert pickle.loads(pickle.dumps(func, protocol)) is func
        assert copy.copy(func) is func
        assert copy.deepcopy(func) is func
        assert copy.deepcopy([func])[0] is func


def test_transformation_functions_are_lambdas_of_one_parameter():
    spanning = np.array([[2.0, 1.0], [1.0, 1.0], [1.0, 3.0]])
    for func in sk.coordinate_transformation(spanning):
        assert func.__name__ == "<lambda>"
        assert func.__qualname__ == "coordinate_transformation.<locals>.<lambda>"
        parameters = list(inspect.signature(func).parameters.values())
        assert [(p.name, p.kind, p.default) for p in parameters] == [
            ("a", P.POSITIONAL_OR_KEYWORD, P.empty)
        ]
    to_new, to_canonical = sk.coordinate_transformation(spanning)
    assert_array_equal(to_new(a=np.array([1.0, 1.0])), to_new(np.array([1.0, 1.0])))
    assert_array_equal(to_canonical(a=np.array([1.0, 1.0])), to_canonical(np.array([1.0, 1.0])))


class _RecordingNumpy:
    """Stands in for the module's ``np`` and records the ``einsum`` calls made through it."""

    def __init__(self):
        self.einsum_calls = []

    def __getattr__(self, name):
        return getattr(np, name)

    def einsum(self, *args, **kwargs):
        self.einsum_calls.append((args, kwargs))
        return np.einsum(*args, **kwargs)


def test_numpy_is_looked_up_as_a_module_global_at_call_time(monkeypatch):
    recorder = _RecordingNumpy()
    monkeypatch.setattr(sk, "np", recorder)
    points = np.ones((5, 3, 2))
    matrices = np.ones((5, 2, 2))
    angles = np.linspace(0.0, 1.0, 5)

    assert sk.rot_points_multi_rads(points, angles) is points
    assert sk.rot_mats_multi_rads(matrices, angles) is matrices

    # one vectorised call per stack, writing straight into the caller's array
    (point_args, point_kwargs), (matrix_args, matrix_kwargs) = recorder.einsum_calls
    assert point_args[0] == "rcR,Rxc->Rxr" and point_args[2] is points
    assert point_kwargs == {"out": points} and point_kwargs["out"] is points
    assert matrix_args[0] == "tTR,RTS,sSR->Rts" and matrix_args[2] is matrices
    assert matrix_args[1] is matrix_args[3] and matrix_args[1].shape == (2, 2, 5)
    assert matrix_kwargs["out"] is matrices


# --------------------------------------------------------------------------------------------
# Initialisation guards and asserts, each in a fresh interpreter process
# --------------------------------------------------------------------------------------------


def run_python(script, *flags, tmp_path):
    """Run ``script`` in a new interpreter and return the JSON it prints last."""
    completed = subprocess.run(
        [sys.executable, *flags, "-c", script],
        capture_output=True, text=True, timeout=300, cwd=tmp_path,
    )
    assert completed.returncode == 0, (
        f"interpreter exited with {completed.returncode}\n"
        f"stdout:\n{completed.stdout}\nstderr:\n{completed.stderr}"
    )
    return json.loads(completed.stdout.strip().splitlines()[-1])


REINITIALISE = {
    "module_from_spec": (
        "spec = importlib.util.find_spec(NAME)\n"
        "fresh = importlib.util.module_from_spec(spec)\n"
        "spec.loader.exec_module(fresh)\n"
    ),
    "create_dynamic": (
        "import _imp\n"
        "fresh = _imp.create_dynamic(importlib.util.find_spec(NAME))\n"
        "_imp.exec_dynamic(fresh)\n"
    ),
    "import_after_removal": (
        "del sys.modules[NAME]\n"
        "fresh = importlib.import_module(NAME)\n"
    ),
}

REINITIALISE_SCRIPT = """\
import importlib, importlib.util, json, sys
NAME = "vornhaven.preprocessing.shapekit"
import vornhaven.preprocessing.shapekit as original
namespace_before = {{k: v for k, v in vars(original).items() if not k.startswith("__")}}
matrix_before = original.get_rotation_matrix_2d(angle_in_rad=0.5).tolist()
fresh = None

def attempt():
    global fresh
{attempt}
try:
    attempt()
except BaseException as exc:
    error = [type(exc).__name__, str(exc)]
else:
    error = None
namespace_after = {{k: v for k, v in vars(original).items() if not k.startswith("__")}}
print(json.dumps({{
    "error": error,
    "fresh_is_original": fresh is original if fresh is not None else None,
    "namespace_unchanged": namespace_after.keys() == namespace_before.keys()
        and all(namespace_after[k] is v for k, v in namespace_before.items()),
    "still_works": original.get_rotation_matrix_2d(angle_in_rad=0.5).tolist() == matrix_before,
    "enum_intact": [m.value for m in original.BoxReconstruction] == [0, 1, 2],
}}))
"""
REINITIALISATION_MESSAGE = (
    "Module 'shapekit' has already been imported. Re-initialisation is not supported."
)


@pytest.mark.parametrize("how", REINITIALISE)
def test_module_is_initialised_once_per_process(how, tmp_path):
    script = REINITIALISE_SCRIPT.format(attempt=textwrap.indent(REINITIALISE[how], "    "))
    result = run_python(script, tmp_path=tmp_path)
    if how == "import_after_removal":
        # importing again hands back the module object already made
        assert result["error"] is None and result["fresh_is_original"]
    elif result["fresh_is_original"]:
        # creation handed back the existing module; executing it again must change nothing
        assert result["error"] in (None, ["RuntimeError", REINITIALISATION_MESSAGE])
    else:
        # a second module object must never be initialised
        assert result["error"] == ["RuntimeError", REINITIALISATION_MESSAGE]
    # the module made by the first import is untouched by the attempt
    assert result["namespace_unchanged"]
    assert result["still_works"] and result["enum_intact"]


SUBINTERPRETER_SCRIPT = '''\
import json, os, sys, tempfile
import vornhaven.preprocessing.shapekit as shapekit

fd, path = tempfile.mkstemp(dir=os.getcwd())
os.close(fd)
code = "\\n".join([
    "import json, sys, traceback",
    f"sys.path[:] = {sys.path!r}",
    "try:",
    "    import vornhaven.preprocessing.shapekit",
    "except BaseException as exc:",
    "    frames = [frame.filename for frame in traceback.extract_tb(exc.__traceback__)]",
    "    result = [type(exc).__name__, str(exc), any('numpy' in name for name in frames)]",
    "else:",
    "    result = None",
    f"with open({path!r}, 'w') as handle:",
    "    json.dump(result, handle)",
])


def run_in_subinterpreter():
    try:
        import _testcapi
    except ImportError:
        _testcapi = None
    if _testcapi is not None and hasattr(_testcapi, "run_in_subinterp"):
        _testcapi.run_in_subinterp(code)
        return "_testcapi"
    try:
        import _interpreters as interpreters  # CPython 3.13+
        interp = interpreters.create("legacy")
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters  # CPython 3.11, 3.12
        except ImportError:
            return None
        try:
            interp = interpreters.create(isolated=False)
        except TypeError:
            interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
    return interpreters.__name__


runner = run_in_subinterpreter()
with open(path) as handle:
    text = handle.read()
print(json.dumps({
    "runner": runner,
    "result": json.loads(text) if text else "no result",
    "main_still_works": shapekit.get_rotation_matrix_2d(angle_in_deg=90.0).shape == (2, 2),
}))
'''


def test_loading_into_a_second_interpreter_is_refused(tmp_path):
    # in a separate process, so that a module that does not refuse cannot harm this one
    result = run_python(SUBINTERPRETER_SCRIPT, tmp_path=tmp_path)
    if result["runner"] is None:
        pytest.skip("this interpreter offers no way to start a subinterpreter")
    # the refusal must come from this module itself, not from a NumPy extension that happens
    # to refuse with the same words (NumPy 1.26 does) while this module is being imported
    assert result["result"] == [
        "ImportError",
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process.",
        False,
    ]
    assert result["main_still_works"]


ASSERT_SCRIPT = textwrap.dedent("""\
    import json, sys
    import numpy as np
    import vornhaven.preprocessing.shapekit as sk

    cases = {
        "points_state_dimensionality_3": lambda: sk.rot_points_multi_rads(np.ones((2, 3, 3)), np.zeros(2)),
        "too_many_angles": lambda: sk.rot_points_multi_rads(np.ones((2, 1, 2)), np.zeros(3)),
        "column_of_angles": lambda: sk.rot_points_multi_rads(np.ones((2, 1, 2)), np.zeros((2, 1))),
        "matrices_3x3": lambda: sk.rot_mats_multi_rads(np.ones((2, 3, 3)), np.zeros(2)),
        "four_spanning_points": lambda: sk.coordinate_transformation(np.ones((4, 2))),
        "three_dimensional_points": lambda: sk.coordinate_transformation(np.ones((4, 3))),
        "one_axis": lambda: sk.coordinate_transformation(np.ones(3)),
        "valid": lambda: sk.rot_points_multi_rads(np.ones((2, 1, 2)), np.zeros(2)),
    }
    outcomes = {}
    for name, call in cases.items():
        try:
            call()
        except Exception as exc:
            outcomes[name] = [type(exc).__name__, str(exc)]
        else:
            outcomes[name] = None
    print(json.dumps({"optimize": sys.flags.optimize, "outcomes": outcomes}))
""")

DIMENSIONALITY_MESSAGE = (
    "The dimensionality of the points has to be two, otherwise slightly adapt and test."
)


@pytest.mark.parametrize("optimized", [False, True], ids=["asserts-on", "python-O"])
def test_asserts_follow_the_interpreter_debug_flag(optimized, tmp_path):
    flags = ["-O"] if optimized else []
    result = run_python(ASSERT_SCRIPT, *flags, tmp_path=tmp_path)
    assert result["optimize"] == (1 if optimized else 0)
    outcomes = {
        name: value[0] if value else None for name, value in result["outcomes"].items()
    }
    assert outcomes["one_axis"] == "IndexError"
    assert outcomes["valid"] is None
    if not optimized:
        for name in ["points_state_dimensionality_3", "too_many_angles", "column_of_angles",
                     "matrices_3x3", "four_spanning_points", "three_dimensional_points"]:
            assert outcomes[name] == "AssertionError", name
        assert result["outcomes"]["four_spanning_points"][1] == ""
        assert result["outcomes"]["three_dimensional_points"][1] == DIMENSIONALITY_MESSAGE
    else:
        # without the checks the same inputs reach NumPy, which refuses some and accepts others
        assert outcomes["points_state_dimensionality_3"] == "ValueError"
        assert outcomes["too_many_angles"] == "ValueError"
        assert outcomes["matrices_3x3"] == "ValueError"
        assert outcomes["column_of_angles"] is None
        assert outcomes["four_spanning_points"] is None
        assert outcomes["three_dimensional_points"] is None
