"""morvend_tools.graphs: readers and the latent projection against networkx, on random sparse DAGs.

Baselines, in the same process:
- reading a DiGraph: CausalDAG.from_networkx (edges only: it drops isolated nodes, which
  dag_from_networkx keeps, so it is the floor of what keeping them costs);
- node-link JSON: networkx.node_link_graph over json.loads (a DiGraph, not a CausalDAG);
- DOT: networkx.nx_pydot.read_dot's parse, pydot.graph_from_dot_data then from_pydot
  (skipped above 10^4 nodes: pydot's parser takes minutes there);
- latent projection: the same edges from networkx, the descendants of each hidden child
  of an observed node in the graph of the hidden nodes' out-edges
  (networkx.descendants), checked equal to morvend_tools' edges.
A funnel (half the nodes observed roots, all feeding one hidden chain of the other half)
is the projection's worst case: every search walks the whole chain again (run up to 10^4
nodes).

Run: .venv/bin/python bench/tools_graphs.py   (networkx, pydot; TOOLS_GRAPHS_SIZES=1000,10000)
"""

import json
import os
import random

import networkx as nx

import morvend
from common import machine_header, median_time, table
from morvend_tools import dag_from_dot, dag_from_networkx, dag_from_node_link, latent_projection

SIZES = [int(s) for s in os.environ.get("TOOLS_GRAPHS_SIZES", "1000,10000,100000").split(",")]


def random_digraph(n, seed):
    """About two random forward edges per node; a few nodes stay isolated."""
    rng = random.Random(seed)
    g = nx.DiGraph()
    g.add_nodes_from(f"v{i}" for i in range(n))
    for j in range(1, n):
        for _ in range(rng.randint(0, 4)):
            g.add_edge(f"v{rng.randrange(j)}", f"v{j}")
    return g


def funnel(n):
    half = n // 2
    g = nx.DiGraph()
    g.add_edges_from((f"o{i}", "h0") for i in range(half))
    g.add_edges_from((f"h{i}", f"h{i + 1}") for i in range(half - 1))
    g.add_edge(f"h{half - 1}", "sink")
    return g, [f"o{i}" for i in range(half)] + ["sink"]


def nx_projection(g, observed):
    hidden_out = nx.DiGraph()
    hidden_out.add_nodes_from(g)
    hidden_out.add_edges_from((a, b) for a, b in g.edges() if a not in observed)
    edges = set()
    for a in observed:
        for c in g.successors(a):
            reached = [c] if c in observed else nx.descendants(hidden_out, c)
            edges.update((a, b) for b in reached if b in observed)
    return edges


def main():
    machine_header("morvend_tools.graphs", f"random DAGs of {SIZES} nodes, about 2 edges a node")
    try:
        import pydot
    except ImportError:
        pydot = None
    read_rows, projection_rows = [], []
    for n in SIZES:
        g = random_digraph(n, seed=n)
        dag = dag_from_networkx(g)
        text = json.dumps(nx.node_link_data(g))
        dot = dag.to_dot()
        t_ours = median_time(lambda: dag_from_networkx(g))
        t_edges = median_time(lambda: morvend.CausalDAG.from_networkx(g))
        t_nl = median_time(lambda: dag_from_node_link(text))
        t_nl_nx = median_time(lambda: nx.node_link_graph(json.loads(text)))
        t_dot = median_time(lambda: dag_from_dot(dot), repeat=3)
        t_dot_nx = (
            median_time(lambda: nx.nx_pydot.from_pydot(pydot.graph_from_dot_data(dot)[0]), repeat=1)
            if pydot is not None and n <= 10_000
            else None
        )
        read_rows.append([
            n, g.number_of_edges(), t_ours, t_edges / t_ours, t_nl, t_nl_nx / t_nl, t_dot,
            "-" if t_dot_nx is None else t_dot_nx / t_dot,
        ])
        rng = random.Random(n)
        cases = [(f"random, {p:.0%} hidden", g, [x for x in g if rng.random() >= p]) for p in (0.1, 0.5, 0.9)]
        if n <= 10_000:  # quadratic: 2.5 * 10^9 steps at 10^5 nodes
            cases.append(("funnel", *funnel(n)))
        for name, graph, observed in cases:
            d = dag_from_networkx(graph)
            t = median_time(lambda: latent_projection(d, observed), repeat=3)
            projected = latent_projection(d, observed)
            baseline = set(observed)
            t_nx = median_time(lambda: nx_projection(graph, baseline), repeat=1) if n <= 10_000 else None
            if t_nx is not None:
                assert set(projected.edges()) == nx_projection(graph, baseline)
            projection_rows.append(
                [n, name, len(projected.nodes()), len(projected.edges()), t, "-" if t_nx is None else t_nx / t]
            )
    print("Reading (seconds; × = baseline time / morvend_tools time):\n")
    table(
        ["nodes", "edges", "dag_from_networkx s", "× from_networkx (edges only)", "dag_from_node_link s",
         "× node_link_graph", "dag_from_dot s", "× pydot"],
        read_rows,
    )
    print("latent_projection:\n")
    table(["nodes", "graph", "observed", "projected edges", "seconds", "× networkx"], projection_rows)


if __name__ == "__main__":
    main()
