"""The checked-in type stubs of the native modules against the modules as built: a binding changed without
its stub regenerated fails here, instead of leaving the type checker to trust signatures that are gone."""

import ast
import importlib
import inspect
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[2] / "python"
STUBS = {
    "zelmor_lab._rules": SOURCES / "zelmor_lab" / "_rules.pyi",
    "zelmor_lab._channel": SOURCES / "zelmor_lab" / "_channel.pyi",
    "zelmor_self_play": SOURCES / "zelmor_self_play.pyi",
}

Names = dict[str, frozenset[str] | None]  # public function -> None, public class -> its public members


def stub_names(path: Path) -> Names:
    names: Names = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            names[node.name] = None
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            names[node.name] = frozenset(
                m.name for m in node.body if isinstance(m, ast.FunctionDef) and not m.name.startswith("_")
            )
    return names


def module_names(module) -> Names:
    names: Names = {}
    for name in dir(module):
        value = getattr(module, name)
        if name.startswith("_"):
            continue
        if isinstance(value, type):
            names[name] = frozenset(member for member in vars(value) if not member.startswith("_"))
        elif callable(value):
            names[name] = None
    return names


@pytest.mark.parametrize("module_name", sorted(STUBS))
def test_a_stub_names_what_its_module_defines(module_name):
    stub, built = stub_names(STUBS[module_name]), module_names(importlib.import_module(module_name))
    assert stub.keys() == built.keys()
    assert {name: members for name, members in stub.items() if members != built[name]} == {}


def test_the_engine_stub_takes_the_engine_parameters():
    engine = importlib.import_module("zelmor_self_play")
    tree = ast.parse(STUBS["zelmor_self_play"].read_text())
    stubbed = {node.name: [a.arg for a in node.args.args] for node in tree.body if isinstance(node, ast.FunctionDef)}
    built = {name: list(inspect.signature(getattr(engine, name)).parameters) for name in stubbed}
    assert stubbed == built
