import pytest

import morvend


@pytest.fixture
def diamond():
    """a -> b, a -> c, b -> d, c -> d."""
    return morvend.CausalDAG.from_edges([("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")])


def raised(fn, *args, **kwargs):
    """The exception `fn` raises (BaseException included); fails if none."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - the tests inspect it
        return exc
    pytest.fail(f"{fn!r} raised nothing")


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


def random_dag(n, p, seed, prefix="v"):
    """A random DAG over prefix0 .. prefix{n-1} (ids in that order)."""
    import random

    rng = random.Random(seed)
    names = [f"{prefix}{i}" for i in range(n)]
    edges = [(names[i], names[j]) for i in range(n) for j in range(i + 1, n) if rng.random() < p]
    return dag_from(names, edges)


class Game:
    """A value function with a fixed pseudo-random value per coalition (a
    stable hash of its members, the same in every process and whatever the
    call order); records its calls."""

    def __init__(self, seed=0):
        self._seed = seed
        self.calls = []

    def value(self, coalition):
        import hashlib

        text = f"{self._seed}|" + "\x00".join(sorted(coalition))
        digest = hashlib.blake2b(text.encode(), digest_size=8).digest()
        return int.from_bytes(digest, "little") / 2.0**63 - 1.0

    def __call__(self, coalition):
        self.calls.append(list(coalition))
        return self.value(coalition)


def brute_force_asv(dag, v):
    """ASV by its definition: every permutation that respects the edges."""
    import itertools

    nodes = dag.nodes()
    edges = dag.edges()
    total = {x: 0.0 for x in nodes}
    count = 0
    for perm in itertools.permutations(nodes):
        pos = {x: i for i, x in enumerate(perm)}
        if any(pos[a] > pos[b] for a, b in edges):
            continue
        count += 1
        prefix = []
        for x in perm:
            before = v(sorted(prefix, key=nodes.index))
            prefix.append(x)
            total[x] += v(sorted(prefix, key=nodes.index)) - before
    return {x: s / count for x, s in total.items()}


def order_ideals(dag):
    """Every order ideal as a frozenset, by brute force."""
    import itertools

    nodes = dag.nodes()
    parents = {x: {a for a, b in dag.edges() if b == x} for x in nodes}
    out = set()
    for r in range(len(nodes) + 1):
        for combo in itertools.combinations(nodes, r):
            s = set(combo)
            if all(parents[x] <= s for x in s):
                out.add(frozenset(s))
    return out
