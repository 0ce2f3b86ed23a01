"""The shared argument parser and converters, as every method sees them."""

import pytest

from morvend import ASVExplainer, CausalCPDAG, CausalDAG

from conftest import raised


# Catches a parser that accepts a missing, extra, unknown or repeated argument, or
# words the refusal otherwise than CPython's own functions (or adds a stray note).
@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: ASVExplainer(), "ASVExplainer.__new__() missing 1 required positional argument: 'dag'"),
        (
            lambda: CausalDAG().add_edge(),
            "CausalDAG.add_edge() missing 2 required positional arguments: 'from_name' and 'to_name'",
        ),
        (
            lambda: CausalDAG().add_edge(to_name="b"),
            "CausalDAG.add_edge() missing 1 required positional argument: 'from_name'",
        ),
        (lambda: CausalDAG(1), "CausalDAG.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: CausalCPDAG(1, 2), "CausalCPDAG.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: CausalDAG().nodes(1), "CausalDAG.nodes() takes 0 positional arguments but 1 was given"),
        (
            lambda: CausalDAG().add_edge("a", "b", "c"),
            "CausalDAG.add_edge() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: CausalDAG().add_edge("a", "b", weight=1),
            "CausalDAG.add_edge() got an unexpected keyword argument 'weight'",
        ),
        (
            lambda: CausalDAG().add_edge("a", "b", from_name="c"),
            "CausalDAG.add_edge() got multiple values for argument 'from_name'",
        ),
        (
            lambda: ASVExplainer(CausalDAG(), dag=CausalDAG()),
            "ASVExplainer.__new__() got multiple values for argument 'dag'",
        ),
        (lambda: CausalDAG(x=1), "CausalDAG.__new__() got an unexpected keyword argument 'x'"),
        (lambda: CausalDAG.from_edges(), "CausalDAG.from_edges() missing 1 required positional argument: 'edges'"),
        (lambda: CausalDAG().ancestors(nam="a"), "CausalDAG.ancestors() got an unexpected keyword argument 'nam'"),
    ],
)
def test_argument_messages(call, message):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == message
    assert not getattr(exc, "__notes__", None)


# Catches a parameter its signature names but the parser takes by position only.
def test_all_parameters_accept_keywords():
    dag = CausalDAG()
    dag.add_edge(to_name="b", from_name="a")
    assert dag.edges() == [("a", "b")]
    assert CausalDAG.from_edges(edges=[("x", "y")]).nodes() == ["x", "y"]
    assert dag.ancestors(name="b") == ["a"]
    assert ASVExplainer(dag=dag) is not None


# Catches a conversion error that does not name the parameter it came from, or that
# comes out as another exception type.
@pytest.mark.parametrize(
    ("call", "exc_type", "message", "param"),
    [
        (lambda: CausalDAG().add_edge(1, "b"), TypeError, "'int' object cannot be converted to 'str'", "from_name"),
        (lambda: CausalDAG().add_edge("a", None), TypeError, "'NoneType' object cannot be converted to 'str'", "to_name"),
        (lambda: CausalDAG().ancestors(b"a"), TypeError, "'bytes' object cannot be converted to 'str'", "name"),
        (
            lambda: ASVExplainer(CausalCPDAG()),
            TypeError,
            "'CausalCPDAG' object is not an instance of 'CausalDAG'",
            "dag",
        ),
        (lambda: ASVExplainer(None), TypeError, "'None' is not an instance of 'CausalDAG'", "dag"),
        (lambda: ASVExplainer(42), TypeError, "'int' object is not an instance of 'CausalDAG'", "dag"),
        (lambda: CausalDAG.from_edges("ab"), TypeError, "Can't extract `str` to `Vec`", "edges"),
        (lambda: CausalDAG.from_edges({("a", "b")}), TypeError, "'set' object cannot be converted to 'Sequence'", "edges"),
        (lambda: CausalDAG.from_edges(None), TypeError, "'NoneType' object cannot be converted to 'Sequence'", "edges"),
        (lambda: CausalDAG.from_edges([["a", "b"]]), TypeError, "'list' object cannot be converted to 'tuple'", "edges"),
        (lambda: CausalDAG.from_edges([("a", 1)]), TypeError, "'int' object cannot be converted to 'str'", "edges"),
        (
            lambda: CausalDAG.from_edges([("a", "b"), ("a", "b", "c")]),
            ValueError,
            "expected tuple of length 2, but got tuple of length 3",
            "edges",
        ),
        (
            lambda: CausalDAG.from_edges([()]),
            ValueError,
            "expected tuple of length 2, but got tuple of length 0",
            "edges",
        ),
        (lambda: CausalDAG().add_edge("\ud800", "b"), UnicodeEncodeError, None, "from_name"),
    ],
)
def test_conversion_errors_carry_a_note_naming_the_parameter(call, exc_type, message, param):
    exc = raised(call)
    assert type(exc) is exc_type
    if message is not None:
        assert str(exc) == message
    assert exc.__notes__ == [f"while processing '{param}'"]


# Catches str subclasses refused as names, or kept and handed back instead of plain str.
def test_str_subclasses_are_names():
    class Name(str):
        pass

    dag = CausalDAG.from_edges([(Name("a"), Name("b"))])
    assert dag.nodes() == ["a", "b"]
    assert type(dag.nodes()[0]) is str
