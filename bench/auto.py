"""explain(f) with the default "auto" policy on DAGs of 8 to 200 nodes: which
method ran, how many value-function calls it made, and its time against the
plain-Python version of the engine that ran.

Run: .venv/bin/python bench/auto.py
"""

import itertools
import json
import random

import morvend
from common import machine_header, median_time, table
from exact_engines import python_sparse_dp
from sampling import plain_python_importance


def random_dag(n, p, seed):
    rng = random.Random(seed)
    names = [f"v{i:03d}" for i in range(n)]
    edges = [{"from": names[i], "to": names[j]} for i in range(n) for j in range(i + 1, n) if rng.random() < p]
    return morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": edges}))


def python_enumeration(nodes, edges, v):
    """ASV by its definition: every permutation that respects the edges."""
    cache = {}
    total = dict.fromkeys(nodes, 0.0)
    count = 0
    for perm in itertools.permutations(nodes):
        pos = {x: i for i, x in enumerate(perm)}
        if any(pos[a] > pos[b] for a, b in edges):
            continue
        count += 1
        prefix = []
        for x in perm:
            before = cache.setdefault(frozenset(prefix), None)
            if before is None:
                before = cache[frozenset(prefix)] = v(sorted(prefix, key=nodes.index))
            prefix.append(x)
            key = frozenset(prefix)
            if key not in cache:
                cache[key] = v(sorted(prefix, key=nodes.index))
            total[x] += cache[key] - before
    return {x: s / count for x, s in total.items()}


def value(coalition):
    return 0.5 * len(coalition) + 0.01 * len(coalition) ** 2


CASES = [
    ("8 nodes, p=0.3", lambda: random_dag(8, 0.3, 1)),
    ("16 nodes, p=0.2", lambda: random_dag(16, 0.2, 1)),
    ("30 nodes, p=0.2", lambda: random_dag(30, 0.2, 1)),
    ("60 nodes, p=0.1", lambda: random_dag(60, 0.1, 1)),
    ("200 nodes, p=0.02", lambda: random_dag(200, 0.02, 1)),
]


def main():
    machine_header("explain(f) with method=\"auto\"", "random DAGs of 8, 16, 30, 60 and 200 nodes")
    print("Value function: `0.5 * len(c) + 0.01 * len(c) ** 2`; sampling runs draw the default 10000")
    print("orders with seed 1. The baseline is the plain-Python version of the engine that ran.\n")
    rows = []
    for label, make in CASES:
        dag = make()
        explainer = morvend.ASVExplainer(dag)
        calls = []

        def counted(c):
            calls.append(1)
            return value(c)

        d = explainer.explain_with_diagnostics(counted, seed=1)
        ran = d["selected_method"]
        nodes, edges = dag.nodes(), dag.edges()
        ours = median_time(lambda: explainer.explain(value, seed=1), repeat=3)
        if ran == "exact":
            baseline = lambda: python_enumeration(nodes, edges, value)  # noqa: E731
        elif ran == "exact_dag_sparse":
            baseline = lambda: python_sparse_dp(nodes, edges, value)  # noqa: E731
        elif ran == "approx":
            baseline = lambda: plain_python_importance(nodes, edges, value, 10000, 1)  # noqa: E731
        else:
            baseline = None
        theirs = median_time(baseline, repeat=1) if baseline else None
        rows.append(
            (label, ran, len(calls), ours * 1e3, theirs * 1e3 if theirs else "-", theirs / ours if theirs else "-")
        )
    table(["DAG", "method that ran", "value calls", "morvend ms", "plain Python ms", "speed-up"], rows)


if __name__ == "__main__":
    main()
