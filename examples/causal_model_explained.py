"""A fitted model explained under a real causal network, three ways.

pgmpy's asia network (smoking, a visit to Asia, tuberculosis, lung cancer, bronchitis,
an X-ray and dyspnoea; the file ships with pgmpy, nothing is downloaded) generates
5,000 patients. A scikit-learn classifier learns P(dyspnoea) from the other seven
variables, and morvend explains its predictions under the network's own graph with the
marginal, conditional and causal value functions of morvend_tools: one patient beside
the ordinary Shapley values, then 200 patients as a table, and the charts.

Needs the examples extra: pip install 'morvend[examples]' (pgmpy, scikit-learn, pandas,
matplotlib). Charts are written to the folder given as the first argument (default: the
current one).
"""

import sys
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

try:
    import matplotlib
    import pandas as pd
    from pgmpy.sampling import BayesianModelSampling
    from pgmpy.utils import get_example_model
    from sklearn.linear_model import LogisticRegression
except ImportError as missing:
    print(f"this example needs the examples extra ({missing.name} is missing): pip install 'morvend[examples]'")
    sys.exit(0)

import morvend
from morvend_tools import asv_and_shapley, causal, explain_rows
from morvend_tools.plots import plot_beeswarm, plot_graph, plot_importance, plot_row

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def patients(size: int) -> tuple[Any, pd.DataFrame]:
    """Rows sampled from the network, each state coded by its place in the network's
    list (0 = "yes", 1 = "no"): the codes the network's tables use."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        network = get_example_model("asia")
    frame = BayesianModelSampling(network).forward_sample(size=size, seed=0, show_progress=False)
    for name in frame.columns:
        frame[name] = frame[name].map(network.get_cpds(name).state_names[name].index).astype(float)
    return network, frame


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(".")
    network, data = patients(5000)
    features = [n for n in data.columns if n != "dysp"]
    # dyspnoea is a sink: leaving it out drops no path between the features.
    dag = morvend.CausalDAG.from_edges([(a, b) for a, b in network.edges() if "dysp" not in (a, b)])
    model = LogisticRegression().fit(data[features], data["dysp"] == 0.0)  # P(dyspnoea)
    background = data[features].iloc[:500]
    rows = data[features].iloc[500:700]
    smoker = rows[(rows["smoke"] == 0) & (rows["bronc"] == 0)].iloc[0]

    options = {"categorical": features, "network": network}
    asv, shapley = asv_and_shapley(dag, causal(model, smoker, background, dag, **options))
    print(f"one smoker with bronchitis, P(dyspnoea) = {model.predict_proba(smoker.to_frame().T)[0, 1]:.3f}")
    print(pd.DataFrame({"ASV (causal)": asv, "Shapley (causal)": shapley}).round(4).to_string())

    tables = {}
    for kind, kind_options in [("marginal", {}), ("conditional", {}), ("causal", options)]:
        tables[kind] = explain_rows(dag, model, rows, background, kind=kind, max_calls=500, **kind_options)
    summary = pd.DataFrame({kind: t.mean_abs() for kind, t in tables.items()}).round(4)
    print(f"\nmean |ASV| over {len(rows)} patients, by value function")
    print(summary.to_string())
    print("\nthe causal table's first rows")
    print(tables["causal"].frame().head().round(3).to_string())

    charts: dict[str, Callable[[Any], Any]] = {
        "asv_row.png": lambda ax: plot_row(asv, shapley, ax=ax),
        "asv_importance.png": lambda ax: plot_importance(tables["causal"], ax=ax),
        "asv_beeswarm.png": lambda ax: plot_beeswarm(tables["causal"], rows[dag.nodes()], ax=ax),
        "asv_graph.png": lambda ax: plot_graph(dag, tables["causal"].mean_abs(), ax=ax),
    }
    for name, draw in charts.items():
        fig, ax = plt.subplots(figsize=(7, 4))
        draw(ax)
        fig.tight_layout()
        fig.savefig(out / name, dpi=80)
        plt.close(fig)
    print(f"\ncharts: {', '.join(charts)} in {out.resolve()}")


if __name__ == "__main__":
    main()
