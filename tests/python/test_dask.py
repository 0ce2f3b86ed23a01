"""The Dask recipes of docs/scaling.md (examples/dask_many_rows.py and
examples/dask_value_function.py) on a local cluster of two worker processes:
their results are those of one process, to the bit.

Skipped where distributed is not installed (the wheel and sanitizer runs);
with MORVEND_REQUIRE_DASK=1 (scripts/test.sh) a missing distributed fails the
run instead."""

import functools
import importlib
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import morvend

pytestmark = pytest.mark.dask

if os.environ.get("MORVEND_REQUIRE_DASK") == "1":
    import distributed
else:
    distributed = pytest.importorskip("distributed")
import dask  # comes with distributed

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
# The recipes are tested as the examples write them. The worker processes are
# spawned with this process's sys.path, so they import these modules too.
sys.path.insert(0, str(EXAMPLES))
many_rows = importlib.import_module("dask_many_rows")
value_function = importlib.import_module("dask_value_function")


# Two worker processes with nannies, no dashboard; the scheduler's HTTP server
# (always started) on a free port, as two clusters run at once.
CLUSTER = dict(
    n_workers=2,
    threads_per_worker=1,
    processes=True,
    dashboard_address=None,
    scheduler_kwargs={"dashboard_address": ":0"},
)


@pytest.fixture(scope="module")
def client():
    # The context managers stop the workers however the tests end.
    with (
        distributed.LocalCluster(**CLUSTER) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def lossy_client():
    # A cluster of its own, as the tests kill its workers. A task is given up
    # when its third worker dies (Dask's default is the fourth), which keeps
    # the runs that kill every worker short.
    with (
        dask.config.set({"distributed.scheduler.allowed-failures": 2}),
        distributed.LocalCluster(**CLUSTER) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def worker_pids(client, gone=()):
    """The pids of the cluster's two workers, once none of `gone` is among
    them (the nannies restart the workers that die)."""
    deadline = time.monotonic() + 60
    while True:
        pids = client.run_on_scheduler(lambda dask_scheduler: {ws.pid for ws in dask_scheduler.workers.values()})
        if len(pids) == 2 and not pids & set(gone):
            return pids
        assert time.monotonic() < deadline, "the nannies did not restart the workers"
        time.sleep(0.05)


class KillsItsWorker:
    """A model whose every value ends the worker process computing it."""

    def value(self, *args):
        os._exit(1)


def task_count(stream, prefix):
    return sum(1 for task in stream.data if task["key"].startswith(prefix))


# Catches rows explained out of order, lost in the chunking (the last chunk is
# short) or explained with an explainer or model that changed on its way to
# the workers, and a client that is ignored.
def test_many_rows_on_the_cluster_equal_one_process(client):
    model = many_rows.fit_model(n_background=300)
    explainer = morvend.ASVExplainer(morvend.CausalDAG.from_edges(many_rows.EDGES))
    rows = many_rows.sample_rows(23)
    expected = [explainer.explain(functools.partial(model.value, row)) for row in rows]

    with distributed.get_task_stream(client) as stream:
        results = many_rows.explain_table(rows, explainer, model, client, rows_per_task=4)

    assert results == expected
    assert len({tuple(asv.values()) for asv in results}) == len(rows)
    assert task_count(stream, "explain_rows") == 6
    assert many_rows.explain_table(rows, explainer, model) == expected
    assert many_rows.explain_table([], explainer, model, client) == []
    with pytest.raises(ValueError, match="rows_per_task"):
        many_rows.explain_table(rows, explainer, model, client, rows_per_task=0)


# Catches values returned out of the batch's order or lost at a chunk's edge,
# and seeded runs that differ between one process and the cluster.
def test_value_function_on_the_cluster_equals_one_process(client):
    dag = value_function.make_dag(12)
    model = value_function.make_model(dag.nodes(), n_background=64)
    explainer = morvend.ASVExplainer(dag)
    helper = value_function.DaskValueFunction(client, model, chunk_size=7)

    coalitions = [[], ["x00"], ["x00", "x03"], dag.nodes(), ["x05"]] * 3
    with distributed.get_task_stream(client) as stream:
        assert helper(coalitions) == [model.value(c) for c in coalitions]
    assert task_count(stream, "evaluate") == 3
    # A small batch still goes to both workers.
    with distributed.get_task_stream(client) as stream:
        assert helper(coalitions[:3]) == [model.value(c) for c in coalitions[:3]]
    assert task_count(stream, "evaluate") == 2
    assert helper([]) == []

    asked = []

    def local(batch):
        asked.extend(batch)
        return value_function.evaluate(batch, model)

    expected = value_function.explain_all(explainer, local)
    helper = value_function.DaskValueFunction(client, model, chunk_size=7)
    results = value_function.explain_all(explainer, helper)
    assert not expected[0]["is_exact"] and not expected[1]["is_exact"]
    assert results == expected
    assert helper.evaluated == len(asked)


# Catches a worker's exception swallowed or turned into wrong values, and a
# cluster or helper left unusable after it.
def test_worker_error_reaches_the_caller(client):
    class Failing:
        def __init__(self, bad):
            self.bad = bad

        def value(self, coalition):
            if self.bad in coalition:
                raise RuntimeError(f"model failed on {self.bad}")
            return float(len(coalition))

    dag = value_function.make_dag(10)
    explainer = morvend.ASVExplainer(dag)
    failing = value_function.DaskValueFunction(client, Failing("x04"), chunk_size=5)
    with pytest.raises(ValueError, match="value function error: RuntimeError: model failed on x04"):
        explainer.explain_quality_batch(failing, seed=3)
    with pytest.raises(ValueError, match="chunk_size"):
        value_function.DaskValueFunction(client, Failing("x04"), chunk_size=0)

    healthy = value_function.DaskValueFunction(client, Failing("none"), chunk_size=5)
    values = explainer.explain_quality_batch(healthy, seed=3)["values"]
    # v = |coalition| gives every variable a value of 1.
    assert values == {name: 1.0 for name in dag.nodes()}


# Catches examples that fail against a scheduler they did not start (the
# functions of __main__ travel by value).
@pytest.mark.parametrize("name", ["dask_many_rows", "dask_value_function"])
def test_example_runs_against_a_scheduler(client, name, tmp_path):
    address = client.scheduler.address
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / f"{name}.py"), "--scheduler", address],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert f"on the cluster at {address}" in done.stdout


# Catches a model that is lost with the workers holding it (every later batch
# then fails on data that cannot be recovered): a run whose two original
# workers are killed one after the other, the second once the first is
# replaced, still ends with the values of one process; so does a batch after
# client.restart().
def test_run_survives_the_loss_of_both_original_workers(lossy_client):
    dag = value_function.make_dag(10)
    model = value_function.make_model(dag.nodes(), n_background=64)
    explainer = morvend.ASVExplainer(dag)
    # Small batches: many round trips, so that workers die mid-run.
    run = functools.partial(explainer.explain_adaptive_batch, seed=3, batch_size=8, min_samples=8)
    expected = run(functools.partial(value_function.evaluate, model=model))

    helper = value_function.DaskValueFunction(lossy_client, model, chunk_size=5)
    originals = sorted(worker_pids(lossy_client))
    batches = 0

    def value_fn_batch(coalitions):
        nonlocal batches
        batches += 1
        if batches in (2, 4):
            # The second once the first is replaced.
            worker_pids(lossy_client, gone=originals[: batches // 4])
            # As the kernel's out-of-memory killer ends a worker.
            os.kill(originals[batches // 4], signal.SIGKILL)
        return helper(coalitions)

    assert run(value_fn_batch) == expected
    assert batches > 4
    # A restart forgets every task; the helper sends its model again.
    lossy_client.restart()
    coalitions = [[], ["x03"], dag.nodes()]
    assert helper(coalitions) == [model.value(c) for c in coalitions]


# Catches a task that keeps killing its workers reported as anything but
# Dask's KilledWorker (the misleading "cancelled ... already forgotten" of a
# lost model), or retried for ever.
@pytest.mark.parametrize("recipe", ["value function", "many rows"])
def test_task_that_kills_its_workers_ends_in_killed_worker(lossy_client, recipe):
    if recipe == "value function":
        helper = value_function.DaskValueFunction(lossy_client, KillsItsWorker())
        explainer = morvend.ASVExplainer(value_function.make_dag(6))
        with pytest.raises(ValueError, match=r"^value function error: KilledWorker: Attempted to run task 'evaluate-"):
            explainer.explain_quality_batch(helper, seed=3)
    else:
        explainer = morvend.ASVExplainer(morvend.CausalDAG.from_edges(many_rows.EDGES))
        rows = many_rows.sample_rows(4)
        with pytest.raises(distributed.KilledWorker, match=r"^Attempted to run task 'explain_rows-"):
            many_rows.explain_table(rows, explainer, KillsItsWorker(), lossy_client, rows_per_task=2)
    # Both workers back before the next test, or the cluster's shutdown.
    worker_pids(lossy_client)


# Catches rows of the companion's table explained on the workers in another
# order, or with other seeds, than in one process.
def test_explain_rows_on_the_cluster_equals_one_process(client):
    np = pytest.importorskip("numpy")
    from morvend_tools import explain_rows

    dag = morvend.CausalDAG.from_edges([("a", "b"), ("b", "c")])
    rng = np.random.default_rng(0)
    background, rows = rng.normal(size=(100, 3)), rng.normal(size=(7, 3))
    args = (dag, functools.partial(np.sum, axis=1), rows, background)
    kwargs = dict(feature_names=["a", "b", "c"], max_calls=40, seed=3)
    local = explain_rows(*args, **kwargs)
    remote = explain_rows(*args, client=client, **kwargs)
    np.testing.assert_array_equal(remote.values, local.values)
    assert remote.method == local.method
