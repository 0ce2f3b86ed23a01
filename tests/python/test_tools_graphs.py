"""morvend_tools.graphs: readers, the label rule, latent projection."""

import json
import random
import subprocess
import sys
import warnings

import pytest
from hypothesis import given, settings

from morvend_tools import graphs as g
from morvend import CausalDAG

from helpers import dag_from, random_dag
from test_formats import dags

nx = pytest.importorskip("networkx")


def sample_graph():
    """Integer and text labels, an isolated node, edges out of insertion order."""
    G = nx.DiGraph()
    G.add_nodes_from([3, 0, "x", 7])  # 7 stays isolated
    G.add_edges_from([(0, 3), (3, "x"), (0, "x"), ("y", 0)])
    return G


def via_pydot(G):
    pytest.importorskip("pydot")
    return g.dag_from_dot(nx.nx_pydot.to_pydot(G).to_string())


def via_dot_file(G, tmp_path):
    pytest.importorskip("pydot")
    nx.nx_pydot.write_dot(G, tmp_path / "g.dot")
    return g.dag_from_dot_file(tmp_path / "g.dot")


def via_multigraph(G):
    M = nx.MultiDiGraph(G)
    M.add_edge(0, 3)  # a parallel edge counts once
    return g.dag_from_networkx(M)


# Each reader on networkx's own output: catches isolated nodes dropped, integer
# labels named differently by different readers, node-link's two edge keys, and
# node order lost (ids must follow the input).
@pytest.mark.parametrize(
    "read",
    [
        lambda G, _: g.dag_from_networkx(G),
        lambda G, _: via_multigraph(G),
        lambda G, _: g.dag_from_node_link(json.dumps(nx.node_link_data(G, edges="edges"))),
        lambda G, _: g.dag_from_node_link(nx.node_link_data(G, edges="links")),
        lambda G, _: g.dag_from_networkx(g.dag_to_networkx(g.dag_from_networkx(G))),
        lambda G, _: via_pydot(G),
        via_dot_file,
    ],
    ids=["networkx", "multigraph", "node-link-edges", "node-link-links", "to-networkx", "pydot", "dot-file"],
)
def test_readers_keep_every_node_and_label(read, tmp_path):
    G = sample_graph()
    dag = read(G, tmp_path)
    assert dag.nodes() == ["3", "0", "x", "7", "y"]
    assert dag.edges() == [("3", "x"), ("0", "3"), ("0", "x"), ("y", "0")]


# The label rule: tuples name alike through networkx and node-link JSON, and
# two labels with one name are refused instead of merged into one variable.
def test_label_rule_is_shared_and_refuses_collisions():
    G = nx.DiGraph([(("a", 1), ("b", 2))])
    assert g.dag_from_node_link(json.dumps(nx.node_link_data(G))).edges() == [("('a', 1)", "('b', 2)")]
    assert g.dag_from_networkx(G).edges() == [("('a', 1)", "('b', 2)")]
    for bad in [nx.DiGraph([(1, "1")]), nx.DiGraph([(1, 2), ("2", 3)])]:
        with pytest.raises(ValueError, match=r"node labels .* both have the name"):
            g.dag_from_networkx(bad)


DOT_CASES = [
    ("digraph { a -> b -> c }", "abc", [("a", "b"), ("b", "c")]),
    ('strict DiGraph "n" { "a" -> b; a -> b [w=2]; c }', "abc", [("a", "b")]),
    ("digraph {\n// x -> y\n/* y\n-> z */\n# line x -> y\n a; b }", "ab", []),
    ("digraph { rankdir=LR; node [shape=box]; edge [] a:p:n -> b:s }", "ab", [("a", "b")]),
    ("digraph { subgraph cluster_0 { a; b -> c } -> d  {a} -> {e} }", "abcde",
     [("b", "c"), ("a", "d"), ("b", "d"), ("c", "d"), ("a", "e")]),
    ('digraph { "x" + "y" -> <h<i>> -> -1.5 "q\\"\\\\" }', ["xy", "h<i>", "-1.5", 'q"\\'], [("xy", "h<i>"), ("h<i>", "-1.5")]),
]


# Each DOT construct read right: chains, quoting, comments, attributes, ports,
# subgraphs as edge ends, concatenation, HTML and numeral IDs.
@pytest.mark.parametrize(("text", "nodes", "edges"), DOT_CASES)
def test_dot_constructs(text, nodes, edges):
    dag = g.dag_from_dot(text)
    assert (dag.nodes(), sorted(dag.edges())) == (list(nodes), sorted(edges))


# Refusals name the line: an undirected graph read as a DAG, or an error
# pointing nowhere, would be faults.
@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("\ngraph { a -- b }", "DOT, line 2: an undirected graph"),
        ("digraph {\n a -> b\n b -- c }", "DOT, line 3: '--' is an undirected edge"),
        ("digraph {\n a -> b -> a -> a }", "DOT, line 2: self-loop on node 'a'"),
        ('digraph {\n\n a -> "b }', "DOT, line 3: unterminated quoted string"),
        ("digraph { a /* b }", "DOT, line 1: unterminated comment"),
        ("digraph {\n a -> ; }", "DOT, line 2: expected a node or subgraph after '->'"),
        ("digraph { a\n", "DOT, line 2: the graph is not closed"),
        ("digraph { } digraph { }", "DOT, line 1: unexpected 'digraph' after the end"),
        ("digraph { a [b=c\n{ }", "DOT, line 2: unexpected '{' in an attribute list"),
        ("digraph { a ! }", "DOT, line 1: unexpected character '!'"),
        # A long blank run before a bad character: backtracking over its splits would hang.
        ("digraph {\n" + " \t" * 50_000 + "!", "DOT, line 2: unexpected character '!'"),
    ],
)
def test_dot_errors_name_the_line(text, message):
    with pytest.raises(ValueError, match="^" + message):
        g.dag_from_dot(text)


# Catches CausalDAG.to_dot quoting that reads back as other names or edges.
@settings(max_examples=150, deadline=None)
@given(dags())
def test_dot_reads_to_dot(drawn):
    dag, _ = drawn
    if dag.edges():
        assert sorted(g.dag_from_dot(dag.to_dot()).edges()) == sorted(dag.edges())


# Node-link documents of the wrong shape fail with the schema, never as a
# partial graph.
@pytest.mark.parametrize(
    ("doc", "message"),
    [
        ("{", "malformed JSON"),
        ("[]", "the document is a JSON list"),
        ({"edges": []}, '"nodes" is missing'),
        ({"nodes": [{"name": 1}], "edges": []}, r'nodes\[0\] is not an object with an "id"'),
        ({"nodes": [], "links": [{"source": 1}]}, r'links\[0\] is not an object with a "source" and a "target"'),
        ({"nodes": [], "edges": [], "links": []}, 'both "edges" and "links"'),
        ({"nodes": [{"id": {}}], "edges": []}, "is an object, which cannot be a node label"),
        ({"directed": False, "nodes": [], "edges": []}, "undirected graph"),
    ],
)
def test_node_link_errors(doc, message):
    with pytest.raises(ValueError, match=message) as info:
        g.dag_from_node_link(doc if isinstance(doc, str) else json.dumps(doc))
    assert "directed" in message or "networkx.node_link_data" in str(info.value)


def brute_projection(dag, observed):
    """a -> b iff b is a child of a, or a descendant through hidden nodes only of a hidden child of a."""
    full, hidden_out = nx.DiGraph(), nx.DiGraph()
    full.add_edges_from(dag.edges())
    hidden_out.add_nodes_from(dag.nodes())
    hidden_out.add_edges_from((a, b) for a, b in dag.edges() if a not in observed)
    return {
        (a, b)
        for a in observed & set(full)
        for c in full.successors(a)
        for b in ({c} if c in observed else nx.descendants(hidden_out, c))
        if b in observed
    }


# The projection against a reachability check of its own on random DAGs:
# catches paths through hidden chains lost, or edges made through observed
# intermediates; and it must keep every observed ancestor relation.
def test_latent_projection_matches_brute_force():
    rng = random.Random(7)
    for trial in range(60):
        dag = random_dag(rng.randint(1, 14), rng.choice([0.15, 0.3, 0.6]), seed=trial)
        observed = {x for x in dag.nodes() if rng.random() < 0.5}
        projected = g.latent_projection(dag, sorted(observed))
        assert projected.nodes() == [x for x in dag.nodes() if x in observed]
        assert set(projected.edges()) == brute_projection(dag, observed)
        for x in observed:
            assert set(projected.ancestors(x)) == set(dag.ancestors(x)) & observed
    full = random_dag(12, 0.3, seed=1)
    assert g.latent_projection(full, full.nodes()).edges() == full.induced_subgraph(full.nodes()).edges()


# A hidden chain of 10^5 nodes: no recursion, one edge.
def test_latent_projection_long_hidden_chain():
    names = [f"v{i}" for i in range(100_000)]
    dag = CausalDAG.from_json(json.dumps({"nodes": names, "edges": [{"from": a, "to": b} for a, b in zip(names, names[1:])]}))
    assert g.latent_projection(dag, [names[-1], names[0]]).edges() == [(names[0], names[-1])]


# Catches an unknown name, a str taken for a list of names, or a cyclic graph accepted
# by the projection, or refused without saying what is wrong.
@pytest.mark.parametrize(
    ("observed", "error", "message"),
    [(["a", "zz"], ValueError, "unknown node: zz"), ("ab", TypeError, "not a single string"),
     (["a", "c"], ValueError, "cycle detected in graph: 'a' reaches itself")],
)
def test_latent_projection_errors(observed, error, message):
    dag = dag_from("abc", [("a", "b"), ("b", "a"), ("b", "c")])
    with pytest.raises(error, match=message):
        g.latent_projection(dag, observed)


# pgmpy's networks with every node (andes has three isolated ones), and the
# projection of insurance keeping Age before MakeModel, which the induced
# subgraph loses.
def test_pgmpy_models():
    pytest.importorskip("pgmpy")
    from pgmpy.utils import get_example_model  # the networks ship with pgmpy; its successor downloads them

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        models = {name: get_example_model(name) for name in ["asia", "insurance", "andes"]}
    counts = {name: (len(g.dag_from_pgmpy(m).nodes()), len(g.dag_from_pgmpy(m).edges())) for name, m in models.items()}
    assert counts == {"asia": (8, 8), "insurance": (27, 52), "andes": (223, 338)}
    dag = g.dag_from_pgmpy(models["insurance"])
    observed = [x for x in dag.nodes() if x not in {"SocioEcon", "RiskAversion"}]
    assert "Age" in g.latent_projection(dag, observed).ancestors("MakeModel")
    assert "Age" not in dag.induced_subgraph(observed).ancestors("MakeModel")
    from pgmpy.base import PDAG  # stores an undirected edge as two directed ones: a 2-cycle if read as a DAG

    with pytest.raises(ValueError, match="a PDAG with 1 undirected edge, "):
        g.dag_from_pgmpy(PDAG(directed_ebunch=[("a", "b")], undirected_ebunch=[("b", "c")]))


# Undirected input has no causal directions; optional packages stay optional:
# importing morvend_tools must not import networkx, and without it
# dag_to_networkx names the extra to install.
def test_undirected_refused_and_networkx_optional(monkeypatch):
    with pytest.raises(ValueError, match="undirected graph"):
        g.dag_from_networkx(nx.Graph([(1, 2)]))
    code = "import sys, morvend_tools; print('networkx' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "False\n"
    monkeypatch.setitem(sys.modules, "networkx", None)
    with pytest.raises(ImportError, match=r"pip install 'morvend\[graphs\]'"):
        g.dag_to_networkx(dag_from("ab", []))
