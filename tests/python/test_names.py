"""Node names at the boundary: every graph keeps one str per name and hands it out;
sorted lists follow UTF-8 byte order whichever way they are sorted; nothing leaks."""

import gc
import random
import sys

import pytest

import morvend
from helpers import dag_from

# Names that order differently by UTF-8 bytes than by naive expectations:
# prefixes, NUL, the empty name, non-ASCII, astral characters.
ODD = ["", "\x00", "a", "a\x00", "ab", "B", "é", "z", "\U0001f600", "\uffff", "ß", "a b"]


def byte_sorted(names):
    return sorted(names, key=lambda s: s.encode("utf-8"))


def random_named_dag(n, p, seed):
    """A random forward DAG with names drawn from ODD plus random text, in random id order."""
    rng = random.Random(seed)
    alphabet = "ab\x00é\U0001f600Z"
    names = list(ODD)
    while len(names) < n:
        name = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 5)))
        if name not in names:
            names.append(name)
    rng.shuffle(names)
    edges = [(names[i], names[j]) for i in range(n) for j in range(i + 1, n) if rng.random() < p]
    return names, edges


def reach(edges, start, forward):
    step = {}
    for a, b in edges:
        src, dst = (a, b) if forward else (b, a)
        step.setdefault(src, []).append(dst)
    seen, todo = set(), list(step.get(start, []))
    while todo:
        v = todo.pop()
        if v not in seen:
            seen.add(v)
            todo.extend(step.get(v, []))
    return seen


# Catches a rank-based sort (used for results that are a large part of the
# graph) or bitmap read-out that disagrees with Python's own order of str, on
# small, mid-sized and whole-graph results, and a stale rank after new nodes.
@pytest.mark.parametrize("n", [30, 300])
def test_sorted_results_follow_utf8_bytes(n):
    names, edges = random_named_dag(n, 0.08, seed=n)
    dag = dag_from(names, edges)
    for start in names[:: max(1, n // 15)]:
        assert dag.ancestors(start) == byte_sorted(reach(edges, start, forward=False))
        assert dag.descendants(start) == byte_sorted(reach(edges, start, forward=True))
    layers = dag.topological_layers()
    assert [x for layer in layers for x in layer] == [x for layer in layers for x in byte_sorted(layer)]
    assert sorted(x for layer in layers for x in layer) == sorted(names)
    # New names that sort before, between and after the ranked ones.
    for extra in ["", "A", "aa", "\U0001f601", "\x00\x00"]:
        if extra not in names:
            dag.add_edge(extra, names[0])
            edges.append((extra, names[0]))
    assert dag.ancestors(names[0]) == byte_sorted(reach(edges, names[0], forward=False))
    top = [x for layer in dag.topological_layers() for x in layer]
    assert sorted(top) == sorted(set(names) | {e[0] for e in edges})
    assert dag.d_convex_hull(dag.nodes()) == byte_sorted(dag.nodes())


# Catches a cached name that is a str subclass instance (or another object
# than the text given), and names of derived graphs that lose their text.
def test_returned_names_are_plain_str_with_the_given_text():
    class Name(str):
        pass

    pairs = [(Name("a"), Name("é")), ("é", Name("\U0001f600")), (Name(""), "a")]
    for dag in [
        morvend.CausalDAG.from_edges(pairs),
        morvend.CausalDAG.from_networkx(type("G", (), {"edges": lambda self: pairs})()),
    ]:
        for names in [dag.nodes(), [x for e in dag.edges() for x in e], dag.ancestors("\U0001f600")]:
            assert all(type(x) is str for x in names)
        assert dag.nodes() == ["a", "é", "\U0001f600", ""]
        sub = dag.induced_subgraph(["\U0001f600", "a"])
        assert sub.nodes() == ["a", "\U0001f600"] and all(type(x) is str for x in sub.nodes())
    dag = morvend.CausalDAG()
    dag.add_edge(Name("x"), Name("y"))
    assert [type(x) for x in dag.nodes()] == [str, str]
    cpdag = morvend.CausalCPDAG.from_edges(directed=[(Name("p"), "q")], undirected=[("q", Name("r"))])
    assert cpdag.nodes() == ["p", "q", "r"] and all(type(x) is str for x in cpdag.nodes())
    assert cpdag.consistent_extension().nodes() == ["p", "q", "r"]


# Catches references to name strs that are taken and never given back (or
# given back twice): every path that keeps or shares them, then everything
# dropped, must leave each name's reference count where it was.
def test_name_strs_are_released_with_their_graphs():
    names = [f"node-{i}" for i in range(40)]
    edges = [(names[i], names[j]) for i in range(40) for j in range(i + 1, min(40, i + 4))]
    before = [sys.getrefcount(x) for x in names]
    for _ in range(3):
        dag = morvend.CausalDAG.from_edges(edges)
        dag.add_edge(names[0], "extra")
        dag.nodes(), dag.edges(), dag.topological_layers(), dag.ancestors(names[-1])
        sub = dag.induced_subgraph(names[::2])
        sub.nodes()
        explainer = morvend.ASVExplainer(sub)
        explainer.explain(lambda c: float(len(c)), method="approx", n_samples=20, seed=1)
        explainer.explain_quality_batch(lambda b: [0.0] * len(b), min_samples=10, max_samples=20, batch_size=10)
        cpdag = morvend.CausalCPDAG.from_edges(directed=edges[:10], undirected=edges[10:20])
        cpdag.nodes(), cpdag.directed_edges(), cpdag.consistent_extension().nodes()
        del dag, sub, explainer, cpdag
        gc.collect()
    assert [sys.getrefcount(x) for x in names] == before


# Catches strs decoded on demand (graphs read from JSON) that are never
# freed: building and dropping many graphs must not grow the number of live
# blocks of Python's allocator. (Under the sanitizers, which route Python's
# allocations to malloc, the count is 0 and LeakSanitizer checks instead.)
def test_memory_stays_flat_over_many_graphs():
    text = morvend.CausalDAG.from_edges([(f"a{i}", f"b{i}") for i in range(300)]).to_json()

    def cycle():
        dag = morvend.CausalDAG.from_json(text)
        dag.nodes(), dag.edges(), dag.descendants("a7")
        morvend.ASVExplainer(dag.induced_subgraph(["a1", "b1"])).explain(lambda c: 1.0)

    for _ in range(20):
        cycle()
    gc.collect()
    start = sys.getallocatedblocks()
    for _ in range(200):
        cycle()
    gc.collect()
    # 600 names a graph: a leak of one str per name would add 120000 blocks.
    assert sys.getallocatedblocks() - start < 1000


# Catches a coalition list that is refilled while the value function still
# holds it, or a list the function changed being handed out again.
@pytest.mark.parametrize("method", ["exact_dag_sparse", "exact_dag", "approx"])
def test_value_functions_may_keep_or_change_their_lists(method):
    dag = morvend.CausalDAG.from_edges([("a", "b"), ("a", "c"), ("c", "d"), ("e", "d")])
    explainer = morvend.ASVExplainer(dag)
    order = {x: i for i, x in enumerate(dag.nodes())}

    def value(coalition):
        return sum((order[x] + 1) ** 2 for x in coalition) ** 0.5

    expected = explainer.explain(value, method=method, seed=3, n_samples=200)
    kept = []

    def keeping(coalition):
        kept.append((coalition, list(coalition)))
        return value(coalition)

    def mutating(coalition):
        v = value(coalition)
        coalition.append("junk") if len(coalition) % 2 else coalition.clear()
        return v

    assert explainer.explain(keeping, method=method, seed=3, n_samples=200) == expected
    assert all(held == copy and sorted(held, key=order.get) == held for held, copy in kept)
    assert explainer.explain(mutating, method=method, seed=3, n_samples=200) == expected
