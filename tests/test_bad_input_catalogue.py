"""docs/bad-input.md, checked: every row's call gives the outcome written next to it, and every public
function and method of the six modules has its section."""

import ast
import enum
import importlib
import inspect
import re
import warnings
from pathlib import Path

import numpy as np
import pytest

CATALOGUE = Path(__file__).resolve().parent.parent / "docs" / "bad-input.md"
PACKAGE = "vornhaven.preprocessing"
MODULES = {
    "shapekit": f"{PACKAGE}.shapekit",
    **{name: f"{PACKAGE}.augmentations.transform.{name}"
       for name in ("fracwindow", "fracborder", "fracmiddle", "bandmixer", "pickweighted")},
}
# the message of an error that comes from a dependency and differs between its versions: type only
FOREIGN_MESSAGE = re.compile(r"^\((NumPy|albumentations)'s? message\)$")
DUNDER_METHODS = {"__init__", "__call__", "__getitem__", "__len__", "__post_init__"}
# the kinds of bad input, in the order each table lists them
KINDS = ["arguments", "type", "shape", "dtype", "empty", "NaN-inf", "range", "configuration", "image-size", "callback"]


def parse(text):
    """The fixture block and the rows: (id, call, outcome) per table row, grouped by section."""
    fixtures = re.search(r"^```python\n(.*?)^```$", text, re.S | re.M).group(1)
    rows, sections, module, entry = [], set(), None, None
    for line in text.splitlines():
        if line.startswith("## "):
            module, entry = line[3:].strip(), None
        elif line.startswith("### "):
            entry = line[4:].strip().strip("`")
            sections.add((module, entry))
        elif line.startswith("| ") and entry and not line.startswith(("| kind ", "| ---")):
            kind, call, outcome = (cell.strip() for cell in line.strip(" |").split(" | ", 2))
            call, outcome = (re.match(r"`([^`]*)`", cell).group(1) for cell in (call, outcome))
            kind = re.sub(r"\W+", "-", kind)  # "NaN / inf" -> "NaN-inf"
            rows.append(pytest.param(call, outcome, id=f"{module}/{entry}/{kind}/{len(rows) + 1}"))
    return fixtures, rows, sections


FIXTURES, ROWS, SECTIONS = parse(CATALOGUE.read_text())


def run(code, namespace):
    """Runs a row's code (statements separated by `;`) and returns the value of its last expression."""
    tree = ast.parse(code)
    last = tree.body.pop() if tree.body and isinstance(tree.body[-1], ast.Expr) else None
    exec(compile(tree, "<row>", "exec"), namespace)
    return eval(compile(ast.Expression(last.value), "<row>", "eval"), namespace) if last else None


def same(a, b):
    """Equal values of the same type; arrays also of the same dtype and shape, NaN equal to NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind in "fc")
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    return a == b


@pytest.mark.parametrize("call, outcome", ROWS)
def test_row(call, outcome):
    namespace = {}
    exec(FIXTURES, namespace)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NumPy's floating-point warnings are not part of the outcome
        if outcome.startswith("returns "):
            result = run(call, namespace)
            expected = outcome[len("returns "):]
            if expected.endswith(" itself"):
                assert result is run(expected[: -len(" itself")], namespace)
            else:
                assert same(result, run(expected, namespace)), f"got {result!r}"
            return
        name, _, message = outcome.partition(": ")
        with pytest.raises(BaseException) as raised:
            run(call, namespace)
    if FOREIGN_MESSAGE.match(message):  # the type named or a subclass of it (NumPy's UFuncTypeError, ...)
        assert name in {cls.__name__ for cls in type(raised.value).__mro__}, f"got {raised.value!r}"
    else:
        assert type(raised.value).__name__ == name, f"got {raised.value!r}"
        pattern = ".*".join(map(re.escape, message.split("...")))
        assert re.fullmatch(pattern, str(raised.value), re.S), f"got {str(raised.value)!r}"


def public_entries(name, module):
    """`name/function` for the module's own functions, `name/Class.method` for its classes' own methods,
    properties, constructors and the special methods callers call."""
    for attr, value in vars(module).items():
        if attr.startswith("_") or getattr(value, "__module__", None) != module.__name__:
            continue
        if inspect.isroutine(value):
            yield name, attr
        elif inspect.isclass(value) and not issubclass(value, enum.Enum):
            for method, member in vars(value).items():
                if (not method.startswith("_") or method in DUNDER_METHODS) and (
                        callable(member) or isinstance(member, (classmethod, staticmethod, property))):
                    yield name, f"{attr}.{method}"


def test_every_public_entry_has_a_section_of_ordered_kinds():
    expected = {entry for name, path in MODULES.items()
                for entry in public_entries(name, importlib.import_module(path))}
    assert len(expected) > 60
    assert expected - SECTIONS == set()
    assert {module for module, _ in SECTIONS} == set(MODULES)
    rows = [row.id.split("/") for row in ROWS]
    assert SECTIONS <= {(module, entry) for module, entry, _, _ in rows}  # and each section has a row
    for section in SECTIONS:
        kinds = [KINDS.index(kind) for module, entry, kind, _ in rows if (module, entry) == section]
        assert kinds == sorted(kinds), section
