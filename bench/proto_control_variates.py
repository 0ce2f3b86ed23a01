import numpy as np, itertools, math
rng0 = np.random.default_rng(0)
n = 20
# game: additive + pairwise + 3-way + a few unanimity terms of size 5
a = rng0.normal(size=n)
pairs = [(i, j, rng0.normal()) for i in range(n) for j in range(i+1, n) if rng0.random() < 0.3]
triples = [(tuple(rng0.choice(n, 3, replace=False)), rng0.normal()) for _ in range(30)]
unan = [(tuple(rng0.choice(n, 5, replace=False)), 2*rng0.normal()) for _ in range(5)]
def v(mask):  # mask: bool array
    s = a[mask].sum()
    for i, j, c in pairs:
        if mask[i] and mask[j]: s += c
    for t, c in triples:
        if all(mask[list(t)]): s += c
    for t, c in unan:
        if all(mask[list(t)]): s += c
    return s
exact = a.copy()
for i, j, c in pairs: exact[i] += c/2; exact[j] += c/2
for t, c in triples:
    for i in t: exact[i] += c/3
for t, c in unan:
    for i in t: exact[i] += c/5

def run(budget, seed, method):
    rng = np.random.default_rng(seed)
    cache = {}
    calls = 0
    def val(mask):
        nonlocal calls
        k = mask.tobytes()
        if k not in cache:
            calls += 1; cache[k] = v(mask)
        return cache[k]
    Y = []; X = []
    while True:
        perms = [rng.permutation(n)]
        if method == "anti": perms.append(perms[0][::-1])
        if calls + n * len(perms) > budget: break
        for p in perms:
            mask = np.zeros(n, bool); prev = val(mask)
            pos = np.empty(n, int); pos[p] = np.arange(n)
            d = np.empty(n)
            for i in p:
                mask[i] = True; cur = val(mask); d[i] = cur - prev; prev = cur
            Y.append(d); X.append(pos)
    Y = np.array(Y); P = np.array(X); M = len(Y)
    if method == "plain" or M <= n + 1:
        return Y.mean(0), M
    est = np.empty(n)
    for i in range(n):
        # features: [j before i] for j != i, centred at their known mean 1/2
        others = [j for j in range(n) if j != i]
        F = (P[:, others] < P[:, [i]]).astype(float) - 0.5
        A = np.column_stack([np.ones(M), F])
        coef, *_ = np.linalg.lstsq(A, Y[:, i], rcond=None)
        est[i] = coef[0]
    return est, M

for budget in [1000, 10000]:
    for method in ["plain", "cv", "anti"]:
        errs = [np.linalg.norm(run(budget, s, method)[0] - exact)/np.linalg.norm(exact) for s in range(5)]
        print(budget, method, f"{np.median(errs):.4f}")

iu = np.triu_indices(n, 1)
def feats(masks):
    m = masks.astype(float)
    pw = (m[:, :, None] * m[:, None, :])[:, iu[0], iu[1]]
    return np.column_stack([m, pw])
def run_pooled(budget, seed, anti, ridge=1e-6):
    rng = np.random.default_rng(seed)
    cache = {}
    def val(mask):
        k = mask.tobytes()
        if k not in cache: cache[k] = (mask.copy(), v(mask))
        return cache[k][1]
    perms = []
    while True:
        batch = [rng.permutation(n)]
        if anti: batch.append(batch[0][::-1])
        # calls needed: count new coalitions
        if len(cache) + n * len(batch) > budget: break
        for p in batch:
            mask = np.zeros(n, bool); val(mask)
            for i in p: mask[i] = True; val(mask)
            perms.append(p)
    masks = np.array([m for m, _ in cache.values()]); vals = np.array([y for _, y in cache.values()])
    A = feats(masks)
    # fit g with intercept = v(empty)
    A1 = np.column_stack([np.ones(len(A)), A])
    coef = np.linalg.solve(A1.T @ A1 + ridge*np.eye(A1.shape[1]), A1.T @ vals)
    g = lambda mm: coef[0] + feats(mm[None])[0] @ coef[1:]
    b = np.zeros((n, n)); b[iu] = coef[1+n:]; b = b + b.T
    phi_g = coef[1:1+n] + b.sum(1) * 0.5   # edgeless: P(j before i) = 1/2
    # residual by the sampled orders
    R = []
    for p in perms:
        mask = np.zeros(n, bool); prev = cache[mask.tobytes()][1] - g(mask)
        d = np.empty(n)
        for i in p:
            mask[i] = True; cur = cache[mask.tobytes()][1] - g(mask); d[i] = cur - prev; prev = cur
        R.append(d)
    return phi_g + np.mean(R, 0)
for budget in [1000, 10000]:
    for anti in [False, True]:
        errs = [np.linalg.norm(run_pooled(budget, s, anti) - exact)/np.linalg.norm(exact) for s in range(5)]
        print(budget, "pooled", "anti" if anti else "", f"{np.median(errs):.4f}")
