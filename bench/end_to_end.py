"""200 rows of a 20-variable model explained end to end: morvend_tools against shap and shapiq.

The model is a numpy function with linear terms and ten pairwise products, so that its
exact Shapley values under the marginal (interventional) value function have a closed
form; the background is 100 rows. Every explainer gets the same model, background, rows
and budget of 2,000 coalitions per row:

- morvend: `explain_rows(kind="marginal")` under a DAG without edges (so the ASV is the
  Shapley value), batch value functions, one explain_within per row;
- shap: `PermutationExplainer(model, background)` with `max_evals=2000`;
- shapiq: `TabularExplainer(index="SV", max_order=1, imputer="marginal")` with
  `budget=2000` (its default approximator).

Reported: wall time for the 200 rows, calls of the model and rows handed to it, and the
median over rows of the relative L2 error against the exact values.

Run: .venv/bin/python bench/end_to_end.py   (the bench extra: shap, shapiq)
"""

import json
import time

import numpy as np
import shap
import shapiq

import morvend
from common import machine_header, table
from morvend_tools import explain_rows

D, BACKGROUND, ROWS, BUDGET = 20, 100, 200, 2000


class Model:
    """x @ a + sum of b * x_i * x_j over ten pairs; counts its calls and rows."""

    def __init__(self, rng):
        self.a = rng.normal(size=D)
        self.pairs = [tuple(rng.choice(D, 2, replace=False)) for _ in range(10)]
        self.b = rng.normal(size=10)
        self.calls = self.rows = 0

    def __call__(self, x):
        x = np.asarray(x, dtype=float)
        self.calls += 1
        self.rows += len(x)
        out = x @ self.a
        for (i, j), b in zip(self.pairs, self.b):
            out = out + b * x[:, i] * x[:, j]
        return out

    def exact(self, x, bg):
        """Marginal Shapley values: each pair term is a two-player game."""
        mu = bg.mean(axis=0)
        phi = self.a * (x - mu)
        for (i, j), b in zip(self.pairs, self.b):
            both, none = x[i] * x[j], (bg[:, i] * bg[:, j]).mean()
            phi[i] += b / 2 * (x[i] * mu[j] - none + both - mu[i] * x[j])
            phi[j] += b / 2 * (mu[i] * x[j] - none + both - x[i] * mu[j])
        return phi


def run_morvend(model, rows, bg, names):
    dag = morvend.CausalDAG.from_json(json.dumps({"nodes": names, "edges": []}))
    out = explain_rows(dag, model, rows, bg, kind="marginal", max_calls=BUDGET, feature_names=names)
    order = [out.names.index(n) for n in names]
    return out.values[:, order]


def run_shap(model, rows, bg, names):
    return shap.PermutationExplainer(model, bg)(rows, max_evals=BUDGET, silent=True).values


def run_shapiq(model, rows, bg, names):
    explainer = shapiq.TabularExplainer(model=model, data=bg, index="SV", max_order=1, imputer="marginal")
    return np.array([explainer.explain(x, budget=BUDGET).get_n_order_values(1) for x in rows])


def main():
    machine_header("End to end: 200 rows of a 20-variable model",
                   f"{D} variables, {BACKGROUND} background rows, {ROWS} rows, {BUDGET} coalitions per row")
    rng = np.random.default_rng(0)
    bg, rows = rng.normal(size=(BACKGROUND, D)), rng.normal(size=(ROWS, D))
    names = [f"x{j}" for j in range(D)]
    results = []
    for label, run in [("morvend explain_rows", run_morvend), ("shap PermutationExplainer", run_shap),
                       ("shapiq TabularExplainer", run_shapiq)]:
        model = Model(np.random.default_rng(1))
        exact = np.array([model.exact(x, bg) for x in rows])
        start = time.perf_counter()
        values = run(model, rows, bg, names)
        seconds = time.perf_counter() - start
        error = np.median(np.linalg.norm(values - exact, axis=1) / np.linalg.norm(exact, axis=1))
        results.append((label, seconds, model.calls, model.rows / 1e6, error))
    table(["explainer", "wall s", "model calls", "rows to the model (M)", "median relative error"], results)


if __name__ == "__main__":
    main()
