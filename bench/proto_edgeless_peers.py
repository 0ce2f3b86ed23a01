import numpy as np, shapiq, morvend, math, itertools, sys
n = int(sys.argv[1]) if len(sys.argv) > 1 else 20
rng0 = np.random.default_rng(7)
# model-on-data game: f(x) = w.x + sum_pairs c x_i x_j + a few 3-way terms; v(S) = mean_bg f(x_S, bg_rest)
d_bg = 32
x = rng0.normal(size=n); bg = rng0.normal(size=(d_bg, n))
w = rng0.normal(size=n)
pairs = [(i, j, 0.5 * rng0.normal()) for i in range(n) for j in range(i + 1, n) if rng0.random() < 0.1]
trip = [(tuple(rng0.choice(n, 3, replace=False)), 0.5 * rng0.normal()) for _ in range(n // 2)]
def f(X):
    out = X @ w
    for i, j, c in pairs: out = out + c * X[:, i] * X[:, j]
    for t, c in trip: out = out + c * X[:, t[0]] * X[:, t[1]] * X[:, t[2]]
    return out
def v_mask(m):
    X = bg.copy(); X[:, m] = x[m]; return f(X).mean()
# exact Shapley for this polynomial game in closed form is messy: use brute force over 2^n for n <= 20
names = [f"x{i}" for i in range(n)]
idx = {s: i for i, s in enumerate(names)}
def v_names(c):
    m = np.zeros(n, bool); m[[idx[s] for s in c]] = True; return v_mask(m)
dag = morvend.CausalDAG()
for i in range(n - 1): pass
dag = morvend.CausalDAG.from_edges([])
E = None
# edgeless DAG: build by JSON with nodes only
import json
dag = morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": []}))
E = morvend.ASVExplainer(dag)
if n <= 20:
    truth = E.explain_within(v_names, max_calls=2 ** n + 1)["values"]
else:
    truth = E.explain_within(v_names, max_calls=300000, seed=99)["values"]
truth = np.array([truth[s] for s in names])
class G(shapiq.Game):
    def __init__(self): super().__init__(n_players=n, normalize=False)
    def value_function(self, C): return np.array([v_mask(c.astype(bool)) for c in C])
def err(a): return np.linalg.norm(a - truth) / np.linalg.norm(truth)
for budget in [1000, 10000]:
    res = {}
    for name, mk in [("LeverageSHAP", lambda s: shapiq.approximator.LeverageSHAP(n=n, random_state=s)),
                     ("KernelSHAP paired", lambda s: shapiq.approximator.KernelSHAP(n=n, pairing_trick=True, random_state=s)),
                     ("permutation", lambda s: shapiq.approximator.PermutationSamplingSV(n=n, random_state=s))]:
        es = []
        for s in range(3):
            e = mk(s).approximate(budget=budget, game=G())
            es.append(err(np.array([e[(i,)] for i in range(n)])))
        res[name] = np.median(es)
    es = [err(np.array([E.explain_within(v_names, max_calls=budget, seed=s)["values"][k] for k in names])) for s in range(3)]
    res["explain_within"] = np.median(es)
    print(n, budget, {k: f"{v:.5f}" for k, v in res.items()}, flush=True)
