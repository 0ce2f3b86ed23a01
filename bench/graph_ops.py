"""Graph operations of CausalDAG and CausalCPDAG against baselines on random sparse DAGs.

Baselines run in the same process, each producing the result morvend gives (names, in
the same order) where the operation returns names:
- rustworkx, with a Python dict from name to index (rustworkx has no name index):
  built from the pairs through dict.fromkeys, topological_generations, ancestors,
  is_directed_acyclic_graph, node-link JSON, to_dot, subgraph;
- python-igraph: Graph.TupleList (which keeps a name index of its own), subcomponent,
  is_dag, induced_subgraph; it has no layering, JSON or DOT text to compare;
- networkx where it has the operation (node-link JSON through the standard json module,
  DiGraph.subgraph(...).copy(), a d-convex hull search written with networkx's
  ancestors, moral_graph and shortest_path), plain Python for the DOT text.
consistent_extension has no counterpart in any of them.

Run: .venv/bin/python bench/graph_ops.py   (the bench extra: networkx, rustworkx, python-igraph)
"""

import json
import os
import random
from itertools import chain

import igraph as ig
import networkx as nx
import rustworkx as rx

import morvend
from common import machine_header, median_time, table

SIZES = [int(s) for s in os.environ.get("GRAPH_OPS_SIZES", "10000,100000,1000000").split(",")]


def random_sparse_edges(n, seed):
    """A chain through all nodes plus about n random forward edges."""
    rng = random.Random(seed)
    names = [f"v{i}" for i in range(n)]
    edges = dict.fromkeys((names[i - 1], names[i]) for i in range(1, n))
    for _ in range(n):
        i = rng.randrange(n - 1)
        edges[(names[i], names[rng.randrange(i + 1, n)])] = None
    return names, list(edges)


def rx_from_edges(edges):
    index = {name: i for i, name in enumerate(dict.fromkeys(chain.from_iterable(edges)))}
    g = rx.PyDiGraph()
    g.add_nodes_from(list(index))
    g.add_edges_from_no_data([(index[a], index[b]) for a, b in edges])
    return g, index


def rx_layers(g):
    labels = g.nodes()
    return [sorted(labels[i] for i in layer) for layer in rx.topological_generations(g)]


def rx_ancestors(g, index, name):
    labels = g.nodes()
    return sorted(labels[i] for i in rx.ancestors(g, index[name]))


def ig_ancestors(g, index, name):
    v = index[name]
    labels = g.vs["name"]
    return sorted(labels[i] for i in g.subcomponent(v, mode="in") if i != v)


def nx_layers(g):
    return [sorted(layer) for layer in nx.topological_generations(g)]


def nx_to_json(g):
    return json.dumps(nx.node_link_data(g, edges="edges"))


def nx_from_json(text):
    return nx.node_link_graph(json.loads(text), edges="edges")


def py_to_dot(g):
    return "digraph {\n" + "".join(f"  {u} -> {v};\n" for u, v in g.edges()) + "}"


def nx_d_convex_hull(g, w):
    """The d-convex hull with networkx: for every non-adjacent pair of border nodes, a
    shortest path through marginalised nodes in the moral graph of their ancestors."""
    order = list(dict.fromkeys(w))
    members = set(order)
    while True:
        outside = lambda v: v not in members  # noqa: E731
        border = [
            x
            for x in order
            if any(map(outside, g.predecessors(x)))
            or any(map(outside, g.successors(x)))
            or any(outside(p) for c in g.successors(x) for p in g.predecessors(c))
        ]
        additions = []
        for i, a in enumerate(border):
            for b in border[i + 1 :]:
                if g.has_edge(a, b) or g.has_edge(b, a):
                    continue
                ancestral = nx.ancestors(g, a) | nx.ancestors(g, b) | {a, b}
                moral = nx.moral_graph(g.subgraph(ancestral))
                allowed = moral.subgraph(v for v in moral if v in (a, b) or outside(v))
                try:
                    additions += nx.shortest_path(allowed, a, b)
                except nx.NetworkXNoPath:
                    pass
        new = [v for v in dict.fromkeys(additions) if v not in members]
        if not new:
            return sorted(order)
        order += new
        members.update(new)


def cpdag_edges(g):
    """Directed edges into v-structures, every other edge undirected: the DAG itself is
    a consistent extension, so one always exists."""
    directed, undirected = [], []
    for c in g.nodes:
        parents = list(g.predecessors(c))
        for p in parents:
            in_v = any(q != p and not g.has_edge(p, q) and not g.has_edge(q, p) for q in parents)
            (directed if in_v else undirected).append((p, c))
    return directed, undirected


def main():
    machine_header("Graph operations: morvend vs baselines", f"n = {SIZES}, about 2n edges")
    rows = []
    for n in SIZES:
        names, edges = random_sparse_edges(n, seed=n)
        last = names[-1]
        dag = morvend.CausalDAG.from_edges(edges)
        g = nx.DiGraph(edges)
        rg, rindex = rx_from_edges(edges)
        ig_g = ig.Graph.TupleList(edges, directed=True)
        iindex = {name: i for i, name in enumerate(ig_g.vs["name"])}
        text = dag.to_json()
        nx_text = nx_to_json(g)
        rx_text = rx.node_link_json(rg, node_attrs=lambda name: {"name": name})
        hull_set = ["v100", "v105", "v110", "v120"]  # a few nodes with few ancestors
        keep = names[::2]
        directed, undirected = cpdag_edges(g)
        cpdag = morvend.CausalCPDAG.from_edges(directed, undirected)
        repeat = 3 if n >= 1_000_000 else 5
        # (operation, morvend, rustworkx, igraph, networkx or plain Python)
        cases = [
            (
                "from_edges",
                lambda: morvend.CausalDAG.from_edges(edges),
                lambda: rx_from_edges(edges),
                lambda: ig.Graph.TupleList(edges, directed=True),
                lambda: nx.DiGraph(edges),
            ),
            ("topological_layers", dag.topological_layers, lambda: rx_layers(rg), None, lambda: nx_layers(g)),
            (
                "ancestors(last)",
                lambda: dag.ancestors(last),
                lambda: rx_ancestors(rg, rindex, last),
                lambda: ig_ancestors(ig_g, iindex, last),
                lambda: sorted(nx.ancestors(g, last)),
            ),
            (
                "validate",
                dag.validate,
                lambda: rx.is_directed_acyclic_graph(rg),
                ig_g.is_dag,
                lambda: nx.is_directed_acyclic_graph(g),
            ),
            (
                "to_json",
                dag.to_json,
                lambda: rx.node_link_json(rg, node_attrs=lambda name: {"name": name}),
                None,
                lambda: nx_to_json(g),
            ),
            (
                "from_json",
                lambda: morvend.CausalDAG.from_json(text),
                lambda: rx.parse_node_link_json(rx_text),
                None,
                lambda: nx_from_json(nx_text),
            ),
            ("to_dot", dag.to_dot, lambda: rg.to_dot(node_attr=lambda name: {"label": name}), None, lambda: py_to_dot(g)),
            ("d_convex_hull(4 nodes)", lambda: dag.d_convex_hull(hull_set), None, None, lambda: nx_d_convex_hull(g, hull_set)),
            (
                "induced_subgraph(n/2)",
                lambda: dag.induced_subgraph(keep),
                lambda: rg.subgraph([rindex[x] for x in keep]),
                lambda: ig_g.induced_subgraph([iindex[x] for x in keep]),
                lambda: g.subgraph(keep).copy(),
            ),
            ("consistent_extension", cpdag.consistent_extension, None, None, None),
        ]
        assert dag.topological_layers() == nx_layers(g) == rx_layers(rg)
        assert dag.ancestors(last) == rx_ancestors(rg, rindex, last) == ig_ancestors(ig_g, iindex, last)
        assert dag.to_dot() == py_to_dot(g)
        assert dag.d_convex_hull(hull_set) == nx_d_convex_hull(g, hull_set)
        assert set(dag.induced_subgraph(keep).edges()) == set(g.subgraph(keep).edges())
        assert morvend.CausalDAG.from_json(text).edges() == dag.edges()
        for name, ours, *baselines in cases:
            t_ours = median_time(ours, repeat)
            row = [name, n, t_ours * 1e3]
            for theirs in baselines:
                if theirs is None:
                    row += ["—", "—"]
                    continue
                t_theirs = median_time(theirs, repeat)
                row += [t_theirs * 1e3, t_theirs / t_ours]
            rows.append(tuple(row))
    table(
        ["operation", "n", "morvend ms", "rustworkx ms", "× rx", "igraph ms", "× igraph",
         "networkx (python) ms", "× nx"],
        rows,
    )  # fmt: skip


if __name__ == "__main__":
    main()
