"""The companion's charts render off-screen and show what they are given."""

import numpy as np
import pytest

import morvend
from morvend_tools import asv_and_shapley, explain_rows, marginal
from morvend_tools.plots import plot_beeswarm, plot_graph, plot_importance, plot_row

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
plt = pytest.importorskip("matplotlib.pyplot")

NAMES = ["a", "b", "c"]
DAG = morvend.CausalDAG.from_edges([("a", "b"), ("b", "c")])
RNG = np.random.default_rng(5)
BACKGROUND = RNG.normal(size=(100, 3))


def model(x):
    return x[:, 0] + x[:, 1] * x[:, 2]


# Catches Shapley values taken under the DAG (they must ignore its edges) and
# an ASV that is not explain_within's.
def test_asv_and_shapley():
    v = marginal(model, [1.0, 2.0, 3.0], BACKGROUND, feature_names=NAMES)
    asv, shapley = asv_and_shapley(DAG, v, max_calls=100)
    assert asv == morvend.ASVExplainer(DAG).explain_within(value_fn_batch=v, max_calls=100, seed=0)["values"]
    assert shapley["c"] != pytest.approx(asv["c"])  # c comes last under the DAG, not on average
    assert sum(shapley.values()) == pytest.approx(sum(asv.values()))


# Catches a chart that fails to draw or drops or mislabels variables.
def test_charts_draw_every_variable(tmp_path):
    rows = RNG.normal(size=(6, 3))
    out = explain_rows(DAG, model, rows, BACKGROUND, feature_names=NAMES, kind="marginal", max_calls=50)
    asv, shapley = asv_and_shapley(DAG, marginal(model, rows[0], BACKGROUND, feature_names=NAMES), max_calls=50)
    charts = [
        plot_row(asv, shapley),
        plot_importance(out),
        plot_beeswarm(out, rows),
        plot_graph(DAG, out.mean_abs()),
    ]
    for ax in charts[:3]:
        assert sorted(t.get_text() for t in ax.get_yticklabels()) == NAMES
    assert sorted(t.get_text() for t in charts[3].texts if t.get_text()) == NAMES
    for i, ax in enumerate(charts):
        ax.figure.savefig(tmp_path / f"{i}.png")
        assert (tmp_path / f"{i}.png").stat().st_size > 1000
    plt.close("all")
