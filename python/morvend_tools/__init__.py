"""Pure-Python companions of the morvend module.

- `morvend_tools.value_functions`: value functions built from a fitted model, the row to
  explain and background data (marginal, conditional, causal along the DAG);
- `morvend_tools.rows`: many rows explained into one table;
- `morvend_tools.plots`: charts of one row, of a table and of the graph (matplotlib);
- `morvend_tools.graphs`: causal graphs from networkx, pgmpy, node-link JSON and Graphviz
  DOT with every node kept, back out to networkx, and the projection of a DAG onto its
  observed variables.

Needs morvend and numpy; pandas, matplotlib, networkx, pgmpy and scikit-learn are
imported only by the functions that use them.
"""

from morvend_tools import graphs
from morvend_tools.graphs import *  # noqa: F403 - its __all__ is re-exported whole
from morvend_tools.plots import asv_and_shapley
from morvend_tools.rows import RowExplanations, explain_rows
from morvend_tools.value_functions import ValueFunction, causal, conditional, interventional, marginal

__all__ = [
    *graphs.__all__,
    "RowExplanations",
    "ValueFunction",
    "asv_and_shapley",
    "causal",
    "conditional",
    "explain_rows",
    "interventional",
    "marginal",
]
