"""Budgeted explanations: error, calibration and cost of explain_within against
distinct value-function calls.

Parts (--part; default all):
- edgeless: graphs without edges, where the ASV is the Shapley value: explain_within's
  error and the coverage of its 95% interval, against shapiq's LeverageSHAP, paired
  KernelSHAP, OddSHAP, RegressionMSR (tree, also cross-fitted over 5 folds, and linear
  proxies) and PermutationSamplingSV (dowhy's permutation estimator with --dowhy), budgets
  10n to 10^5.
- instances: the same two edgeless games at 10n calls (or --edgeless-budgets) over many game
  instances (--instances, --instance-seeds), against the peers that take the budget as it is.
- networks: real causal networks shipped with pgmpy (alarm, hepar2, pathfinder, andes), a
  model-style game whose exact ASV comes from exact counts of linear extensions (or, on
  andes, where they are out of reach, from the symmetry of twin nodes);
  explain_within against morvend's "approx" at the same distinct calls, with coverage,
  per-node bias of the z-scores and the share of NaN standard errors.
- cost: explain_within's own time and peak memory with a free value function, each case
  in a fresh interpreter with a timeout, against 1 s + 100 us per call and 256 MB
  beyond the coalitions kept.
- dag: the layered DAGs, explain_within against "approx" and "uniform_sparse".

Every method gets the same budget of distinct coalitions: each run's value function
caches and counts what it is asked for, and the samplers whose argument is a number
of orders (or permutations) get the largest number whose distinct coalitions fit the
budget. Error is ||estimate - truth|| / ||truth||, median over seeds.

Run: .venv/bin/python bench/budget.py [--quick] [--part P] [--seeds K] [--cov-seeds K]
--quick: budgets 10n and 10^3 (edgeless), 10^3 and 10^4 (networks), no 10^6 (cost); 20
explain_within runs and 3 seeds of the others. --slow-peers OddSHAP runs that peer only up
to --slow-peer-max-budget (one OddSHAP run at 50 players and 10^5 calls takes minutes).
Needs the bench extra (numpy, shapiq, pgmpy, dowhy) besides morvend.
"""

import argparse
import itertools
import json
import math
import random
import statistics
import subprocess
import sys
import time
import warnings

import numpy as np

import morvend
from common import machine_header, table

BUDGETS = [10**3, 10**4, 10**5]
QUICK_BUDGETS = [10**3, 10**4]
BACKGROUND_ROWS = 32
Z95 = 1.959963984540054  # normal quantile at 0.975
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


class Interventional:
    """A model f averaged over background rows, the coalition's features taken
    from the explained row x: subclasses give f, x, bg, n and chunk."""

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


class ModelGame(Interventional):
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



# ---- real causal networks: games with exact ASV ------------------------------
# The ASV averages over uniform linear extensions of the DAG. A term of the game
# that depends on a small group G of nodes contributes to node i the expected
# marginal contribution of i to G's members before it, which depends only on the
# distribution of G's relative order. P(G in order s) = #LE(DAG + chain s) / #LE(DAG),
# and the linear extensions of these networks can be counted exactly (integers,
# no rounding): a memoised recursion over the remaining set of nodes that peels a
# minimal or a maximal node (whichever side has fewer) and multiplies
# incomparable parts by binomials. It finishes within LE_MEMO_CAP states on alarm,
# hepar2 and pathfinder, not on hailfinder, win95pts or andes.
# Where it does not, the game keeps to groups whose order law follows from symmetry:
# twins (incomparable nodes with the same ancestors and the same descendants) can
# be swapped by an automorphism of the DAG, so a group whose incomparable pairs are
# all twins is in each of its allowed orders with the same probability. Where the
# counts exist, that shortcut is checked against them.

NETWORKS = ["alarm", "hepar2", "pathfinder", "andes"]
NETWORK_BUDGETS = [10**3, 10**4, 10**5]
LE_MEMO_CAP = 2_000_000
COUNTABLE_CAP = 300_000  # states for the whole network's count: more means the twins' game


class TooManyStates(Exception):
    """The exact count of linear extensions needs more than LE_MEMO_CAP states."""


class Poset:
    """Strict ancestors and descendants of each node as bitmasks."""

    def __init__(self, n, edges):
        self.n = n
        self.anc = [0] * n
        self.desc = [0] * n
        children = [[] for _ in range(n)]
        indeg = [0] * n
        for a, b in edges:
            children[a].append(b)
            indeg[b] += 1
        order = [v for v in range(n) if indeg[v] == 0]
        for v in order:
            for c in children[v]:
                indeg[c] -= 1
                if indeg[c] == 0:
                    order.append(c)
        if len(order) != n:
            raise ValueError("not a DAG")
        for v in order:
            for c in children[v]:
                self.anc[c] |= self.anc[v] | (1 << v)
        for v in reversed(order):
            for c in children[v]:
                self.desc[v] |= self.desc[c] | (1 << c)

    def comparable(self, a, b):
        return bool(self.anc[a] >> b & 1 or self.desc[a] >> b & 1)

    def twins(self, a, b):
        return a != b and self.anc[a] == self.anc[b] and self.desc[a] == self.desc[b] and not self.comparable(a, b)

    def with_chain(self, chain):
        """A copy with chain[0] < chain[1] < ... added (closed transitively)."""
        p = Poset.__new__(Poset)
        p.n, p.anc, p.desc = self.n, list(self.anc), list(self.desc)
        for a, b in zip(chain, chain[1:]):
            if p.anc[b] >> a & 1:
                continue
            up = p.anc[a] | (1 << a)  # a and everything below it
            down = p.desc[b] | (1 << b)
            m = down
            while m:
                low = m & -m
                m ^= low
                p.anc[low.bit_length() - 1] |= up
            m = up
            while m:
                low = m & -m
                m ^= low
                p.desc[low.bit_length() - 1] |= down
        return p

    def count_ideals(self):
        """Order ideals (down-closed sets): branch on one node, in or out,
        memoised, with incomparable parts multiplied."""
        anc, desc = self.anc, self.desc
        rel = [anc[i] | desc[i] for i in range(self.n)]
        memo = {}

        def count(mask):
            if mask & (mask - 1) == 0:
                return 2 if mask else 1
            got = memo.get(mask)
            if got is not None:
                return got
            comp = frontier = mask & -mask
            while frontier:
                nb, f = 0, frontier
                while f:
                    low = f & -f
                    f ^= low
                    nb |= rel[low.bit_length() - 1]
                frontier = nb & mask & ~comp
                comp |= frontier
            if comp != mask:
                total = count(comp) * count(mask & ~comp)
            else:
                i = max(range(self.n), key=lambda k: (mask >> k & 1) * (rel[k] & mask).bit_count())
                total = count(mask & ~(desc[i] | 1 << i)) + count(mask & ~(anc[i] | 1 << i))
            memo[mask] = total
            return total

        return count((1 << self.n) - 1)

    def count_linear_extensions(self, cap=LE_MEMO_CAP):
        anc, desc = self.anc, self.desc
        rel = [anc[i] | desc[i] for i in range(self.n)]
        memo = {}

        def parts(mask):
            out = []
            while mask:
                comp = frontier = mask & -mask
                while frontier:
                    nb, f = 0, frontier
                    while f:
                        low = f & -f
                        f ^= low
                        nb |= rel[low.bit_length() - 1]
                    frontier = nb & mask & ~comp
                    comp |= frontier
                out.append(comp)
                mask &= ~comp
            return out

        def count(mask):
            if mask & (mask - 1) == 0:
                return 1
            got = memo.get(mask)
            if got is not None:
                return got
            comps = parts(mask)
            if len(comps) > 1:
                total, size = 1, 0
                for c in comps:
                    k = c.bit_count()
                    size += k
                    total *= count(c) * math.comb(size, k)
            else:
                mins, maxs, m = [], [], mask
                while m:
                    low = m & -m
                    m ^= low
                    i = low.bit_length() - 1
                    if not anc[i] & mask:
                        mins.append(low)
                    if not desc[i] & mask:
                        maxs.append(low)
                total = sum(count(mask & ~low) for low in (mins if len(mins) <= len(maxs) else maxs))
            memo[mask] = total
            if len(memo) > cap:
                raise TooManyStates(f"more than {cap} states")
            return total

        return count((1 << self.n) - 1)


def allowed_orders(poset, group):
    """The orders of the group that put no node before one of its ancestors."""
    return [
        perm
        for perm in itertools.permutations(group)
        if not any(poset.anc[a] >> b & 1 for k, a in enumerate(perm) for b in perm[k + 1 :])
    ]


def by_symmetry(poset, group):
    """True when every incomparable pair of the group is a pair of twins."""
    return all(poset.comparable(a, b) or poset.twins(a, b) for a, b in itertools.combinations(group, 2))


def order_distribution(poset, group, total):
    """[(order of the group, probability)] over the orders the DAG allows. With
    `total` (#LE) the orders are counted, with the integer identity sum of the
    counts == total checked, and a group that symmetry decides is checked to be
    uniform; without it only groups that symmetry decides are accepted."""
    orders = allowed_orders(poset, group)
    if total is None:
        if not by_symmetry(poset, group):
            raise ValueError(f"group {group}: no count and no symmetry")
        return [(perm, 1.0 / len(orders)) for perm in orders]
    out, counts = [], 0
    for perm in orders:
        c = total if len(orders) == 1 else poset.with_chain(list(perm)).count_linear_extensions()
        counts += c
        out.append((perm, c))
    if counts != total:
        raise AssertionError(f"orders of {group}: counts add up to {counts}, not {total}")
    if by_symmetry(poset, group) and len({c for _, c in out}) > 1:
        raise AssertionError(f"orders of {group}: twins, yet counts {[c for _, c in out]} differ")
    return [(perm, c / total) for perm, c in out]


def load_network(name):
    """(node names, edges as index pairs) from pgmpy's bundled copy of the network."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from pgmpy.utils import get_example_model

        model = get_example_model(name)
    names = sorted(str(x) for x in model.nodes())
    index = {x: i for i, x in enumerate(names)}
    edges = sorted({(index[str(a)], index[str(b)]) for a, b in model.edges()})
    return names, edges


class NetworkGame(Interventional):
    """An interventional numpy model on a network's nodes, explained at one row x
    against background rows: linear terms; products along edges; products of two
    incomparable nodes (parents of a common child, or nodes two or three edges
    apart); three-way products (a node's parents, or two of them with a third node
    near by); threshold terms 1[z_a + z_b + z_c > 0]. Every term depends on at
    most three nodes, so its exact ASV needs only the order distribution of its
    group."""

    def __init__(self, n, edges, poset, seed, rows=BACKGROUND_ROWS, twins_only=False):
        rng = np.random.default_rng(seed)
        self.n = n
        self.x = rng.normal(size=n)
        self.bg = rng.normal(size=(rows, n))
        self.w = rng.normal(size=n)
        parents = [[] for _ in range(n)]
        adj = [set() for _ in range(n)]
        for a, b in edges:
            parents[b].append(a)
            adj[a].add(b)
            adj[b].add(a)
        along = [edges[k] for k in rng.choice(len(edges), min(len(edges), n // 2), replace=False)]
        incomparable = set()
        for b in range(n):
            ps = parents[b]
            for u, v in itertools.combinations(ps, 2):
                if not poset.comparable(u, v):
                    incomparable.add((min(u, v), max(u, v)))
        near = set()  # incomparable nodes two or three edges apart
        for u in range(n):
            ring = set(adj[u])
            for _ in range(2):
                ring |= {w for v in ring for w in adj[v]}
            near |= {(min(u, v), max(u, v)) for v in ring if v != u and not poset.comparable(u, v)}
        pool = sorted(incomparable) + sorted(near - incomparable)
        take = min(len(pool), max(4, n // 3))
        first = sorted(incomparable)[: take // 2]
        rest = [p for p in pool if p not in set(first)]
        pairs = first + [rest[k] for k in rng.choice(len(rest), take - len(first), replace=False)] if rest else first
        triples = set()
        for b in rng.permutation(n):
            ps = parents[b]
            if len(ps) >= 3:
                triples.add(tuple(sorted(rng.choice(ps, 3, replace=False).tolist())))
            elif len(ps) == 2:
                u, v = ps
                extra = sorted((adj[u] | adj[v]) - {u, v, int(b)})
                if extra:
                    triples.add(tuple(sorted([u, v, int(rng.choice(extra))])))
            if len(triples) >= max(2, n // 6):
                break
        triples = sorted(triples)
        if twins_only:
            # groups that symmetry decides: twin pairs; twin pairs with a parent of
            # theirs (an ancestor of both) or a child (a descendant of both); twin triples
            pairs = sorted((u, v) for u in range(n) for v in range(u + 1, n) if poset.twins(u, v))
            if len(pairs) > max(4, n // 3):
                pairs = sorted(pairs[k] for k in rng.choice(len(pairs), max(4, n // 3), replace=False))
            triples = set()
            for u, v in pairs:
                for w in (parents[u][:1] + [c for c in adj[u] if poset.desc[u] >> c & 1][:1]):
                    triples.add(tuple(sorted((u, v, w))))
            triples |= {
                (u, v, w) for (u, v) in pairs for w in range(v + 1, n) if poset.twins(u, w) and poset.twins(v, w)
            }
            triples = sorted(triples)
            along += [(a, c) for a, b in along[: n // 4] for c in adj[b] if poset.desc[b] >> c & 1][: n // 4]
        thresholds = [triples[k] for k in rng.choice(len(triples), min(3, len(triples)), replace=False)]
        self.E = np.array(along, dtype=np.int64).reshape(-1, 2)
        self.ec = 0.5 * rng.normal(size=len(self.E))
        self.P = np.array(pairs, dtype=np.int64).reshape(-1, 2)
        self.pc = rng.normal(size=len(self.P))
        self.T = np.array(triples, dtype=np.int64).reshape(-1, 3)
        self.tc = 0.5 * rng.normal(size=len(self.T))
        self.H = np.array(thresholds, dtype=np.int64).reshape(-1, 3)
        self.hc = 2.0 * rng.normal(size=len(self.H))
        self.chunk = max(1, (1 << 21) // (rows * n))
        self.name = (
            f"model: {n} linear, {len(self.E)} {'path' if twins_only else 'edge'} products, {len(self.P)} "
            f"{'twin' if twins_only else 'incomparable'} pairs, {len(self.T)} triples, {len(self.H)} thresholds"
        )

    def terms(self):
        """(group, coefficient, kind) for every term."""
        out = [((i,), c, "product") for i, c in enumerate(self.w)]
        out += [(tuple(g), c, "product") for g, c in zip(self.E.tolist(), self.ec)]
        out += [(tuple(g), c, "product") for g, c in zip(self.P.tolist(), self.pc)]
        out += [(tuple(g), c, "product") for g, c in zip(self.T.tolist(), self.tc)]
        out += [(tuple(g), c, "threshold") for g, c in zip(self.H.tolist(), self.hc)]
        return out

    def f(self, X):
        out = X @ self.w
        out += (X[:, self.E[:, 0]] * X[:, self.E[:, 1]]) @ self.ec
        out += (X[:, self.P[:, 0]] * X[:, self.P[:, 1]]) @ self.pc
        out += (X[:, self.T[:, 0]] * X[:, self.T[:, 1]] * X[:, self.T[:, 2]]) @ self.tc
        out += (X[:, self.H].sum(2) > 0) @ self.hc
        return out


    def term_value(self, group, coef, kind, inside):
        """The term's value on the coalition `inside` (a subset of its group),
        averaged over the background rows."""
        cols = [np.full(len(self.bg), self.x[k]) if k in inside else self.bg[:, k] for k in group]
        if kind == "product":
            return coef * float(np.mean(np.prod(cols, axis=0)))
        return coef * float(np.mean(np.sum(cols, axis=0) > 0))

    def asv(self, poset, total):
        """Exact ASV: each term's marginal contributions along every order of its
        group the DAG allows, weighted by that order's probability (from counts
        when `total` = #LE is given, else from symmetry). Returns (values, groups
        with more than one order, seconds)."""
        start = time.perf_counter()
        dists = {}
        phi = np.zeros(self.n)
        for group, coef, kind in self.terms():
            key = tuple(sorted(group))
            if key not in dists:
                dists[key] = order_distribution(poset, key, total)
            for perm, prob in dists[key]:
                before = set()
                for i in perm:
                    phi[i] += prob * (
                        self.term_value(group, coef, kind, before | {i}) - self.term_value(group, coef, kind, before)
                    )
                    before.add(i)
        counted = sum(1 for d in dists.values() if len(d) > 1)
        return phi, counted, time.perf_counter() - start


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
        self.cov_seeds_arg = getattr(args, "cov_seeds", 0)
        self.quick = args.quick
        self.calibrations = {}  # (method, graph, budget, seed) -> (param, calls) or Refused
        self.truth_rows = []

    def cov_seeds(self, budget):
        """explain_within's runs: enough for coverage and per-node bias."""
        return list(range(self.cov_seeds_arg or (20 if self.quick else 100)))

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
                dev = np.max(np.abs(to_array(r["values"]) - truth)) / np.max(np.abs(truth))
                if r["is_exact"]:  # over the ideals, or every stratum of coalitions taken whole
                    assert dev < 1e-9, f"{label}, {game.name}: closed form and {r['method']} differ by {dev:.3g}"
                    check = f"explain_within exact ({r['method']}, {r['calls']} calls): max deviation {dev:.2g} (relative)"
                else:
                    # every ideal fits the budget, so this should have been exact: say so, keep going
                    check = (
                        f"NOT EXACT: explain_within with max_calls 2^{n} + 1 ran {r['method']} "
                        f"({r['calls']} calls), max deviation {dev:.2g} (relative)"
                    )
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



# ---- explain_within with its standard errors ---------------------------------


class BatchCounter(Counter):
    """A batch value function for explain_within that caches and counts the
    distinct coalitions it is asked for."""

    def __call__(self, coalitions):
        M = np.zeros((len(coalitions), self.game.n), dtype=bool)
        for r, c in enumerate(coalitions):
            M[r, [self.index[x] for x in c]] = True
        keys = [row.tobytes() for row in M]
        new = {}
        for r, k in enumerate(keys):
            if k not in self.cache and k not in new:
                new[k] = r
        if new:
            for k, v in zip(new, self.game.values(M[list(new.values())])):
                self.cache[k] = float(v)
        return [self.cache[k] for k in keys]


def within_runs(setup, game, budget, seeds):
    """explain_within over seeds: (estimates, stderrs) as (seeds x nodes) arrays,
    calls and exactness per run. Calls are checked against the count and the budget."""
    ests, ses, calls, exact, methods = [], [], [], [], set()
    to_array = setup["to_array"]
    for seed in seeds:
        counter = BatchCounter(game, setup["index"])
        r = setup["explainer"].explain_within(value_fn_batch=counter, max_calls=budget, seed=seed, ci=0.95)
        if r["calls"] != counter.distinct:
            raise RuntimeError(f"explain_within reported {r['calls']} calls, counted {counter.distinct}")
        if counter.distinct > budget:
            raise RuntimeError(f"explain_within used {counter.distinct} calls, budget {budget}")
        est, se = to_array(r["values"]), to_array(r["stderr"])
        # the interval must be value -/+ z stderr with z the normal 0.975 quantile (to 1e-3: the
        # module's quantile is an approximation, 1.96039 at the time of writing)
        lo, hi = to_array(r["ci_low"]), to_array(r["ci_high"])
        slack = 1e-3 * Z95 * np.nan_to_num(se) + 1e-12 * (1 + np.abs(est))
        ok = np.isnan(se) | (np.abs(est - Z95 * se - lo) <= slack)
        ok &= np.isnan(se) | (np.abs(est + Z95 * se - hi) <= slack)
        if not ok.all():
            raise RuntimeError(f"explain_within: ci_low/ci_high are not value -/+ 1.96 stderr (seed {seed})")
        ests.append(est)
        ses.append(se)
        calls.append(counter.distinct)
        exact.append(bool(r["is_exact"]))
        methods.add(r["method"])
    return np.array(ests), np.array(ses), calls, exact, methods


def coverage(ests, ses, truth):
    """Of (run, node) pairs: the share with |est - truth| <= 1.96 stderr (a NaN
    stderr covers nothing), the largest |z|, the largest |mean over runs of z| of
    a node, the share of NaN stderrs, the count of wrong values with stderr 0, and
    the share covered among the pairs whose error is beyond rounding (NaN if
    none). Pairs exact to rounding count as covered with z = 0."""
    err = ests - truth
    tol = 1e-9 * max(1.0, float(np.max(np.abs(truth))))
    nan = np.isnan(ses)
    covered = ~nan & (np.abs(err) <= Z95 * np.where(nan, 0, ses) + tol)
    with np.errstate(divide="ignore", invalid="ignore"):
        z = np.where(np.abs(err) <= tol, 0.0, err / ses)
    z[nan] = np.nan
    worst = float(np.nanmax(np.abs(z))) if (~nan).any() else float("nan")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        mean_z = np.nanmean(z, axis=0)
    bias = float(np.nanmax(np.abs(mean_z))) if (~np.isnan(mean_z)).any() else float("nan")
    # a zero (or rounding-level) stderr on a wrong value: an interval that cannot cover
    zero = ~nan & (ses <= 1e-12 * max(1.0, float(np.max(np.abs(truth))))) & (np.abs(err) > tol)
    inexact = np.abs(err) > tol
    rest = float(covered[inexact].mean()) if inexact.any() else float("nan")
    return float(covered.mean()), worst, bias, float(nan.mean()), int(zero.sum()), rest


def fmt_z(z):
    return f"{z:.3g}" if math.isfinite(z) and abs(z) < 1e4 else f"{z:.2g}"


def rel_err(est, truth):
    return float(np.linalg.norm(est - truth) / np.linalg.norm(truth))


# ---- part: edgeless graphs, against the peers --------------------------------


def shapiq_peer(make):
    def run(setup, counter, budget, seed):
        n = counter.game.n
        approximator = make(n, seed)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            e = approximator.approximate(budget=budget, game=shapiq_game(counter))
        return np.array([e[(i,)] for i in range(n)]), {}

    return run


def edgeless_peers(with_dowhy):
    import shapiq.approximator as sa

    peers = [
        ("LeverageSHAP", shapiq_peer(lambda n, s: sa.LeverageSHAP(n=n, random_state=s)), "budget", None),
        ("KernelSHAP paired", shapiq_peer(lambda n, s: sa.KernelSHAP(n=n, pairing_trick=True, random_state=s)), "budget", None),
        ("OddSHAP", shapiq_peer(lambda n, s: sa.OddSHAP(n=n, random_state=s)), "budget", None),
        # xgboost (the default proxy) is not in the bench extra; scikit-learn's tree and the linear proxy are
        ("RegressionMSR tree", shapiq_peer(lambda n, s: sa.RegressionMSR(n=n, index="SV", proxy_model="tree", random_state=s)), "budget", None),
        # shapiq's default fits the tree to every coalition it corrects: a full tree interpolates
        # them, so its residuals are zero and the estimate is the tree's own Shapley value.
        # Cross-fitted, the correction is what explain_within makes (and could carry an error).
        ("RegressionMSR tree, 5 folds", shapiq_peer(lambda n, s: sa.RegressionMSR(n=n, index="SV", proxy_model="tree", random_state=s, k_folds=5)), "budget", None),
        ("RegressionMSR linear", shapiq_peer(lambda n, s: sa.RegressionMSR(n=n, index="SV", proxy_model="linear", random_state=s)), "budget", None),
        ("PermutationSamplingSV", shapiq_method("PermutationSamplingSV"), "calibrated", lambda budget, n: (budget * 6 // 5, 4 * budget)),
    ]
    if with_dowhy:
        peers.append(("dowhy permutation", run_dowhy, "calibrated", lambda budget, n: (budget // (n - 1), budget)))
    return peers


def edgeless_part(bench, args):
    peers = edgeless_peers(args.dowhy)
    for n in args.edgeless_sizes:
        start = time.perf_counter()
        setup = setup_of(edgeless_dag(n), f"Edgeless, {n} nodes", "", True)
        games = [ModelGame(n, 200 + n), UnanimityGame(n, 300 + n)]
        budgets = args.edgeless_budgets or sorted({10 * n, 10**3} | ({10**4, 10**5} if not args.quick else set()))
        rows, notes = [], []
        truth_time = 0.0
        for game in games:
            check_forms(game)
            t0 = time.perf_counter()
            truth = bench.truth(setup, game)
            truth_time += time.perf_counter() - t0
            for budget in budgets:
                ests, ses, calls, exact, methods = within_runs(setup, game, budget, bench.cov_seeds(budget))
                errs = [rel_err(e, truth) for e in ests]
                cov, worst, bias, nan, zero, _ = coverage(ests, ses, truth)
                row = [game.name, budget, statistics.median(errs), int(statistics.median(calls)), "/".join(sorted(methods))]
                # below 20n calls explain_within gives no stderr
                row += [cov if nan < 1 else "no stderr", fmt_z(worst), zero, len(ests)]
                best = None
                for name, runner, mode, guess in peers:
                    if name in args.slow_peers and budget > args.slow_peer_max_budget:
                        row.append("not run")
                        continue
                    perrs, pcalls = [], []
                    try:
                        for seed in bench.seeds(budget):
                            p = bench.param(setup, name, runner, mode, guess, budget, seed)
                            counter = Counter(game, setup["index"])
                            est, _ = runner(setup, counter, p, seed)
                            perrs.append(rel_err(np.asarray(est), truth))
                            pcalls.append(counter.distinct)
                            if counter.distinct > budget:
                                notes.append(f"{name} on {game.name} at {budget}: {counter.distinct} distinct calls")
                    except (Refused, ValueError) as exc:
                        row.append("failed")
                        msg = f"{name}: {str(exc)[:160]}"
                        if msg not in notes:
                            notes.append(msg)
                        continue
                    err = statistics.median(perrs)
                    row.append(f"{err:.3g} ({int(statistics.median(pcalls))})")
                    best = err if best is None else min(best, err)
                row.append(best / statistics.median(errs) if best is not None and statistics.median(errs) > 0 else "—")
                rows.append(row)
                print(f"  [{setup['label']}, {game.name}, {budget}: {time.perf_counter() - start:.0f} s]", file=sys.stderr, flush=True)
        print(f"### {setup['label']}\n")
        print(
            "ASV = Shapley value. explain_within: error median over its runs, coverage of its 95% interval "
            "over (run, node) pairs, worst |z| = max |est - truth| / stderr, wrong with stderr 0: (run, node) "
            "pairs whose stderr is zero (to rounding) while the value is off. Peers: median error over "
            f"{len(bench.seeds(10**3))} seeds (distinct calls in brackets)."
        )
        print()
        headers = ["game", "budget", "within error", "calls", "method", "coverage 95%", "worst abs z", "wrong with stderr 0", "runs"]
        headers += [f"{name} error (calls)" for name, _, _, _ in peers]
        headers.append("best peer / within")
        table(headers, rows)
        for note in notes:
            print(f"- {note}")
        if notes:
            print()
        print(f"elapsed: {time.perf_counter() - start:.1f} s (truth {truth_time:.1f} s)\n", flush=True)


def instances_part(args):
    """The edgeless games at their smallest budget over many instances: one
    instance's table can favour one method; the ratio over instances cannot."""
    peers = [p for p in edgeless_peers(False) if p[2] == "budget" and p[0] not in args.slow_peers]
    rows = []
    start = time.perf_counter()
    for n in args.edgeless_sizes:
        setup = setup_of(edgeless_dag(n), f"Edgeless, {n} nodes", "", True)
        budgets = args.edgeless_budgets or [10 * n]
        for make, kind in [(ModelGame, "model"), (UnanimityGame, "unanimity")]:
            for budget in budgets:
                within, covered, by_peer = [], [], {name: [] for name, *_ in peers}
                for g in range(1000, 1000 + args.instances):
                    game = make(n, g)
                    truth = game.shapley()
                    ests, ses, *_ = within_runs(setup, game, budget, range(args.instance_seeds))
                    within.append(statistics.median(rel_err(e, truth) for e in ests))
                    cov, _, _, nan, *_ = coverage(ests, ses, truth)
                    if nan < 1:  # below 20n calls explain_within gives no stderr
                        covered.append(cov)
                    for name, runner, _, _ in peers:
                        errs = []
                        for seed in range(args.instance_seeds):
                            est, _ = runner(setup, Counter(game, setup["index"]), budget, seed)
                            errs.append(rel_err(np.asarray(est), truth))
                        by_peer[name].append(statistics.median(errs))
                best = [min(by_peer[name][k] for name in by_peer) for k in range(args.instances)]
                # an instance a method gets exact (a budget past 2^n) has no ratio
                logs = [math.log(b / w) for b, w in zip(best, within) if b > 0 and w > 0]
                ratio = math.exp(statistics.mean(logs)) if logs else "—"
                ahead = sum(w <= b for w, b in zip(within, best))
                row = [n, kind, budget, f"{args.instances} x {args.instance_seeds}", statistics.median(within)]
                row += [statistics.mean(covered) if covered else "no stderr"]
                row += [statistics.median(by_peer[name]) for name in by_peer]
                rows.append(row + [ratio, f"{ahead} of {args.instances}"])
                print(f"  [instances: {n} nodes, {kind}, {budget}: {time.perf_counter() - start:.0f} s]", file=sys.stderr, flush=True)
    print("### Edgeless games over many instances\n")
    print(
        f"Game instances 1000 to {999 + args.instances} (`ModelGame(n, g)`, `UnanimityGame(n, g)`), "
        f"seeds 0 to {args.instance_seeds - 1} of every method on each; errors are medians over the seeds, "
        "then over the instances; coverage is explain_within's 95% interval, the mean over instances; "
        "best peer / within is the geometric mean over instances of the best peer's error over explain_within's.\n"
    )
    headers = ["nodes", "game", "budget", "instances x seeds", "within error", "coverage 95%"]
    headers += [f"{name} error" for name, *_ in peers] + ["best peer / within", "within ahead"]
    table(headers, rows)
    print(f"elapsed: {time.perf_counter() - start:.1f} s\n", flush=True)


# ---- part: real causal networks -----------------------------------------------


def networks_part(bench, args):
    approx = MORVEND[1]
    for name in args.networks:
        start = time.perf_counter()
        names, edges = load_network(name)
        n = len(names)
        poset = Poset(n, edges)
        try:
            total = poset.count_linear_extensions(cap=COUNTABLE_CAP)
        except TooManyStates:
            total = None  # the game keeps to groups that symmetry decides
        game = NetworkGame(n, edges, poset, 600 + n, twins_only=total is None)
        check_forms(game)
        try:
            truth, counted, secs = game.asv(poset, total)
        except TooManyStates as exc:
            print(f"### Network {name} ({n} nodes, {len(edges)} edges)\n\nskipped: no exact truth ({exc} counting its linear extensions)\n")
            continue
        checks = []
        if total is not None:
            # the symmetry shortcut used where counts are out of reach, against the counts
            twin_game = NetworkGame(n, edges, poset, 700 + n, twins_only=True)
            by_sym, _, _ = twin_game.asv(poset, None)
            by_count, _, _ = twin_game.asv(poset, total)
            dev = float(np.max(np.abs(by_sym - by_count)) / np.max(np.abs(by_count)))
            assert dev < 1e-12, f"{name}: symmetry and counts differ by {dev:.3g} on the twins' game"
            checks.append(f"on the twins' game, symmetry = counts to {dev:.1g}")
        dag = morvend.CausalDAG.from_json(
            json.dumps({"nodes": names, "edges": [{"from": names[a], "to": names[b]} for a, b in edges]})
        )
        index = {x: i for i, x in enumerate(names)}
        setup = {
            "to_array": lambda values: np.array([values[x] for x in names], dtype=float),
            "explainer": morvend.ASVExplainer(dag),
            "names": names,
            "index": index,
            "n": n,
            "label": f"network {name}",
            "edgeless": False,
        }
        full = game.value(np.ones(n, dtype=bool)) - game.value(np.zeros(n, dtype=bool))
        eff = abs(truth.sum() - full) / max(abs(full), np.abs(truth).sum())
        assert eff < 1e-9, f"{name}: exact values add up to {truth.sum()}, v(N) - v(empty) = {full}"
        if total is not None:
            checks.insert(0, "counts of each group's orders add up to #LE")
        checks.append(f"efficiency {eff:.1g}")
        ideals = poset.count_ideals()
        if ideals <= TRUTH_MAX_IDEALS:
            # a second, independent exact computation where the order ideals can be walked
            r = setup["explainer"].explain_within(
                value_fn_batch=BatchCounter(game, index), max_calls=TRUTH_MAX_IDEALS, batch_size=1 << 16
            )
            if r["is_exact"] and r["method"] == "exact_ideals":
                dev = float(np.max(np.abs(setup["to_array"](r["values"]) - truth)) / np.max(np.abs(truth)))
                assert dev < 1e-9, f"{name}: order counts and exact_ideals differ by {dev:.3g}"
                checks.append(f"explain_within exact over {r['calls']} ideals: max deviation {dev:.2g} (relative)")
            else:
                raise RuntimeError(f"{name}: {ideals} ideals, yet explain_within ran {r['method']}")
        else:
            checks.append(f"{float(ideals):.3g} order ideals: no second exact computation")
        bench.truth_rows.append(
            (
                f"network {name}",
                game.name,
                f"{'order counts' if total is not None else 'symmetry (twins)'} for {counted} groups ({secs:.1f} s)",
                "; ".join(checks),
            )
        )
        rows = []
        budgets = args.network_budgets or [b for b in NETWORK_BUDGETS if not args.quick or b <= 10**4]
        for budget in budgets:
            ests, ses, calls, exact, methods = within_runs(setup, game, budget, bench.cov_seeds(budget))
            err = statistics.median(rel_err(e, truth) for e in ests)
            cov, worst, bias, nan, zero, rest = coverage(ests, ses, truth)
            aerrs, acalls, afail = [], [], None
            for seed in bench.seeds(budget):
                try:
                    p = bench.param(setup, "approx", approx[1], approx[2], approx[3], budget, seed)
                except (Refused, ValueError) as exc:
                    afail = str(exc)[:120]
                    break
                counter = Counter(game, index)
                est, _ = approx[1](setup, counter, p, seed)
                aerrs.append(rel_err(setup["to_array"](est), truth))
                acalls.append(counter.distinct)
            aerr = statistics.median(aerrs) if aerrs else None
            rows.append(
                [
                    budget,
                    err,
                    int(statistics.median(calls)),
                    f"{sum(exact)}/{len(exact)}" if any(exact) else "/".join(sorted(methods)),
                    f"{aerr:.3g} ({int(statistics.median(acalls))})" if aerr is not None else f"failed: {afail}",
                    aerr / err if aerr is not None and err > 0 else "—",
                    cov,
                    rest,
                    fmt_z(worst),
                    fmt_z(bias),
                    nan,
                    zero,
                    len(ests),
                ]
            )
            print(f"  [{name}, {budget}: {time.perf_counter() - start:.0f} s]", file=sys.stderr, flush=True)
        print(f"### Network {name} ({n} nodes, {len(edges)} edges)\n")
        print(
            f"Game: {game.name}; interventional at one row against {BACKGROUND_ROWS} background rows. "
            + (
                f"Exact truth from counts of linear extensions (#LE = {float(total):.4g}). "
                if total is not None
                else "Linear extensions too many to count here: interactions only within twin groups, exact by symmetry. "
            )
            + "approx: calibrated to the same distinct calls, median over "
            f"{len(bench.seeds(10**3))} seeds. Coverage over (run, node) pairs; bias = max over nodes of "
            "|mean over runs of z|; not exact: the pairs whose error is beyond rounding (any positive stderr "
            "covers the others); wrong with stderr 0: (run, node) pairs whose stderr is zero (to rounding) "
            "while the value is off.\n"
        )
        headers = ["budget", "within error", "calls", "method", "approx error (calls)", "approx / within"]
        headers += ["coverage 95%", "coverage, not exact", "worst abs z", "bias (max abs mean z)", "NaN stderr share", "wrong with stderr 0", "runs"]
        table(headers, rows)
        print(f"elapsed: {time.perf_counter() - start:.1f} s (truth {secs:.1f} s)\n", flush=True)


# ---- part: explain_within's own cost -----------------------------------------
# Each case runs in a fresh interpreter (this script with --cost-case), so the
# peak resident memory it reports is its own and not a leftover of an earlier case.

COST_SIZES = [100, 1000, 10000]
COST_SHAPES = ["isolated", "isolated + 1 edge", "chains of 3", "random, 2 parents"]
COST_TIMEOUT = 300.0


def cost_dag(shape, n, seed=0):
    names = [f"v{i}" for i in range(n)]
    rng = random.Random(seed)
    if shape == "isolated":
        edges = []
    elif shape == "isolated + 1 edge":
        edges = [(0, 1)]
    elif shape == "chains of 3":
        edges = [(k, k + 1) for k in range(0, n - 2, 3)] + [(k + 1, k + 2) for k in range(0, n - 2, 3)]
    else:
        edges = sorted({(p, j) for j in range(1, n) for p in rng.sample(range(j), min(j, 2))})
    doc = {"nodes": names, "edges": [{"from": names[a], "to": names[b]} for a, b in edges]}
    return morvend.CausalDAG.from_json(json.dumps(doc)), len(edges)


def rss_kb(field):
    """A field of /proc/self/status in kB (VmRSS: now; VmHWM: the peak)."""
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise OSError(field)


def cost_case(case_json):
    """One case, in this process: prints a JSON line."""
    import gc
    import resource

    case = json.loads(case_json)
    # no runaway case may take the machine's memory
    resource.setrlimit(resource.RLIMIT_AS, (16 << 30, 16 << 30))
    dag, n_edges = cost_dag(case["shape"], case["n"])
    explainer = morvend.ASVExplainer(dag)
    # the cost of len itself on a coalition of half the nodes, to subtract
    probe = [f"v{i}" for i in range(case["n"] // 2)]
    reps = 200_000
    t = time.perf_counter()
    for _ in range(reps):
        len(probe)
    per_call = (time.perf_counter() - t) / reps
    gc.collect()
    # the peak from here on: reset the kernel's high-water mark of resident memory
    # (VmHWM; ru_maxrss keeps the import's peak) where it can be, else ru_maxrss
    base_kb, peak_of = rss_kb("VmRSS"), None
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        peak_of = "VmHWM"
    except OSError:
        base_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t = time.perf_counter()
    r = explainer.explain_within(len, max_calls=case["budget"], seed=1)
    wall = time.perf_counter() - t
    peak = rss_kb(peak_of) if peak_of else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(
        json.dumps(
            {
                "wall": wall,
                "inside": r["calls"] * per_call,
                "calls": r["calls"],
                "method": r["method"],
                "peak_kb": peak - base_kb,
                "peak_of": peak_of or "ru_maxrss",
                "edges": n_edges,
            }
        )
    )


def cost_part(args):
    sizes = COST_SIZES
    rows = []
    start = time.perf_counter()
    for n in sizes:
        budgets = [10**3, 10**4, 10**5] + ([] if args.quick else [10**6])
        for shape in COST_SHAPES:
            for budget in budgets:
                case_json = json.dumps({"shape": shape, "n": n, "budget": budget})
                bound_s = 1.0 + 100e-6 * budget
                try:
                    proc = subprocess.run(
                        [sys.executable, __file__, "--cost-case", case_json],
                        capture_output=True,
                        text=True,
                        timeout=args.cost_timeout,
                    )
                except subprocess.TimeoutExpired:
                    rows.append([n, shape, budget, "—", "—", f"> {args.cost_timeout:.0f} s", f"{bound_s:.1f}", "—", "—", "—", "no"])
                    continue
                if proc.returncode != 0:
                    why = (proc.stderr.strip().splitlines() or [f"exit {proc.returncode}"])[-1]
                    if "needs max_calls" in why:
                        # a budget below one ordering (n + 1 calls) is refused by design
                        rows.append([n, shape, budget, "—", "refused: needs max_calls ≥ n + 1", "—", f"{bound_s:.1f}", "—", "—", "—", "—"])
                    else:
                        rows.append([n, shape, budget, "—", f"failed: {why[:100]}", "—", f"{bound_s:.1f}", "—", "—", "—", "no"])
                    continue
                got = json.loads(proc.stdout.strip().splitlines()[-1])
                own = got["wall"] - got["inside"]
                mem_mb = got["peak_kb"] / 1024
                kept_mb = got["calls"] * n / 8 / 2**20
                bound_mb = 256 + kept_mb
                rows.append(
                    [
                        n,
                        shape,
                        budget,
                        got["calls"],
                        got["method"],
                        f"{own:.3g}",
                        f"{bound_s:.1f}",
                        f"{1e6 * own / max(got['calls'], 1):.3g}",
                        f"{mem_mb:.1f}",
                        f"{bound_mb:.0f}",
                        "yes" if own <= bound_s and mem_mb <= bound_mb else "no",
                    ]
                )
                print(f"  [cost {n} {shape} {budget}: {time.perf_counter() - start:.0f} s]", file=sys.stderr, flush=True)
    print("### explain_within's own cost\n")
    print(
        "Value function `len` (free): own time = wall time of explain_within minus calls x the measured cost "
        "of `len` on a coalition. Peak memory: in a fresh interpreter, after import and DAG construction, "
        "the kernel's high-water mark of resident memory is reset (/proc/self/clear_refs); peak = VmHWM "
        "after the call minus VmRSS before it (ru_maxrss deltas where the reset is not allowed). Bound: 1 s + 100 us per call of the budget; "
        "256 MB + n/8 bytes per coalition evaluated. Random DAG: node j takes 2 parents among nodes "
        f"0..j-1. Timeout {args.cost_timeout:.0f} s per case.\n"
    )
    headers = ["nodes", "DAG", "budget", "calls", "method", "own time (s)", "bound (s)", "us per call", "peak MB", "bound MB", "within bound"]
    table(headers, rows)
    print(f"elapsed: {time.perf_counter() - start:.1f} s\n", flush=True)

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer budgets, sizes and seeds (a few minutes a part)")
    parser.add_argument("--seeds", type=int, default=0, help="seeds of the peers and approx (default 5, 3 at 10^5; 3 with --quick)")
    parser.add_argument("--cov-seeds", type=int, default=0, help="explain_within runs for error and coverage (default 100; 20 with --quick)")
    parser.add_argument("--part", choices=["all", "edgeless", "instances", "networks", "cost", "dag"], default="all")
    parser.add_argument("--edgeless-sizes", type=int, nargs="+", default=[20, 50])
    parser.add_argument("--edgeless-budgets", type=int, nargs="+", help="budgets of the edgeless part (default 10n, 10^3, 10^4, 10^5; 10n and 10^3 with --quick)")
    parser.add_argument("--instances", type=int, default=20, help="game instances of the instances part")
    parser.add_argument("--instance-seeds", type=int, default=10, help="seeds of every method on each instance")
    parser.add_argument("--networks", nargs="+", default=NETWORKS, help="pgmpy example networks")
    parser.add_argument("--network-budgets", type=int, nargs="+", help="budgets of the networks part (default 10^3, 10^4, 10^5; to 10^4 with --quick)")
    parser.add_argument("--dowhy", action="store_true", help="add dowhy's permutation estimator to the edgeless tables")
    parser.add_argument("--slow-peers", nargs="*", default=[], help="peers to run only up to --slow-peer-max-budget (e.g. OddSHAP)")
    parser.add_argument("--slow-peer-max-budget", type=int, default=10**4)
    parser.add_argument("--cost-timeout", type=float, default=COST_TIMEOUT, help="seconds per cost case")
    parser.add_argument("--cost-case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.cost_case:
        cost_case(args.cost_case)
        return
    bench = Bench(args)
    began = time.perf_counter()
    parts = ["edgeless", "instances", "networks", "cost", "dag"] if args.part == "all" else [args.part]
    machine_header(
        "Budgeted explanations: error, coverage and cost against distinct value calls",
        f"parts {', '.join(parts)}; edgeless DAGs of {', '.join(map(str, args.edgeless_sizes))} nodes; "
        f"networks {', '.join(args.networks)}" + (" (quick)" if args.quick else ""),
    )
    versions = [f"numpy {np.__version__}"]
    for mod in ["shapiq", "dowhy", "pgmpy", "sklearn"]:
        try:
            versions.append(f"{mod} {__import__(mod).__version__}")
        except ImportError:
            pass
    print(f"- {', '.join(versions)}")
    print("- error: ||estimate - truth|| / ||truth||; calls: distinct coalitions evaluated, counted by a caching")
    print("  value function in every method\n")
    if "edgeless" in parts:
        edgeless_part(bench, args)
    if "instances" in parts:
        instances_part(args)
    if "networks" in parts:
        networks_part(bench, args)
    if "cost" in parts:
        cost_part(args)
    if "dag" in parts:
        import dowhy.gcm.config

        dowhy.gcm.config.disable_progress_bars()
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
    if bench.truth_rows:
        print("### Truth\n")
        table(["graph", "game", "obtained by", "checked"], bench.truth_rows)
    if bench.calibrations:
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
