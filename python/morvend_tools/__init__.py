"""Pure-Python companions of the morvend module.

`morvend_tools.graphs` brings causal graphs in from networkx, pgmpy,
node-link JSON and Graphviz DOT with every node kept, back out to networkx,
and projects a DAG onto its observed variables. Needs only morvend; networkx
is imported by the functions that hand graphs to it.
"""

from morvend_tools.graphs import (
    dag_from_dot,
    dag_from_dot_file,
    dag_from_networkx,
    dag_from_node_link,
    dag_from_pgmpy,
    dag_to_networkx,
    latent_projection,
    node_name,
)

__all__ = [
    "dag_from_dot",
    "dag_from_dot_file",
    "dag_from_networkx",
    "dag_from_node_link",
    "dag_from_pgmpy",
    "dag_to_networkx",
    "latent_projection",
    "node_name",
]
