"""Graph builders shared by the test files. Importable as `helpers`: pytest puts
this directory (it has no __init__.py) on sys.path, as it does for conftest.

`digits` zero-pads the number in every generated name (x07 for 2), so each test
keeps the names, hence the id order and seeded results, it has always had."""

import random

import pytest

import morvend


def dag_from(names, edges):
    """A DAG whose nodes are exactly `names`, in that id order, isolated ones included."""
    dag = morvend.CausalDAG()
    for name in names:
        # A refused self-loop still creates its node: the one way to add an
        # isolated node without going through JSON.
        with pytest.raises(ValueError, match="self-loop"):
            dag.add_edge(name, name)
    for a, b in edges:
        dag.add_edge(a, b)
    return dag


def isolated(n, digits=0, prefix="x", edges=()):
    """n nodes x0 .. x{n-1} in that id order; no edges but `edges`, pairs of indices."""
    names = [f"{prefix}{i:0{digits}d}" for i in range(n)]
    return dag_from(names, [(names[a], names[b]) for a, b in edges])


def chain(n, digits=0, extra=()):
    """The chain c0 -> c1 -> ... -> c{n-1}, plus the `extra` edges, pairs of indices."""
    names = [f"c{i:0{digits}d}" for i in range(n)]
    return morvend.CausalDAG.from_edges(list(zip(names, names[1:])) + [(names[a], names[b]) for a, b in extra])


def star(leaves, digits=0):
    """root -> leaf0, ..., root -> leaf{leaves-1}."""
    return morvend.CausalDAG.from_edges([("root", f"leaf{i:0{digits}d}") for i in range(leaves)])


def random_dag(n, p, seed, prefix="v", digits=0):
    """A random DAG over prefix0 .. prefix{n-1} (ids in that order), each edge
    forward with probability p, drawn pair by pair; isolated nodes kept."""
    rng = random.Random(seed)
    names = [f"{prefix}{i:0{digits}d}" for i in range(n)]
    edges = [(names[i], names[j]) for i in range(n) for j in range(i + 1, n) if rng.random() < p]
    return dag_from(names, edges)
