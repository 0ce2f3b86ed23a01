"""Reliability of the explain methods: threads alive at interpreter exit, nested
explanations, sub-interpreters, complex results and repeated value calls.

Whatever can crash or hang the interpreter runs in a child process under a
timeout, so that a fault fails its test instead of taking the suite down."""

import decimal
import fractions
import json
import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import morvend
from morvend import ASVExplainer, CausalDAG

from helpers import random_dag


def child_env():
    """The environment for children: they import the same morvend as we do."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(morvend.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
    env.pop("PYTHONWARNINGS", None)
    return env


class Child:
    """A Python child process running `script`; exit status, stdout and stderr
    once finished, or `hung` when it outlived its timeout (then killed)."""

    def __init__(self, script, timeout):
        self.timeout = timeout
        self._proc = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(script)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=child_env(),
        )

    def wait(self):
        try:
            self.out, self.err = self._proc.communicate(timeout=self.timeout)
            self.hung = False
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self.out, self.err = self._proc.communicate()
            self.hung = True
        self.status = self._proc.returncode
        return self

    def describe(self):
        state = f"hung past {self.timeout} s" if self.hung else f"exit status {self.status}"
        return f"{state}\n--- stdout ---\n{self.out[-2000:]}\n--- stderr ---\n{self.err[-3000:]}"


def run_child(script, timeout=60):
    return Child(script, timeout).wait()


def run_children(scripts, timeout=60, at_once=5):
    """Runs the scripts, `at_once` at a time (children that mostly sleep)."""
    done = []
    for i in range(0, len(scripts), at_once):
        batch = [Child(s, timeout) for s in scripts[i : i + at_once]]
        done += [c.wait() for c in batch]
    return done


# --- a daemon thread inside an explain method when the script ends ----------------------

# Both scripts end alike: the batch form of their v, and `run` started on a daemon thread.
RUN_ON_DAEMON = """
def vb(cs):
    return [v(c) for c in cs]

def run():
    @RUN@

t = threading.Thread(target=run, daemon=True)
t.start()
"""

EXIT_PRELUDE = """
import sys, threading, time
import morvend

pairs = lambda n: morvend.CausalDAG.from_edges([(f"p{i}", f"p{i+1}") for i in range(0, n, 2)])
E = morvend.ASVExplainer(pairs(40))
# explain_quality_batch samples uniformly up to 63 nodes, which overflows on 40.
F = morvend.ASVExplainer(pairs(20))

def v(c):
    time.sleep(0.0005)
    return float(len(c))

""" + RUN_ON_DAEMON + """time.sleep(0.3)
print("alive" if t.is_alive() else "finished early", flush=True)
"""

# Each runs for minutes with the slow value function.
EXIT_PATHS = {
    "explain-seeded-serial": 'E.explain(v, method="approx", n_samples=100000, seed=1)',
    "explain-unseeded-pool": 'E.explain(v, method="approx", n_samples=100000)',
    "explain-seeded-parallel": 'E.explain(v, method="approx", n_samples=100000, seed=1, parallel=True)',
    "explain-auto": "E.explain(v, n_samples=100000)",
    "explain_with_diagnostics": 'E.explain_with_diagnostics(v, method="approx", n_samples=100000)',
    "explain_quality": "E.explain_quality(v, max_samples=100000, rel_tol=0.0)",
    "explain_adaptive": "E.explain_adaptive(v, max_samples=100000, rel_tol=0.0)",
    "explain-value_fn_batch": "E.explain(value_fn_batch=vb, n_samples=100000)",
    "explain_quality_batch": "F.explain_quality_batch(vb, max_samples=100000, rel_tol=0.0)",
    "explain_adaptive_batch": "E.explain_adaptive_batch(vb, max_samples=100000, rel_tol=0.0)",
}

EXIT_RUNS = 5  # the crash depends on where the thread is when the interpreter ends


# Catches threads that unwind through native frames (or touch a finalized
# interpreter) when CPython ends them at exit: "Fatal Python error", abort.
@pytest.mark.parametrize("path", list(EXIT_PATHS))
def test_daemon_thread_inside_explain_at_exit(path):
    script = EXIT_PRELUDE.replace("@RUN@", EXIT_PATHS[path])
    for child in run_children([script] * EXIT_RUNS, timeout=60):
        assert not child.hung and child.status == 0, child.describe()
        assert "Fatal Python error" not in child.err, child.describe()
        assert child.out.strip() == "alive", child.describe()  # the run was still going at exit


# Catches an exit under a run still going on a daemon thread that loses the script's
# own exit status, or crashes.
def test_daemon_thread_at_exit_keeps_the_scripts_exit_status():
    script = EXIT_PRELUDE.replace("@RUN@", EXIT_PATHS["explain-unseeded-pool"]) + "sys.exit(3)\n"
    for child in run_children([script] * EXIT_RUNS, timeout=60):
        assert not child.hung and child.status == 3, child.describe()
        assert "Fatal Python error" not in child.err, child.describe()


# --- a daemon thread inside explain_within: the script still ends at once -------------------

WITHIN_EXIT = """
import json, operator, random, threading, time
import morvend

rng = random.Random(1)
names = [f"x{i:04d}" for i in range(3000)]  # each with two children among the next 40
edges = {(i, j) for i in range(2999) for j in rng.sample(range(i + 1, min(3000, i + 41)), min(2, 2999 - i))}
sparse = morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": [{"from": names[i], "to": names[j]} for i, j in sorted(edges)]}))
chains = morvend.CausalDAG.from_edges([(f"c{c}_{k}", f"c{c}_{k+1}") for c in range(4) for k in range(11)])
big = [None] * 20000
calls = []

def v(c):
    calls.append(1)
    return float(operator.countOf(big, c))

""" + RUN_ON_DAEMON + """@WAIT@
print(repr(deadline), bool(calls), t.is_alive(), flush=True)
"""

# Where the script ends: 0.5 s in, while the core counts order ideals and burns in
# its chains (about two seconds) and runs no Python code; or once the value calls have begun.
NATIVE_PHASE = "deadline = time.monotonic() + 0.5\ntime.sleep(0.5)"
CALL_PHASE = "while not calls:\n    time.sleep(0.001)\ndeadline = time.monotonic()"
WITHIN_EXIT_PATHS = {
    "native-single": ('morvend.ASVExplainer(sparse).explain_within(v, max_calls=10**5, seed=1)', NATIVE_PHASE, False),
    "native-batch": (
        'morvend.ASVExplainer(sparse).explain_within(value_fn_batch=vb, max_calls=10**5, seed=1)',
        NATIVE_PHASE,
        False,
    ),
    "calls-single": ("morvend.ASVExplainer(chains).explain_within(v, max_calls=10**6)", CALL_PHASE, True),
    "calls-batch": (
        "morvend.ASVExplainer(chains).explain_within(value_fn_batch=vb, max_calls=10**6, batch_size=16)",
        CALL_PHASE,
        True,
    ),
}
EXIT_LATENCY = 1.0 * (5.0 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1.0)


# Catches explain_within keeping the GIL while its daemon thread computes, which
# holds the main thread (and the exit) until the phase ends, and threads that crash
# the interpreter when it ends under them.
@pytest.mark.parametrize("path", list(WITHIN_EXIT_PATHS))
def test_daemon_thread_inside_explain_within_exits_at_once(path):
    run, wait, calling = WITHIN_EXIT_PATHS[path]
    script = WITHIN_EXIT.replace("@RUN@", run).replace("@WAIT@", wait)
    for _ in range(2):  # where the thread is at exit varies
        child = run_child(script, timeout=60)
        ended = time.monotonic()
        assert not child.hung and child.status == 0, child.describe()
        assert "Fatal Python error" not in child.err, child.describe()
        deadline, called, alive = child.out.split()
        assert (called, alive) == (str(calling), "True"), child.describe()
        assert ended - float(deadline) <= EXIT_LATENCY, f"exit took {ended - float(deadline):.2f} s"


# --- explanations nested in a value function -------------------------------------------------

NESTED = """
import json, morvend

outer_kw = @OUTER_KW@
inner_kw = @INNER_KW@
outer_dag = morvend.CausalDAG.from_edges(
    [(f"a{i}", f"a{i+1}") for i in range(0, 12, 2)] + [("a0", "a3"), ("a4", "a9")]
)
inner_dag = morvend.CausalDAG.from_edges(
    [(f"b{i}", f"b{i+1}") for i in range(0, 10, 2)] + [("b1", "b2"), ("b5", "b8")]
)
w = {x: 0.25 * i - 1.0 for i, x in enumerate(outer_dag.nodes())}
iw = {x: 3.0 - 0.5 * i for i, x in enumerate(inner_dag.nodes())}
inner = morvend.ASVExplainer(inner_dag)
wrong, outer_asked, inner_repeats = [], [], [0]

def v(c):
    asked = []
    def inner_v(c2):
        asked.append(frozenset(c2))
        return sum(iw[x] for x in c2)
    got = inner.explain(inner_v, method="approx", n_samples=@INNER_N@, **inner_kw)
    if set(got) != set(iw) or any(abs(got[x] - iw[x]) > 1e-9 for x in iw):
        wrong.append(got)
    inner_repeats[0] += len(asked) - len(set(asked))
    outer_asked.append(frozenset(c))
    return sum(w[x] for x in c)

got = morvend.ASVExplainer(outer_dag).explain(v, method="approx", n_samples=@OUTER_N@, **outer_kw)
print(json.dumps({
    "outer_ok": set(got) == set(w) and all(abs(got[x] - w[x]) <= 1e-9 for x in w),
    "inner_wrong": len(wrong),
    "outer_repeats": len(outer_asked) - len(set(outer_asked)),
    "inner_repeats": inner_repeats[0],
}))
"""

UNSEEDED = {}
PARALLEL = {"seed": 7, "parallel": True}
SERIAL = {"seed": 3}


# Catches a run nested in a value function that waits inside the pool's
# scheduler, picks up its outer run's work and blocks on a lock its own thread
# holds: a hang (it takes more pool threads than 2 cores give to show). The
# additive game's values are the weights whatever the method, and no run asks
# for a coalition twice: here a repeat costs a whole inner run.
@pytest.mark.parametrize(
    ("outer", "inner"),
    [
        pytest.param(UNSEEDED, UNSEEDED, id="pool-in-pool"),
        pytest.param(PARALLEL, PARALLEL, id="parallel-in-parallel"),
        pytest.param(dict(PARALLEL, num_threads=8), UNSEEDED, id="pool-in-8-shares"),
        pytest.param(UNSEEDED, SERIAL, id="serial-in-pool"),
        pytest.param(SERIAL, UNSEEDED, id="pool-in-serial"),
        pytest.param(SERIAL, PARALLEL, id="parallel-in-serial"),
    ],
)
def test_nested_explanations_complete_with_correct_values(outer, inner):
    script = (
        NESTED.replace("@OUTER_KW@", repr(outer))
        .replace("@INNER_KW@", repr(inner))
        .replace("@OUTER_N@", "1500")
        .replace("@INNER_N@", "300")
    )
    child = run_child(script, timeout=60)
    assert not child.hung and child.status == 0, child.describe()
    expected = {"outer_ok": True, "inner_wrong": 0, "outer_repeats": 0, "inner_repeats": 0}
    assert json.loads(child.out) == expected, child.describe()


NESTED_CTRL_C = """
import signal, threading, time, morvend

# A child started with SIGINT ignored (from a background job of a shell without
# job control) keeps ignoring it: Python installs its handler only over SIG_DFL.
signal.signal(signal.SIGINT, signal.default_int_handler)

outer_kw = @OUTER_KW@
inner_kw = @INNER_KW@
outer = morvend.ASVExplainer(morvend.CausalDAG.from_edges([(f"a{i}", f"a{i+1}") for i in range(0, 24, 2)]))
inner = morvend.ASVExplainer(morvend.CausalDAG.from_edges([(f"b{i}", f"b{i+1}") for i in range(0, 14, 2)]))

def v(c):
    inner.explain(lambda c2: float(len(c2)), method="approx", n_samples=2000, **inner_kw)
    return float(len(c))

sent = []
def ctrl_c():
    time.sleep(1.0)
    sent.append(time.monotonic())
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

threading.Thread(target=ctrl_c, daemon=True).start()
try:
    outer.explain(v, method="approx", n_samples=10**7, **outer_kw)  # hours
    print("finished")
except KeyboardInterrupt:
    print(f"KeyboardInterrupt after {time.monotonic() - sent[0]:.3f}")
"""


# Catches nested pool runs that go on after Ctrl-C (seeded shares were checked
# only between shares; a lane calling in a loop kept the value function's lock
# from the thread that watches for Ctrl-C for seconds): the run, hours long,
# must stop within two seconds (it takes milliseconds; the slack is for a
# loaded machine) and the process exit.
@pytest.mark.parametrize(
    ("outer", "inner"),
    [pytest.param(UNSEEDED, UNSEEDED, id="pool-in-pool"), pytest.param(PARALLEL, PARALLEL, id="parallel-in-parallel")],
)
def test_ctrl_c_stops_a_nested_pool_run(outer, inner):
    script = NESTED_CTRL_C.replace("@OUTER_KW@", repr(outer)).replace("@INNER_KW@", repr(inner))
    child = run_child(script, timeout=30)
    assert not child.hung and child.status == 0, child.describe()
    words = child.out.split()
    assert words[:2] == ["KeyboardInterrupt", "after"], child.describe()
    assert float(words[2]) <= 2.0, child.describe()


NESTED_FAILURE = """
import morvend

outer = morvend.ASVExplainer(morvend.CausalDAG.from_edges([(f"a{i}", f"a{i+1}") for i in range(0, 16, 2)]))
inner = morvend.ASVExplainer(morvend.CausalDAG.from_edges([(f"b{i}", f"b{i+1}") for i in range(0, 16, 2)]))

def v(c):
    if len(c) == 9:
        raise LookupError("nine")
    inner.explain(lambda c2: float(len(c2)), method="approx", n_samples=2000, seed=1)
    return float(len(c))

for kwargs in @KWARGS@:
    for _ in range(3):
        try:
            outer.explain(v, method="approx", n_samples=5000, **kwargs)
            print("returned")
        except BaseException as e:
            print(f"{type(e).__name__}: {e}")
"""


# Catches a failure of the value function that surfaces as KeyboardInterrupt
# when the run it stops has a nested explanation under way elsewhere: the
# nested run stops with its enclosing run, and its stop must not pass for
# Ctrl-C.
def test_a_failing_value_function_beside_nested_runs_raises_its_own_error():
    script = NESTED_FAILURE.replace("@KWARGS@", repr([SERIAL, UNSEEDED, PARALLEL]))
    child = run_child(script, timeout=120)
    assert not child.hung and child.status == 0, child.describe()
    assert child.out.splitlines() == ["ValueError: value function error: LookupError: nine"] * 9, child.describe()


# --- sub-interpreters ------------------------------------------------------------------------

SUBINTERPRETERS = """
import _testcapi

try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        interpreters = None

PROBE = (
    "try:\\n"
    "    import morvend\\n"
    "    print('@LABEL@ imported', flush=True)\\n"
    "except ImportError as e:\\n"
    "    print('@LABEL@ ImportError:', e, flush=True)\\n"
)

if @MAIN_FIRST@:
    import morvend
status = _testcapi.run_in_subinterp(PROBE.replace("@LABEL@", "legacy"))
print("legacy status", status, flush=True)
if interpreters is not None:
    iid = interpreters.create()
    interpreters.run_string(iid, PROBE.replace("@LABEL@", "isolated"))
    interpreters.destroy(iid)
import morvend
e = morvend.ASVExplainer(morvend.CausalDAG.from_edges([("a", "b"), ("a", "c")]))
ones = dict(a=1.0, b=1.0, c=1.0)
print("main", e.explain(len) == e.explain(len, method="approx", n_samples=100) == ones, flush=True)
"""


def has_isolated_interpreters():
    import importlib.util

    return any(importlib.util.find_spec(m) is not None for m in ("_interpreters", "_xxsubinterpreters"))


# Catches a module that loads in a legacy sub-interpreter (which the pool's
# threads and the exit watch cannot serve) instead of refusing it; the main
# interpreter must keep working and the process exit cleanly.
@pytest.mark.parametrize("main_first", [False, True], ids=["sub-first", "main-first"])
def test_sub_interpreters_are_refused(main_first):
    pytest.importorskip("_testcapi")
    child = run_child(SUBINTERPRETERS.replace("@MAIN_FIRST@", repr(main_first)), timeout=60)
    assert not child.hung and child.status == 0, child.describe()
    lines = child.out.splitlines()
    kinds = ["legacy", "isolated"] if has_isolated_interpreters() else ["legacy"]
    assert [line.split()[0] for line in lines if "ImportError:" in line] == kinds, child.describe()
    for line in lines:
        if "ImportError:" in line:
            assert "subinterpreters" in line, child.describe()
    assert "legacy status 0" in lines and lines[-1] == "main True", child.describe()


# --- batch results that would lose data -------------------------------------------------------

REFUSED = "value function error: TypeError: must be real number, not "


def pair_dag():
    return CausalDAG.from_edges([("a", "b"), ("a", "c")])


# Catches complex results silently cut to their real part (numpy only warns).
@pytest.mark.parametrize(
    ("result", "type_name"),
    [
        pytest.param(lambda cs: np.array([len(c) + 1j for c in cs]), "numpy.complex128", id="complex128-array"),
        pytest.param(
            lambda cs: np.array([len(c) + 1j for c in cs], dtype=np.complex64), "numpy.complex64", id="complex64-array"
        ),
        pytest.param(lambda cs: np.array([len(c) + 0j for c in cs]), "numpy.complex128", id="zero-imaginary"),
        pytest.param(lambda cs: [complex(len(c), 1) for c in cs], "complex", id="list-of-complex"),
    ],
)
def test_complex_batch_results_are_refused(result, type_name):
    with pytest.raises(ValueError) as info:
        ASVExplainer(pair_dag()).explain(value_fn_batch=result, n_samples=20, seed=1)
    assert str(info.value) == REFUSED + type_name


# Catches a single result with a non-zero imaginary part cut to its real part, on the
# exact path and the sampling path.
@pytest.mark.parametrize(
    ("value", "type_name"),
    [(1j, "complex"), (np.complex128(1 + 2j), "numpy.complex128"), (np.complex64(1 + 2j), "numpy.complex64")],
    ids=["complex", "numpy.complex128", "numpy.complex64"],
)
def test_complex_single_results_are_refused(value, type_name):
    for method in ("exact", "approx"):
        with pytest.raises(ValueError) as info:
            ASVExplainer(pair_dag()).explain(lambda c: value, method=method, n_samples=20, seed=1)
        assert str(info.value) == REFUSED + type_name


# Catches the complex check refusing real numpy arrays (float or int) or numpy floats
# in a batch result.
@pytest.mark.parametrize(
    "result",
    [
        lambda cs: np.array([float(len(c)) for c in cs]),
        lambda cs: np.array([len(c) for c in cs]),
        lambda cs: [np.float64(len(c)) for c in cs],
    ],
    ids=["float64-array", "int-array", "numpy-floats"],
)
def test_real_batch_results_still_work(result):
    values = ASVExplainer(pair_dag()).explain(value_fn_batch=result, n_samples=20, seed=1)
    assert values == {"a": 1.0, "b": 1.0, "c": 1.0}


class Emptying:
    """A number whose conversion empties the batch result holding it."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.clear()
        return 1.0


# Catches reads past the end of a batch result that one of its own items
# empties while it is converted (they crashed the interpreter).
def test_batch_result_emptied_while_converted():
    def batch(coalitions):
        out = [0.5] * len(coalitions)
        out[0] = Emptying(out)
        return out

    with pytest.raises(ValueError) as info:
        ASVExplainer(pair_dag()).explain(value_fn_batch=batch, n_samples=20, seed=1)
    assert str(info.value) == "value function error: IndexError: list index out of range"


# One explain method per entry, run on pair_dag() (a -> b, a -> c) with a value
# function built from len(coalition); each returns the values by node.
SINGLE_FORMS = {
    "explain": lambda e, f: e.explain(f, method="exact"),
    "explain-approx": lambda e, f: e.explain(f, method="approx", n_samples=20, seed=1),
    "explain_with_diagnostics": lambda e, f: e.explain_with_diagnostics(f, method="exact_dag")["values"],
    "explain_quality": lambda e, f: e.explain_quality(f)["values"],
    "explain_adaptive": lambda e, f: e.explain_adaptive(f, min_samples=20, max_samples=40, batch_size=20, seed=1)[
        "values"
    ],
    "explain_within": lambda e, f: e.explain_within(f, max_calls=100)["values"],
}
BATCH_FORMS = {
    "explain": lambda e, f: e.explain(value_fn_batch=f, n_samples=20, seed=1),
    "explain_quality_batch": lambda e, f: e.explain_quality_batch(
        f, min_samples=20, max_samples=40, batch_size=20, seed=1
    )["values"],
    "explain_adaptive_batch": lambda e, f: e.explain_adaptive_batch(
        f, min_samples=20, max_samples=40, batch_size=20, seed=1
    )["values"],
    "explain_within": lambda e, f: e.explain_within(value_fn_batch=f, max_calls=100)["values"],
}
# Real numbers whose types also define __complex__.
REALS = {
    "Decimal": decimal.Decimal,
    "Fraction": fractions.Fraction,
    "0-d-float-array": lambda k: np.array(float(k)),
    "float32": np.float32,
}
# Complex numbers, each with the type name of the refusal.
COMPLEXES = {
    "complex": (complex, "complex"),
    "complex64": (np.complex64, "numpy.complex64"),
    "complex128": (np.complex128, "numpy.complex128"),
    "0-d-complex-array": (lambda k: np.array(complex(k)), "numpy.ndarray"),
}


def forms_and_numbers(numbers):
    return [
        pytest.param(call, batch, number, id=f"{'batch' if batch else 'single'}-{name}-{key}")
        for batch, forms in ((False, SINGLE_FORMS), (True, BATCH_FORMS))
        for name, call in forms.items()
        for key, number in numbers.items()
    ]


def value_function(make, batch):
    """len(coalition) as the number `make` builds, in the single or the batch form."""
    if batch:
        return lambda cs: [make(len(c)) for c in cs]
    return lambda c: make(len(c))


# Catches real numbers refused as complex because their type defines __complex__
# (Decimal, Fraction, numpy's real arrays), in every method and both forms.
@pytest.mark.parametrize(("call", "batch", "make"), forms_and_numbers(REALS))
def test_real_numbers_with_complex_conversion_are_accepted(call, batch, make):
    values = call(ASVExplainer(pair_dag()), value_function(make, batch))
    assert values == pytest.approx({"a": 1.0, "b": 1.0, "c": 1.0}, abs=1e-9)


# Catches complex numbers cut to their real part (numpy's only warn), even with a
# zero imaginary part, in every method and both forms.
@pytest.mark.parametrize(("call", "batch", "make"), forms_and_numbers(COMPLEXES))
def test_complex_numbers_are_refused_in_every_method(call, batch, make):
    make, type_name = make
    with pytest.raises(ValueError) as info:
        call(ASVExplainer(pair_dag()), value_function(make, batch))
    assert str(info.value) == REFUSED + type_name


# --- one value call per coalition in the pool modes ---------------------------------------------


class Counting:
    """An additive game that records each coalition asked."""

    def __init__(self, nodes):
        self.w = {x: 0.5 + i for i, x in enumerate(nodes)}
        self.asked = []

    def __call__(self, coalition):
        self.asked.append(frozenset(coalition))
        return sum(self.w[x] for x in coalition)

    def repeats(self):
        return len(self.asked) - len(set(self.asked))


# Catches pool threads that each keep a cache of their own and ask the value
# function again for coalitions another thread already asked for.
@pytest.mark.parametrize(
    "kwargs",
    [
        pytest.param({}, id="unseeded"),
        pytest.param({"seed": 5, "parallel": True, "num_threads": 1}, id="parallel-1"),
        pytest.param({"seed": 5, "parallel": True, "num_threads": 2}, id="parallel-2"),
        pytest.param({"seed": 5, "parallel": True, "num_threads": 4}, id="parallel-4"),
    ],
)
@pytest.mark.parametrize(
    ("n", "p", "n_samples"),
    [pytest.param(10, 0.15, 4000, id="10-nodes"), pytest.param(80, 0.04, 150, id="80-nodes")],
)
def test_pool_modes_ask_each_coalition_once(n, p, n_samples, kwargs):
    dag = random_dag(n, p, n, digits=2)
    game = Counting(dag.nodes())
    values = ASVExplainer(dag).explain(game, method="approx", n_samples=n_samples, **kwargs)
    assert game.repeats() == 0, f"{game.repeats()} repeated calls out of {len(game.asked)}"
    assert values == pytest.approx(game.w, rel=1e-9)
