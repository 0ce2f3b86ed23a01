"""Charts of explanations (matplotlib, imported when a chart is drawn).

Each function draws on `ax` (a new figure's axes when None) and returns the axes, so
that charts can be combined, titled and saved as the caller likes.
"""

from __future__ import annotations

import importlib
import json
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np

import morvend
from morvend_tools.rows import RowExplanations

__all__ = ["asv_and_shapley", "plot_row", "plot_importance", "plot_beeswarm", "plot_graph"]


def asv_and_shapley(dag: morvend.CausalDAG, value_fn: Callable[..., Any], *, max_calls: int = 2000,
                    seed: int | None = 0) -> tuple[dict[str, float], dict[str, float]]:
    """The ASV under `dag` and the ordinary Shapley values (the same nodes, no edges),
    both from explain_within with the batch value function `value_fn`."""
    edgeless = morvend.CausalDAG.from_json(json.dumps({"nodes": dag.nodes(), "edges": []}))
    asv = morvend.ASVExplainer(dag).explain_within(value_fn_batch=value_fn, max_calls=max_calls, seed=seed)
    shapley = morvend.ASVExplainer(edgeless).explain_within(
        value_fn_batch=value_fn, max_calls=max_calls, seed=seed)
    return dict(asv["values"]), dict(shapley["values"])


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    try:
        plt = importlib.import_module("matplotlib.pyplot")
    except ImportError:
        raise ImportError("morvend_tools.plots needs matplotlib: pip install matplotlib") from None
    return plt.subplots(figsize=(7, 4))[1]


def plot_row(asv: Mapping[str, float], shapley: Mapping[str, float] | None = None, *,
             top: int = 15, ax: Any = None) -> Any:
    """One row's ASV as horizontal bars, largest |ASV| on top, with the Shapley values
    beside them when given (see asv_and_shapley)."""
    ax = _axes(ax)
    names = sorted(asv, key=lambda n: -abs(asv[n]))[:top][::-1]
    y = np.arange(len(names))
    height = 0.4 if shapley is not None else 0.8
    ax.barh(y + (height / 2 if shapley is not None else 0), [asv[n] for n in names], height, label="ASV")
    if shapley is not None:
        ax.barh(y - height / 2, [shapley[n] for n in names], height, label="Shapley", alpha=0.6)
        ax.legend(loc="lower right")
    ax.set_yticks(y, names)
    ax.axvline(0, color="black", linewidth=0.8)
    ax.set_xlabel("contribution to the prediction")
    return ax


def plot_importance(rows: RowExplanations, *, top: int = 15, ax: Any = None) -> Any:
    """Mean |ASV| per variable over the rows, largest on top."""
    ax = _axes(ax)
    importance = list(rows.mean_abs().items())[:top][::-1]
    ax.barh([n for n, _ in importance], [m for _, m in importance])
    ax.set_xlabel("mean |ASV| over rows")
    return ax


def plot_beeswarm(rows: RowExplanations, features: Any = None, *, top: int = 15, seed: int = 0,
                  ax: Any = None) -> Any:
    """Each row's ASV per variable as a dot, variables by mean |ASV|, dots jittered
    vertically; coloured by the variable's value in that row when `features` (the
    explained rows, columns in the order of rows.names) is given."""
    ax = _axes(ax)
    names = list(rows.mean_abs())[:top][::-1]
    rng = np.random.default_rng(seed)
    values = np.asarray(features, dtype=float) if features is not None else None
    for i, name in enumerate(names):
        j = rows.names.index(name)
        jitter = i + rng.uniform(-0.3, 0.3, len(rows.values))
        if values is None:
            ax.scatter(rows.values[:, j], jitter, s=8)
        else:
            column = values[:, j]
            span = np.ptp(column) or 1.0
            ax.scatter(rows.values[:, j], jitter, s=8, c=(column - column.min()) / span, cmap="coolwarm")
    ax.set_yticks(range(len(names)), names)
    ax.axvline(0, color="black", linewidth=0.8)
    ax.set_xlabel("ASV (colour: the variable's value, low to high)" if values is not None else "ASV")
    return ax


def plot_graph(dag: morvend.CausalDAG, importance: Mapping[str, float], *, ax: Any = None) -> Any:
    """The DAG by topological layers (left to right), each node coloured by its
    importance (for example RowExplanations.mean_abs())."""
    ax = _axes(ax)
    where: dict[str, tuple[float, float]] = {}
    for x, layer in enumerate(dag.topological_layers()):
        for k, name in enumerate(layer):
            where[name] = (float(x), k - (len(layer) - 1) / 2)
    for a, b in dag.edges():
        (xa, ya), (xb, yb) = where[a], where[b]
        ax.annotate("", (xb, yb), (xa, ya),
                    arrowprops={"arrowstyle": "->", "color": "grey", "shrinkA": 12, "shrinkB": 12})
    names = list(where)
    top = max([abs(importance.get(n, 0.0)) for n in names] + [1e-300])
    dots = ax.scatter([where[n][0] for n in names], [where[n][1] for n in names], s=600,
                      c=[abs(importance.get(n, 0.0)) / top for n in names], cmap="Reds",
                      vmin=0, vmax=1, edgecolors="black", zorder=2)
    for n in names:
        ax.annotate(n, where[n], ha="center", va="center", fontsize=7, zorder=3)
    ax.figure.colorbar(dots, ax=ax, label="importance (share of the largest)")
    ax.set_axis_off()
    return ax
