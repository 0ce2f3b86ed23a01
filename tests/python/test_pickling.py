"""Pickling, copying and repr of the three classes, and the package version."""

import copy
import importlib.metadata
import pickle

import pytest

import morvend

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def shuffled_dag():
    # Edges added out of tail order, so parent lists are not in id order.
    dag = morvend.CausalDAG.from_edges([("c", "d"), ("a", "d"), ("b", "c"), ("a", "b"), ("", "é")])
    dag.add_edge("b", "d")
    return dag


def cpdag():
    g = morvend.CausalCPDAG.from_edges([("a", "b"), ("c", "b")], [("b", "d"), ("d", "e")])
    return g


def same_dag(a, b):
    assert a.nodes() == b.nodes()
    assert a.edges() == b.edges()
    assert a.to_json() == b.to_json()


# Catches a copy that loses ids, names or edge order, or shares the graph.
@pytest.mark.parametrize("make", [lambda d: pickle.loads(pickle.dumps(d, p)) for p in PROTOCOLS]
                         + [copy.copy, copy.deepcopy])
def test_dag_copies_are_equal_and_independent(make):
    dag = shuffled_dag()
    twin = make(dag)
    same_dag(dag, twin)
    twin.add_edge("x", "a")
    assert "x" not in dag.nodes()


# Catches a CPDAG copy that loses an edge's kind, ids or order, or shares the graph.
@pytest.mark.parametrize("make", [lambda d: pickle.loads(pickle.dumps(d, p)) for p in PROTOCOLS]
                         + [copy.copy, copy.deepcopy])
def test_cpdag_copies_are_equal_and_independent(make):
    g = cpdag()
    twin = make(g)
    assert twin.nodes() == g.nodes()
    assert twin.directed_edges() == g.directed_edges()
    assert twin.undirected_edges() == g.undirected_edges()
    assert twin.to_json() == g.to_json()
    twin.add_undirected_edge("a", "e")
    assert ("a", "e") not in g.undirected_edges()


# Catches an explainer that is rebuilt from the live graph instead of its
# frozen copy, or that explains differently after the trip.
def test_explainer_round_trip_keeps_its_frozen_graph():
    dag = shuffled_dag()
    explainer = morvend.ASVExplainer(dag)
    dag.add_edge("zz", "a")  # after freezing: not part of the explainer

    def value(coalition):
        return sum(len(x) + 0.5 for x in coalition) + 0.25 * ("a" in coalition and "d" in coalition)

    expected = explainer.explain_with_diagnostics(value, method="approx", seed=3, n_samples=200)
    for p in PROTOCOLS:
        back = pickle.loads(pickle.dumps(explainer, p))
        got = back.explain_with_diagnostics(value, method="approx", seed=3, n_samples=200)
        assert got == expected
    for twin in (copy.copy(explainer), copy.deepcopy(explainer)):
        assert twin.explain(value, method="exact") == explainer.explain(value, method="exact")


# Catches a loader that trusts its input: corrupted or foreign payloads end
# in ValueError or TypeError, never a crash or a half-built graph.
def test_corrupted_payloads_are_refused_cleanly():
    dag = shuffled_dag()
    state = dag.__reduce__()[2]
    assert isinstance(state, bytes)
    for k in range(len(state)):
        with pytest.raises(ValueError, match="invalid graph snapshot"):
            morvend.CausalDAG().__setstate__(state[:k])
    flipped = 0
    for k in range(len(state)):
        data = bytearray(state)
        data[k] ^= 0x5A
        fresh = morvend.CausalDAG()
        try:
            fresh.__setstate__(bytes(data))
        except ValueError:
            assert fresh.nodes() == []
            flipped += 1
    assert flipped > 0
    with pytest.raises(ValueError, match="not a CausalCPDAG"):
        morvend.CausalCPDAG().__setstate__(state)
    with pytest.raises(TypeError):
        morvend.CausalDAG().__setstate__("not bytes")
    with pytest.raises(ValueError):
        dag.__setstate__(state)  # only an empty graph takes a state


# Catches a pickled form that stores the names over again per edge (no smaller than
# the JSON text).
def test_pickled_form_is_compact():
    dag = morvend.CausalDAG.from_edges([(f"v{i}", f"v{i + 1}") for i in range(999)])
    assert len(pickle.dumps(dag)) < len(dag.to_json()) / 2


# Catches a repr that lists every edge of a large graph, miscounts, or leaves out
# the edges (and their kind) of a small one.
def test_repr_shows_counts_and_small_graphs_edges():
    dag = morvend.CausalDAG.from_edges([("a", "b"), ("b", "c")])
    assert repr(dag) == "<CausalDAG: 3 nodes, 2 edges: 'a' -> 'b', 'b' -> 'c'>"
    assert repr(morvend.CausalDAG()) == "<CausalDAG: 0 nodes, 0 edges>"
    big = morvend.CausalDAG.from_edges([(f"v{i}", f"v{i + 1}") for i in range(100)])
    assert repr(big) == "<CausalDAG: 101 nodes, 100 edges>"
    assert repr(cpdag()) == (
        "<CausalCPDAG: 5 nodes, 2 directed edges, 2 undirected edges: "
        "'a' -> 'b', 'c' -> 'b', 'b' -- 'd', 'd' -- 'e'>"
    )
    assert repr(morvend.ASVExplainer(dag)) == "<ASVExplainer: 3 nodes, 2 edges>"


# Catches a module version that drifts from the installed package's metadata.
def test_version_is_the_package_version():
    assert morvend.__version__ == importlib.metadata.version("morvend")
