"""Ctrl-C during long native work: every long computation stops within 0.2 s of
SIGINT with KeyboardInterrupt, and the explainer works afterwards.

Each computation below runs for several seconds when nothing stops it, and
spends that time in native code: the value function is cached after a short
warm-up, or runs no bytecode at all (a C callable), so Python's own signal
check between bytecodes never gets a chance. SIGINT comes 1 s in (0.3 s for
"exact", whose largest input runs for about 1.3 s).

Two ways to send it:
- "thread": a Python timer thread calls signal.pthread_kill on the main thread.
  It needs the GIL to wake up, so it also checks that explain() lets other
  Python threads run while it computes, as it promises.
- "process": a helper process sends SIGINT to this process, as a terminal's
  Ctrl-C does; it needs nothing from us. Used for the methods that hold the GIL
  for the whole run by design (explain_adaptive, explain_quality,
  explain_quality_batch), and beside "thread" for explain() itself.
"""

import functools
import json
import operator
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

from morvend import ASVExplainer, CausalDAG

from helpers import isolated, random_dag

# Under ASan (scripts/test_python_sanitized.sh) everything runs several times
# slower; the limits below scale with it.
SLOWER = 5.0 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1.0
DELAY = 1.0  # seconds into the computation
LATENCY = 0.2 * SLOWER  # the longest wait for KeyboardInterrupt after the signal
# How late the timer thread may send the signal before the computation counts
# as having starved other Python threads (a switch interval is 5 ms).
SEND_SLACK = 0.2 * SLOWER


def forked(n):
    """A chain c00 -> ... -> c{n-2} with a second root z -> c01: not a tree, and
    only n + 2 coalitions, all met within the first few samples. After that a
    run's value cache answers everything and no Python code runs."""
    names = [f"c{i:02d}" for i in range(n - 1)]
    return CausalDAG.from_edges(list(zip(names, names[1:])) + [("z", "c01")])


def cheap(coalition):
    return float(len(coalition))


def native_taking(seconds):
    """A value function that runs no bytecode (like a compiled model), so Python
    never checks signals while it runs, and takes about `seconds` a call. Sized
    on this interpreter: CPython 3.14 compares None with a list several times
    faster than 3.12, which cut the exact engines' runs to below the signal."""
    probe, rounds = [None] * 10_000, 20
    start = time.perf_counter()
    for _ in range(rounds):
        operator.countOf(probe, ["x"])
    per_item = (time.perf_counter() - start) / (rounds * len(probe))
    return functools.partial(operator.countOf, [None] * max(1, round(seconds / per_item)))


native_slow = native_taking(2e-6)


def batch_cheap(coalitions):
    return [float(len(c)) for c in coalitions]


# --- sending SIGINT ------------------------------------------------------------------


class ThreadSender:
    def __init__(self, deadline):
        self.deadline = deadline
        self.sent_at = None
        self._cancel = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        if self._cancel.wait(max(0.0, self.deadline - time.monotonic())):
            return
        self.sent_at = time.monotonic()
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    def finish(self):
        self._cancel.set()
        self._thread.join()
        return self.sent_at


# CLOCK_MONOTONIC is one clock for every process: the helper reports when it sent.
SENDER = """
import os, signal, sys, time
deadline, pid = float(sys.argv[1]), int(sys.argv[2])
time.sleep(max(0.0, deadline - time.monotonic()))
t = time.monotonic()
os.kill(pid, signal.SIGINT)
print(repr(t), flush=True)
"""


class ProcessSender:
    def __init__(self, deadline):
        self._proc = subprocess.Popen(
            [sys.executable, "-c", SENDER, repr(deadline), str(os.getpid())], stdout=subprocess.PIPE, text=True
        )

    def finish(self):
        self._proc.wait(timeout=30)
        out = self._proc.stdout.read()
        self._proc.stdout.close()
        return float(out) if out.strip() else None


def ctrl_c(fn, source, delay=DELAY):
    """Runs fn with SIGINT sent `delay` s in. Returns (sent_at - start,
    caught_at - sent_at or None when fn returned, run time)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        start = time.monotonic()
        sender = (ThreadSender if source == "thread" else ProcessSender)(start + delay)
        caught_at = ended = None
        try:
            try:
                fn()
            except KeyboardInterrupt:
                caught_at = time.monotonic()
            ended = time.monotonic()
        except KeyboardInterrupt:
            pass  # the signal landed just after fn returned: fn ran to its end
        if ended is None:
            ended = time.monotonic()
        # A signal that lands later raises here instead: absorb it, so it can
        # never escape into the test runner.
        while True:
            try:
                sent_at = sender.finish()
                time.sleep(0.05)
                break
            except KeyboardInterrupt:
                continue
    finally:
        signal.signal(signal.SIGINT, previous)
    assert sent_at is not None, f"the computation returned after {ended - start:.2f} s, before the signal"
    return sent_at - start, (caught_at - sent_at if caught_at is not None else None), ended - start


def check_stops(fn, source, delay=DELAY):
    send_offset, latency, elapsed = ctrl_c(fn, source, delay)
    if source == "thread":
        assert send_offset <= delay + SEND_SLACK, (
            f"the timer thread could send SIGINT only {send_offset:.2f} s in instead of {delay} s: "
            "the computation kept other Python threads from running"
        )
    assert latency is not None, f"the computation ran to its end ({elapsed:.2f} s) despite SIGINT at {send_offset:.2f} s"
    assert latency <= LATENCY, f"KeyboardInterrupt came {latency:.3f} s after SIGINT ({elapsed:.2f} s in)"


class Subject:
    """An explainer and its graph's nodes."""

    def __init__(self, dag):
        self.nodes = dag.nodes()
        self.explainer = ASVExplainer(dag)

    def check_still_works(self):
        """Short runs on the same explainer, the pool's included, give an
        additive game's weights (exact from any ordering, so a few suffice:
        each costs n calls of O(n) on graphs of thousands of nodes)."""
        w = {x: float(i % 7) - 3.0 for i, x in enumerate(self.nodes)}

        def additive(c):
            return sum(w[x] for x in c)

        for kwargs in ({"seed": 1}, {}, {"seed": 1, "parallel": True}):
            values = self.explainer.explain(additive, method="approx", n_samples=4, **kwargs)
            assert values == pytest.approx(w, abs=1e-9), kwargs


@pytest.fixture(scope="module")
def forty():
    return Subject(forked(40))


# --- explain(): documented to release the GIL ------------------------------------------------

# Sampling that would run for about RUN_SECONDS when nothing stops it: the
# number of samples is measured on this machine, since the pool modes run two
# to three times faster on an idle machine than on a busy one.
RUN_SECONDS = 6.0
EXPLAIN_RUNS = [
    pytest.param({"method": "approx", "seed": 1}, id="approx-seeded"),
    pytest.param({"method": "approx", "seed": 1, "parallel": True}, id="approx-parallel"),
    pytest.param({"method": "approx"}, id="approx-unseeded"),
    pytest.param({"method": "uniform_sparse", "seed": 1}, id="uniform_sparse"),
]


def samples_for(explainer, kwargs, seconds):
    trial = 200_000
    start = time.monotonic()
    explainer.explain(cheap, n_samples=trial, **kwargs)
    rate = trial / max(time.monotonic() - start, 1e-3)
    return int(rate * seconds)


# Catches a sampler that keeps the GIL (the timer thread cannot send) or never checks
# for signals in its native loop, so Ctrl-C waits for the run to end, and an explainer
# or thread pool left unusable by the stop.
@pytest.mark.parametrize("source", ["thread", "process"])
@pytest.mark.parametrize("kwargs", EXPLAIN_RUNS)
def test_sampling_stops_on_ctrl_c(forty, kwargs, source):
    n = samples_for(forty.explainer, kwargs, RUN_SECONDS)
    check_stops(lambda: forty.explainer.explain(cheap, n_samples=n, **kwargs), source)
    forty.check_still_works()


# The exact engines with a value function that runs no bytecode: 2^20
# coalitions of a few microseconds each (dense and sparse DP, ~4 s), or ~10^7
# linear extensions walked in native code ("exact", values cached; ~1.3 s, the
# most the engine accepts, so its signal comes at 0.3 s).
EXACT_RUNS = [
    pytest.param(lambda: isolated(20, digits=2), {"method": "exact_dag"}, native_slow, DELAY, id="exact_dag"),
    pytest.param(lambda: isolated(20, digits=2), {"method": "exact_dag_sparse"}, native_slow, DELAY, id="exact_dag_sparse"),
    # 12!/(4! 2!) = 9,979,200 orders, under the engine's limit of 10^7.
    pytest.param(
        lambda: isolated(12, digits=2, edges=[(0, 1), (1, 2), (2, 3), (4, 5)]), {"method": "exact"}, len, 0.3, id="exact"
    ),
]


# Catches an exact engine that checks for signals only when Python code runs (a builtin
# value function or cached values give it none), and an explainer left unusable.
@pytest.mark.parametrize("source", ["thread", "process"])
@pytest.mark.parametrize(("make_dag", "kwargs", "fn", "delay"), EXACT_RUNS)
def test_exact_engines_stop_on_ctrl_c(make_dag, kwargs, fn, delay, source):
    subject = Subject(make_dag())
    check_stops(lambda: subject.explainer.explain(fn, **kwargs), source, delay)
    subject.check_still_works()


# --- methods that hold the GIL: the signal comes from outside --------------------------------


# Catches explain_adaptive's native loop never checking for signals, and an explainer
# left unusable by the stop.
def test_explain_adaptive_stops_on_ctrl_c(forty):
    check_stops(lambda: forty.explainer.explain_adaptive(cheap, max_samples=10_000_000, rel_tol=0.0, seed=1), "process")
    forty.check_still_works()


# Catches adaptive importance sampling (over 64 nodes) never checking for signals, and
# an explainer left unusable by the stop.
def test_explain_quality_stops_on_ctrl_c():
    # Over 64 nodes: adaptive importance sampling.
    seventy = Subject(forked(70))
    check_stops(lambda: seventy.explainer.explain_quality(cheap, max_samples=3_200_000, rel_tol=0.0, seed=1), "process")
    seventy.check_still_works()


# Catches the batch form checking for signals only when it calls the batch function,
# which after warm-up it almost never does, and an explainer left unusable by the stop.
def test_explain_quality_batch_stops_on_ctrl_c(forty):
    # Uniform adaptive sampling with a fast batch function, called once per batch
    # with only the coalitions not seen before: almost never after warm-up.
    check_stops(
        lambda: forty.explainer.explain_quality_batch(batch_cheap, max_samples=3_600_000, rel_tol=0.0, seed=1),
        "process",
    )
    forty.check_still_works()


# --- explain_within: runs without the GIL, like explain() ------------------------------------


def wide_dag(n, seed):
    """n nodes, each with two children among the next 40: order ideals past any count."""
    rng = random.Random(seed)
    names = [f"x{i:04d}" for i in range(n)]
    edges = {(i, j) for i in range(n - 1) for j in rng.sample(range(i + 1, min(n, i + 41)), min(2, n - 1 - i))}
    return CausalDAG.from_json(json.dumps({"nodes": names, "edges": [{"from": names[i], "to": names[j]} for i, j in sorted(edges)]}))


def chains(width, length):
    """`width` parallel chains: (length + 1)^width order ideals, all within a large budget."""
    return CausalDAG.from_edges([(f"c{c}_{k}", f"c{c}_{k + 1}") for c in range(width) for k in range(length - 1)])


native_slower = native_taking(2.5e-4)


def batch_of(fn):
    return lambda coalitions: [float(fn(c)) for c in coalitions]


# Each runs for several seconds when nothing stops it. "ideals": 28,561 value calls of the
# exact path. "orderings": about two seconds of native work before any call (counting order
# ideals up to the limit, then the burn-in of the Markov chains), then 10^5 calls.
WITHIN_RUNS = {
    "ideals": (lambda: chains(4, 12), {"max_calls": 10**6}),
    "orderings": (lambda: wide_dag(3000, 1), {"max_calls": 10**5, "seed": 1}),
}


def within_call(explainer, run, form):
    kwargs = WITHIN_RUNS[run][1]
    if form == "single":
        return lambda: explainer.explain_within(native_slower, **kwargs)
    return lambda: explainer.explain_within(value_fn_batch=batch_of(native_slower), batch_size=16, **kwargs)


# Catches explain_within holding the GIL (the timer thread cannot send) or a phase,
# value calls or native work, that Ctrl-C does not stop.
@pytest.mark.parametrize("source", ["thread", "process"])
@pytest.mark.parametrize("form", ["single", "batch"])
@pytest.mark.parametrize("run", list(WITHIN_RUNS))
def test_explain_within_stops_on_ctrl_c(run, form, source):
    subject = Subject(WITHIN_RUNS[run][0]())
    check_stops(within_call(subject.explainer, run, form), source)
    subject.check_still_works()


# The longest a Python thread may wait for the GIL while another thread is inside explain_within.
STALL = 0.05 * SLOWER


# Workloads that run for seconds: "orderings" spends some native work, then ~2,000
# calls of a quarter of a millisecond; "ideals" makes 9^4 = 6,561 such calls, batches of 4 in the
# batch form (a GIL taken anew for each batch restarts the wait of the other threads).
STALL_RUNS = {
    "orderings": (lambda: random_dag(80, 0.05, 1, prefix="x", digits=3), {"max_calls": 2000, "seed": 1}, 16),
    "ideals": (lambda: chains(4, 8), {"max_calls": 9**4}, 4),  # every ideal, just
}


# Catches a phase of explain_within (value calls, the progress bar, native work) that keeps
# the GIL from other Python threads: a thread ticking every millisecond must keep ticking.
@pytest.mark.parametrize("progress", [False, True], ids=["plain", "progress"])
@pytest.mark.parametrize("form", ["single", "batch"])
@pytest.mark.parametrize("run", list(STALL_RUNS))
def test_explain_within_lets_other_threads_run(run, form, progress, capsys):
    make_dag, kwargs, batch_size = STALL_RUNS[run]
    explainer = ASVExplainer(make_dag())
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        while len(ticks) < 10:
            time.sleep(0.001)
        start = time.monotonic()
        if form == "single":
            r = explainer.explain_within(native_slower, progress=progress, **kwargs)
        else:
            fn = batch_of(native_slower)
            r = explainer.explain_within(value_fn_batch=fn, batch_size=batch_size, progress=progress, **kwargs)
        end = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    assert r["calls"] > 1000
    during = [t for t in ticks if start <= t <= end] + [end]
    worst = max(b - a for a, b in zip([start] + during, during))
    assert worst <= STALL, f"a ticking thread waited {worst * 1000:.0f} ms during a {end - start:.1f} s run"
    if progress:
        assert f"/{kwargs['max_calls']}" in capsys.readouterr().err  # tqdm's bar or the plain line
