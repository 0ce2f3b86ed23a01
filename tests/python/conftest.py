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
