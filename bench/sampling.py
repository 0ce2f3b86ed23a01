"""Orders per second of every sampling mode against a plain-Python
importance sampler with a dict cache, at equal samples.

Run: .venv/bin/python bench/sampling.py
"""

import json
import math
import random

import numpy as np

import morvend
from common import machine_header, median_time, table

SIZES = {20: 20000, 60: 5000, 200: 1000, 1000: 200}  # nodes: orders drawn


def random_dag(n, seed):
    """About two parents per node, drawn among the earlier nodes."""
    rng = random.Random(seed)
    names = [f"v{i:04d}" for i in range(n)]
    edges = {(names[j], names[i]) for i in range(1, n) for j in rng.sample(range(i), min(i, 2))}
    doc = {"nodes": names, "edges": [{"from": a, "to": b} for a, b in sorted(edges)]}
    return morvend.CausalDAG.from_json(json.dumps(doc))


def value(coalition):
    return 0.5 * len(coalition)


def value_batch(coalitions):
    return np.fromiter((len(c) for c in coalitions), dtype=np.float64, count=len(coalitions)) * 0.5


def plain_python_importance(nodes, edges, v, n_samples, seed):
    """What a user would write: a random topological order per sample, its
    inverse proposal probability as the weight, a dict as the value cache."""
    rng = random.Random(seed)
    index = {x: i for i, x in enumerate(nodes)}
    children = [[] for _ in nodes]
    indegree = [0] * len(nodes)
    for a, b in edges:
        children[index[a]].append(index[b])
        indegree[index[b]] += 1
    cache = {}
    phi = [0.0] * len(nodes)
    total_weight = 0.0
    log_weights = []
    contributions = []
    for _ in range(n_samples):
        remaining = list(indegree)
        available = [i for i, d in enumerate(remaining) if d == 0]
        log_w = 0.0
        members = []
        prev = cache.setdefault(frozenset(), v([]))
        deltas = []
        while available:
            log_w += math.log(len(available))
            k = rng.randrange(len(available))
            x = available[k]
            available[k] = available[-1]
            available.pop()
            members.append(x)
            key = frozenset(members)
            if key not in cache:
                cache[key] = v([nodes[i] for i in sorted(members)])
            cur = cache[key]
            deltas.append((x, cur - prev))
            prev = cur
            for c in children[x]:
                remaining[c] -= 1
                if remaining[c] == 0:
                    available.append(c)
        log_weights.append(log_w)
        contributions.append(deltas)
    top = max(log_weights)
    for log_w, deltas in zip(log_weights, contributions):
        w = math.exp(log_w - top)
        total_weight += w
        for x, d in deltas:
            phi[x] += w * d
    return {nodes[i]: phi[i] / total_weight for i in range(len(nodes))}


def main():
    machine_header("Sampling estimators", ", ".join(f"{n} nodes x {s} orders" for n, s in SIZES.items()))
    print("Value function: `0.5 * len(coalition)` (batched: the same with numpy over the batch).")
    print("Orders per second; speed-up against the plain-Python sampler.\n")
    rows = []
    for n, samples in SIZES.items():
        dag = random_dag(n, n)
        explainer = morvend.ASVExplainer(dag)
        nodes, edges = dag.nodes(), dag.edges()
        repeat = 3
        baseline = median_time(lambda: plain_python_importance(nodes, edges, value, samples, 1), repeat)
        modes = [
            ("serial seeded", lambda: explainer.explain(value, method="approx", n_samples=samples, seed=1)),
            ("unseeded pool", lambda: explainer.explain(value, method="approx", n_samples=samples)),
            (
                "seeded parallel",
                lambda: explainer.explain(value, method="approx", n_samples=samples, seed=1, parallel=True),
            ),
            ("batched (numpy)", lambda: explainer.explain(value_fn_batch=value_batch, n_samples=samples, seed=1)),
            (
                "adaptive",
                lambda: explainer.explain_adaptive(
                    value, min_samples=samples, max_samples=samples, batch_size=1000, seed=1
                ),
            ),
            ("uniform", lambda: explainer.explain(value, method="uniform_sparse", n_samples=samples, seed=1)),
        ]
        rows.append((n, "plain Python (baseline)", samples / baseline, 1.0))
        for name, run in modes:
            try:
                run()
            except ValueError as exc:
                rows.append((n, name, "refused", str(exc)[:60]))
                continue
            t = median_time(run, repeat)
            rows.append((n, name, samples / t, baseline / t))
    table(["nodes", "mode", "orders/s", "speed-up"], rows)


if __name__ == "__main__":
    main()
