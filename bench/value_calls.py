"""The value-function adapter's own cost per call: a coalition turned into a
list of str, the call, the result turned back into a float; single calls and
batches.

The value function returns a constant, so a call costs little more than the
interpreter's own call of a function: what is left is the adapter and the
engine around it. The engine is the same code in every build, so the
difference between two builds is the adapter's. "python call" is the floor:
the same function called from a plain Python loop over prebuilt lists.

Run: .venv/bin/python bench/value_calls.py                   (the installed build)
     .venv/bin/python bench/value_calls.py DIR_A DIR_B ...   (builds side by side)
Each DIR holds a built module (pip install . --no-deps --target DIR). Every
build runs in a child process of its own, the builds take turns round by
round so that a noisy neighbour slows them alike, and the table gives each
build's median ns per call and its ratio to the first build's.
"""

import json
import os
import random
import statistics
import subprocess
import sys
import time

ROUNDS = 7


def cases(morvend, np):
    def edgeless(n):
        names = [f"v{i:03d}" for i in range(n)]
        return morvend.ASVExplainer(morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": []})))

    def chains(n):
        # pairs a -> b: few linear extensions per pair, many coalitions
        names = [f"v{i:03d}" for i in range(n)]
        edges = [{"from": names[i], "to": names[i + 1]} for i in range(0, n - 1, 2)]
        return morvend.ASVExplainer(morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": edges})))

    def value(coalition):
        return 0.5

    def batch_list(coalitions):
        return [0.5] * len(coalitions)

    out = [
        ("single, 40 nodes, approx", edgeless(40), dict(value_fn=value, method="approx", n_samples=2000, seed=1)),
        ("single, 16 nodes, exact_dag", chains(16), dict(value_fn=value, method="exact_dag")),
        ("single, 100 nodes, approx", edgeless(100), dict(value_fn=value, method="approx", n_samples=200, seed=1)),
        (
            "single, 40 nodes, 2 threads",
            edgeless(40),
            dict(value_fn=value, method="approx", n_samples=2000, seed=1, parallel=True),
        ),
        ("batch of lists, 40 nodes", edgeless(40), dict(value_fn_batch=batch_list, n_samples=2000, seed=1)),
    ]
    if np is not None:
        def batch_array(coalitions):
            return np.full(len(coalitions), 0.5)

        out.append(("batch of arrays, 40 nodes", edgeless(40), dict(value_fn_batch=batch_array, n_samples=2000, seed=1)))
    return out


def count_calls(explainer, options):
    """The number of coalitions the run asks for (the same in every build)."""
    calls = 0
    options = dict(options)
    if "value_fn" in options:
        def counting(coalition):
            nonlocal calls
            calls += 1
            return 0.5

        options["value_fn"] = counting
    else:
        def counting_batch(coalitions):
            nonlocal calls
            calls += len(coalitions)
            return [0.5] * len(coalitions)

        options["value_fn_batch"] = counting_batch
    explainer.explain(**options)
    return calls


def python_call_floor(calls):
    """Seconds per call of a constant function called from a Python loop."""
    rng = random.Random(1)
    names = [f"v{i:03d}" for i in range(40)]
    lists = [rng.sample(names, rng.randrange(41)) for _ in range(1000)]

    def value(coalition):
        return 0.5

    start = time.perf_counter()
    for _ in range(calls // 1000):
        for c in lists:
            value(c)
    return (time.perf_counter() - start) / (calls // 1000 * 1000)


def child():
    """One round in this process: seconds per call of every case."""
    import morvend

    try:
        import numpy as np
    except ImportError:
        np = None
    result = {"python call": python_call_floor(100000)}
    for name, explainer, options in cases(morvend, np):
        calls = count_calls(explainer, options)
        explainer.explain(**options)  # warm
        start = time.perf_counter()
        explainer.explain(**options)
        result[name] = (time.perf_counter() - start) / calls
        result[name + " calls"] = calls
    result["module"] = morvend.__file__
    print(json.dumps(result))


def main(builds):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from common import machine_header, table

    machine_header("value_calls.py", "constant value function; see the case names")
    runs = {b: [] for b in builds}
    for _ in range(ROUNDS):
        for b in builds:
            env = dict(os.environ)
            if b:
                env["PYTHONPATH"] = b
            out = subprocess.run(
                [sys.executable, __file__, "--child"], env=env, capture_output=True, text=True, check=True
            ).stdout
            runs[b].append(json.loads(out))
    for b in builds:
        print(f"- build {b or '(installed)'}: {runs[b][0]['module']}")
    print(f"- {ROUNDS} rounds, builds in turn; medians\n")
    first = runs[builds[0]][0]
    names = [k for k in first if k not in ("module",) and not k.endswith(" calls")]
    headers = ["case", "calls"] + [f"ns/call {i + 1}" for i in range(len(builds))]
    headers += [f"{i + 1} / 1" for i in range(1, len(builds))]
    rows = []
    for name in names:
        med = [statistics.median(r[name] for r in runs[b]) * 1e9 for b in builds]
        rows.append([name, first.get(name + " calls", "")] + med + [m / med[0] for m in med[1:]])
    table(headers, rows)


if __name__ == "__main__":
    if sys.argv[1:] == ["--child"]:
        child()
    else:
        main(sys.argv[1:] or [""])
