"""The companion's causal value function against a plain Python loop doing the same.

A random linear structural model over 20 variables (each with up to 3 earlier parents),
1,000 background rows, and a scikit-learn model (ridge regression on pairwise products)
fitted to them. The baseline
evaluates one coalition at a time: it regenerates the coalition's descendants node by
node with numpy over the background rows and calls the model once per coalition, as a
user's hand-written function would. Both get the same 1,000 random coalitions and must give
the same values.

Run: .venv/bin/python bench/value_functions.py
"""

import numpy as np

import morvend
from common import machine_header, median_time, table
from morvend_tools import causal

D, ROWS = 20, 1000


def setup(seed=0):
    rng = np.random.default_rng(seed)
    names = [f"x{j}" for j in range(D)]
    parents = {j: sorted(rng.choice(j, size=min(j, rng.integers(0, 4)), replace=False)) for j in range(D)}
    coef = {j: rng.normal(size=len(ps)) for j, ps in parents.items()}
    data = np.zeros((ROWS, D))
    for j in range(D):
        data[:, j] = rng.normal(size=ROWS) + (data[:, parents[j]] @ coef[j] if parents[j] else 0.0)
    edges = [{"from": names[p], "to": names[j]} for j, ps in parents.items() for p in ps]
    import json

    dag = morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": edges}))
    from sklearn.linear_model import Ridge
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import PolynomialFeatures

    w = rng.normal(size=D)
    target = data @ w + data[:, 0] * data[:, 1] + rng.normal(size=ROWS)
    models = {
        "numpy: x @ w + x0 * x1": lambda x: x @ w + x[:, 0] * x[:, 1],
        "scikit-learn: ridge on pairwise products": make_pipeline(PolynomialFeatures(2), Ridge()).fit(data, target).predict,
    }
    return names, parents, data, dag, models


def loop_value_function(model, row, data, parents):
    """One coalition at a time, fitted the same way (least squares with an intercept)."""
    fits, resid = {}, np.zeros_like(data)
    for j, ps in parents.items():
        if ps:
            design = np.column_stack([np.ones(len(data)), data[:, ps]])
            fits[j] = np.linalg.lstsq(design, data[:, j], rcond=None)[0]
            resid[:, j] = data[:, j] - design @ fits[j]

    def value(coalition_ids):
        rows = data.copy()
        moved = set(coalition_ids)
        for j in coalition_ids:
            rows[:, j] = row[j]
        for j in range(D):  # ids are in topological order here
            if j in coalition_ids or not any(p in moved for p in parents[j]):
                continue
            moved.add(j)
            rows[:, j] = fits[j][0] + rows[:, parents[j]] @ fits[j][1:] + resid[:, j]
        return float(model(rows).mean())

    return value


def main():
    machine_header("Causal value function: vectorised batch vs a per-coalition Python loop",
                   f"{D} variables, {ROWS} background rows, 1,000 random coalitions")
    names, parents, data, dag, models = setup()
    row = data[0] + 1.0
    rng = np.random.default_rng(1)
    coalitions = [[names[j] for j in range(D) if rng.random() < 0.5] for _ in range(1000)]
    ids = [[names.index(n) for n in c] for c in coalitions]
    rows = []
    for label, model in models.items():
        ours = causal(model, row, data, dag, feature_names=names)
        loop = loop_value_function(model, row, data, parents)
        assert np.allclose(ours(coalitions), [loop(c) for c in ids], rtol=1e-9, atol=1e-9)
        t_ours = median_time(lambda: ours(coalitions), 3)
        t_loop = median_time(lambda: [loop(c) for c in ids], 3)
        rows.append((label, t_ours * 1e3, t_loop * 1e3, t_loop / t_ours))
    table(["model", "batch µs / coalition", "loop µs / coalition", "× loop"], rows)


if __name__ == "__main__":
    main()
