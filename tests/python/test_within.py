"""explain_within: exact within the budget when the order ideals fit, else the surrogate estimate."""

import math
import random

import pytest

import morvend


def small_dag(n=14, p=0.15, seed=1):
    rng = random.Random(seed)
    names = [f"x{i}" for i in range(n)]
    dag = morvend.CausalDAG.from_edges(
        [(names[i], names[j]) for i in range(n) for j in range(i + 1, n) if rng.random() < p]
    )
    for x in names[1:]:
        if x not in dag.nodes():
            dag.add_edge(names[0], x)
    return dag


def game(seed=2):
    rng = random.Random(seed)
    weights = {f"x{i}": rng.gauss(0, 1) for i in range(40)}
    pairs = {(f"x{i}", f"x{j}"): rng.gauss(0, 1) for i in range(40) for j in range(i + 1, i + 4)}

    def v(coalition):
        s = set(coalition)
        total = sum(weights[x] for x in coalition)
        total += sum(w for (a, b), w in pairs.items() if a in s and b in s)
        return total + (1.5 if {"x1", "x2", "x3"} <= s else 0.0)

    return v


# Catches an exact path that differs from the exact engines, asks a
# coalition twice, or reports the wrong keys.
def test_exact_when_the_ideals_fit():
    explainer = morvend.ASVExplainer(small_dag())
    v = game()
    exact = explainer.explain_with_diagnostics(v, method="exact_dag_sparse")
    asked = []
    r = explainer.explain_within(lambda c: asked.append(tuple(c)) or v(c), max_calls=10**6)
    assert r["method"] == r["selected_method"] == "exact_ideals"
    assert r["is_exact"] and r["calls"] == exact["n_order_ideals"] == len(asked) == len(set(asked))
    for x, value in exact["values"].items():
        assert math.isclose(r["values"][x], value, rel_tol=1e-12, abs_tol=1e-12)
        assert r["stderr"][x] == 0.0


# Catches a budget that is exceeded, repeats that count, seeded runs that
# differ, and a batch form that is not the same estimate.
def test_estimate_within_the_budget():
    explainer = morvend.ASVExplainer(small_dag())
    v = game()
    asked = []
    r = explainer.explain_within(lambda c: asked.append(tuple(c)) or v(c), max_calls=300, seed=5, ci=0.95)
    assert r["method"] == "surrogate_residual" and not r["is_exact"]
    assert r["calls"] == len(asked) == len(set(asked)) <= 300
    assert r == explainer.explain_within(v, max_calls=300, seed=5, ci=0.95)
    batches = []
    rb = explainer.explain_within(
        value_fn_batch=lambda cs: batches.append(len(cs)) or [v(c) for c in cs],
        max_calls=300, seed=5, ci=0.95, batch_size=64,
    )
    assert rb["values"] == r["values"] and max(batches) <= 64
    for x in r["values"]:
        assert r["ci_low"][x] <= r["values"][x] <= r["ci_high"][x]


# Catches an estimate that is not better than the importance sampler at the
# same calls on a game the surrogate nearly captures.
def test_estimate_beats_approx_at_equal_calls():
    explainer = morvend.ASVExplainer(small_dag(18, 0.12, 3))
    v = game(4)
    truth = explainer.explain(v, method="exact_dag_sparse")

    def err(values):
        return math.sqrt(sum((values[k] - truth[k]) ** 2 for k in truth))

    ours = err(explainer.explain_within(v, max_calls=600, seed=1)["values"])
    approx = err(explainer.explain(v, method="approx", n_samples=600 // 18, seed=1))
    assert ours < approx / 5


def test_refusals_and_progress(monkeypatch, capsys):
    explainer = morvend.ASVExplainer(small_dag())
    v = game()
    with pytest.raises(ValueError, match="must provide either value_fn or value_fn_batch"):
        explainer.explain_within()
    with pytest.raises(ValueError, match="max_calls must be > 0"):
        explainer.explain_within(v, max_calls=0)
    with pytest.raises(ValueError, match=r"explain_within needs max_calls \u2265 n \+ 1 = 15"):
        explainer.explain_within(v, max_calls=10)
    with pytest.raises(ValueError, match=r"ci must be in \(0, 1\)"):
        explainer.explain_within(v, ci=1.5)
    monkeypatch.setitem(__import__("sys").modules, "tqdm", None)  # no tqdm: the plain line
    explainer.explain_within(v, max_calls=200, seed=1, progress=True)
    err = capsys.readouterr().err
    assert "morvend: " in err and "/200 calls" in err
