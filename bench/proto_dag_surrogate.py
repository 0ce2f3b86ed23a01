import numpy as np, random, morvend, functools
n = 20
rng0 = np.random.default_rng(1)
r = random.Random(2)
edges = [(i, j) for i in range(n) for j in range(i+1, n) if r.random() < 0.12] + [(0, j) for j in range(1, n)][:0]
names = [f"x{i}" for i in range(n)]
dag = morvend.CausalDAG.from_edges([(names[i], names[j]) for i, j in edges])
for x in names:
    if x not in dag.nodes(): dag.add_edge("x0", x) if x != "x0" else None
E = morvend.ASVExplainer(dag)
idx = {x: i for i, x in enumerate(dag.nodes())}
a = rng0.normal(size=n)
pairs = [(i, j, rng0.normal()) for i in range(n) for j in range(i+1, n) if rng0.random() < 0.3]
triples = [(tuple(rng0.choice(n, 3, replace=False)), 0.5*rng0.normal()) for _ in range(20)]
def v(mask):
    s = a[mask].sum()
    for i, j, c in pairs:
        if mask[i] and mask[j]: s += c
    for t, c in triples:
        if all(mask[list(t)]): s += c
    return s
def vn(coal):
    m = np.zeros(n, bool); m[[idx[x] for x in coal]] = True; return v(m)
ex = E.explain_with_diagnostics(vn, method="exact_dag_sparse")
exact = np.array([ex["values"][x] for x in dag.nodes()])
print("ideals", ex["n_order_ideals"])
parents = [[] for _ in range(n)]
node_of = {x: i for i, x in enumerate(dag.nodes())}
for u, w in dag.edges(): parents[node_of[w]].append(node_of[u])
pm = [sum(1 << p for p in ps) for ps in parents]
@functools.lru_cache(maxsize=None)
def comp(rest):  # linear extensions of the nodes in `rest` (an up-set complement)
    if rest == 0: return 1
    tot = 0; r_ = rest
    while r_:
        x = (r_ & -r_).bit_length() - 1; r_ &= r_ - 1
        if pm[x] & rest == 0: tot += comp(rest & ~(1 << x))
    return tot
full = (1 << n) - 1
def uniform_order(rng):
    placed = 0; order = []
    for _ in range(n):
        rest = full & ~placed
        t = rng.integers(comp(rest)); acc = 0
        r_ = rest
        while r_:
            x = (r_ & -r_).bit_length() - 1; r_ &= r_ - 1
            if pm[x] & ~placed: continue
            acc += comp(rest & ~(1 << x))
            if t < acc: order.append(x); placed |= 1 << x; break
    return order
# exact precedence P[j, i]
L = comp(full)
def prec():
    P = np.zeros((n, n))
    # brute force via ideals DP: sum over ideals S, addable i: orders(S)*comp(complement of S+i)/L
    @functools.lru_cache(maxsize=None)
    def orders(S):
        if S == 0: return 1
        tot = 0; r_ = S
        while r_:
            x = (r_ & -r_).bit_length() - 1; r_ &= r_ - 1
            # x is a maximal element of S: no child of x in S
            if all(not (pm[c] >> x & 1) or not (S >> c & 1) for c in range(n)): tot += orders(S & ~(1 << x))
        return tot
    seen = {0}; frontier = [0]
    while frontier:
        nxt = []
        for S in frontier:
            for i in range(n):
                if S >> i & 1 or pm[i] & ~S: continue
                w = orders(S) * comp(full & ~(S | 1 << i)) / L
                for j in range(n):
                    if S >> j & 1: P[j, i] += w
                T = S | 1 << i
                if T not in seen: seen.add(T); nxt.append(T)
        frontier = nxt
    return P
P = prec()
iu = np.triu_indices(n, 1)
def feats(masks):
    m = masks.astype(float)
    return np.column_stack([m, (m[:, :, None] * m[:, None, :])[:, iu[0], iu[1]]])
def surrogate_cv(budget, seed):
    rng = np.random.default_rng(seed); cache = {}; perms = []
    def key(mask): return mask.tobytes()
    while True:
        p = uniform_order(rng)
        new = []; mask = np.zeros(n, bool)
        for i in p:
            mask[i] = True
            if key(mask) not in cache: new.append(mask.copy())
        if len(cache) + len(new) + 1 > budget: break
        m0 = np.zeros(n, bool); cache.setdefault(key(m0), (m0, v(m0)))
        for m in new: cache[key(m)] = (m, v(m))
        perms.append(p)
    masks = np.array([m for m, _ in cache.values()]); vals = np.array([y for _, y in cache.values()])
    A1 = np.column_stack([np.ones(len(masks)), feats(masks)])
    coef = np.linalg.lstsq(A1, vals, rcond=None)[0]
    b = np.zeros((n, n)); b[iu] = coef[1+n:]; b = b + b.T
    phi_g = coef[1:1+n] + (b * P).sum(0)   # a_i + sum_j b_ij P(j before i)
    gfun = lambda m: A1[0:1, :0].sum() + coef[0] + feats(m[None])[0] @ coef[1:]
    R = []
    for p in perms:
        mask = np.zeros(n, bool); prev = cache[key(mask)][1] - gfun(mask); d = np.empty(n)
        for i in p:
            mask[i] = True; cur = cache[key(mask)][1] - gfun(mask); d[i] = cur - prev; prev = cur
        R.append(d)
    return phi_g + np.mean(R, 0), len(cache)
def err(x): return np.linalg.norm(x - exact) / np.linalg.norm(exact)
def morvend_calls(method, budget, seed):
    # find n_samples whose distinct calls fit the budget
    lo, hi = 1, budget
    while lo < hi:
        mid = (lo + hi + 1) // 2; c = set()
        E.explain(lambda s: c.add(tuple(s)) or vn(s), method=method, n_samples=mid, seed=seed)
        if len(c) <= budget: lo = mid
        else: hi = mid - 1
    r = E.explain(vn, method=method, n_samples=lo, seed=seed)
    return np.array([r[x] for x in dag.nodes()])
for budget in [300, 1000, 3000]:
    res = {k: [] for k in ["approx", "uniform_sparse", "surrogate"]}
    for s in range(5):
        res["approx"].append(err(morvend_calls("approx", budget, s)))
        res["uniform_sparse"].append(err(morvend_calls("uniform_sparse", budget, s)))
        res["surrogate"].append(err(surrogate_cv(budget, s)[0]))
    print(budget, {k: round(float(np.median(x)), 5) for k, x in res.items()})
