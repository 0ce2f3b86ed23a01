"""The sampling estimators as users reach them: explain with "approx" and
"uniform_sparse", the batch path, explain_adaptive and explain_adaptive_batch."""

import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

from morvend import ASVExplainer, CausalDAG

from conftest import Game, brute_force_asv, raised
from helpers import chain, isolated, random_dag


def additive(weights):
    return lambda coalition: float(sum(weights[x] for x in coalition))


def weights_of(dag, seed=0):
    rng = np.random.default_rng(seed)
    return {x: float(w) for x, w in zip(dag.nodes(), rng.normal(size=len(dag.nodes())))}


# --- fixed-count estimators ----------------------------------------------------------

ESTIMATORS = [
    pytest.param({"method": "approx"}, id="approx-serial"),
    pytest.param({"method": "approx", "parallel": True}, id="approx-seeded-parallel"),
    pytest.param({"method": "approx", "parallel": True, "num_threads": 5}, id="approx-5-shares"),
    pytest.param({"method": "uniform_sparse"}, id="uniform"),
    pytest.param({"method": "approx", "value_fn_batch": True}, id="batched"),
]


def run(explainer, fn, kwargs, **extra):
    kwargs = dict(kwargs, **extra)
    if kwargs.pop("value_fn_batch", False):
        return explainer.explain_with_diagnostics(value_fn_batch=lambda cs: [fn(c) for c in cs], **kwargs)
    return explainer.explain_with_diagnostics(fn, **kwargs)


# Catches an estimator whose weights or marginals are off: on an additive game every
# ordering gives each node its weight, so any sample count must give them exactly.
@pytest.mark.parametrize("kwargs", ESTIMATORS)
def test_additive_games_are_recovered_exactly(kwargs):
    dag = random_dag(12, 0.2, 3)
    w = weights_of(dag)
    d = run(ASVExplainer(dag), additive(w), kwargs, n_samples=300, seed=11)
    assert d["values"] == pytest.approx(w, rel=1e-9, abs=1e-12)
    assert d["is_exact"] is False and d["n_samples"] == 300 and d["seed"] == 11


# Catches a seeded run that depends on thread timing or leftover state, and a seed that
# is ignored.
@pytest.mark.parametrize("kwargs", ESTIMATORS)
def test_seeded_runs_repeat_to_the_bit(kwargs):
    explainer = ASVExplainer(random_dag(10, 0.25, 5))
    game = Game(7)
    first = run(explainer, game, kwargs, n_samples=500, seed=42)
    second = run(explainer, game, kwargs, n_samples=500, seed=42)
    assert first["values"] == second["values"] and first["ess"] == second["ess"]
    other = run(explainer, game, kwargs, n_samples=500, seed=43)
    assert other["values"] != first["values"]


# Catches an unseeded sampler biased away from the definition (a wrong proposal or
# weight) on a game that is not additive.
@pytest.mark.parametrize(
    "kwargs",
    [pytest.param({"method": "approx"}, id="approx-unseeded-pool"), pytest.param({"method": "uniform_sparse"}, id="uniform")],
)
def test_estimates_approach_the_exact_values(kwargs):
    dag = random_dag(8, 0.25, 2)
    game = Game(3)
    exact = brute_force_asv(dag, game.value)
    d = run(ASVExplainer(dag), game, kwargs, n_samples=20000)
    assert d["seed"] is None
    for x in dag.nodes():
        assert abs(d["values"][x] - exact[x]) < 0.05


# Catches importance weights that are not all one where the proposal is exact (a chain,
# no edges), and an ess that does not fall below the samples where they differ.
def test_weights_and_ess():
    # A chain has one order: every weight is one and ess equals the samples.
    d = ASVExplainer(chain(6, digits=3)).explain_with_diagnostics(Game(1), method="approx", n_samples=50, seed=1)
    assert d["ess"] == 50.0 and d["ess_ratio"] == 1.0
    # Without edges the proposal is uniform too.
    d = ASVExplainer(isolated(6, digits=3)).explain_with_diagnostics(Game(1), method="approx", n_samples=50, seed=1)
    assert d["ess"] == pytest.approx(50.0)
    # Otherwise weights differ and ess falls below the samples.
    dag = CausalDAG.from_edges([("a", "b"), ("a", "c"), ("c", "d")])
    d = ASVExplainer(dag).explain_with_diagnostics(Game(1), method="approx", n_samples=400, seed=1)
    assert 0 < d["ess"] < 400


# Catches seeded parallel runs that differ from one run to the next, or that ignore
# num_threads in splitting the work.
def test_seeded_parallel_depends_on_num_threads_not_on_the_pool():
    explainer = ASVExplainer(random_dag(12, 0.2, 9))
    game = Game(2)
    three = explainer.explain(game, method="approx", n_samples=1000, seed=5, parallel=True, num_threads=3)
    assert three == explainer.explain(game, method="approx", n_samples=1000, seed=5, parallel=True, num_threads=3)
    assert three != explainer.explain(game, method="approx", n_samples=1000, seed=5, parallel=True, num_threads=4)


POOL_SCRIPT = """
import sys
sys.path.insert(0, {tests!r})
from conftest import Game
from helpers import random_dag
from morvend import ASVExplainer
v = ASVExplainer(random_dag(12, 0.2, 9)).explain(
    Game(2), method="approx", n_samples=2000, seed=5, parallel=True, num_threads=4
)
print(repr(sorted(v.items())))
"""


# Catches seeded parallel shares that depend on the number of CPUs the pool has.
@pytest.mark.skipif(not hasattr(os, "sched_setaffinity") or (os.cpu_count() or 1) < 2, reason="needs 2 CPUs")
def test_seeded_parallel_is_the_same_with_a_pool_of_one_and_of_all():
    # The pool has one worker per CPU the process may use; the shares depend on
    # num_threads only.
    script = POOL_SCRIPT.format(tests=os.path.dirname(__file__))
    everywhere = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    one = subprocess.run(
        ["taskset", "-c", "0", sys.executable, "-c", script], capture_output=True, text=True, check=True
    ).stdout
    assert everywhere == one


# Catches an unseeded run with parallel on or off that is not the pool mode (reported
# deterministic) or that loses samples (an additive game then comes out wrong).
def test_unseeded_parallel_flag_is_the_pool_mode():
    dag = random_dag(9, 0.3, 1)
    w = weights_of(dag)
    for parallel in (False, True):
        d = ASVExplainer(dag).explain_with_diagnostics(additive(w), method="approx", n_samples=500, parallel=parallel)
        assert d["values"] == pytest.approx(w, rel=1e-9)
        assert d["deterministic"] is False


# Catches zero samples or zero threads accepted, or refused only after value calls.
@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"method": "approx", "n_samples": 0}, "invalid configuration: n_samples must be > 0"),
        ({"method": "uniform_sparse", "n_samples": 0}, "invalid configuration: n_samples must be > 0"),
        ({"method": "approx", "seed": 1, "parallel": True, "num_threads": 0}, "invalid configuration: num_threads must be > 0"),
    ],
)
def test_estimator_checks(kwargs, message):
    game = Game()
    exc = raised(ASVExplainer(chain(3, digits=3)).explain, game, **kwargs)
    assert str(exc) == message and game.calls == []


# Catches the uniform sampler's 63-node limit checked after the other arguments, or at
# the wrong bound.
def test_uniform_refuses_64_nodes_before_anything_else():
    exc = raised(ASVExplainer(isolated(64, digits=3)).explain, len, method="uniform_sparse", n_samples=0)
    assert str(exc) == (
        "invalid configuration: approximate_uniform_sparse requires n ≤ 63 (u64 bitmask), got 64; "
        "use approximate() for larger DAGs"
    )


# Catches an overflow of the uniform sampler's ordering counts that wraps silently.
def test_uniform_overflow_on_21_isolated_nodes():
    exc = raised(ASVExplainer(isolated(21, digits=3)).explain, len, method="uniform_sparse", n_samples=10)
    assert str(exc).startswith("linear extension count overflowed u64: dp_ind[0b")


# Catches a value function's error on a worker thread that is lost, ends the process, or
# comes back without its type and text, serial and in the pool.
def test_worker_failures_surface_on_the_calling_thread():
    def fails_sometimes(coalition):
        if len(coalition) == 5:
            raise LookupError("five")
        return 0.0

    for kwargs in ({}, {"seed": 3, "parallel": True}):
        exc = raised(ASVExplainer(isolated(9, digits=3)).explain, fails_sometimes, method="approx", n_samples=2000, **kwargs)
        assert str(exc) == "value function error: LookupError: five"


# Catches KeyboardInterrupt from a value call on a worker thread wrapped or replaced.
def test_interrupts_from_worker_threads_propagate_unchanged():
    interrupt = KeyboardInterrupt("stop")

    def interrupted(coalition):
        if len(coalition) == 4:
            raise interrupt
        return 0.0

    exc = raised(ASVExplainer(isolated(9, digits=3)).explain, interrupted, method="approx", n_samples=5000)
    assert exc is interrupt


# Catches worker threads that call the value function at the same time, or that make a
# new thread state per call (thread-local data lost between calls).
@pytest.mark.skipif((os.cpu_count() or 1) < 2, reason="needs 2 CPUs")
def test_worker_threads_call_in_one_at_a_time_with_lasting_thread_states():
    active = []
    overlap = []
    fresh = []
    threads = set()
    local = threading.local()

    def watched(coalition):
        threads.add(threading.get_ident())
        if not hasattr(local, "seen"):
            local.seen = True  # a thread state made for this call alone would lose this
            fresh.append(1)
        active.append(1)
        if len(active) > 1:
            overlap.append(1)
        total = sum(range(200))  # some bytecode, so the GIL could switch
        active.pop()
        return float(total + len(coalition))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        ASVExplainer(random_dag(30, 0.1, 1)).explain(watched, method="approx", n_samples=3000)
    finally:
        sys.setswitchinterval(interval)
    assert not overlap
    assert len(threads) >= 2
    assert len(fresh) == len(threads)


# --- the batch path -----------------------------------------------------------------------


class BatchRecorder:
    def __init__(self, result=None):
        self.batches = []
        self.result = result

    def __call__(self, coalitions):
        self.batches.append([list(c) for c in coalitions])
        if self.result is not None:
            return self.result(coalitions)
        return [float(len(c)) for c in coalitions]


# Catches a batch that repeats a coalition or asks again for one already answered, is
# not in mask order, or leaves out the empty coalition from the first batch.
def test_batches_are_sorted_unique_and_uncached():
    dag = random_dag(10, 0.2, 4)
    ids = {x: i for i, x in enumerate(dag.nodes())}
    recorder = BatchRecorder()
    ASVExplainer(dag).explain(value_fn_batch=recorder, n_samples=1000, seed=3, batch_size=100)
    assert 1 <= len(recorder.batches) <= 10

    def mask(c):
        return sum(1 << ids[x] for x in c)

    seen = set()
    for batch in recorder.batches:
        masks = [mask(c) for c in batch]
        assert masks == sorted(set(masks))
        assert not seen & set(masks)
        seen |= set(masks)
    assert frozenset() in {frozenset(c) for c in recorder.batches[0]}


@pytest.mark.parametrize(
    ("n", "n_samples", "batch_size", "calls"),
    [
        # Catches batch_size ignored, so that the batch function is called too often or
        # too rarely.
        (20, 10000, 256, 40),
        (20, 10000, 20000, 1),
        # Catches batch_size=0 refused, looping, or batching otherwise than one ordering
        # a call.
        (30, 5, 0, 5),
    ],
)
def test_batch_counts(n, n_samples, batch_size, calls):
    recorder = BatchRecorder()
    ASVExplainer(isolated(n, digits=3)).explain(value_fn_batch=recorder, n_samples=n_samples, seed=1, batch_size=batch_size)
    assert len(recorder.batches) == calls


# Catches the single form called when a batch function is also given.
def test_value_fn_is_ignored_when_a_batch_function_is_given():
    single = Game()
    recorder = BatchRecorder()
    ASVExplainer(chain(4, digits=3)).explain(single, value_fn_batch=recorder, n_samples=10, seed=1)
    assert single.calls == [] and recorder.batches


# Catches batch results of any sequence or numeric array type refused, and malformed
# ones (a str, a generator, the wrong length, non-numbers, an exception) accepted or
# reported without what went wrong.
@pytest.mark.parametrize(
    ("result", "expected"),
    [
        (lambda cs: np.array([float(len(c)) for c in cs]), None),
        (lambda cs: np.array([float(len(c)) for c in cs], dtype=np.float32), None),
        (lambda cs: np.array([len(c) for c in cs]), None),
        (lambda cs: tuple(len(c) for c in cs), None),
        (lambda cs: [len(c) for c in cs], None),
        (lambda cs: np.array([float(len(c)) for c in cs])[::-1][::-1], None),
        (lambda cs: "0.0", "value function error: TypeError: Can't extract `str` to `Vec`"),
        (lambda cs: (float(len(c)) for c in cs), "value function error: TypeError: 'generator' object cannot be converted to 'Sequence'"),
        (lambda cs: [0.0] * (len(cs) + 1), "value function error: value_fn_batch returned {m} values for {k} coalitions"),
        (lambda cs: ["x"] * len(cs), "value function error: TypeError: must be real number, not str"),
        (lambda cs: 1 / 0, "value function error: ZeroDivisionError: division by zero"),
    ],
)
def test_batch_results(result, expected):
    dag = chain(5, digits=3)
    recorder = BatchRecorder(result)
    explainer = ASVExplainer(dag)
    if expected is None:
        values = explainer.explain(value_fn_batch=recorder, n_samples=20, seed=1)
        assert values == pytest.approx({x: 1.0 for x in dag.nodes()})
        return
    exc = raised(explainer.explain, value_fn_batch=recorder, n_samples=20, seed=1)
    k = len(recorder.batches[0])
    assert str(exc) == expected.format(m=k + 1, k=k)


# Catches zero samples accepted on the batch path.
def test_batch_n_samples_zero():
    exc = raised(ASVExplainer(chain(3, digits=3)).explain, value_fn_batch=BatchRecorder(), n_samples=0)
    assert str(exc) == "invalid configuration: n_samples must be > 0"


# Catches the batch path reporting an exact engine or other figures than it ran with.
def test_batch_path_reports_no_selected_method():
    d = ASVExplainer(chain(4, digits=3)).explain_with_diagnostics(value_fn_batch=BatchRecorder(), n_samples=10, seed=1)
    assert d["selected_method"] == "auto" and d["is_exact"] is False and d["n_samples"] == 10


# --- adaptive estimators -------------------------------------------------------------------

ADAPTIVE_KEYS = ["values", "ess", "ess_ratio", "n_samples", "seed", "is_exact", "method", "converged", "stderr"]


# Catches an adaptive estimator with keys missing or moved, a wrong method name, a
# stop outside its bounds or without convergence, or biased values.
@pytest.mark.parametrize(
    ("call", "method"),
    [
        (lambda e, f, **kw: e.explain_adaptive(f, **kw), "approx_adaptive"),
        (lambda e, f, **kw: e.explain_adaptive(f, method="uniform_sparse", **kw), "uniform_sparse_adaptive"),
        (lambda e, f, **kw: e.explain_adaptive_batch(lambda cs: [f(c) for c in cs], **kw), "approx_adaptive_batch"),
    ],
)
def test_adaptive_dicts_and_convergence(call, method):
    dag = random_dag(10, 0.2, 8)
    w = weights_of(dag, 1)
    d = call(ASVExplainer(dag), additive(w), min_samples=200, max_samples=5000, batch_size=100, seed=4)
    assert list(d) == ADAPTIVE_KEYS
    assert d["method"] == method and d["seed"] == 4 and d["is_exact"] is False
    assert d["converged"] is True and 200 <= d["n_samples"] <= 5000
    assert d["values"] == pytest.approx(w, rel=1e-9, abs=1e-12)
    assert set(d["stderr"]) == set(dag.nodes()) and all(s >= 0 for s in d["stderr"].values())


# Catches an interval not centred on the value or of another width than the normal
# quantile for ci gives.
def test_adaptive_ci_bounds():
    dag = random_dag(8, 0.3, 2)
    d = ASVExplainer(dag).explain_adaptive(Game(5), max_samples=2000, batch_size=500, seed=1, ci=0.95)
    assert list(d) == ADAPTIVE_KEYS + ["ci", "ci_low", "ci_high"]
    for x in dag.nodes():
        low, value, high, se = d["ci_low"][x], d["values"][x], d["ci_high"][x], d["stderr"][x]
        assert se > 0
        assert (low + high) / 2 == pytest.approx(value, abs=1e-12)
        assert (high - low) / (2 * se) == pytest.approx(1.96039, abs=1e-5)


# Catches a zero batch size or min above max accepted, zero samples giving numbers
# instead of NaN, a convergence test that runs with an ess ratio above one, and a
# constant game that does not converge at once.
def test_adaptive_edge_cases():
    explainer = ASVExplainer(chain(5, digits=3))
    msg = str(raised(explainer.explain_adaptive, len, batch_size=0, min_samples=10, max_samples=5))
    assert msg == "invalid configuration: batch_size must be > 0"
    msg = str(raised(explainer.explain_adaptive, len, min_samples=10, max_samples=5))
    assert msg == "invalid configuration: min_samples must be ≤ max_samples"
    d = explainer.explain_adaptive(len, min_samples=0, max_samples=0)
    assert d["n_samples"] == 0 and d["converged"] is False and math.isnan(d["ess"])
    assert all(math.isnan(v) for v in d["values"].values())
    d = explainer.explain_adaptive(len, min_samples=0, max_samples=0, method="uniform_sparse")
    assert d["ess"] == 0.0
    # ess_ratio_min above one: the test never runs.
    d = explainer.explain_adaptive(len, max_samples=1050, batch_size=100, ess_ratio_min=2.0, seed=1)
    assert d["converged"] is False and d["n_samples"] == 1050
    # A constant value function converges on the second test with uniform orders.
    d = ASVExplainer(random_dag(8, 0.3, 1)).explain_adaptive(
        lambda c: 1.0, method="uniform_sparse", min_samples=10, max_samples=1000, batch_size=10, seed=1
    )
    assert d["converged"] is True and d["n_samples"] == 20
    assert set(d["values"].values()) == {0.0} and set(d["stderr"].values()) == {0.0}


# Catches an exact method accepted by explain_adaptive, the uniform sampler's node limit
# unchecked, and ci accepted by the batch form that does not take it.
def test_adaptive_method_names():
    explainer = ASVExplainer(chain(3, digits=3))
    assert str(raised(explainer.explain_adaptive, len, method="exact")) == (
        "unknown method 'exact' for explain_adaptive: use 'approx' or 'uniform_sparse'"
    )
    assert str(raised(ASVExplainer(isolated(64, digits=3)).explain_adaptive, len, method="uniform_sparse")) == (
        "invalid configuration: approximate_uniform_sparse_adaptive requires n ≤ 63, got 64"
    )
    exc = raised(explainer.explain_adaptive_batch, len, ci=0.95)
    assert type(exc) is TypeError
    assert str(exc) == "ASVExplainer.explain_adaptive_batch() got an unexpected keyword argument 'ci'"


# Catches explain_quality_batch picking the uniform sampler past 63 nodes or the
# importance sampler below, or reporting a fallback.
@pytest.mark.parametrize(("n", "method"), [(63, "uniform_sparse_adaptive_batch"), (64, "approx_adaptive_batch")])
def test_quality_batch_routes_by_size(n, method):
    dag = chain(n, digits=3)
    d = ASVExplainer(dag).explain_quality_batch(
        lambda cs: [float(len(c)) for c in cs], min_samples=10, max_samples=40, batch_size=10, seed=1, ci=0.9
    )
    assert d["selected_method"] == method
    assert d["fallback_from"] is None and d["fallback_reason"] is None
    assert list(d)[-3:] == ["ci", "ci_low", "ci_high"]


# --- large graphs ------------------------------------------------------------------------------


# Catches code limited to 64 nodes (bitmasks) in the sampling paths: past it every
# form must still recover an additive game.
@pytest.mark.parametrize("n", [65, 200, 1000])
def test_large_graphs(n):
    dag = random_dag(n, 3.0 / n, 1)
    w = weights_of(dag, 2)
    explainer = ASVExplainer(dag)
    values = explainer.explain(additive(w), method="approx", n_samples=50, seed=3)
    assert values == pytest.approx(w, rel=1e-9, abs=1e-9)
    batched = explainer.explain(value_fn_batch=lambda cs: [additive(w)(c) for c in cs], n_samples=50, seed=3)
    assert batched == pytest.approx(w, rel=1e-9, abs=1e-9)
    unseeded = explainer.explain(additive(w), method="approx", n_samples=50)
    assert unseeded == pytest.approx(w, rel=1e-9, abs=1e-9)
    adaptive = explainer.explain_adaptive(additive(w), min_samples=20, max_samples=60, batch_size=20, seed=3)
    assert adaptive["values"] == pytest.approx(w, rel=1e-9, abs=1e-9)
