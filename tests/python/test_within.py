"""explain_within: exact within the budget when the order ideals fit, else the surrogate estimate."""

import math
import random
from fractions import Fraction

import pytest

import morvend
from helpers import isolated


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
    r = explainer.explain_within(lambda c: asked.append(tuple(c)) or v(c), max_calls=800, seed=5, ci=0.95)
    assert r["method"] == "surrogate_residual" and not r["is_exact"]
    assert r["calls"] == len(asked) == len(set(asked)) <= 800
    assert r == explainer.explain_within(v, max_calls=800, seed=5, ci=0.95)
    batches = []
    rb = explainer.explain_within(
        value_fn_batch=lambda cs: batches.append(len(cs)) or [v(c) for c in cs],
        max_calls=800, seed=5, ci=0.95, batch_size=64,
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


# Catches a missing value function, a zero or too small budget, or a bad ci accepted,
# and no progress line when tqdm is missing.
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


def rational_asv(dag, v):
    """The ASV by the definition's sums over order ideals, in exact integers and fractions."""
    names = dag.nodes()
    bit = {x: 1 << i for i, x in enumerate(names)}
    parents = {x: 0 for x in names}
    for a, b in dag.edges():
        parents[b] |= bit[a]
    full = (1 << len(names)) - 1
    members = lambda mask: [x for x in names if mask & bit[x]]  # noqa: E731
    addable = lambda mask: [x for x in names if not mask & bit[x] and parents[x] & mask == parents[x]]  # noqa: E731
    levels, orders = [[0]], {0: 1}
    while levels[-1] != [full]:
        nxt = {}
        for mask in levels[-1]:
            for x in addable(mask):
                nxt[mask | bit[x]] = nxt.get(mask | bit[x], 0) + orders[mask]
        orders.update(nxt)
        levels.append(list(nxt))
    completions = {full: 1}
    for level in reversed(levels[:-1]):
        for mask in level:
            completions[mask] = sum(completions[mask | bit[x]] for x in addable(mask))
    value = {mask: Fraction(v(members(mask))) for mask in orders}
    phi = {x: Fraction(0) for x in names}
    for mask in orders:
        for x in addable(mask):
            phi[x] += orders[mask] * completions[mask | bit[x]] * (value[mask | bit[x]] - value[mask])
    return {x: p / orders[full] for x, p in phi.items()}, len(orders), orders[full]


def integer_game(names, seed):
    rng = random.Random(seed)
    a = {x: rng.randint(-5, 5) for x in names}
    pairs = {(names[i], names[j]): rng.randint(-3, 3) for i in range(len(names)) for j in range(i + 1, min(i + 4, len(names)))}

    def v(coalition):
        s = set(coalition)
        return sum(a[x] for x in coalition) + sum(w for (x, y), w in pairs.items() if x in s and y in s)

    return v


def narrow_dag(width, length, cross, seed):
    """`width` chains of `length` nodes, plus `cross` random edges forward between them."""
    rng = random.Random(seed)
    names = [f"c{c}_{k}" for k in range(length) for c in range(width)]
    edges = [(f"c{c}_{k}", f"c{c}_{k + 1}") for c in range(width) for k in range(length - 1)]
    for _ in range(cross):
        k = rng.randrange(length - 1)
        c, d = rng.sample(range(width), 2)
        edges.append((f"c{c}_{k}", f"c{d}_{k + 1}"))
    return morvend.CausalDAG.from_edges(list(dict.fromkeys(edges)))


# Catches counts that overflow or lose precision: exact results equal the
# definition in exact arithmetic on random DAGs, on DAGs whose orderings
# exceed 2^64, and on chains and narrow DAGs of 100 to 1,000 nodes.
@pytest.mark.parametrize(
    "dag",
    [
        small_dag(10, 0.3, 7),
        narrow_dag(2, 40, 0, 1),  # 1,681 ideals, C(80, 40) > 2^64 orderings
        narrow_dag(3, 34, 20, 2),
        narrow_dag(2, 100, 30, 3),
        morvend.CausalDAG.from_edges([(f"x{i}", f"x{i + 1}") for i in range(999)]),
    ],
    ids=["random", "two-chains", "three-chains", "narrow-200", "chain-1000"],
)
def test_exact_equals_rational_arithmetic(dag):
    v = integer_game(dag.nodes(), len(dag.nodes()))
    truth, ideals, orderings = rational_asv(dag, v)
    r = explain = morvend.ASVExplainer(dag).explain_within(v, max_calls=ideals)
    assert r["is_exact"] and r["calls"] == ideals and explain["method"] == "exact_ideals"
    scale = max(1.0, max(abs(float(t)) for t in truth.values()))
    for x, t in truth.items():
        assert abs(r["values"][x] - float(t)) <= 1e-12 * scale
    if len(dag.nodes()) == 80:
        assert orderings > 2**64


# Catches the coalition estimate of graphs without edges: the method used,
# the budget, repeats, seeds and the batch form, and its intervals.
def test_graph_without_edges_draws_coalitions_in_pairs():
    names = [f"x{i}" for i in range(30)]
    explainer = morvend.ASVExplainer(isolated(30))
    v = game()
    asked = []
    r = explainer.explain_within(lambda c: asked.append(frozenset(c)) or v(c), max_calls=2000, seed=3, ci=0.9)
    assert r["method"] == "paired_strata" and not r["is_exact"]
    assert r["calls"] == len(asked) == len(set(asked)) <= 2000
    assert set(map(frozenset, (names, ()))) <= set(asked)
    rb = explainer.explain_within(value_fn_batch=lambda cs: [v(c) for c in cs], max_calls=2000, seed=3, ci=0.9)
    assert rb == r
    for x in names:  # 90%: about 1.645 standard errors either side
        half = r["ci_high"][x] - r["values"][x]
        assert math.isclose(half, r["values"][x] - r["ci_low"][x], rel_tol=1e-9)
        assert 1.644 * r["stderr"][x] < half < 1.66 * r["stderr"][x]
    # Too small a budget for two pairs of every size: a surrogate fitted to prefixes,
    # with no error bars.
    small = explainer.explain_within(v, max_calls=40, seed=3)
    assert small["method"] == "surrogate_fit" and all(math.isnan(s) for s in small["stderr"].values())


# Catches a value function that is not callable found only at its first call, after
# the work before it (which runs for minutes on a large graph), and a check of the
# form that is not used (the batch form wins when both are given).
@pytest.mark.parametrize(
    ("kwargs", "param"),
    [
        ({"value_fn": 5}, "value_fn"),
        ({"value_fn_batch": "f"}, "value_fn_batch"),
        ({"value_fn": len, "value_fn_batch": 5.0}, "value_fn_batch"),
    ],
    ids=["value_fn", "value_fn_batch", "both"],
)
def test_a_value_function_that_is_not_callable_is_refused_at_once(kwargs, param):
    explainer = morvend.ASVExplainer(isolated(40))
    with pytest.raises(TypeError) as info:
        explainer.explain_within(max_calls=10**5, **kwargs)
    assert str(info.value) == f"'{type(kwargs[param]).__name__}' object is not callable"
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert explainer.explain_within(5, value_fn_batch=lambda cs: [0.0] * len(cs), max_calls=100)["calls"] > 0


# Catches a budget below one ordering refused only after work: the ideals counted up
# to the budget, the progress bar started.
def test_a_budget_below_one_ordering_is_refused_before_any_work(monkeypatch, capsys):
    monkeypatch.setitem(__import__("sys").modules, "tqdm", None)  # no tqdm: the plain line
    asked = []
    with pytest.raises(ValueError, match=r"^invalid configuration: explain_within needs max_calls \u2265 n \+ 1 = 41 "):
        morvend.ASVExplainer(isolated(40)).explain_within(asked.append, max_calls=40, progress=True)
    assert not asked and capsys.readouterr().err == ""


# Catches a standard error of zero (and a zero-width interval) reported for an
# estimate from the coalitions of about one ordering, which have no spread to
# measure, or NaN errors lost on the way to the dict.
@pytest.mark.parametrize("form", ["single", "batch"])
def test_one_ordering_gives_no_standard_error(form):
    explainer = morvend.ASVExplainer(small_dag())  # 14 nodes: 15 calls, as many as one ordering
    v = game()
    if form == "single":
        r = explainer.explain_within(v, max_calls=15, seed=1, ci=0.9)
    else:
        r = explainer.explain_within(value_fn_batch=lambda cs: [v(c) for c in cs], max_calls=15, seed=1, ci=0.9)
    assert r["method"] == "surrogate_fit" and r["n_samples"] == 15 and not r["is_exact"]
    for key in ("values", "stderr", "ci_low", "ci_high"):
        assert set(r[key]) == set(r["values"]), key
    for x, value in r["values"].items():
        assert math.isfinite(value), x
        assert math.isnan(r["stderr"][x]) and math.isnan(r["ci_low"][x]) and math.isnan(r["ci_high"][x]), x


# Catches the small-budget fit asking for coalitions that are not order ideals
# (a node without its ancestors) or asking one twice, spending more than the
# budget, values that do not add up to v(N) - v(empty), an error bar where none
# is honest, or a batch form that is not the same estimate.
@pytest.mark.parametrize(
    "dag, budget",
    [
        (small_dag(), 100),
        (small_dag(), 599),
        (small_dag(30, 0.08, 4), 200),
        (isolated(30), 45),
    ],
    ids=["14-nodes-100", "14-nodes-599", "30-nodes-200", "edgeless-45"],
)
def test_small_budgets_fit_a_surrogate_to_ideals(dag, budget):
    explainer = morvend.ASVExplainer(dag)
    v = game()
    asked = []
    r = explainer.explain_within(lambda c: asked.append(frozenset(c)) or v(c), max_calls=budget, seed=7, ci=0.95)
    assert r["method"] == "surrogate_fit" and not r["is_exact"]
    assert r["calls"] == len(asked) == len(set(asked)) <= budget
    for s in asked:
        assert all(set(dag.ancestors(x)) <= s for x in s)
    assert math.isclose(sum(r["values"].values()), v(dag.nodes()) - v([]), rel_tol=1e-9, abs_tol=1e-9)
    assert all(math.isnan(r["stderr"][x]) and math.isnan(r["ci_low"][x]) for x in r["values"])
    batch = explainer.explain_within(value_fn_batch=lambda cs: [v(c) for c in cs], max_calls=budget, seed=7, batch_size=16, ci=0.95)
    assert batch["values"] == r["values"]
