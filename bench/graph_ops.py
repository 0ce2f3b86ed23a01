"""Graph operations of CausalDAG against networkx on chains and random sparse DAGs.

Run: .venv/bin/python bench/graph_ops.py
"""

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


def main():
    machine_header("Graph operations: morvend vs networkx", f"n = {SIZES}, about 2n edges")
    rows = []
    for n in SIZES:
        names, edges = random_sparse_edges(n, seed=n)
        last = names[-1]
        dag = morvend.CausalDAG.from_edges(edges)
        g = nx.DiGraph(edges)
        repeat = 3 if n >= 1_000_000 else 5
        cases = [
            ("from_edges", lambda: morvend.CausalDAG.from_edges(edges), lambda: nx.DiGraph(edges)),
            ("topological_layers", dag.topological_layers, lambda: nx_layers(g)),
            ("ancestors(last)", lambda: dag.ancestors(last), lambda: sorted(nx.ancestors(g, last))),
            ("validate", dag.validate, lambda: nx.is_directed_acyclic_graph(g)),
        ]
        assert dag.topological_layers() == nx_layers(g)
        for name, ours, theirs in cases:
            t_ours = median_time(ours, repeat)
            t_theirs = median_time(theirs, repeat)
            rows.append((name, n, t_ours * 1e3, t_theirs * 1e3, t_theirs / t_ours))
    table(["operation", "n", "morvend ms", "networkx ms", "speed-up"], rows)


if __name__ == "__main__":
    main()
