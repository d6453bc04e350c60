"""The shipped type stubs: generated from the current modules, and true to their live signatures."""

import ast
import enum
import importlib
import importlib.util
import inspect
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location("stubs", ROOT / "tools" / "stubs.py")
stubs = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(stubs)

MODULES = stubs.extension_modules()
DECORATORS = {staticmethod: "staticmethod", classmethod: "classmethod", property: "property"}


def test_modules_found_and_stubs_up_to_date():
    assert {"vornhaven.preprocessing.shapekit",
            "vornhaven.preprocessing.augmentations.transform.fracborder",
            "vornhaven.preprocessing.augmentations.transform.fracmiddle",
            "vornhaven.preprocessing.augmentations.transform.pickweighted",
            "vornhaven.preprocessing.augmentations.transform.bandmixer",
            "vornhaven.preprocessing.augmentations.transform.fracwindow"} <= set(MODULES)
    assert "vornhaven._runtime_probe" not in MODULES
    problems = stubs.check()
    assert not problems, "run python tools/stubs.py:\n" + "".join(problems)


def normal(text):
    return None if text is None else ast.unparse(ast.parse(text, mode="eval"))


def live_signature(func, decorator=None):
    sig = inspect.signature(func)
    empty = inspect.Parameter.empty
    params = [(p.name, p.kind.name, p.default is not empty,
               normal(None if p.annotation is empty else p.annotation))
              for p in sig.parameters.values()]
    return decorator, params, normal(None if sig.return_annotation is empty else sig.return_annotation)


def stub_signature(node):
    a = node.args
    positional = [(arg, "POSITIONAL_ONLY") for arg in a.posonlyargs]
    positional += [(arg, "POSITIONAL_OR_KEYWORD") for arg in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    entries = [(arg, kind, d) for (arg, kind), d in zip(positional, defaults)]
    entries += [(a.vararg, "VAR_POSITIONAL", None)] if a.vararg else []
    entries += [(arg, "KEYWORD_ONLY", d) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    entries += [(a.kwarg, "VAR_KEYWORD", None)] if a.kwarg else []
    for arg, _, d in entries:
        assert d is None or (isinstance(d, ast.Constant) and d.value is ...), arg.arg
    params = [(arg.arg, kind, d is not None, normal(arg.annotation and ast.unparse(arg.annotation)))
              for arg, kind, d in entries]
    decorators = [ast.unparse(d) for d in node.decorator_list]
    assert len(decorators) <= 1, node.name
    return (decorators[0] if decorators else None), params, normal(node.returns and ast.unparse(node.returns))


def live_declarations(module):
    """Qualified name -> signature (or enum value) of every public declaration of the module."""
    out = {}
    for name, value in vars(module).items():
        if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
            continue
        if not isinstance(value, type):
            out[name] = live_signature(value)
            continue
        if issubclass(value, enum.Enum):
            out.update({f"{name}.{m}": member.value for m, member in value.__members__.items()})
        for attr, member in vars(value).items():
            func = getattr(member, "__func__", getattr(member, "fget", member))
            private = attr.startswith("_") and not attr.endswith("__")
            if not private and callable(func) and getattr(func, "__module__", None) == module.__name__:
                out[f"{name}.{attr}"] = live_signature(func, DECORATORS.get(type(member)))
    return out


def stub_declarations(tree):
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = stub_signature(node)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    out[f"{node.name}.{item.name}"] = stub_signature(item)
                elif isinstance(item, ast.Assign):
                    out[f"{node.name}.{item.targets[0].id}"] = ast.literal_eval(item.value)
    return out


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_matches_live_signatures(module_name):
    module = importlib.import_module(module_name)
    tree = ast.parse(stubs.stub_path(module_name).read_text())
    live, stub = live_declarations(module), stub_declarations(tree)
    assert live, module_name
    assert stub == live
    bases = {n.name: [ast.unparse(b) for b in n.bases] for n in tree.body if isinstance(n, ast.ClassDef)}
    for name, bases_written in bases.items():
        # a plain class's only base, object, is not written
        assert [b.__name__ for b in getattr(module, name).__bases__ if b is not object] == \
            [b.rpartition(".")[2] for b in bases_written]
