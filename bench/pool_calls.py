"""Value-function calls of the pool modes against the serial seeded run.

A value function that averages a model over data costs milliseconds a call, so
the calls a run makes matter more than its own speed. The serial run asks for
each distinct coalition once; the pool modes should too, whichever of their
threads meets a coalition first. The value function here sleeps 0.2 ms, like
a small model, so that the pool's threads really interleave their calls.

Run: .venv/bin/python bench/pool_calls.py  (PYTHONPATH=... to measure another build)
"""

import json
import random
import threading
import time

import morvend
from common import machine_header, table

CASES = [(12, 0.2, 400), (40, 0.08, 200), (80, 0.04, 60)]  # nodes, edge probability, orders


def random_dag(n, p, seed):
    rng = random.Random(seed)
    names = [f"v{i:03d}" for i in range(n)]
    edges = [{"from": names[i], "to": names[j]} for i in range(n) for j in range(i + 1, n) if rng.random() < p]
    return morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": edges}))


class Counting:
    """A value function that records every coalition it is asked for."""

    def __init__(self):
        self.calls = 0
        self.seen = set()
        self.lock = threading.Lock()

    def __call__(self, coalition):
        time.sleep(0.0002)
        with self.lock:
            self.calls += 1
            self.seen.add(frozenset(coalition))
        return 0.5 * len(coalition)


def main():
    machine_header("pool_calls.py", ", ".join(f"{n} nodes x {k} orders" for n, _, k in CASES))
    modes = [
        ("serial seeded", dict(seed=1)),
        ("unseeded pool", dict()),
        ("seeded parallel, 2 threads", dict(seed=1, parallel=True)),
        ("seeded parallel, 8 shares", dict(seed=1, parallel=True, num_threads=8)),
    ]
    rows = []
    for n, p, orders in CASES:
        explainer = morvend.ASVExplainer(random_dag(n, p, n))
        for name, options in modes:
            f = Counting()
            start = time.perf_counter()
            explainer.explain(f, method="approx", n_samples=orders, **options)
            elapsed = time.perf_counter() - start
            repeats = f.calls - len(f.seen)
            rows.append([n, name, f.calls, len(f.seen), repeats, elapsed * 1e3])
    table(["nodes", "mode", "value calls", "distinct coalitions", "repeated calls", "ms"], rows)


if __name__ == "__main__":
    main()
