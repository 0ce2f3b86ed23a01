"""d-convex hulls and induced subgraphs of CausalDAG."""

import random

import pytest

from morvend import CausalDAG

from conftest import INTERRUPT_LATENCY, interrupt_latency, raised
from helpers import random_dag


@pytest.fixture
def collider_chain():
    """a -> c <- b, c -> d."""
    return CausalDAG.from_edges([("a", "c"), ("b", "c"), ("c", "d")])


# Catches a hull that adds a collider's common child it should not, misses a node on
# a chain between two members, or a strong hull that misses a collider's other parent.
def test_worked_examples(collider_chain):
    chain = CausalDAG.from_edges([("a", "b"), ("b", "c")])
    assert chain.d_convex_hull(["a", "c"]) == ["a", "b", "c"]
    collider = CausalDAG.from_edges([("a", "c"), ("b", "c")])
    assert collider.d_convex_hull(["a", "b"]) == ["a", "b"]
    assert collider.strong_d_convex_hull(["a", "b"]) == ["a", "b"]
    assert collider_chain.d_convex_hull(["a", "b", "d"]) == ["a", "b", "c", "d"]
    assert collider_chain.d_convex_hull(["d", "a"]) == ["a", "c", "d"]
    assert collider_chain.strong_d_convex_hull(["a", "d"]) == ["a", "b", "c", "d"]


# Catches a hull of the empty set that is not empty, and one that depends on the
# order of its input or lists repeats.
def test_trivial_sets_and_repeats(diamond):
    assert diamond.d_convex_hull([]) == []
    assert diamond.strong_d_convex_hull(()) == []
    assert diamond.d_convex_hull(["d", "c", "b", "a"]) == ["a", "b", "c", "d"]
    assert diamond.d_convex_hull(["a", "a", "d", "d"]) == diamond.d_convex_hull(["a", "d"])
    assert diamond.strong_d_convex_hull(["a", "a"]) == ["a"]


# Catches a hull listed in id order or sorted otherwise than by UTF-8 bytes.
def test_results_sort_by_utf8_bytes():
    dag = CausalDAG.from_edges([("é", "m"), ("m", "Z")])
    assert dag.d_convex_hull(["Z", "é"]) == sorted(["é", "m", "Z"])


# Catches an unknown name skipped or reported late (the first one is named), a str
# taken for a list of names, and conversion errors without the parameter named.
@pytest.mark.parametrize("method", ["d_convex_hull", "strong_d_convex_hull", "induced_subgraph"])
def test_name_errors(method, diamond):
    call = getattr(diamond, method)
    exc = raised(call, ["a", "zz", "yy"])
    assert type(exc) is ValueError and str(exc) == "unknown node: zz"
    exc = raised(call, "ab")
    assert type(exc) is TypeError and "Can't extract `str` to `Vec`" in str(exc)
    assert exc.__notes__ == ["while processing 'names'"]
    exc = raised(call, ["a", 3])
    assert type(exc) is TypeError and exc.__notes__ == ["while processing 'names'"]
    assert type(raised(call)) is TypeError


# Catches a hull that drops a member of its input, a strong hull smaller than the plain
# one, and a hull that grows when taken again (not closed).
def test_hulls_are_closed_supersets():
    rng = random.Random(7)
    for seed in range(60):
        dag = random_dag(12, 0.25, seed)
        w = rng.sample(dag.nodes(), 3)
        hull = dag.d_convex_hull(w)
        strong = dag.strong_d_convex_hull(w)
        assert set(w) <= set(hull) <= set(strong)
        assert dag.d_convex_hull(hull) == hull
        assert dag.strong_d_convex_hull(strong) == strong


# Catches a subgraph that follows the order of its input or keeps repeats, and one
# that shares its nodes with the source graph.
def test_induced_subgraph_keeps_source_order():
    dag = CausalDAG.from_edges([("d", "b"), ("a", "d"), ("d", "e"), ("a", "b"), ("e", "b"), ("c", "a")])
    forward = dag.induced_subgraph(["d", "b", "e"])
    backward = dag.induced_subgraph(["e", "b", "d", "b"])
    for sub in (forward, backward):
        assert type(sub) is CausalDAG
        assert sub.nodes() == ["d", "b", "e"]
        assert sub.edges() == [("d", "b"), ("d", "e"), ("e", "b")]
    assert dag.induced_subgraph([]).nodes() == []
    # The new graph is independent of the old one.
    forward.add_edge("b", "zz")
    assert "zz" not in dag.nodes()


# Catches a subgraph that drops an edge between kept nodes or keeps one to a node left
# out, on random DAGs.
def test_induced_subgraph_matches_networkx():
    nx = pytest.importorskip("networkx")
    rng = random.Random(3)
    for seed in range(30):
        dag = random_dag(15, 0.3, seed)
        keep = rng.sample(dag.nodes(), 7)
        sub = dag.induced_subgraph(keep)
        expected = nx.DiGraph(dag.edges()).subgraph(keep)
        assert set(sub.edges()) == set(expected.edges())
        assert sub.nodes() == [v for v in dag.nodes() if v in keep]


# Catches Ctrl-C waiting for a long hull to finish, and a graph left borrowed
# or changed by a stopped hull.
@pytest.mark.parametrize("method", ["d_convex_hull", "strong_d_convex_hull"])
def test_ctrl_c_stops_a_long_hull(method):
    dag = random_dag(500, 0.05, 1)  # the hulls of {v250, v499} take 10 s or more
    hull = getattr(dag, method)
    small = hull(["v10", "v40"])
    exc, latency = interrupt_latency(hull, ["v250", "v499"])
    assert type(exc) is KeyboardInterrupt
    assert latency < INTERRUPT_LATENCY
    assert hull(["v10", "v40"]) == small
    dag.add_edge("v499", "new")


# Catches the handler's own exception being replaced by KeyboardInterrupt or
# by the computation's ValueError.
def test_a_signal_handlers_exception_is_raised_as_it_is():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("asked to stop")

    dag = random_dag(500, 0.05, 1)
    exc, latency = interrupt_latency(
        dag.d_convex_hull, ["v250", "v499"], delay=0.5, handler=handler, expect=Stop
    )
    assert str(exc) == "asked to stop"
    assert latency < INTERRUPT_LATENCY
