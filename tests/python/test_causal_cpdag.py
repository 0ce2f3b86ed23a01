"""CausalCPDAG: construction, validation, consistent extension, hulls, subgraphs."""

import itertools
import json
import random

import pytest

from morvend import CausalCPDAG, CausalDAG

from conftest import INTERRUPT_LATENCY, interrupt_latency, raised

NO_EXTENSION = (
    "PDAG has no consistent DAG extension (undirected edges can't be oriented "
    "without creating a cycle or a new v-structure)"
)


def conflict(a, b):
    return f"conflicting edge between NodeId({a}) and NodeId({b}): an edge with a different orientation already exists"


@pytest.fixture
def square():
    """The chordless undirected 4-cycle a - b - c - d - a."""
    return CausalCPDAG.from_edges(undirected=[("a", "b"), ("b", "c"), ("c", "d"), ("d", "a")])


# Catches from_edges adding the undirected edges first (the conflict would name other
# ids), or listing them otherwise than insertion does.
def test_from_edges_adds_directed_before_undirected():
    exc = raised(CausalCPDAG.from_edges, directed=[("a", "b")], undirected=[("b", "a")])
    assert type(exc) is ValueError and str(exc) == conflict(1, 0)
    g = CausalCPDAG.from_edges([("x", "y")], [("z", "x")])
    assert g.nodes() == ["x", "y", "z"]
    assert g.directed_edges() == [("x", "y")]
    assert g.undirected_edges() == [("x", "z")]
    empty = CausalCPDAG.from_edges()
    assert empty.nodes() == []
    assert str(raised(empty.validate_pdag)) == "graph is empty"


# Catches a malformed edge list whose error does not name its parameter.
@pytest.mark.parametrize(
    ("kwargs", "exc_type", "param"),
    [
        ({"directed": None}, TypeError, "directed"),
        ({"undirected": "ab"}, TypeError, "undirected"),
        ({"directed": [("a", "b", "c")]}, ValueError, "directed"),
        ({"undirected": [["a", "b"]]}, TypeError, "undirected"),
    ],
)
def test_from_edges_conversion_errors(kwargs, exc_type, param):
    exc = raised(CausalCPDAG.from_edges, **kwargs)
    assert type(exc) is exc_type
    assert exc.__notes__ == [f"while processing '{param}'"]


# Catches extra or repeated arguments accepted, or refused in other words than CPython's.
def test_from_edges_argument_messages():
    exc = raised(CausalCPDAG.from_edges, [], [], [])
    assert str(exc) == "CausalCPDAG.from_edges() takes from 0 to 2 positional arguments but 3 were given"
    exc = raised(CausalCPDAG.from_edges, [], directed=[])
    assert str(exc) == "CausalCPDAG.from_edges() got multiple values for argument 'directed'"


# Catches a duplicate or conflicting edge accepted in either kind, a refused edge that
# takes back its node, and undirected edges listed by name instead of by id.
def test_insertion_errors_and_listing_order():
    g = CausalCPDAG()
    g.add_undirected_edge("b", "a")
    assert g.undirected_edges() == [("b", "a")]  # b got the smaller id
    with pytest.raises(ValueError, match=r"^duplicate edge NodeId\(1\) -> NodeId\(0\)$"):
        g.add_undirected_edge(a_name="a", b_name="b")
    with pytest.raises(ValueError) as info:
        g.add_directed_edge("a", "b")
    assert str(info.value) == conflict(1, 0)
    with pytest.raises(ValueError, match=r"^self-loop on node NodeId\(2\)$"):
        g.add_directed_edge("c", "c")
    assert g.nodes() == ["b", "a", "c"]  # the refused edge's new node stays
    g.add_directed_edge("c", "a")
    with pytest.raises(ValueError, match=r"^duplicate edge NodeId\(2\) -> NodeId\(1\)$"):
        g.add_directed_edge("c", "a")
    assert str(raised(g.add_directed_edge, "a", "c")) == conflict(1, 2)
    assert str(raised(g.add_undirected_edge, "a", "c")) == conflict(1, 2)
    assert g.directed_edges() == [("c", "a")]
    exc = raised(g.add_undirected_edge, "a", 1)
    assert type(exc) is TypeError and exc.__notes__ == ["while processing 'b_name'"]


# Catches a cycle missed by either check, and validate_cpdag() passing a PDAG that has
# no consistent extension.
def test_validation(square):
    cyclic = CausalCPDAG.from_edges(directed=[("a", "b"), ("b", "c"), ("c", "a")])
    assert str(raised(cyclic.validate_pdag)) == "cycle detected in graph"
    assert str(raised(cyclic.validate_cpdag)) == "cycle detected in graph"
    assert square.validate_pdag() is None
    assert str(raised(square.validate_cpdag)) == NO_EXTENSION
    assert str(raised(CausalCPDAG().validate_cpdag)) == "graph is empty"
    assert CausalCPDAG.from_edges(undirected=[("a", "b")]).validate_cpdag() is None


# Catches an extension that orients undirected edges into a new v-structure, loses an
# isolated node, or exists for the chordless 4-cycle.
def test_consistent_extension_examples(square):
    path = CausalCPDAG.from_edges(undirected=[("a", "b"), ("b", "c")])
    ext = path.consistent_extension()
    assert type(ext) is CausalDAG
    assert ext.nodes() == ["a", "b", "c"]
    assert ext.edges() == [("b", "a"), ("c", "b")]
    v = CausalCPDAG.from_edges(directed=[("a", "c"), ("b", "c")])
    assert v.consistent_extension().edges() == [("a", "c"), ("b", "c")]
    one = CausalCPDAG.from_json('{"nodes":["solo"]}')
    assert one.consistent_extension().nodes() == ["solo"]
    assert str(raised(square.consistent_extension)) == NO_EXTENSION
    assert str(raised(CausalCPDAG().consistent_extension)) == "graph is empty"


def random_pdag(rng, n, p, q):
    directed, undirected = [], []
    for i, j in itertools.combinations(range(n), 2):
        if rng.random() < p:
            pair = (f"v{i}", f"v{j}")
            if rng.random() < q:
                undirected.append(pair if rng.random() < 0.5 else pair[::-1])
            else:
                directed.append(pair)
    rng.shuffle(directed)
    rng.shuffle(undirected)
    doc = {
        "nodes": [f"v{i}" for i in range(n)],
        "directed_edges": [{"from": a, "to": b} for a, b in directed],
        "undirected_edges": [{"a": a, "b": b} for a, b in undirected],
    }
    return CausalCPDAG.from_json(json.dumps(doc))


def check_extension(pdag, dag):
    nx = pytest.importorskip("networkx")
    edges = set(dag.edges())
    assert dag.nodes() == pdag.nodes()
    assert set(pdag.directed_edges()) <= edges
    for a, b in pdag.undirected_edges():
        assert ((a, b) in edges) != ((b, a) in edges)
    assert len(edges) == len(pdag.directed_edges()) + len(pdag.undirected_edges())
    g = nx.DiGraph(edges)
    assert nx.is_directed_acyclic_graph(g)
    compelled = set(pdag.directed_edges())
    for c in g.nodes:
        for p, q in itertools.combinations(sorted(g.predecessors(c)), 2):
            if not g.has_edge(p, q) and not g.has_edge(q, p):
                assert (p, c) in compelled and (q, c) in compelled, (p, q, c)


# Catches an extension that drops or adds an edge, turns a compelled edge, leaves a
# cycle or makes a new v-structure, and a sound PDAG wrongly refused (both outcomes
# must occur often).
def test_extension_properties_on_random_pdags():
    rng = random.Random(11)
    outcomes = {True: 0, False: 0}
    for _ in range(200):
        pdag = random_pdag(rng, rng.randrange(2, 9), 0.45, 0.6)
        try:
            dag = pdag.consistent_extension()
        except ValueError as exc:
            assert str(exc) == NO_EXTENSION
            outcomes[False] += 1
            continue
        outcomes[True] += 1
        check_extension(pdag, dag)
        assert pdag.validate_cpdag() is None
    assert min(outcomes.values()) > 30


# Catches the CPDAG hull taken without orienting the undirected edges first, an order
# dependence on the input, and the extension tried before unknown names are refused.
def test_strong_hull_uses_an_extension(square):
    # a -> c <- b compelled and c - d: the extension orients c -> d.
    g = CausalCPDAG.from_edges(directed=[("a", "c"), ("b", "c")], undirected=[("c", "d")])
    assert g.strong_d_convex_hull(["a", "d"]) == ["a", "b", "c", "d"]
    assert g.strong_d_convex_hull(["d", "a"]) == g.consistent_extension().strong_d_convex_hull(["a", "d"])
    assert g.strong_d_convex_hull([]) == []
    # Names are resolved before the extension is attempted.
    assert str(raised(square.strong_d_convex_hull, ["a", "zz"])) == "unknown node: zz"
    assert str(raised(square.strong_d_convex_hull, ["a"])) == NO_EXTENSION


# Catches a subgraph that changes an edge's kind, keeps repeats or input order, or
# accepts an unknown name.
def test_induced_subgraph_keeps_edge_kinds():
    g = CausalCPDAG.from_edges(directed=[("a", "b")], undirected=[("b", "c"), ("d", "c")])
    ab = g.induced_subgraph(["b", "a"])
    assert type(ab) is CausalCPDAG
    assert ab.nodes() == ["a", "b"]
    assert ab.directed_edges() == [("a", "b")]
    assert ab.undirected_edges() == []
    bcd = g.induced_subgraph(["d", "c", "b", "c"])
    assert bcd.nodes() == ["b", "c", "d"]
    assert bcd.undirected_edges() == [("b", "c"), ("c", "d")]
    assert str(raised(g.induced_subgraph, ["zz"])) == "unknown node: zz"


# Catches to_json()/from_json() losing an undirected edge, turning one into a directed
# one, or reordering nodes or edges.
def test_json_round_trip_keeps_both_kinds():
    g = CausalCPDAG.from_edges(directed=[("x", "y"), ("z", "y")], undirected=[("w", "x"), ("z", "w")])
    back = CausalCPDAG.from_json(g.to_json())
    assert back.nodes() == g.nodes()
    assert back.directed_edges() == g.directed_edges()
    assert back.undirected_edges() == g.undirected_edges()
    assert back.to_json() == g.to_json()


def complete_cpdag(m):
    """The undirected complete graph on v0 .. v{m-1}: the CPDAG of every complete DAG."""
    names = [f"v{i}" for i in range(m)]
    return CausalCPDAG.from_edges(undirected=list(itertools.combinations(names, 2)))


# Catches Ctrl-C waiting for the elimination to finish (about m^3 adjacency
# tests on a complete graph: 15 s for m = 1000), and a graph left borrowed
# after a stopped one.
@pytest.mark.parametrize("method", ["consistent_extension", "validate_cpdag"])
def test_ctrl_c_stops_a_long_extension(method):
    g = complete_cpdag(1000)
    exc, latency = interrupt_latency(getattr(g, method))
    assert type(exc) is KeyboardInterrupt
    assert latency < INTERRUPT_LATENCY
    assert g.validate_pdag() is None
    g.add_undirected_edge("v0", "new")
    assert g.induced_subgraph(["new", "v0"]).undirected_edges() == [("v0", "new")]


# Catches Ctrl-C waiting for the hull taken after the extension: on the
# complete graph the collider pass alone takes seconds.
def test_ctrl_c_stops_a_long_cpdag_hull():
    g = complete_cpdag(600)
    exc, latency = interrupt_latency(g.strong_d_convex_hull, ["v0", "v5"])
    assert type(exc) is KeyboardInterrupt
    assert latency < INTERRUPT_LATENCY
    assert g.strong_d_convex_hull([]) == []  # the whole extension again, then nothing to add
