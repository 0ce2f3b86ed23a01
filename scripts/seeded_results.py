"""Print seeded results of every estimator, floats in hex, for comparing two builds.

The module built from source (GCC) and the wheel (another compiler, another
runtime's headers) must give the same numbers to the bit for the same seed:
scripts/test.sh runs this against both and compares the texts.

Run: python scripts/seeded_results.py > results.txt
"""

import json
import random

import morvend


def random_dag(n, p, seed):
    rng = random.Random(seed)
    names = [f"x{i}" for i in range(n)]
    edges = [{"from": names[i], "to": names[j]} for i in range(n) for j in range(i + 1, n) if rng.random() < p]
    return morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": edges}))


def game(dag, seed):
    """Weights, products along edges, a three-way term and a threshold: a game
    whose estimates go through every branch of the arithmetic."""
    rng = random.Random(seed)
    weight = {name: rng.uniform(-1, 1) for name in dag.nodes()}
    edges = dag.edges()
    triple = set(dag.nodes()[:3])

    def value(coalition):
        s = set(coalition)
        total = sum(weight[v] for v in s)
        total += sum(0.5 * weight[a] * weight[b] for a, b in edges if a in s and b in s)
        total += 0.7 * (triple <= s) + 0.3 * (len(s) > len(weight) // 2)
        return total

    return value


def text(result):
    if isinstance(result, float):
        return result.hex()
    if isinstance(result, dict):
        return "{" + ", ".join(f"{k!r}: {text(v)}" for k, v in sorted(result.items())) + "}"
    if isinstance(result, (list, tuple)):
        return "[" + ", ".join(text(v) for v in result) + "]"
    return repr(result)


def main():
    for label, dag in [("edgeless", random_dag(12, 0.0, 1)), ("sparse", random_dag(30, 0.08, 2))]:
        v = game(dag, 3)
        batch = lambda cs: [v(c) for c in cs]  # noqa: E731
        e = morvend.ASVExplainer(dag)
        calls = {
            "explain_within 300": lambda: e.explain_within(v, max_calls=300, seed=5, ci=0.95),
            "explain_within 3000": lambda: e.explain_within(value_fn_batch=batch, max_calls=3000, seed=5),
            "approx": lambda: e.explain(v, method="approx", n_samples=200, seed=5),
            "approx parallel": lambda: e.explain(v, method="approx", n_samples=200, seed=5, parallel=True, num_threads=2),
            "diagnostics": lambda: e.explain_with_diagnostics(value_fn_batch=batch, n_samples=200, seed=5),
            "quality": lambda: e.explain_quality(v, min_samples=100, max_samples=400, batch_size=100, seed=5, ci=0.9),
            "adaptive": lambda: e.explain_adaptive(v, min_samples=100, max_samples=400, batch_size=100, seed=5, ci=0.9),
            "adaptive batch": lambda: e.explain_adaptive_batch(batch, min_samples=100, max_samples=400, batch_size=100, seed=5),
        }
        for name, call in calls.items():
            print(label, name, text(call()))


if __name__ == "__main__":
    main()
