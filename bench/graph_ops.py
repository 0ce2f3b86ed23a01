"""Graph operations of CausalDAG and CausalCPDAG against baselines on random sparse DAGs.

Baselines run in the same process: networkx where it has the operation (node-link JSON
through the standard json module, DiGraph.subgraph(...).copy(), a d-convex hull search
written with networkx's ancestors, moral_graph and shortest_path), plain Python for the
DOT text; consistent_extension has no counterpart in networkx.

Run: .venv/bin/python bench/graph_ops.py
"""

import json
import random

import networkx as nx

import morvend
from common import machine_header, median_time, table

SIZES = [10_000, 100_000, 1_000_000]


def random_sparse_edges(n, seed):
    """A chain through all nodes plus about n random forward edges."""
    rng = random.Random(seed)
    names = [f"v{i}" for i in range(n)]
    edges = dict.fromkeys((names[i - 1], names[i]) for i in range(1, n))
    for _ in range(n):
        i = rng.randrange(n - 1)
        edges[(names[i], names[rng.randrange(i + 1, n)])] = None
    return names, list(edges)


def nx_layers(g):
    return [sorted(layer) for layer in nx.topological_generations(g)]


def nx_to_json(g):
    return json.dumps(nx.node_link_data(g, edges="edges"))


def nx_from_json(text):
    return nx.node_link_graph(json.loads(text), edges="edges")


def py_to_dot(g):
    return "digraph {\n" + "".join(f"  {u} -> {v};\n" for u, v in g.edges()) + "}"


def nx_d_convex_hull(g, w):
    """The d-convex hull with networkx: for every non-adjacent pair of border nodes, a
    shortest path through marginalised nodes in the moral graph of their ancestors."""
    order = list(dict.fromkeys(w))
    members = set(order)
    while True:
        outside = lambda v: v not in members  # noqa: E731
        border = [
            x
            for x in order
            if any(map(outside, g.predecessors(x)))
            or any(map(outside, g.successors(x)))
            or any(outside(p) for c in g.successors(x) for p in g.predecessors(c))
        ]
        additions = []
        for i, a in enumerate(border):
            for b in border[i + 1 :]:
                if g.has_edge(a, b) or g.has_edge(b, a):
                    continue
                ancestral = nx.ancestors(g, a) | nx.ancestors(g, b) | {a, b}
                moral = nx.moral_graph(g.subgraph(ancestral))
                allowed = moral.subgraph(v for v in moral if v in (a, b) or outside(v))
                try:
                    additions += nx.shortest_path(allowed, a, b)
                except nx.NetworkXNoPath:
                    pass
        new = [v for v in dict.fromkeys(additions) if v not in members]
        if not new:
            return sorted(order)
        order += new
        members.update(new)


def cpdag_edges(g):
    """Directed edges into v-structures, every other edge undirected: the DAG itself is
    a consistent extension, so one always exists."""
    directed, undirected = [], []
    for c in g.nodes:
        parents = list(g.predecessors(c))
        for p in parents:
            in_v = any(q != p and not g.has_edge(p, q) and not g.has_edge(q, p) for q in parents)
            (directed if in_v else undirected).append((p, c))
    return directed, undirected


def main():
    machine_header("Graph operations: morvend vs baselines", f"n = {SIZES}, about 2n edges")
    rows = []
    for n in SIZES:
        names, edges = random_sparse_edges(n, seed=n)
        last = names[-1]
        dag = morvend.CausalDAG.from_edges(edges)
        g = nx.DiGraph(edges)
        text = dag.to_json()
        nx_text = nx_to_json(g)
        hull_set = ["v100", "v105", "v110", "v120"]  # a few nodes with few ancestors
        keep = names[::2]
        directed, undirected = cpdag_edges(g)
        cpdag = morvend.CausalCPDAG.from_edges(directed, undirected)
        repeat = 3 if n >= 1_000_000 else 5
        cases = [
            ("from_edges", lambda: morvend.CausalDAG.from_edges(edges), "networkx", lambda: nx.DiGraph(edges)),
            ("topological_layers", dag.topological_layers, "networkx", lambda: nx_layers(g)),
            ("ancestors(last)", lambda: dag.ancestors(last), "networkx", lambda: sorted(nx.ancestors(g, last))),
            ("validate", dag.validate, "networkx", lambda: nx.is_directed_acyclic_graph(g)),
            ("to_json", dag.to_json, "networkx + json", lambda: nx_to_json(g)),
            ("from_json", lambda: morvend.CausalDAG.from_json(text), "networkx + json", lambda: nx_from_json(nx_text)),
            ("to_dot", dag.to_dot, "python", lambda: py_to_dot(g)),
            (
                "d_convex_hull(4 nodes)",
                lambda: dag.d_convex_hull(hull_set),
                "networkx",
                lambda: nx_d_convex_hull(g, hull_set),
            ),
            (
                "induced_subgraph(n/2)",
                lambda: dag.induced_subgraph(keep),
                "networkx",
                lambda: g.subgraph(keep).copy(),
            ),
            ("consistent_extension", cpdag.consistent_extension, None, None),
        ]
        assert dag.topological_layers() == nx_layers(g)
        assert dag.to_dot() == py_to_dot(g)
        assert dag.d_convex_hull(hull_set) == nx_d_convex_hull(g, hull_set)
        assert set(dag.induced_subgraph(keep).edges()) == set(g.subgraph(keep).edges())
        assert morvend.CausalDAG.from_json(text).edges() == dag.edges()
        for name, ours, baseline, theirs in cases:
            t_ours = median_time(ours, repeat)
            if theirs is None:
                rows.append((name, n, t_ours * 1e3, "—", "—", "—"))
                continue
            t_theirs = median_time(theirs, repeat)
            rows.append((name, n, t_ours * 1e3, baseline, t_theirs * 1e3, t_theirs / t_ours))
    table(["operation", "n", "morvend ms", "baseline", "baseline ms", "speed-up"], rows)


if __name__ == "__main__":
    main()
