"""The module object, its classes and signatures (stubtest checks the type stub)."""

import inspect
import shutil
import subprocess

import pytest

import morvend
from morvend import ASVExplainer, CausalCPDAG, CausalDAG

CLASSES = [CausalDAG, CausalCPDAG, ASVExplainer]


def public_methods(cls):
    return sorted(n for n in vars(cls) if not n.startswith("_"))


# Catches a class missing from __all__ or out of order, and any other public name
# leaking into the module namespace.
def test_all_lists_the_three_classes_in_order():
    assert morvend.__all__ == ["CausalDAG", "CausalCPDAG", "ASVExplainer"]
    assert [getattr(morvend, n) for n in morvend.__all__] == CLASSES
    public = [n for n in vars(morvend) if not n.startswith("_")]
    assert public == morvend.__all__


# Catches a class that Python code can subclass.
@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_final(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


# Catches a class docstring with more than the text signature, or a wrong __name__,
# __qualname__ or __module__ (what pickle and help() go by).
@pytest.mark.parametrize(
    ("cls", "doc"),
    [
        (CausalDAG, "CausalDAG()\n--\n\n"),
        (CausalCPDAG, "CausalCPDAG()\n--\n\n"),
        (ASVExplainer, "ASVExplainer(dag)\n--\n\n"),
    ],
)
def test_class_docstring_is_only_the_signature(cls, doc):
    assert cls.__name__ == cls.__qualname__ == doc.split("(")[0]
    assert cls.__text_signature__ == doc.split("\n")[0][len(cls.__name__) :]
    assert not cls.__doc__
    assert cls.__module__ == "morvend"


# Catches a public callable without a signature inspect can read, or one taking *args.
def test_every_public_callable_has_a_signature():
    for cls in CLASSES:
        inspect.signature(cls)
        for name in public_methods(cls):
            sig = inspect.signature(getattr(cls, name))
            assert all(p.kind != p.VAR_POSITIONAL for p in sig.parameters.values())


# Catches a type object created anew per call, so that two graphs differ in type.
def test_class_objects_are_created_once():
    dag = CausalDAG.from_edges([("a", "b")])
    assert type(dag) is CausalDAG
    assert type(CausalDAG.from_edges([])) is type(dag)


# Catches native symbols exported from the extension (visibility not hidden), which can
# clash with other libraries loaded in the same process.
@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils nm")
def test_extension_exports_only_its_init_function():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", morvend.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_morvend"]
