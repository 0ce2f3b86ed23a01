"""The companion's causal value function against a plain Python loop doing the same.

Two structural models over 20 variables (each with up to 3 earlier parents) and 1,000
background rows: a random linear one with continuous variables, and a random network of
binary variables (conditional probability tables far from one half, as real networks
have). The baseline evaluates one coalition at a time: it regenerates the coalition's
descendants node by node with numpy over the background rows, through the same fitted
mechanisms and noise, and calls the model once per coalition, as a user's hand-written
function would. Both get the same random coalitions and must give the same values.

Run: .venv/bin/python bench/value_functions.py
"""

import json

import numpy as np

import morvend
from common import machine_header, median_time, table
from morvend_tools import causal
from morvend_tools.structural import fit_mechanisms

D, ROWS = 20, 1000


def dag_of(names, parents):
    edges = [{"from": names[p], "to": names[j]} for j, ps in parents.items() for p in ps]
    return morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": edges}))


def random_parents(rng):
    return {j: sorted(rng.choice(j, size=min(j, rng.integers(0, 4)), replace=False)) for j in range(D)}


def setup(seed=0):
    rng = np.random.default_rng(seed)
    names = [f"x{j}" for j in range(D)]
    parents = random_parents(rng)
    coef = {j: rng.normal(size=len(ps)) for j, ps in parents.items()}
    data = np.zeros((ROWS, D))
    for j in range(D):
        data[:, j] = rng.normal(size=ROWS) + (data[:, parents[j]] @ coef[j] if parents[j] else 0.0)
    dag = dag_of(names, parents)
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


def setup_binary(seed=0):
    """A random network of binary variables and a gradient-boosted classifier of a
    noisy threshold on five of them."""
    from sklearn.ensemble import HistGradientBoostingClassifier

    rng = np.random.default_rng(seed)
    names = [f"x{j}" for j in range(D)]
    parents = random_parents(rng)
    data = np.zeros((ROWS, D))
    for j, ps in parents.items():
        p_one = rng.beta(0.3, 0.3, size=2 ** len(ps))
        config = data[:, ps].astype(int) @ (2 ** np.arange(len(ps)))
        data[:, j] = rng.random(ROWS) < p_one[config]
    target = data[:, :5].sum(axis=1) + rng.normal(size=ROWS) > 2.5
    model = HistGradientBoostingClassifier(max_iter=100, random_state=0).fit(data, target)
    return names, parents, data, dag_of(names, parents), model


def per_coalition(data, row, parents, regenerate, predict):
    """The loop a user would write: one coalition at a time, its descendants
    regenerated node by node (regenerate(j, rows)), then one model call."""

    def value(coalition_ids):
        rows = data.copy()
        moved = set(coalition_ids)
        for j in coalition_ids:
            rows[:, j] = row[j]
        for j in range(D):  # ids are in topological order here
            if j in coalition_ids or not any(p in moved for p in parents[j]):
                continue
            moved.add(j)
            rows[:, j] = regenerate(j, rows)
        return float(np.mean(predict(rows)))

    return value


def loop_with_mechanisms(model, row, data, parents, names):
    """Through the same fitted mechanisms and noise as the batch."""
    mechanisms, noise = fit_mechanisms(data, names, {j: list(ps) for j, ps in parents.items()},
                                       names, None, None, None, 0)
    return per_coalition(data, row, parents,
                         lambda j, rows: mechanisms[j].regenerate(rows[:, parents[j]], noise[:, j]),
                         lambda rows: model.predict_proba(rows)[:, 1])


def loop_value_function(model, row, data, parents):
    """Fitted the same way as the batch (least squares with an intercept)."""
    fits, resid = {}, np.zeros_like(data)
    for j, ps in parents.items():
        if ps:
            design = np.column_stack([np.ones(len(data)), data[:, ps]])
            fits[j] = np.linalg.lstsq(design, data[:, j], rcond=None)[0]
            resid[:, j] = data[:, j] - design @ fits[j]
    return per_coalition(data, row, parents,
                         lambda j, rows: fits[j][0] + rows[:, parents[j]] @ fits[j][1:] + resid[:, j], model)


def main():
    machine_header("Causal value function: vectorised batch vs a per-coalition Python loop",
                   f"{D} variables, {ROWS} background rows, 1,000 random coalitions")
    names, parents, data, dag, models = setup()
    row = data[0] + 1.0
    rng = np.random.default_rng(1)
    coalitions = [[names[j] for j in range(D) if rng.random() < 0.5] for _ in range(1000)]
    ids = [[names.index(n) for n in c] for c in coalitions]
    rows = []

    def compare(label, ours, loop):
        assert np.allclose(ours(coalitions), [loop(c) for c in ids], rtol=1e-9, atol=1e-9)
        t_ours = median_time(lambda: ours(coalitions), 3)
        t_loop = median_time(lambda: [loop(c) for c in ids], 3)
        rows.append((label, t_ours * 1e3, t_loop * 1e3, t_loop / t_ours))

    for label, model in models.items():
        compare(label, causal(model, row, data, dag, feature_names=names), loop_value_function(model, row, data, parents))
    names, parents, data, dag, model = setup_binary()
    compare("binary network: gradient-boosted trees",
            causal(model, data[0], data, dag, feature_names=names, categorical=names),
            loop_with_mechanisms(model, data[0], data, parents, names))
    table(["model", "batch µs / coalition", "loop µs / coalition", "× loop"], rows)


if __name__ == "__main__":
    main()
