"""The exact engines: per-call overhead of the Python value-function adapter,
the sparse DP's own speed and memory with a C++ value function, and the sparse
DP against the same programme written in plain Python.

Run: .venv/bin/python bench/exact_engines.py
(builds bench/exact_engines_native.cpp with CMake into build/bench first)
"""

import json
import os
import pathlib
import random
import subprocess
import sys
import time

import morvend
from common import REPO, machine_header, median_time, table

# --- DAGs -------------------------------------------------------------------


def isolated(n):
    names = [f"x{i:02d}" for i in range(n)]
    return morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": []}))


def random_sparse(n, p, seed):
    rng = random.Random(seed)
    names = [f"v{i:02d}" for i in range(n)]
    edges = [{"from": names[i], "to": names[j]} for i in range(n) for j in range(i + 1, n) if rng.random() < p]
    return morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": edges}))


def trivial(coalition):
    return 0.5


# --- 1. adapter overhead ------------------------------------------------------


def recorded_calls(explainer, method):
    calls = []

    def record(coalition):
        calls.append(coalition)
        return 0.5

    explainer.explain(record, method=method)
    return calls


def overhead_rows():
    cases = [
        ("exact_dag", "edgeless 16", isolated(16)),
        ("exact_dag", "edgeless 20", isolated(20)),
        ("exact_dag_sparse", "edgeless 16", isolated(16)),
        ("exact_dag_sparse", "edgeless 20", isolated(20)),
        ("exact_dag_sparse", "random 20 (p=0.10)", random_sparse(20, 0.10, 1)),
        # Above 28 nodes only "auto" runs the sparse DP (with max_nodes = n).
        ("auto", "random 30 (p=0.20)", random_sparse(30, 0.20, 1)),
        ("auto", "random 40 (p=0.25)", random_sparse(40, 0.25, 1)),
        ("exact_tree", "star of 14 leaves", morvend.CausalDAG.from_edges([("r", f"l{i}") for i in range(14)])),
        ("exact", "edgeless 8", isolated(8)),
        ("exact", "random 12 (p=0.30)", random_sparse(12, 0.30, 2)),
    ]
    rows = []
    for method, label, dag in cases:
        explainer = morvend.ASVExplainer(dag)
        ran = explainer.explain_with_diagnostics(trivial, method=method)["selected_method"]
        calls = recorded_calls(explainer, method)
        ids = {name: i for i, name in enumerate(dag.nodes())}
        names = dag.nodes()
        as_ids = [[ids[x] for x in c] for c in calls]
        ours = median_time(lambda: explainer.explain(trivial, method=method), repeat=5)

        def prebuilt():
            for c in calls:
                trivial(c)

        def building():
            for c in as_ids:
                trivial([names[i] for i in c])

        t_pre = median_time(prebuilt, repeat=5)
        t_build = median_time(building, repeat=5)
        n = len(calls)
        rows.append(
            (
                ran if ran == method else f"{method} ({ran})",
                label,
                n,
                ours / n * 1e9,
                t_pre / n * 1e9,
                ours / t_pre,
                t_build / n * 1e9,
                ours / t_build,
            )
        )
    return rows


# --- 2. native speed and memory -------------------------------------------------


def native_binary():
    # EXACT_ENGINES_BUILD: an existing build directory to reuse (configured
    # again with the bench drivers on), instead of a fresh one under build/.
    build = pathlib.Path(os.environ.get("EXACT_ENGINES_BUILD", REPO / "build" / "bench"))
    subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DMORVEND_BUILD_PYTHON=OFF",
                 "-DMORVEND_BUILD_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release",
                 # oneTBB, Boost and nlohmann/json from this environment, as the module
                 f"-DPython_EXECUTABLE={sys.executable}"],
        check=True, capture_output=True,
    )  # fmt: skip
    subprocess.run(["cmake", "--build", str(build), "--target", "exact_engines_native"], check=True, capture_output=True)
    return build / "exact_engines_native"


def native_rows(binary):
    cases = [
        ("edgeless 17", "17 0 1"),
        ("random 30 (p=0.20)", "30 0.2 1"),
        ("edgeless 20", "20 0 1"),
        ("edgeless 24 (overflows)", "24 0 1"),
    ]
    rows = []
    for label, args in cases:
        runs = [subprocess.run([str(binary), *args.split()], capture_output=True, text=True) for _ in range(3)]
        out = [r.stdout.split() for r in runs]
        if out[0][0] == "error":
            rows.append((label, "-", "-", "-", " ".join(out[0][1:])[:60]))
            continue
        rates = sorted(float(o[4]) for o in out)
        rows.append((label, int(float(out[0][2])), rates[1] / 1e6, float(out[1][5]), "ok"))
    return rows


def native_overflow_rows(binary):
    # 24 isolated nodes: 16.8 million ideals; the orders overflow u64 at the
    # last levels, after the whole forward pass.
    start = time.perf_counter()
    run = subprocess.run(["/usr/bin/time", "-f", "%M", str(binary), "24", "0", "1"], capture_output=True, text=True)
    seconds = time.perf_counter() - start
    peak_kb = int(run.stderr.strip().splitlines()[-1])
    return [("edgeless 24", 2**24, (2**24) / seconds / 1e6, peak_kb * 1024 / 2**24, run.stdout.strip()[:70])]


def adapter_rows(binary):
    """The adapter's own cost per call: explain() with a trivial Python function minus
    the same engine run with a C++ value function, against the bare Python loop."""
    rows = []
    for n in (16, 20):
        dag = isolated(n)
        explainer = morvend.ASVExplainer(dag)
        calls = recorded_calls(explainer, "exact_dag_sparse")
        runs = [subprocess.run([str(binary), str(n), "0", "1"], capture_output=True, text=True) for _ in range(5)]
        engine = sorted(float(r.stdout.split()[3]) / float(r.stdout.split()[2]) for r in runs)[2]
        ours = median_time(lambda: explainer.explain(trivial, method="exact_dag_sparse"), repeat=5) / len(calls)

        def prebuilt():
            for c in calls:
                trivial(c)

        loop = median_time(prebuilt, repeat=5) / len(calls)
        adapter = ours - engine
        rows.append((f"edgeless {n}", len(calls), ours * 1e9, engine * 1e9, adapter * 1e9, loop * 1e9, adapter / loop))
    return rows


# --- 3. plain-Python baseline ------------------------------------------------------


def python_sparse_dp(nodes, edges, v):
    """The same sparse DP as a user would write it: dicts keyed by masks."""
    n = len(nodes)
    index = {x: i for i, x in enumerate(nodes)}
    parents = [0] * n
    for a, b in edges:
        parents[index[b]] |= 1 << index[a]
    full = (1 << n) - 1
    forward = {0: 1}
    queue = [0]
    for s in queue:
        q = forward[s]
        for x in range(n):
            bit = 1 << x
            if not s & bit and parents[x] & ~s == 0:
                t = s | bit
                if t not in forward:
                    forward[t] = 0
                    queue.append(t)
                forward[t] += q
    memo = {}

    def completions(u):
        if u == 0:
            return 1
        if u in memo:
            return memo[u]
        total = sum(completions(u & ~(1 << x)) for x in range(n) if u >> x & 1 and parents[x] & u == 0)
        memo[u] = total
        return total

    cache = {}

    def value(mask):
        if mask not in cache:
            cache[mask] = v([nodes[i] for i in range(n) if mask >> i & 1])
        return cache[mask]

    total = completions(full)
    acc = [0.0] * n
    for s, q in forward.items():
        for x in range(n):
            bit = 1 << x
            if not s & bit and parents[x] & ~s == 0:
                t = s | bit
                acc[x] += (value(t) - value(s)) * (completions(full ^ t) * q)
    return {nodes[i]: acc[i] / total for i in range(n)}


def baseline_rows():
    rows = []
    for label, dag in [
        ("edgeless 14", isolated(14)),
        ("edgeless 17", isolated(17)),
        ("random 30 (p=0.20)", random_sparse(30, 0.20, 1)),
    ]:
        explainer = morvend.ASVExplainer(dag)
        nodes, edges = dag.nodes(), dag.edges()
        method = "exact_dag_sparse" if len(nodes) <= 28 else "auto"  # auto: max_nodes = n
        d = explainer.explain_with_diagnostics(len, method=method)
        assert d["selected_method"] == "exact_dag_sparse"
        theirs_values = python_sparse_dp(nodes, edges, len)
        assert all(abs(d["values"][k] - theirs_values[k]) < 1e-9 for k in nodes)
        ideals = d["n_order_ideals"]
        ours = median_time(lambda: explainer.explain(len, method=method), repeat=3)
        theirs = median_time(lambda: python_sparse_dp(nodes, edges, len), repeat=3)
        rows.append((label, ideals, ours * 1e3, theirs * 1e3, theirs / ours))
    return rows


def main():
    machine_header("Exact engines", "edgeless DAGs of 8-24 nodes, random sparse DAGs of 12-40 nodes")
    print("### Per-call overhead of the Python value-function adapter\n")
    print("A trivial value function (`return 0.5`); the loops call it on the same coalitions,")
    print("once with the lists built beforehand, once building each list from the names.\n")
    table(
        ["engine", "DAG", "calls", "explain ns/call", "loop, prebuilt ns/call", "ratio",
         "loop, building ns/call", "ratio"],
        overhead_rows(),
    )  # fmt: skip
    binary = native_binary()
    print("Adapter alone (exact_dag_sparse): explain() minus the same engine with a C++ value function.\n")
    table(
        ["DAG", "calls", "explain ns/call", "engine ns/call (C++ value fn)", "adapter ns/call",
         "loop, prebuilt ns/call", "adapter / loop"],
        adapter_rows(binary),
    )  # fmt: skip
    print("### Sparse DP with a C++ value function (one core)\n")
    table(["DAG", "order ideals", "M ideals/s", "peak bytes/ideal", "result"], native_rows(binary))
    table(["DAG", "order ideals", "M ideals/s to the error", "peak bytes/ideal", "result"], native_overflow_rows(binary))
    print("### Sparse DP against the same programme in plain Python (value function `len`)\n")
    table(["DAG", "order ideals", "morvend ms", "plain Python ms", "speed-up"], baseline_rows())


if __name__ == "__main__":
    os.chdir(REPO)
    main()
