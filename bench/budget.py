"""Error against distinct value-function calls: explain_within against morvend's
samplers ("approx", "uniform_sparse") and, on graphs without edges, against
shapiq (LeverageSHAP, paired KernelSHAP, PermutationSamplingSV) and dowhy's
permutation estimator.

Every method gets the same budget of distinct coalitions: each run's value
function caches and counts what it is asked for, and the samplers whose
argument is a number of orders (or permutations) get the largest number whose
distinct coalitions fit the budget. Error is ||estimate - truth|| / ||truth||,
median over seeds.

Run: PYTHONPATH=<morvend build dir> python bench/budget.py [--quick] [--seeds K] [--part edgeless|dag]
Needs numpy, shapiq and dowhy besides morvend.
"""

import argparse
import itertools
import json
import math
import random
import statistics
import time
import warnings

import numpy as np

import morvend
from common import machine_header, table

BUDGETS = [10**3, 10**4, 10**5]
QUICK_BUDGETS = [10**3, 10**4]
BACKGROUND_ROWS = 32
TRUTH_MAX_IDEALS = 2_000_000
# Layered DAGs: (nodes, width of a layer, probability of an edge from each node
# of the layer above, generator seed). Chosen for their order ideals only: a few
# thousand at 20 nodes (exact within 10^4 calls), a few 10^5 at 50 and 100 (never
# exact within the budgets, yet few enough for the exact truth).
LAYERED = [(20, 4, 0.2, 20), (50, 4, 0.3, 50), (100, 4, 0.5, 100)]


class Refused(Exception):
    """A method that does not apply here (too many nodes, too many orders)."""


# ---- games ------------------------------------------------------------------
# Each game answers a boolean mask (one coalition) and a boolean matrix (one
# coalition per row); the two must agree, which check_forms() asserts.


class PairwiseGame:
    """a . m + sum over pairs c_ij m_i m_j (+ c_ijk m_i m_j m_k over triples)."""

    def __init__(self, n, seed, triples=0):
        rng = np.random.default_rng(seed)
        self.n = n
        self.a = rng.normal(size=n)
        self.B = np.zeros((n, n))
        p = min(1.0, 6.0 / (n - 1))  # about 3n pairs
        for i in range(n):
            for j in range(i + 1, n):
                if rng.random() < p:
                    self.B[i, j] = rng.normal()
        self.T = np.array([rng.choice(n, 3, replace=False) for _ in range(triples)], dtype=np.int64).reshape(-1, 3)
        self.tc = 0.5 * rng.normal(size=len(self.T))
        self.name = "additive + pairwise" + (f" + {triples} triples" if triples else "")

    def value(self, m):
        f = m.astype(np.float64)
        out = self.a @ f + f @ self.B @ f
        if len(self.T):
            out += self.tc @ m[self.T].all(1)
        return float(out)

    def values(self, M):
        F = M.astype(np.float64)
        out = F @ self.a + ((F @ self.B) * F).sum(1)
        if len(self.T):
            out += M[:, self.T].all(2) @ self.tc
        return out

    def shapley(self):
        if len(self.T):
            return None
        return self.a + (self.B + self.B.T).sum(1) / 2


class UnanimityGame:
    """sum_k w_k [T_k within the coalition], |T_k| from 3 to 10."""

    def __init__(self, n, seed, terms=8):
        rng = np.random.default_rng(seed)
        self.n = n
        self.sets = [rng.choice(n, int(rng.integers(3, 11)), replace=False) for _ in range(terms)]
        self.w = 2.0 * rng.normal(size=terms)
        self.U = np.zeros((terms, n), dtype=np.int64)
        for k, s in enumerate(self.sets):
            self.U[k, s] = 1
        self.sizes = self.U.sum(1)
        self.name = f"unanimity ({terms} terms, sizes 3-10)"

    def value(self, m):
        return float(((self.U @ m.astype(np.int64)) == self.sizes) @ self.w)

    def values(self, M):
        return ((M.astype(np.int64) @ self.U.T) == self.sizes) @ self.w

    def shapley(self):
        phi = np.zeros(self.n)
        for s, w in zip(self.sets, self.w):
            phi[s] += w / len(s)
        return phi


class ModelGame:
    """A numpy model f(X) = X w + pairwise products + three-way products,
    explained at one row x against a background: v(S) is the mean over the
    background rows of f with x's features in S and the row's own elsewhere."""

    def __init__(self, n, seed, rows=BACKGROUND_ROWS):
        rng = np.random.default_rng(seed)
        self.n = n
        self.x = rng.normal(size=n)
        self.bg = rng.normal(size=(rows, n))
        self.w = rng.normal(size=n)
        p = min(1.0, 2.0 / (n - 1))  # about n pairs
        pairs = [(i, j) for i in range(n) for j in range(i + 1, n) if rng.random() < p]
        self.P = np.array(pairs, dtype=np.int64).reshape(-1, 2)
        self.pc = 0.5 * rng.normal(size=len(self.P))
        self.T = np.array([rng.choice(n, 3, replace=False) for _ in range(n // 2)], dtype=np.int64).reshape(-1, 3)
        self.tc = 0.5 * rng.normal(size=len(self.T))
        self.chunk = max(1, (1 << 21) // (rows * n))
        self.name = f"model on {rows} background rows"

    def f(self, X):
        out = X @ self.w
        out += (X[:, self.P[:, 0]] * X[:, self.P[:, 1]]) @ self.pc
        out += (X[:, self.T[:, 0]] * X[:, self.T[:, 1]] * X[:, self.T[:, 2]]) @ self.tc
        return out

    def value(self, m):
        return float(self.f(np.where(m, self.x, self.bg)).mean())

    def values(self, M):
        out = np.empty(len(M))
        rows = len(self.bg)
        for s in range(0, len(M), self.chunk):
            Mb = M[s : s + self.chunk]
            Z = np.where(Mb[:, None, :], self.x, self.bg[None]).reshape(-1, self.n)
            out[s : s + len(Mb)] = self.f(Z).reshape(len(Mb), rows).mean(1)
        return out

    def shapley(self):
        """Closed form of the interventional Shapley value, term by term and row
        by row: on one background row b a monomial c prod_{k in T} z_k, with
        z_k = x_k in the coalition and b_k outside, gives player i in T
        c sum_{A within T-i} |A|!(|T|-|A|-1)!/|T|! (x_i-b_i) prod_A x_k prod_{T-A-i} b_k."""
        phi = np.zeros(self.n)
        terms = [((i,), c) for i, c in enumerate(self.w)]
        terms += [(tuple(t), c) for t, c in zip(self.P, self.pc)]
        terms += [(tuple(t), c) for t, c in zip(self.T, self.tc)]
        x, b = self.x, self.bg
        for t, c in terms:
            size = len(t)
            for i in t:
                rest = [k for k in t if k != i]
                total = np.zeros(len(b))
                for r in range(len(rest) + 1):
                    weight = math.factorial(r) * math.factorial(size - r - 1) / math.factorial(size)
                    for A in itertools.combinations(rest, r):
                        term = np.ones(len(b))
                        for k in rest:
                            term = term * (x[k] if k in A else b[:, k])
                        total += weight * term
                phi[i] += c * float(np.mean((x[i] - b[:, i]) * total))
        return phi


def check_forms(game, seed=0):
    """The single and the batch form agree (on random masks)."""
    rng = np.random.default_rng(seed)
    M = rng.random((64, game.n)) < 0.5
    M[0] = False
    M[1] = True
    single = np.array([game.value(m) for m in M])
    assert np.allclose(single, game.values(M), rtol=1e-12, atol=1e-12), game.name


# ---- graphs -----------------------------------------------------------------


def names_of(n):
    return [f"x{i}" for i in range(n)]


def edgeless_dag(n):
    return morvend.CausalDAG.from_json(json.dumps({"nodes": names_of(n), "edges": []}))


def layered_dag(n, width, p, seed):
    """Layers of `width` nodes; each node takes an edge from each node of the
    layer above with probability p, and from one of them at least."""
    rng = random.Random(seed)
    layers = [list(range(i, min(i + width, n))) for i in range(0, n, width)]
    edges = set()
    for above, layer in zip(layers, layers[1:]):
        for j in layer:
            parents = [i for i in above if rng.random() < p] or [rng.choice(above)]
            edges.update((i, j) for i in parents)
    names = names_of(n)
    doc = {"nodes": names, "edges": [{"from": names[a], "to": names[b]} for a, b in sorted(edges)]}
    return morvend.CausalDAG.from_json(json.dumps(doc)), len(edges)


# ---- counting value functions -----------------------------------------------


class Counter:
    """Caches a game's values by coalition and counts the distinct ones asked for,
    in every form the methods call: node names (morvend), a 0/1 vector (dowhy),
    a boolean matrix (shapiq)."""

    def __init__(self, game, index):
        self.game = game
        self.index = index
        self.cache = {}

    @property
    def distinct(self):
        return len(self.cache)

    def _one(self, m):
        key = m.tobytes()
        v = self.cache.get(key)
        if v is None:
            v = self.cache[key] = self.game.value(m)
        return v

    def by_names(self, coalition):
        m = np.zeros(self.game.n, dtype=bool)
        m[[self.index[x] for x in coalition]] = True
        return self._one(m)

    def by_vector(self, z):
        return self._one(np.asarray(z).astype(bool))

    def by_matrix(self, M):
        M = np.asarray(M, dtype=bool)
        keys = [row.tobytes() for row in M]
        new = {}
        for r, k in enumerate(keys):
            if k not in self.cache and k not in new:
                new[k] = r
        if new:
            rows = list(new.values())
            for k, v in zip(new, self.game.values(M[rows])):
                self.cache[k] = float(v)
        return np.array([self.cache[k] for k in keys])


class NullGame:
    """Counts without computing: the coalitions a sampler asks for do not depend
    on the values, so calibration runs on this."""

    def __init__(self, n):
        self.n = n

    def value(self, m):
        return 0.0

    def values(self, M):
        return np.zeros(len(M))


# ---- methods ----------------------------------------------------------------
# A method: run(setup, counter, param, seed) -> (estimate in node order, extra);
# param is the budget, or the calibrated number of orders / permutations.


def run_within(setup, counter, budget, seed):
    r = setup["explainer"].explain_within(counter.by_names, max_calls=budget, seed=seed)
    if r["calls"] != counter.distinct:
        raise RuntimeError(f"explain_within reported {r['calls']} calls, counted {counter.distinct}")
    return r["values"], {"exact": bool(r["is_exact"]), "method": r["method"]}


def morvend_sampler(method):
    def run(setup, counter, n_samples, seed):
        r = setup["explainer"].explain_with_diagnostics(counter.by_names, method=method, n_samples=n_samples, seed=seed)
        return r["values"], {"ess": r["ess"]}

    return run


def shapiq_game(counter):
    import shapiq

    class CountedGame(shapiq.Game):
        def __init__(self):
            super().__init__(n_players=counter.game.n, normalize=False)

        def value_function(self, coalitions):
            return counter.by_matrix(coalitions)

    return CountedGame()


def shapiq_method(name):
    def run(setup, counter, budget, seed):
        import shapiq

        n = counter.game.n
        if name == "KernelSHAP":
            approximator = shapiq.approximator.KernelSHAP(n=n, pairing_trick=True, random_state=seed)
        else:
            approximator = getattr(shapiq.approximator, name)(n=n, random_state=seed)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            e = approximator.approximate(budget=budget, game=shapiq_game(counter))
        return np.array([e[(i,)] for i in range(n)]), {}

    return run


def run_dowhy(setup, counter, num_permutations, seed):
    from dowhy.gcm.shapley import ShapleyApproximationMethods, ShapleyConfig, estimate_shapley_values

    config = ShapleyConfig(
        approximation_method=ShapleyApproximationMethods.PERMUTATION, num_permutations=num_permutations, n_jobs=1
    )
    np.random.seed(seed)  # dowhy draws from numpy's global generator
    return estimate_shapley_values(counter.by_vector, counter.game.n, config), {}


# (name, runner, how its parameter is chosen, its first guess and largest value
# from the budget and the number of nodes). "budget" passes the budget itself
# (explain_within, and the shapiq regressions, which never repeat a coalition);
# "calibrated" takes the largest parameter whose distinct calls fit the budget
# (orders and permutations repeat the small coalitions near the empty and the
# full set; shapiq's permutation sampler counts its budget with the repeats).
# At most 10 x budget orders for morvend's samplers: the bound binds once every
# order ideal has been evaluated (more orders would cost no call) or when the
# sampler keeps revisiting the same prefixes (approx on narrow layered DAGs);
# the tables show the distinct calls it then made.
MORVEND = [
    ("explain_within", run_within, "budget", None),
    ("approx", morvend_sampler("approx"), "calibrated", lambda budget, n: (budget // (n - 1), 10 * budget)),
    ("uniform_sparse", morvend_sampler("uniform_sparse"), "calibrated", lambda budget, n: (budget // (n - 1), 10 * budget)),
]
PEERS = [
    ("LeverageSHAP", shapiq_method("LeverageSHAP"), "budget", None),
    ("KernelSHAP paired", shapiq_method("KernelSHAP"), "budget", None),
    ("PermutationSamplingSV", shapiq_method("PermutationSamplingSV"), "calibrated", lambda budget, n: (budget * 6 // 5, 4 * budget)),
    ("dowhy permutation", run_dowhy, "calibrated", lambda budget, n: (budget // (n - 1), budget)),
]


def calibrate(count, budget, guess, most):
    """Largest p in [1, most] with count(p) <= budget (count nondecreasing in p):
    secant steps inside the bracket, every other one a bisection. Returns
    (p, count(p)). `most` bounds the search when the sampler has asked for
    every coalition there is (all the order ideals) before reaching the budget."""
    ok, over = (0, 0), None
    p = min(max(1, guess), most)
    for step in range(60):
        d = count(p)
        if d <= budget and p > ok[0]:
            ok = (p, d)
        elif d > budget and (over is None or p < over[0]):
            over = (p, d)
        if d == budget or ok[0] == most or (over is not None and over[0] - ok[0] <= 1):
            break
        if over is None:
            p = min(most, max(ok[0] + 1, int(ok[0] * budget / max(ok[1], 1))))
        elif ok[0] == 0:
            p = max(1, min(over[0] - 1, int(over[0] * budget / over[1])))
        elif step % 2:
            p = (ok[0] + over[0]) // 2
        else:
            est = ok[0] + (budget - ok[1]) * (over[0] - ok[0]) / max(over[1] - ok[1], 1)
            p = min(max(int(est), ok[0] + 1), over[0] - 1)
    if ok[0] == 0:
        raise Refused(f"one sample needs {over[1]} calls")
    return ok


# ---- one table --------------------------------------------------------------


class Bench:
    def __init__(self, args):
        self.budgets = QUICK_BUDGETS if args.quick else BUDGETS
        self.seeds_arg = args.seeds
        self.quick = args.quick
        self.calibrations = {}  # (method, graph, budget, seed) -> (param, calls) or Refused
        self.truth_rows = []

    def seeds(self, budget):
        if self.seeds_arg:
            return list(range(self.seeds_arg))
        if self.quick:
            return list(range(3))
        return list(range(5 if budget <= 10**4 else 3))

    def param(self, setup, name, runner, mode, guess, budget, seed):
        if mode == "budget":
            return budget
        key = (name, setup["label"], budget, seed)
        if key not in self.calibrations:
            n = setup["n"]

            def count(p):
                c = Counter(NullGame(n), setup["index"])
                runner(setup, c, p, seed)
                return c.distinct

            try:
                self.calibrations[key] = calibrate(count, budget, *guess(budget, n))
            except (Refused, ValueError) as exc:
                self.calibrations[key] = Refused(str(exc))
        got = self.calibrations[key]
        if isinstance(got, Refused):
            raise got
        return got[0]

    def run_table(self, setup, games, methods):
        start = time.perf_counter()
        label = setup["label"]
        truths = [self.truth(setup, g) for g in games]
        truth_time = time.perf_counter() - start
        rows, notes = [], []
        wins, rows_compared = 0, 0
        for game, truth in zip(games, truths):
            norm = np.linalg.norm(truth)
            for budget in self.budgets:
                cells = {}
                for name, runner, mode, guess in methods:
                    errs, calls, exact, failure = [], [], [], None
                    for seed in self.seeds(budget):
                        try:
                            p = self.param(setup, name, runner, mode, guess, budget, seed)
                            counter = Counter(game, setup["index"])
                            est, extra = runner(setup, counter, p, seed)
                        except Refused as exc:
                            failure = ("refused", str(exc))
                            break
                        except ValueError as exc:
                            # morvend's refusals ("requires n <= 63", "overflowed u64") are ValueErrors
                            failure = ("refused" if name == "uniform_sparse" else "failed", str(exc))
                            break
                        if isinstance(est, dict):
                            est = setup["to_array"](est)
                        errs.append(float(np.linalg.norm(np.asarray(est) - truth) / norm))
                        calls.append(counter.distinct)
                        exact.append(extra.get("exact", False))
                        if counter.distinct > budget:
                            notes.append(f"{name} on {game.name} at {budget}: {counter.distinct} distinct calls")
                    if failure:
                        cells[name] = (failure[0], None, None)
                        msg = f"{name}: {failure[0]}: {failure[1][:160]}"
                        if msg not in notes:
                            notes.append(msg)
                    else:
                        cells[name] = (statistics.median(errs), int(statistics.median(calls)), f"{sum(exact)}/{len(exact)}")
                within_err, within_calls, within_exact = cells["explain_within"]
                row = [game.name, budget, within_err]
                row.append(within_calls if within_calls is not None else "—")
                row.append(within_exact or "—")
                for name, _, _, _ in methods[1:]:
                    err, c, _ = cells[name]
                    row.append(f"{fmt_err(err)} ({c})" if c is not None else err)
                # the reference: the best peer (edgeless) or approx (edges)
                if setup["edgeless"]:
                    peers = [cells[m][0] for m, _, _, _ in PEERS if cells[m][1] is not None]
                    ref = min(peers) if peers else None
                else:
                    ref = cells["approx"][0] if cells["approx"][1] is not None else None
                if within_calls is None or ref is None:
                    row.append("—")
                else:
                    k, of = within_exact.split("/")
                    if k == of:
                        row.append("exact")
                    else:
                        row.append(ref / within_err if k == "0" else f"{ref / within_err:.3g} ({k}/{of} exact)")
                        if k == "0":
                            rows_compared += 1
                            wins += ref / within_err >= (1.0 if setup["edgeless"] else 5.0)
                rows.append(row)
        headers = ["game", "budget", "explain_within error", "calls", "exact"]
        headers += [f"{m} error (calls)" for m, _, _, _ in methods[1:]]
        headers.append("best peer / within" if setup["edgeless"] else "approx / within")
        print(f"### {label}\n")
        print(setup["about"] + "\n")
        table(headers, rows)
        if rows_compared:
            goal = "at most the best peer's error" if setup["edgeless"] else "at least 5x lower error than approx"
            print(f"explain_within estimated (not exact) in {rows_compared} rows; {goal} in {wins} of them.\n")
        for note in notes:
            print(f"- {note}")
        if notes:
            print()
        print(f"elapsed: {time.perf_counter() - start:.1f} s (truth {truth_time:.1f} s)\n", flush=True)

    def truth(self, setup, game):
        """The exact values, with how they were obtained and checked (truth_rows)."""
        explainer, label, n = setup["explainer"], setup["label"], setup["n"]
        idx = setup["index"]
        names = setup["names"]
        batch = Counter(game, idx)

        def by_names_batch(coalitions):
            M = np.zeros((len(coalitions), n), dtype=bool)
            for r, c in enumerate(coalitions):
                M[r, [idx[x] for x in c]] = True
            return game.values(M)

        def to_array(values):
            out = np.empty(n)
            for x in names:
                out[idx[x]] = values[x]
            return out

        closed = game.shapley() if setup["edgeless"] else None
        if closed is not None:
            truth, how = closed, "closed form"
            if n <= 20:
                r = explainer.explain_within(value_fn_batch=by_names_batch, max_calls=2**n + 1)
                assert r["is_exact"] and r["method"] == "exact_ideals", r["method"]
                dev = np.max(np.abs(to_array(r["values"]) - truth)) / np.max(np.abs(truth))
                assert dev < 1e-9, f"{label}, {game.name}: closed form and exact_ideals differ by {dev:.3g}"
                check = f"explain_within exact over {r['calls']} ideals: max deviation {dev:.2g} (relative)"
            else:
                check = None
        elif n <= 20:
            r = explainer.explain_with_diagnostics(batch.by_names, method="exact_dag_sparse")
            truth, how = to_array(r["values"]), f"explain(method=\"exact_dag_sparse\"), {r['n_order_ideals']} ideals"
            w = explainer.explain_within(value_fn_batch=by_names_batch, max_calls=TRUTH_MAX_IDEALS)
            assert w["is_exact"] and w["method"] == "exact_ideals", w["method"]
            dev = np.max(np.abs(to_array(w["values"]) - truth)) / np.max(np.abs(truth))
            assert dev < 1e-9, f"{label}, {game.name}: exact_dag_sparse and exact_ideals differ by {dev:.3g}"
            check = f"explain_within exact_ideals: max deviation {dev:.2g} (relative)"
        else:
            r = explainer.explain_within(value_fn_batch=by_names_batch, max_calls=TRUTH_MAX_IDEALS)
            if not (r["is_exact"] and r["method"] == "exact_ideals"):
                raise SystemExit(f"{label}: more than {TRUTH_MAX_IDEALS} order ideals, no exact truth")
            truth, how = to_array(r["values"]), f"explain_within exact_ideals over {r['calls']} ideals"
            check = None
        # Efficiency holds for every distribution over orders: the values add up to v(N) - v(empty).
        full = game.value(np.ones(n, dtype=bool)) - game.value(np.zeros(n, dtype=bool))
        eff = abs(truth.sum() - full) / max(abs(full), np.abs(truth).sum())
        assert eff < 1e-9, f"{label}, {game.name}: values add up to {truth.sum()}, v(N) - v(empty) = {full}"
        checks = [c for c in [check, f"efficiency {eff:.1g}"] if c]
        self.truth_rows.append((label, game.name, how, "; ".join(checks)))
        return truth


def fmt_err(err):
    return f"{err:.3g}" if isinstance(err, float) else str(err)


def setup_of(dag, label, about, edgeless):
    names = dag.nodes()
    index = {x: int(x[1:]) for x in names}

    def to_array(values):
        out = np.empty(len(names))
        for x in names:
            out[index[x]] = values[x]
        return out

    return {
        "to_array": to_array,
        "dag": dag,
        "explainer": morvend.ASVExplainer(dag),
        "names": names,
        "index": index,
        "n": len(names),
        "label": label,
        "about": about,
        "edgeless": edgeless,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="budgets 10^3 and 10^4 only, 3 seeds")
    parser.add_argument("--seeds", type=int, default=0, help="seeds per budget (default 5, 3 at 10^5; 3 with --quick)")
    parser.add_argument("--part", choices=["all", "edgeless", "dag"], default="all")
    args = parser.parse_args()
    bench = Bench(args)
    began = time.perf_counter()
    import dowhy
    import dowhy.gcm.config
    import shapiq

    dowhy.gcm.config.disable_progress_bars()
    machine_header(
        "Budgeted explanations: error against distinct value calls",
        f"edgeless DAGs of 20 and 50 nodes, layered DAGs of {', '.join(str(s[0]) for s in LAYERED)} nodes; "
        f"budgets {', '.join(f'{b:.0e}' for b in bench.budgets)}",
    )
    print(f"- shapiq {shapiq.__version__}, dowhy {dowhy.__version__}, numpy {np.__version__}")
    seeds = ", ".join(f"{len(bench.seeds(b))} at {b:.0e}" for b in bench.budgets)
    print(f"- error: ||estimate - truth|| / ||truth||, median over seeds ({seeds}); calls: distinct coalitions")
    print("  evaluated (median over seeds), counted by a caching value function in every method\n")
    if args.part in ("all", "edgeless"):
        for n in (20, 50):
            setup = setup_of(
                edgeless_dag(n),
                f"Edgeless, {n} nodes",
                "ASV = Shapley value. Peers: shapiq LeverageSHAP, KernelSHAP (pairing_trick), "
                "PermutationSamplingSV; dowhy PERMUTATION.",
                True,
            )
            games = [PairwiseGame(n, 100 + n), ModelGame(n, 200 + n), UnanimityGame(n, 300 + n)]
            for g in games:
                check_forms(g)
            bench.run_table(setup, games, MORVEND + PEERS)
    if args.part in ("all", "dag"):
        for n, width, p, seed in LAYERED:
            dag, n_edges = layered_dag(n, width, p, seed)
            setup = setup_of(
                dag,
                f"Layered DAG, {n} nodes",
                f"Layers of {width} nodes, an edge from each node of the layer above with probability {p} "
                f"(one at least), seed {seed}: {n_edges} edges. No peers (they cannot restrict the orderings).",
                False,
            )
            games = [PairwiseGame(n, 400 + n, triples=n), ModelGame(n, 500 + n)]
            for g in games:
                check_forms(g)
            bench.run_table(setup, games, MORVEND)
    print("### Truth\n")
    table(["graph", "game", "obtained by", "checked"], bench.truth_rows)
    print("### Calibrated parameters (median over seeds)\n")
    by_method = {}
    for (name, label, budget, seed), got in bench.calibrations.items():
        by_method.setdefault((name, label, budget), []).append(got)
    rows = []
    for (name, label, budget), got in by_method.items():
        ok = [g for g in got if not isinstance(g, Refused)]
        if len(ok) < len(got):
            rows.append((name, label, budget, "refused", "—"))
            continue
        rows.append(
            (name, label, budget, int(statistics.median(g[0] for g in ok)), int(statistics.median(g[1] for g in ok)))
        )
    table(["method", "graph", "budget", "orders / permutations / shapiq budget", "distinct calls"], rows)
    print(f"total elapsed: {time.perf_counter() - began:.0f} s")


if __name__ == "__main__":
    main()
