"""Asymmetric Shapley values for one prediction of a credit-scoring model.

A small causal model of an applicant (age and education drive income, income
drives the debt ratio) generates training data; a predictor is fitted with
numpy; and one applicant's predicted credit score is explained two ways:

- ASV: contributions averaged over the orderings the causal graph allows
  (causes before effects), so an upstream cause gets credit for what it
  brings about downstream;
- ordinary Shapley values: the same computation on the graph without edges,
  where every ordering counts.

The value of a coalition is the mean prediction when its variables are set
to the applicant's values and every other variable follows the causal model
(the downstream effects of the set variables included), over background
draws of the model's noise.

Run: python examples/quickstart.py   (saves quickstart.png when matplotlib is installed)
"""

import json

import numpy as np
import numpy.typing as npt

import morvend

Array = npt.NDArray[np.float64]

rng = np.random.default_rng(0)
FEATURES = ["age", "education", "income", "debt_ratio"]
EDGES = [("age", "income"), ("education", "income"), ("income", "debt_ratio")]


# --- the causal model, its data and a fitted predictor --------------------------------


def sample_noise(n: int) -> dict[str, Array]:
    return {
        "age": rng.uniform(21, 70, n),
        "education": rng.normal(14, 2.5, n),
        "income": rng.normal(0, 8, n),
        "debt_ratio": rng.normal(0, 0.08, n),
    }


def structural(noise: dict[str, Array], fixed: dict[str, float] | None = None) -> Array:
    """The variables in causal order; those in `fixed` are set, not generated."""
    fixed = fixed or {}
    v: dict[str, Array | float] = {}
    v["age"] = fixed.get("age", noise["age"])
    v["education"] = fixed.get("education", noise["education"])
    v["income"] = fixed.get("income", 10 + 2.5 * v["education"] + 0.5 * (v["age"] - 21) + noise["income"])
    v["debt_ratio"] = fixed.get("debt_ratio", np.clip(0.65 - 0.006 * v["income"] + noise["debt_ratio"], 0, 1))
    n = len(noise["age"])
    return np.column_stack([np.broadcast_to(v[f], (n,)) for f in FEATURES])


train = structural(sample_noise(4000))
score = 300 + 3.0 * train[:, 2] + 4.0 * train[:, 1] - 220 * train[:, 3] + rng.normal(0, 15, len(train))


def design(x: Array) -> Array:
    """Features with an income-by-debt interaction, so the model is not additive."""
    return np.column_stack([np.ones(len(x)), x, x[:, 2] * x[:, 3]])


coef, *_ = np.linalg.lstsq(design(train), score, rcond=None)


def predict(x: Array) -> Array:
    return design(x) @ coef


# --- the value function ------------------------------------------------------------

applicant = {"age": 52.0, "education": 19.0, "income": 95.0, "debt_ratio": 0.10}
background = sample_noise(500)


def value(coalition: list[str]) -> float:
    """Mean prediction with the coalition set to the applicant's values."""
    return float(predict(structural(background, {f: applicant[f] for f in coalition})).mean())


# --- ASV next to ordinary Shapley values --------------------------------------------

dag = morvend.CausalDAG.from_edges(EDGES)
no_edges = morvend.CausalDAG.from_json(json.dumps({"nodes": dag.nodes(), "edges": []}))

asv = morvend.ASVExplainer(dag).explain_with_diagnostics(value)
shapley = morvend.ASVExplainer(no_edges).explain(value)

print(f"predicted score for the applicant: {value(FEATURES):7.1f}")
print(f"average predicted score:           {value([]):7.1f}")
print(f"ASV method: {asv['selected_method']}, over the {asv['n_samples']} orderings the graph allows\n")
print(f"{'variable':<12} {'value':>7} {'ASV':>8} {'Shapley':>8} {'change':>8}")
for name in FEATURES:
    a, s = asv["values"][name], shapley[name]
    print(f"{name:<12} {applicant[name]:>7.2f} {a:>8.1f} {s:>8.1f} {a - s:>+8.1f}")
print(f"{'total':<12} {'':>7} {sum(asv['values'].values()):>8.1f} {sum(shapley.values()):>8.1f}")
print("\nUnder the causal ordering, age and education are credited with the income they")
print("bring about, and income with the debt ratio it brings about; ordinary Shapley")
print("values hand part of that credit on to the downstream variables.")

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    pass
else:
    pos = np.arange(len(FEATURES))
    fig, ax = plt.subplots(figsize=(7, 3.5))
    ax.bar(pos - 0.2, [asv["values"][n] for n in FEATURES], 0.4, label="ASV (causal ordering)")
    ax.bar(pos + 0.2, [shapley[n] for n in FEATURES], 0.4, label="Shapley (all orderings)")
    ax.set_xticks(pos, FEATURES)
    ax.axhline(0, color="black", linewidth=0.8)
    ax.set_ylabel("contribution to the score")
    ax.legend()
    fig.tight_layout()
    fig.savefig("quickstart.png", dpi=120)
    print("saved quickstart.png")
