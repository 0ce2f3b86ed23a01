"""JSON and DOT text of CausalDAG and CausalCPDAG."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvend import CausalCPDAG, CausalDAG

from conftest import raised

# Any text a Python str can encode to UTF-8: no lone surrogates.
names = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)


@st.composite
def dags(draw):
    """A graph over distinct awkward names, edges added in a drawn order."""
    labels = draw(st.lists(names, min_size=1, max_size=8, unique=True))
    pairs = draw(st.lists(st.tuples(st.sampled_from(labels), st.sampled_from(labels)), max_size=15))
    dag = CausalDAG()
    for a, b in pairs:
        if a != b and (a, b) not in dag.edges():
            dag.add_edge(a, b)
    return dag, labels


def python_dump(doc):
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


# Catches JSON text that differs by a byte from the documented form (key order,
# spacing, node order, the order of each undirected edge's ends).
def test_to_json_exact_bytes():
    dag = CausalDAG.from_edges([("x", "y"), ("x", "z")])
    assert dag.to_json() == '{"edges":[{"from":"x","to":"y"},{"from":"x","to":"z"}],"nodes":["x","y","z"]}'
    assert CausalDAG().to_json() == '{"edges":[],"nodes":[]}'
    cpdag = CausalCPDAG.from_edges(directed=[("c", "a")], undirected=[("b", "a"), ("b", "c")])
    assert cpdag.to_json() == (
        '{"directed_edges":[{"from":"c","to":"a"}],"nodes":["c","a","b"],'
        '"undirected_edges":[{"a":"c","b":"b"},{"a":"a","b":"b"}]}'
    )


# Catches JSON text that is not Python's compact sorted dump of the graph, or that does
# not read back to the same nodes and edges, however it is re-indented or escaped.
@settings(max_examples=150, deadline=None)
@given(dags())
def test_json_round_trip_and_byte_form(case):
    dag, labels = case
    text = dag.to_json()
    # The byte form is Python's own compact, sorted, non-ASCII-preserving dump.
    assert text == python_dump({"nodes": dag.nodes(), "edges": [{"from": a, "to": b} for a, b in dag.edges()]})
    back = CausalDAG.from_json(text)
    assert back.nodes() == dag.nodes()
    assert back.edges() == dag.edges()
    # Any formatting of the same document reads the same, ASCII escapes included.
    assert CausalDAG.from_json(json.dumps(json.loads(text), indent=2)).edges() == dag.edges()


# Catches quotes, backslashes, control characters, NUL or non-ASCII names escaped wrongly
# or not at all, so that the text does not read back to the same graph.
def test_awkward_names_round_trip():
    awkward = ["", 'q"uote', "back\\slash", "new\nline", "tab\tcr\r", "\x00nul", "\x1f\x7f", "日本", "\U0001f600"]
    dag = CausalDAG.from_edges(list(zip(awkward, awkward[1:])))
    text = dag.to_json()
    assert '"q\\"uote"' in text and '"new\\nline"' in text and "\\u001f\x7f" in text and "日本" in text
    back = CausalDAG.from_json(text)
    assert back.nodes() == awkward and back.edges() == dag.edges()
    cpdag = CausalCPDAG.from_edges(undirected=list(zip(awkward, awkward[1:])))
    assert CausalCPDAG.from_json(cpdag.to_json()).undirected_edges() == cpdag.undirected_edges()


# Catches a reader that depends on whitespace, key order or unknown keys, or takes
# nodes in another order than listed nodes first, then the ends of each edge.
def test_reader_accepts_any_layout():
    dag = CausalDAG.from_json('{ "nodes": ["a"], "edges": [] }')
    assert dag.nodes() == ["a"]
    dag = CausalDAG.from_json('{"edges":[{"to":"b","from":"a","w":1}],"nodes":["c"],"meta":{}}\n')
    assert dag.nodes() == ["c", "a", "b"]  # nodes first, then the ends of each edge
    assert CausalDAG.from_json("{}").nodes() == []
    cyclic = CausalDAG.from_json('{"edges":[{"from":"a","to":"b"},{"from":"b","to":"a"}]}')
    assert str(raised(cyclic.validate)) == "cycle detected in graph"


TOP_LEVEL = "malformed JSON: the top-level value must be an object"


# Catches a document of the wrong shape accepted or refused without saying what is
# wrong with it; for a CPDAG document, also a conflict between its two edge kinds
# missed.
@pytest.mark.parametrize(
    ("cls", "text", "message"),
    [
        (CausalDAG, "[]", TOP_LEVEL),
        (CausalDAG, "3", TOP_LEVEL),
        (CausalDAG, "null", TOP_LEVEL),
        (CausalDAG, '"s"', TOP_LEVEL),
        (CausalDAG, '{"nodes": null}', 'malformed JSON: "nodes" must be an array'),
        (CausalDAG, '{"nodes": ["a", 1]}', 'malformed JSON: "nodes" entries must be strings'),
        (CausalDAG, '{"edges": {}}', 'malformed JSON: "edges" must be an array'),
        (CausalDAG, '{"edges": [["a", "b"]]}', 'malformed JSON: edge missing string "from"'),
        (CausalDAG, '{"edges": [{"from": "a"}]}', 'malformed JSON: edge missing string "to"'),
        (CausalDAG, '{"edges": 1, "nodes": 1}', 'malformed JSON: "nodes" must be an array'),
        (CausalDAG, '{"edges": [{"from": "a", "to": "b"}, {"from": "a", "to": "b"}]}', "duplicate edge NodeId(0) -> NodeId(1)"),
        (CausalDAG, '{"edges": [{"from": "a", "to": "a"}]}', "self-loop on node NodeId(0)"),
        (CausalCPDAG, "[]", TOP_LEVEL),
        (CausalCPDAG, '{"nodes": {}}', 'malformed JSON: "nodes" must be an array'),
        (CausalCPDAG, '{"directed_edges": 1}', 'malformed JSON: "directed_edges" must be an array'),
        (CausalCPDAG, '{"directed_edges": [{"to": "b"}]}', 'malformed JSON: directed edge missing string "from"'),
        (CausalCPDAG, '{"directed_edges": [{"from": "a"}]}', 'malformed JSON: directed edge missing string "to"'),
        (CausalCPDAG, '{"undirected_edges": "x"}', 'malformed JSON: "undirected_edges" must be an array'),
        (CausalCPDAG, '{"undirected_edges": [{"b": "x"}]}', 'malformed JSON: undirected edge missing string "a"'),
        (CausalCPDAG, '{"undirected_edges": [{"a": "x"}]}', 'malformed JSON: undirected edge missing string "b"'),
        (
            CausalCPDAG,
            '{"undirected_edges": [{"a": "b", "b": "a"}], "directed_edges": [{"from": "a", "to": "b"}]}',
            "conflicting edge between NodeId(1) and NodeId(0): an edge with a different orientation already exists",
        ),
    ],
)
def test_reader_messages(cls, text, message):
    exc = raised(cls.from_json, text)
    assert type(exc) is ValueError
    assert str(exc) == message


# Catches a syntax error reported without its position, or at the wrong one (past the
# offending token, or counted in bytes across lines).
@pytest.mark.parametrize(
    ("text", "position"),
    [
        ("", " at line 1 column 0"),
        ("{", " at line 1 column 1"),
        ('{"nodes": ["a",]}', " at line 1 column 16"),
        ('{\n  "nodes": [1 2]\n}', " at line 2 column 15"),
        ("{}\n\nx", " at line 3 column 1"),
        # At the first byte of a token that cannot stand where it is, not after it.
        ('{"a":1 "b":2}', " at line 1 column 8"),
        ("[true false]", " at line 1 column 7"),
        ('{"a":1,\n "b":2\n "c":3}', " at line 3 column 2"),
        ("[true fals]", " at line 1 column 7"),
        ('{} "tail', " at line 1 column 4"),
    ],
)
def test_syntax_errors_name_line_and_column(text, position):
    for cls in (CausalDAG, CausalCPDAG):
        message = str(raised(cls.from_json, text))
        assert message.startswith("malformed JSON: ")
        assert message.endswith(position)
        assert len(message) > len("malformed JSON: ") + len(position)


# Catches text cut at a NUL byte, which would accept what follows unread.
@pytest.mark.parametrize(
    ("text", "message"),
    [
        (
            '{"nodes":["a"]}\x00{"x":1}',
            "syntax error while parsing value - invalid literal; last read: "
            "'\"a\"]}<U+0000>'; expected end of input at line 1 column 16",
        ),
        (
            "{}\n\x00",
            "syntax error while parsing value - invalid literal; last read: "
            "'{}<U+000A><U+0000>'; expected end of input at line 2 column 1",
        ),
        (
            '{"nodes":\x00["a"]}',
            "syntax error while parsing value - invalid literal; last read: "
            "'\"nodes\":<U+0000>' at line 1 column 10",
        ),
        (
            '{"nodes":["a\x00"]}',
            "syntax error while parsing value - invalid string: control character U+0000 (NUL) "
            "must be escaped to \\u0000; last read: '\"a<U+0000>' at line 1 column 13",
        ),
    ],
)
def test_nul_byte_does_not_end_the_text(text, message):
    # Taking a NUL for the end of the text would read '{"nodes":["a"]}' alone.
    for cls in (CausalDAG, CausalCPDAG):
        exc = raised(cls.from_json, text)
        assert type(exc) is ValueError
        assert str(exc) == "malformed JSON: " + message


# Catches a recursive parser that overflows the stack on deep nesting, and an off-by-one
# at the 128-level limit.
def test_deep_nesting_fails_cleanly():
    for text in ("[" * 10**6, '{"a":' * 10**5, "[" * 129 + "]" * 129):
        exc = raised(CausalDAG.from_json, text)
        assert type(exc) is ValueError
        assert str(exc).startswith("malformed JSON: ")
    assert str(raised(CausalCPDAG.from_json, "[" * 10**6)) == (
        "malformed JSON: nesting deeper than 128 levels at line 1 column 129"
    )
    fits = '{"x":' + "[" * 127 + "]" * 127 + "}"
    assert CausalDAG.from_json(fits).nodes() == []


# Catches a parser message cut inside a UTF-8 character failing to become a str.
def test_parser_text_with_a_partial_character_is_still_a_message():
    # The parser quotes the bytes it read, which may stop inside a character.
    exc = raised(CausalDAG.from_json, "tru\u20ac")
    assert type(exc) is ValueError
    assert str(exc).startswith("malformed JSON: ") and str(exc).endswith(" at line 1 column 4")


# Catches bytes accepted as text, or refused without naming the parameter, and a missing
# or keyword argument mishandled.
def test_from_json_argument_errors():
    exc = raised(CausalDAG.from_json, b"{}")
    assert type(exc) is TypeError
    assert exc.__notes__ == ["while processing 's'"]
    assert type(raised(CausalCPDAG.from_json)) is TypeError
    assert CausalCPDAG.from_json(s="{}").nodes() == []


# Catches DOT text in another edge order or layout than documented.
def test_to_dot_exact_bytes():
    assert CausalDAG().to_dot() == "digraph {\n}"
    dag = CausalDAG.from_edges([("a", "b"), ("c", "b"), ("a", "c")])
    dag.add_edge("x", "y")
    assert dag.to_dot() == "digraph {\n  a -> b;\n  a -> c;\n  c -> b;\n  x -> y;\n}"
    assert CausalDAG.from_json('{"nodes":["iso"]}').to_dot() == "digraph {\n}"


# Catches names that DOT reads as other tokens (separators, arrows, keywords, quotes,
# numerals) written unquoted, or quoted and escaped wrongly.
def test_to_dot_quotes_names_that_would_break_the_text():
    dag = CausalDAG.from_edges(
        [("a; b -> c", "q\"t"), ("new\nline", "back\\"), ("", "graph"), ("2x", "-1.5"), ("é_1", ".5")]
    )
    assert dag.to_dot() == (
        "digraph {\n"
        '  "a; b -> c" -> "q\\"t";\n'
        '  "new\nline" -> "back\\\\";\n'
        '  "" -> "graph";\n'
        '  "2x" -> -1.5;\n'
        "  é_1 -> .5;\n"
        "}"
    )
