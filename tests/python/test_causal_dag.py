"""CausalDAG construction and structural queries."""

import pytest

from morvend import ASVExplainer, CausalDAG

from conftest import raised


# Catches node ids given in another order than first mention, tail before head.
def test_add_edge_creates_nodes_tail_first():
    dag = CausalDAG()
    dag.add_edge("b", "a")
    dag.add_edge("c", "a")
    assert dag.nodes() == ["b", "a", "c"]
    assert dag.edges() == [("b", "a"), ("c", "a")]
    assert dag.topological_layers() == [["b", "c"], ["a"]]


# Catches edges() in plain insertion order or sorted by name, not grouped by tail id.
def test_edges_are_grouped_by_tail_in_insertion_order():
    dag = CausalDAG.from_edges([("x", "z"), ("y", "z"), ("x", "y"), ("z", "w")])
    assert dag.nodes() == ["x", "z", "y", "w"]
    assert dag.edges() == [("x", "z"), ("x", "y"), ("z", "w"), ("y", "z")]


# Catches a refused self-loop or duplicate edge that takes back its nodes or half-adds
# the edge, and validate() missing a cycle that add_edge let in.
def test_refused_edges_keep_the_nodes_they_created():
    dag = CausalDAG()
    with pytest.raises(ValueError, match=r"^self-loop on node NodeId\(0\)$"):
        dag.add_edge("a", "a")
    assert dag.nodes() == ["a"]
    dag.add_edge("a", "b")
    with pytest.raises(ValueError, match=r"^duplicate edge NodeId\(0\) -> NodeId\(1\)$"):
        dag.add_edge("a", "b")
    assert dag.edges() == [("a", "b")]
    dag.add_edge("b", "a")  # no cycle check on insertion
    with pytest.raises(ValueError, match="^cycle detected in graph$"):
        dag.validate()


# Catches from_edges accepting a self-loop or a duplicate anywhere in the list, or
# refusing a cycle that only validate() should report.
def test_from_edges_is_all_or_nothing():
    with pytest.raises(ValueError, match=r"^self-loop on node NodeId\(0\)$"):
        CausalDAG.from_edges([("a", "a")])
    with pytest.raises(ValueError, match=r"^duplicate edge NodeId\(0\) -> NodeId\(1\)$"):
        CausalDAG.from_edges([("a", "b"), ("c", "d"), ("a", "b")])
    cyclic = CausalDAG.from_edges([("a", "b"), ("b", "a")])
    with pytest.raises(ValueError, match="^cycle detected in graph$"):
        cyclic.validate()


# Catches validate() passing an empty graph, or returning other than None on a sound one.
def test_validate_empty_and_isolated():
    with pytest.raises(ValueError, match="^graph is empty$"):
        CausalDAG().validate()
    assert CausalDAG.from_edges([("a", "b")]).validate() is None


# Catches names mangled or split on spaces, quotes, newlines, NUL, arrows or non-ASCII.
def test_names_are_arbitrary_text():
    names = ["", "a b", 'q"uote', "new\nline", "日本", "\x00nul", "->"]
    dag = CausalDAG.from_edges([(names[i], names[i + 1]) for i in range(len(names) - 1)])
    assert dag.nodes() == names
    assert dag.ancestors("->") == sorted(names[:-1])
    assert dag.descendants("") == sorted(names[1:])


# Catches ancestors and descendants in id order or sorted otherwise than by UTF-8
# bytes, or a node listed among its own.
def test_ancestors_and_descendants_sort_by_utf8_bytes(diamond):
    assert diamond.ancestors("d") == ["a", "b", "c"]
    assert diamond.descendants("a") == ["b", "c", "d"]
    assert diamond.ancestors("a") == []
    assert diamond.descendants("d") == []
    # Byte order of UTF-8 is code point order, the order of sorted().
    dag = CausalDAG.from_edges([("é", "z"), ("Z", "z"), ("a", "z"), ("ab", "z"), ("\U0001f600", "z")])
    assert dag.ancestors("z") == sorted(["é", "Z", "a", "ab", "\U0001f600"])


# Catches an unknown name (the empty one too) answered with an empty list or another error.
def test_unknown_names():
    dag = CausalDAG.from_edges([("a", "b")])
    for method in (dag.ancestors, dag.descendants):
        exc = raised(method, "zz")
        assert type(exc) is ValueError
        assert str(exc) == "unknown node: zz"
    assert str(raised(dag.ancestors, "")) == "unknown node: "


# Catches layers by shortest path (c beside b), and a failure on the empty graph.
def test_layers_follow_longest_paths():
    dag = CausalDAG.from_edges([("a", "b"), ("b", "c"), ("a", "c")])
    assert dag.topological_layers() == [["a"], ["b"], ["c"]]
    assert CausalDAG().topological_layers() == []


# Catches a summary key missing, renamed or moved, a wrong figure, or is_dag as an int.
def test_inspect_keys_types_and_values(diamond):
    summary = diamond.inspect()
    assert list(summary) == [
        "n_nodes",
        "n_edges",
        "is_dag",
        "is_rooted_tree",
        "n_roots",
        "n_leaves",
        "max_depth",
        "recommended_method",
        "estimated_dense_states",
    ]
    assert summary == {
        "n_nodes": 4,
        "n_edges": 4,
        "is_dag": True,
        "is_rooted_tree": False,
        "n_roots": 1,
        "n_leaves": 1,
        "max_depth": 2,
        "recommended_method": "exact",
        "estimated_dense_states": 16,
    }
    assert type(summary["is_dag"]) is bool


# Catches 2^n wrapping at 64 nodes instead of None, and wrong figures for the empty graph.
def test_inspect_on_special_graphs():
    empty = CausalDAG().inspect()
    assert (empty["is_dag"], empty["is_rooted_tree"], empty["max_depth"]) == (True, False, 0)
    assert empty["estimated_dense_states"] == 1
    big = CausalDAG.from_edges([(f"n{i}", f"n{i + 1}") for i in range(63)])
    assert big.inspect()["estimated_dense_states"] is None  # 64 nodes
    assert big.inspect()["recommended_method"] == "exact_tree"
    just_fits = CausalDAG.from_edges([(f"n{i}", f"n{i + 1}") for i in range(62)])
    assert just_fits.inspect()["estimated_dense_states"] == 2**63


# Catches a cyclic graph called a DAG or a rooted tree from its parent counts alone, and
# topological_layers() failing on it instead of layering its acyclic part.
def test_inspect_reports_cycles():
    # A root plus a separate two-node cycle: one node without parents, all
    # others with one parent, yet no tree and no DAG.
    dag = CausalDAG()
    dag.add_edge("x", "y")
    dag.add_edge("y", "x")
    dag.add_edge("r", "s")
    dag2 = CausalDAG.from_edges([("b", "c"), ("c", "b")])
    dag2.add_edge("r", "q")
    summary = dag2.inspect()
    assert summary["is_dag"] is False
    assert summary["is_rooted_tree"] is False
    assert dag2.topological_layers() == [["r"], ["q"]]


class EdgeSource:
    def __init__(self, edges):
        self._edges = edges

    def edges(self):
        return self._edges


# Catches from_networkx requiring a networkx graph, tuples or a list from .edges(), or
# choking on edge data.
def test_from_networkx_with_any_edge_source():
    dag = CausalDAG.from_networkx(EdgeSource([("a", "b", {"w": 1}), ["b", "c"], ("a", "c")]))
    assert dag.edges() == [("a", "b"), ("a", "c"), ("b", "c")]
    assert CausalDAG.from_networkx(EdgeSource(iter([("x", "y")]))).nodes() == ["x", "y"]


# Catches from_networkx failing on a real DiGraph or reading more than its edges.
def test_from_networkx_with_networkx():
    nx = pytest.importorskip("networkx")
    g = nx.DiGraph()
    g.add_node("isolated")
    g.add_edges_from([("a", "b"), ("b", "c")])
    dag = CausalDAG.from_networkx(g)
    assert dag.nodes() == ["a", "b", "c"]


class Boom(Exception):
    pass


class RaisingEdges:
    def edges(self):
        raise Boom("no edges today")


def junk_iter():
    yield ("a", "b")
    raise Boom("midway")


# Catches a malformed edge source that crashes, is half-read, or raises another type.
@pytest.mark.parametrize(
    ("source", "exc_type"),
    [
        (object(), AttributeError),
        (RaisingEdges(), Boom),
        (EdgeSource(5), TypeError),
        (EdgeSource([5]), TypeError),
        (EdgeSource([("a",)]), IndexError),
        (EdgeSource([(1, 2)]), TypeError),
        (EdgeSource([("a", None)]), TypeError),
        (EdgeSource(junk_iter()), Boom),
        (EdgeSource([("a", "a")]), ValueError),
        (None, AttributeError),
    ],
)
def test_from_networkx_bad_sources_raise_cleanly(source, exc_type):
    exc = raised(CausalDAG.from_networkx, source)
    assert type(exc) is exc_type


# Catches an error from .edges() reworded or given a note on its way out.
def test_from_networkx_propagates_edges_errors_unchanged():
    exc = raised(CausalDAG.from_networkx, RaisingEdges())
    assert str(exc) == "no edges today"
    assert not getattr(exc, "__notes__", None)


# Catches a new explainer missing a cycle added to its graph after an earlier explainer
# was built on it (the earlier one is only kept alive here, not used).
def test_explainer_copies_the_graph(diamond):
    explainer = ASVExplainer(diamond)
    diamond.add_edge("d", "a")  # a cycle in the original does not reach the copy
    with pytest.raises(ValueError, match="cycle"):
        ASVExplainer(diamond)
    assert explainer is not None


# Catches an explainer built on an empty or a cyclic graph.
def test_explainer_validates():
    with pytest.raises(ValueError, match="^graph is empty$"):
        ASVExplainer(CausalDAG())
    with pytest.raises(ValueError, match="^cycle detected in graph$"):
        ASVExplainer(CausalDAG.from_edges([("a", "b"), ("b", "a")]))


# Catches recursion or quadratic work on long graphs: a stack overflow or a time-out on
# a million-node chain.
def test_million_node_chain():
    n = 1_000_000
    names = [f"v{i:07d}" for i in range(n)]
    dag = CausalDAG.from_edges(list(zip(names, names[1:])))
    layers = dag.topological_layers()
    assert len(layers) == n and layers[-1] == [names[-1]]
    assert len(dag.ancestors(names[-1])) == n - 1
    summary = dag.inspect()
    assert summary["max_depth"] == n - 1 and summary["is_rooted_tree"]
    dag.validate()
