import os

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


# Under ASan (scripts/test_python_sanitized.sh) everything runs several times
# slower; the longest wait for KeyboardInterrupt after SIGINT scales with it.
INTERRUPT_LATENCY = 0.2 * (5.0 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1.0)

# The signal comes from another process: graph methods hold the GIL while they
# run, so a timer thread here would not get to send it until they return. The
# sender prints the time.monotonic() at which it signals (the clock is shared
# between processes).
_SIGINT_SENDER = (
    "import os, signal, sys, time\n"
    "time.sleep(max(0.0, float(sys.argv[2]) - time.monotonic()))\n"
    "print(repr(time.monotonic()), flush=True)\n"
    "os.kill(int(sys.argv[1]), signal.SIGINT)\n"
)


def interrupt_latency(call, *args, delay=1.0, handler=None, expect=KeyboardInterrupt):
    """Runs call(*args) while SIGINT arrives `delay` s in, with `handler` as the
    Python handler (Python's default one when None). Returns the exception
    raised (which must be an `expect`) and the seconds from the signal to it;
    fails if the call returns first."""
    import signal
    import subprocess
    import sys
    import time

    previous = signal.signal(signal.SIGINT, handler or signal.default_int_handler)
    try:
        deadline = time.monotonic() + delay
        sender = subprocess.Popen(
            [sys.executable, "-c", _SIGINT_SENDER, str(os.getpid()), repr(deadline)],
            stdout=subprocess.PIPE,
            text=True,
        )
        raised_exc = None
        try:
            call(*args)
        except expect as exc:
            caught = time.monotonic()
            raised_exc = exc
        finally:
            # The call may have ended first: no stray signal may reach the
            # rest of the session, even one sent just before the kill.
            if raised_exc is None:
                sender.kill()
            while True:
                try:
                    sent = sender.communicate()[0]
                    break
                except (KeyboardInterrupt, expect):
                    continue
        if raised_exc is None:
            pytest.fail(f"{call!r} returned before the signal")
        return raised_exc, caught - float(sent)
    finally:
        signal.signal(signal.SIGINT, previous)
