"""The exact engines through explain() and explain_with_diagnostics()."""

import math
import threading

import pytest

from morvend import ASVExplainer, CausalDAG

from conftest import Game, brute_force_asv, order_ideals, raised
from helpers import chain, dag_from, isolated, random_dag, star

EXACT = ["exact", "exact_dag", "exact_dag_sparse", "exact_tree"]


def random_tree(n, seed):
    import random

    rng = random.Random(seed)
    names = [f"t{i}" for i in range(n)]
    return dag_from(names, [(names[rng.randrange(i)], names[i]) for i in range(1, n)])


def graph_for(method, n, seed):
    return random_tree(n, seed) if method == "exact_tree" else random_dag(n, 0.3, seed)


# Catches an exact engine whose values differ from the average over every ordering
# that respects the edges (a miscounted or double-counted prefix, a wrong weight), or
# that break efficiency.
@pytest.mark.parametrize("method", EXACT)
@pytest.mark.parametrize("seed", range(6))
def test_values_match_the_definition(method, seed):
    dag = graph_for(method, 2 + seed, seed)
    game = Game(seed)
    values = ASVExplainer(dag).explain(game, method=method)
    expected = brute_force_asv(dag, game.value)
    assert set(values) == set(expected)
    for name, v in values.items():
        assert abs(v - expected[name]) <= 1e-9 * max(1.0, abs(expected[name]))
    everyone = game.value(dag.nodes())
    assert math.isclose(sum(values.values()), everyone - game.value([]), abs_tol=1e-12)


# Catches an engine that asks for a coalition twice, asks for one that is not an order
# ideal, misses one, or hands over its members other than as a list in id order.
@pytest.mark.parametrize("method", EXACT)
def test_one_call_per_order_ideal_with_names_in_id_order(method):
    dag = graph_for(method, 7, 3)
    game = Game(1)
    ASVExplainer(dag).explain(game, method=method)
    seen = [frozenset(c) for c in game.calls]
    assert len(seen) == len(set(seen))
    assert set(seen) == order_ideals(dag)
    order = {x: i for i, x in enumerate(dag.nodes())}
    for coalition in game.calls:
        assert type(coalition) is list
        assert [order[x] for x in coalition] == sorted(order[x] for x in coalition)
    assert [] in game.calls and dag.nodes() in game.calls


# Catches a diagnostics key missing or moved, and figures of the sampling path (ess, a
# seed, a thread count) or a wrong sparse state count reported for an exact run.
@pytest.mark.parametrize(
    ("method", "n_samples"),
    [("exact", 3), ("exact_dag", 16), ("exact_dag_sparse", 7), ("exact_tree", 0)],
)
def test_diagnostics(method, n_samples):
    # a -> b, a -> c, c -> d: 3 orders, 7 ideals, 16 coalitions.
    dag = CausalDAG.from_edges([("a", "b"), ("a", "c"), ("c", "d")])
    d = ASVExplainer(dag).explain_with_diagnostics(len, method=method, seed=5, parallel=True)
    assert list(d) == [
        "values", "ess", "ess_ratio", "n_samples", "seed", "is_exact", "method", "parallel",
        "num_threads", "deterministic", "n_order_ideals", "state_ratio", "memory_mb",
        "fallback_from", "fallback_reason", "selected_method",
    ]  # fmt: skip
    assert d["n_samples"] == n_samples
    assert d["is_exact"] is True
    assert d["ess"] is None and d["ess_ratio"] is None and d["seed"] is None
    assert (d["method"], d["selected_method"]) == (method, method)
    assert (d["parallel"], d["num_threads"], d["deterministic"]) == (True, None, True)
    assert d["fallback_from"] is None and d["fallback_reason"] is None
    if method == "exact_dag_sparse":
        assert d["n_order_ideals"] == 7
        assert d["state_ratio"] == 7 / 16
        assert d["memory_mb"] == 80 * (7 + 6) / 2**20
    else:
        assert d["n_order_ideals"] is None and d["state_ratio"] is None and d["memory_mb"] is None
    assert d["values"] == pytest.approx({"a": 1.0, "b": 1.0, "c": 1.0, "d": 1.0})


# Catches a size or shape limit checked only after value calls were made, checked at the
# wrong bound, or reported in other words.
@pytest.mark.parametrize(
    ("method", "dag", "message"),
    [
        ("exact_dag", lambda: isolated(21), "invalid configuration: exact_dag requires n ≤ 20 (2^n DP states), got 21"),
        (
            "exact_dag_sparse",
            lambda: chain(29),
            "invalid configuration: exact_dag_sparse: n=29 exceeds max_nodes=28; use approximate method for large DAGs",
        ),
        ("exact_tree", lambda: isolated(3), "graph is not a rooted directed tree"),
        (
            "exact_tree",
            lambda: star(15),
            "exact_tree: tree shape exceeds the feasibility budget (largest single side-sibling product 16384 vs "
            "budget 50000; estimated total work 245761 vs budget 200000); use exact_dag_sparse or approx",
        ),
        ("exact_tree", lambda: chain(65), "invalid configuration: bitmask coalitions require n ≤ 64, got 65"),
        ("exact", lambda: chain(65), "invalid configuration: bitmask coalitions require n ≤ 64, got 65"),
        (
            "exact",
            lambda: isolated(11),
            "invalid configuration: exact enumerates every linear extension and accepts at most 10000000 of "
            "them; this DAG has more: use 'exact_dag_sparse' or 'approx'",
        ),
        (
            "exact_dag_sparse",
            lambda: isolated(21),
            "linear extension count overflowed u64: dp_fwd[0b111111111111111111111] overflowed u64 — use approx "
            "for this DAG",
        ),
    ],
)
def test_limits_refuse_before_any_call(method, dag, message):
    game = Game()
    exc = raised(ASVExplainer(dag()).explain, game, method=method)
    assert type(exc) is ValueError
    assert str(exc) == message
    assert game.calls == []


# Catches an off-by-one limit that refuses the largest graph each engine takes.
def test_limits_accept_their_bounds():
    assert len(ASVExplainer(chain(28)).explain(len, method="exact_dag_sparse")) == 28
    assert len(ASVExplainer(star(14)).explain(len, method="exact_tree")) == 15
    assert len(ASVExplainer(chain(64)).explain(len, method="exact")) == 64
    assert len(ASVExplainer(isolated(10)).explain(len, method="exact")) == 10


# Catches the sparse engine running out of memory instead of stopping at its limit, or
# calling the value function before it knows the ideals fit.
def test_sparse_memory_limit_on_28_isolated_nodes():
    game = Game()
    exc = raised(ASVExplainer(isolated(28)).explain, game, method="exact_dag_sparse")
    assert str(exc) == (
        "invalid configuration: exact_dag_sparse: exceeded memory limit (2147483648 bytes) after 26843546 order "
        "ideals; try approximate method"
    )
    assert game.calls == []


class Weird(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Outer:
    class Inner(Exception):
        pass


def raising(exc):
    def f(coalition):
        raise exc

    return f


# Catches a value function's error, a non-number result or a non-callable that crashes,
# is ignored, or is reported without its type and text (a failing __str__ too) or with
# a chained traceback.
@pytest.mark.parametrize("method", EXACT)
@pytest.mark.parametrize(
    ("fn", "message"),
    [
        (lambda c: 1 / 0, "value function error: ZeroDivisionError: division by zero"),
        (raising(ValueError()), "value function error: ValueError: "),
        (raising(Weird()), "value function error: Weird: <exception str() failed>"),
        (raising(Outer.Inner("deep")), "value function error: Outer.Inner: deep"),
        (lambda c: "1.5", "value function error: TypeError: must be real number, not str"),
        (lambda c: None, "value function error: TypeError: must be real number, not NoneType"),
        (5, "value function error: TypeError: 'int' object is not callable"),
    ],
)
def test_value_function_failures(method, fn, message):
    exc = raised(ASVExplainer(chain(4)).explain, fn, method=method)
    assert type(exc) is ValueError
    assert str(exc) == message
    assert exc.__cause__ is None and exc.__context__ is None


# Catches KeyboardInterrupt, SystemExit or GeneratorExit from the value function
# wrapped into ValueError or replaced by a copy.
@pytest.mark.parametrize("method", EXACT)
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_exceptions_outside_exception_propagate_unchanged(method, exc_type):
    original = exc_type("stop")
    exc = raised(ASVExplainer(chain(4)).explain, raising(original), method=method)
    assert exc is original


class Index:
    def __index__(self):
        return 3


class Floaty:
    def __float__(self):
        return 2.5


# Catches results converted otherwise than float() does (__index__, __float__, bool,
# ints past 2^53 refused or truncated).
@pytest.mark.parametrize(
    ("result", "expected"), [(7, 7.0), (True, 1.0), (Index(), 3.0), (Floaty(), 2.5), (-1.0, -1.0), (2**70, 2.0**70)]
)
def test_results_convert_like_float(result, expected):
    values = ASVExplainer(chain(2)).explain(lambda c: result if len(c) == 2 else 0.0, method="exact")
    assert values == {"c0": 0.0, "c1": expected}


# Catches NaN or infinity from the value function refused, dropped or turned into a
# finite value.
def test_nan_and_infinity_flow_into_the_values():
    values = ASVExplainer(chain(3)).explain(lambda c: math.nan if len(c) == 1 else len(c), method="exact_dag")
    assert math.isnan(values["c0"]) and math.isnan(values["c1"]) and values["c2"] == 1.0
    values = ASVExplainer(chain(2)).explain(lambda c: math.inf if c else 0.0, method="exact")
    assert values["c0"] == math.inf and math.isnan(values["c1"])


# Catches an explainer that shares its graph with the caller, so that a later edge
# changes its values.
def test_explainer_ignores_later_changes_to_its_dag():
    dag = CausalDAG.from_edges([("a", "b")])
    explainer = ASVExplainer(dag)
    before = explainer.explain(Game(2), method="exact")
    dag.add_edge("b", "c")
    assert explainer.explain(Game(2), method="exact") == before


def ticks_during(run):
    """The times at which another Python thread ran while run() ran, as
    fractions of run()'s duration."""
    import time

    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    t = threading.Thread(target=ticker)
    t.start()
    start = time.perf_counter()
    try:
        run()
    finally:
        end = time.perf_counter()
        stop.set()
        t.join()
    return [(x - start) / (end - start) for x in ticks if start <= x <= end]


# Catches native work that holds the GIL while it makes no value call.
def test_other_threads_run_during_pure_computation():
    # 22 isolated nodes: a long pass over 4 million order ideals, then an
    # overflow, and no value-function call at all.
    explainer = ASVExplainer(isolated(22))
    ticks = ticks_during(lambda: raised(explainer.explain, len, method="exact_dag_sparse"))
    assert any(0.3 < t < 0.7 for t in ticks)


# Catches an engine that keeps the GIL from call to call of a builtin value function,
# which runs no bytecode to let other threads in.
def test_other_threads_run_between_value_calls():
    # A builtin value function runs no bytecode, so the thread must yield the
    # lock it keeps between calls by itself; most of this run is value calls.
    explainer = ASVExplainer(isolated(19))
    ticks = ticks_during(lambda: explainer.explain(len, method="exact_dag"))
    assert any(0.4 < t < 0.95 for t in ticks)


# Catches state shared between concurrent explains on one explainer (a shared cache or
# buffer), which changes their values.
def test_concurrent_explains_on_one_explainer():
    explainer = ASVExplainer(random_dag(10, 0.3, 1))
    expected = explainer.explain(Game(4), method="exact_dag_sparse")
    results = [None] * 4

    def run(i):
        results[i] = explainer.explain(Game(4), method="exact_dag_sparse")

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


# Catches a missing value function, an unknown or miscased method, or a batch function
# with an exact method accepted, or refused in other words.
@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({}, "must provide either value_fn or value_fn_batch"),
        ({"value_fn": None, "value_fn_batch": None}, "must provide either value_fn or value_fn_batch"),
        ({"value_fn": len, "method": "bogus"}, "unknown method 'bogus': use 'auto', 'approx', 'exact', 'exact_tree', "
         "'exact_dag', 'exact_dag_sparse', or 'uniform_sparse'"),
        ({"value_fn": len, "method": "Auto"}, "unknown method 'Auto': use 'auto', 'approx', 'exact', 'exact_tree', "
         "'exact_dag', 'exact_dag_sparse', or 'uniform_sparse'"),
        ({"value_fn_batch": len, "method": "exact"}, "value_fn_batch is only supported for method='approx' or 'auto'"),
        ({"value_fn_batch": len, "method": "bogus"}, "value_fn_batch is only supported for method='approx' or 'auto'"),
    ],
)
def test_explain_argument_checks(kwargs, message):
    explainer = ASVExplainer(chain(3))
    for method in (explainer.explain, explainer.explain_with_diagnostics):
        exc = raised(method, **kwargs)
        assert type(exc) is ValueError
        assert str(exc) == message


# Catches too many positional arguments accepted, out-of-range or wrongly typed
# arguments refused without naming their parameter, and an explicit None that is not
# the default.
def test_explain_argument_conversion():
    explainer = ASVExplainer(chain(3))
    exc = raised(explainer.explain, len, "exact", 10, None, None, 256, False, None, 1)
    assert str(exc) == "ASVExplainer.explain() takes from 0 to 8 positional arguments but 9 were given"
    exc = raised(explainer.explain, len, n_samples=-1)
    assert type(exc) is OverflowError and exc.__notes__ == ["while processing 'n_samples'"]
    exc = raised(explainer.explain, len, seed=2**64)
    assert type(exc) is OverflowError and exc.__notes__ == ["while processing 'seed'"]
    exc = raised(explainer.explain, len, method=3)
    assert type(exc) is TypeError and exc.__notes__ == ["while processing 'method'"]
    exc = raised(explainer.explain, len, parallel=1)
    assert type(exc) is TypeError and exc.__notes__ == ["while processing 'parallel'"]
    exc = raised(explainer.explain_with_diagnostics, len, n_samples=1.5)
    assert type(exc) is TypeError and exc.__notes__ == ["while processing 'n_samples'"]
    # Explicit None is omission for the parameters whose default is None.
    assert explainer.explain(len, "exact", 10, None, None, 256, False, None) == explainer.explain(len, method="exact")
