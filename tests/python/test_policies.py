"""The selection policies behind explain(method="auto") and explain_quality()."""

import pytest

from morvend import ASVExplainer, CausalDAG

from conftest import Game, brute_force_asv, raised
from helpers import chain, dag_from, isolated, star


def binary_tree(n):
    return CausalDAG.from_edges([(f"t{(i - 1) // 2:03d}", f"t{i:03d}") for i in range(1, n)])


def auto(dag, fn=len, **kwargs):
    return ASVExplainer(dag).explain_with_diagnostics(fn, n_samples=kwargs.pop("n_samples", 200), seed=1, **kwargs)


def quality(dag, fn=len, **kwargs):
    return ASVExplainer(dag).explain_quality(fn, min_samples=100, max_samples=400, batch_size=100, seed=1, **kwargs)


def route(d):
    return d["selected_method"], d["fallback_from"], d["fallback_reason"]


SPARSE_OVERFLOW_21 = "dp_fwd[0b111111111111111111111] overflowed u64 — use approx for this DAG"
BUDGET = "order ideal count exceeds sparse memory budget (26843545 states)"
TREE_SHAPE = "tree shape exceeded exact_tree's feasibility budget"
TREE_BITMASK = "tree exceeds exact_tree's n ≤ 64 bitmask limit"
ALSO = "; exact_dag_sparse also infeasible for this DAG"


# Both policies share these rules: the exact engines they pick.
# Catches a policy that picks another exact engine than these rules (a chain sent to
# the sparse DP, a wide star to the tree path) or reports a fallback that did not happen.
@pytest.mark.parametrize("policy", [auto, quality])
@pytest.mark.parametrize(
    ("dag", "expected"),
    [
        (lambda: binary_tree(8), ("exact", None, None)),
        (lambda: isolated(8, digits=2), ("exact", None, None)),
        (lambda: binary_tree(9), ("exact_tree", None, None)),
        # A chain is a rooted tree: the tree path, not the sparse DP.
        (lambda: chain(20, digits=3), ("exact_tree", None, None)),
        (lambda: chain(63, digits=3), ("exact_tree", None, None)),
        # Not a tree: 21 order ideals <= 2^19.
        (lambda: chain(20, digits=3, extra=[(0, 2)]), ("exact_dag_sparse", None, None)),
        (lambda: isolated(20, digits=2), ("exact_dag", None, None)),
        (lambda: star(14, digits=2), ("exact_tree", None, None)),
        (lambda: star(15, digits=2), ("exact_dag_sparse", "exact_tree", TREE_SHAPE)),
        # 28 to 63 nodes with few ideals: the sparse DP with max_nodes = n.
        (lambda: chain(40, digits=3, extra=[(0, 2)]), ("exact_dag_sparse", None, None)),
    ],
)
def test_exact_routes(policy, dag, expected):
    d = policy(dag())
    assert route(d) == expected
    assert d["is_exact"] is True


# Catches auto sampling where an exact engine fits, a fallback without the engine it
# came from and why, and samples or seed not echoed.
@pytest.mark.parametrize(
    ("dag", "expected"),
    [
        (lambda: isolated(21, digits=2), ("approx", "exact_dag_sparse", SPARSE_OVERFLOW_21)),
        (
            lambda: isolated(24, digits=2),
            ("approx", "exact_dag_sparse", "dp_fwd[0b111111111111111111111] overflowed u64 — use approx for this DAG"),
        ),
        (lambda: isolated(25, digits=2), ("approx", "exact_dag_sparse", BUDGET)),
        (lambda: isolated(28, digits=2), ("approx", "exact_dag_sparse", BUDGET)),
        (lambda: isolated(29, digits=2), ("approx", None, None)),
        (lambda: isolated(63, digits=2), ("approx", None, None)),
        (lambda: isolated(64, digits=2), ("approx", None, None)),
        (lambda: chain(100, digits=3), ("approx", "exact_tree", TREE_BITMASK)),
        (lambda: star(20, digits=2), ("approx", "exact_tree", TREE_SHAPE + ALSO)),
        (lambda: star(70, digits=2), ("approx", "exact_tree", TREE_SHAPE)),
    ],
)
def test_auto_sampling_routes(dag, expected):
    d = auto(dag())
    assert route(d) == expected
    assert d["is_exact"] is False and d["n_samples"] == 200 and d["seed"] == 1


# Catches explain_quality sampling where an exact engine fits, or a fallback without
# the engine it came from and why.
@pytest.mark.parametrize(
    ("dag", "expected"),
    [
        (lambda: isolated(64, digits=2), ("approx_adaptive", None, None)),
        (lambda: chain(100, digits=3), ("approx_adaptive", "exact_tree", TREE_BITMASK)),
        (lambda: star(20, digits=2), ("approx_adaptive", "exact_tree", TREE_SHAPE + ALSO)),
    ],
)
def test_quality_sampling_routes(dag, expected):
    d = quality(dag())
    assert route(d) == expected
    assert d["is_exact"] is False and d["converged"] is not None


# Catches explain_quality passing over uniform sampling (its ess equals its samples)
# when the order ideals are too many for exact but the counts fit in u64.
def test_quality_uniform_when_ideals_are_many_but_counts_fit():
    # 18 isolated nodes beside a chain of 3: 2^18 * 4 ideals > 250000, and
    # 21! / 3! orders still fit in u64.
    names = [f"n{i:02d}" for i in range(21)]
    dag = dag_from(names, list(zip(names[18:], names[19:])))
    d = quality(dag)
    assert route(d) == ("uniform_sparse_adaptive", None, None)
    assert d["ess"] == d["n_samples"]


# Catches an overflow of the uniform sampler's counts ending the call instead of falling
# back to importance sampling, or a fallback without its reason.
def test_quality_falls_back_from_uniform_on_overflow():
    d = quality(isolated(30, digits=2))
    assert d["selected_method"] == "approx_adaptive"
    assert d["fallback_from"] == "uniform_sparse_adaptive"
    assert "dp_ind" in d["fallback_reason"]


# Catches a policy that routes to an exact engine but returns other values than the
# definition (the engine run with wrong settings).
@pytest.mark.parametrize("policy", [auto, quality])
def test_exact_results_match_the_definition(policy):
    dag = chain(9, digits=3, extra=[(0, 4), (2, 7)])
    game = Game(3)
    d = policy(dag, game)
    expected = brute_force_asv(dag, game.value)
    assert d["values"] == pytest.approx(expected, rel=1e-9, abs=1e-12)


def first_call_fails(coalition):
    raise RuntimeError("no")


# Catches a value function's error taken for an engine being infeasible, so that the
# policy tries another engine instead of raising it.
@pytest.mark.parametrize("policy", [auto, quality])
@pytest.mark.parametrize(
    "dag",
    [
        lambda: binary_tree(8),
        lambda: star(15, digits=2),
        lambda: isolated(20, digits=2),
        lambda: isolated(21, digits=2),
        lambda: chain(100, digits=3),
    ],
)
def test_value_function_errors_never_fall_back(policy, dag):
    exc = raised(policy, dag(), first_call_fails)
    assert type(exc) is ValueError
    assert str(exc) == "value function error: RuntimeError: no"


# Catches "Auto" taken for "auto" by either form (the batch form would then be accepted).
def test_method_names_are_case_sensitive():
    explainer = ASVExplainer(chain(3, digits=3))
    assert "unknown method 'Auto'" in str(raised(explainer.explain, len, method="Auto"))
    assert str(raised(explainer.explain, value_fn_batch=len, method="Auto")) == (
        "value_fn_batch is only supported for method='approx' or 'auto'"
    )


# Catches diagnostics of an auto run that does not echo the caller's seed and threads,
# or that reports sampling figures for an exact result.
def test_diagnostics_echo_arguments_whatever_ran():
    d = ASVExplainer(isolated(5, digits=2)).explain_with_diagnostics(len, seed=7, parallel=True, num_threads=3)
    assert (d["method"], d["selected_method"], d["is_exact"]) == ("auto", "exact", True)
    assert d["n_samples"] == 120  # 5! orders
    assert (d["seed"], d["deterministic"], d["num_threads"]) == (None, True, 3)
    assert d["ess"] is None and d["ess_ratio"] is None


# Catches an exact result of explain_quality with keys missing, extra or moved, non-zero
# error bars, or interval keys without ci.
def test_quality_on_an_exact_result():
    d = ASVExplainer(isolated(4, digits=2)).explain_quality(len, ci=0.95)
    assert list(d) == [
        "values", "ess", "ess_ratio", "n_samples", "seed", "is_exact", "selected_method", "converged",
        "stderr", "fallback_from", "fallback_reason", "ci", "ci_low", "ci_high",
    ]  # fmt: skip
    assert d["stderr"] == {} and d["converged"] is None and d["ci"] == 0.95
    assert d["ci_low"] == d["values"] == d["ci_high"]
    assert d["selected_method"] == "exact"
    no_ci = ASVExplainer(isolated(4, digits=2)).explain_quality(len)
    assert "ci" not in no_ci and "ci_low" not in no_ci


# Catches ci of 0, 1, outside them or NaN accepted by any of the three methods, or
# refused only after value calls or after the method check.
@pytest.mark.parametrize("ci", [0.0, 1.0, -0.5, 2.0, float("nan")])
def test_ci_must_lie_strictly_inside_the_unit_interval(ci):
    explainer = ASVExplainer(chain(3, digits=3))
    game = Game()
    message = "ci must be in (0, 1), e.g. ci=0.95 for a 95% interval"
    assert str(raised(explainer.explain_quality, game, ci=ci)) == message
    assert str(raised(explainer.explain_adaptive, game, ci=ci, method="bogus")) == message
    assert str(raised(explainer.explain_quality_batch, game, ci=ci)) == message
    assert game.calls == []
