"""Wall time of the two Dask recipes (docs/scaling.md) on one process and on a
local cluster of two worker processes, and the cluster's overhead per task.

(a) Many explanations: examples/dask_many_rows.py's explain_table on 200 rows,
    its background sized so that one explanation costs about 50 ms.
(b) One expensive value function: examples/dask_value_function.py's
    DaskValueFunction under explain_quality_batch (seeded), its background
    sized so that one coalition costs about 5 ms of numpy work; (c) the same
    under explain_within, whose coalitions are all known before the first call
    and go out in batches of up to 4096.

The sizes are fixed, not calibrated, so that every run does the same work (the
seeded run's length depends on the values); the header gives what one item
cost here. Each is run once, the same seed and data on both sides; the results
must be equal to the bit. The overhead per task is the wall time of trivial
tasks: mapped at once (throughput) and one after the other (round trip).

Run: .venv/bin/pip install '.[bench]' && .venv/bin/python bench/scaling.py
"""

import functools
import os
import statistics
import sys
import time

import morvend
from common import REPO, machine_header, table

# The worker processes are spawned with this sys.path and import the examples too.
sys.path.insert(0, str(REPO / "examples"))
import dask_many_rows as many_rows  # noqa: E402
import dask_value_function as value_function  # noqa: E402

ROWS = 200
ROW_BACKGROUND = 120000  # about 50 ms an explanation here, on a quiet machine
ROWS_PER_TASK = 5
VARIABLES = 18
NET_BACKGROUND = 12000  # about 5 ms a coalition here, on a quiet machine
CHUNK_SIZE = 20
WITHIN_CALLS = 4000
TRIVIAL_TASKS = 2000
ROUND_TRIPS = 200


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def cost_ms(fn, repeat=5):
    return statistics.median(timed(fn)[0] for _ in range(repeat)) * 1e3


def _noop(x):
    return x


def overhead(client):
    """Seconds per trivial task: mapped at once, then one after the other."""
    client.gather(client.map(_noop, range(100), pure=False))  # warm up
    mapped, _ = timed(lambda: client.gather(client.map(_noop, range(TRIVIAL_TASKS), pure=False)))
    one_by_one, _ = timed(lambda: [client.submit(_noop, i, pure=False).result() for i in range(ROUND_TRIPS)])
    return mapped / TRIVIAL_TASKS, one_by_one / ROUND_TRIPS


def main():
    from distributed import Client, LocalCluster

    dag = morvend.CausalDAG.from_edges(many_rows.EDGES)
    explainer = morvend.ASVExplainer(dag)
    rows = many_rows.sample_rows(ROWS)
    row_model = many_rows.fit_model(ROW_BACKGROUND)
    explanation_ms = cost_ms(lambda: explainer.explain(functools.partial(row_model.value, rows[0])))

    big_dag = value_function.make_dag(VARIABLES)
    big_explainer = morvend.ASVExplainer(big_dag)
    names = big_dag.nodes()
    net = value_function.make_model(names, NET_BACKGROUND)
    coalition_ms = cost_ms(lambda: net.value(names[: len(names) // 2]))

    machine_header(
        "scaling.py",
        f"(a) {ROWS} rows, {len(dag.nodes())} variables, background {ROW_BACKGROUND} "
        f"({explanation_ms:.0f} ms an explanation), {ROWS_PER_TASK} rows a task; "
        f"(b) {VARIABLES} variables, background {NET_BACKGROUND} ({coalition_ms:.1f} ms a coalition), "
        f"at most {CHUNK_SIZE} coalitions a task",
    )

    # The machine is shared: what else ran shows in the load.
    print("- load average before: {:.2f} {:.2f} {:.2f}\n".format(*os.getloadavg()))
    print("one process ...", file=sys.stderr)
    a_local_s, a_local = timed(lambda: many_rows.explain_table(rows, explainer, row_model))
    asked = []
    batches = 0

    def local_batch(batch):
        nonlocal batches
        batches += 1
        asked.extend(batch)
        return value_function.evaluate(batch, net)

    b_local_s, b_local = timed(lambda: big_explainer.explain_quality_batch(local_batch, seed=1))
    c_local_s, c_local = timed(
        lambda: big_explainer.explain_within(
            value_fn_batch=functools.partial(value_function.evaluate, model=net), max_calls=WITHIN_CALLS, seed=1
        )
    )

    print("local cluster ...", file=sys.stderr)
    start_s = time.perf_counter()
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        start_s = time.perf_counter() - start_s
        per_task_mapped, per_task_round_trip = overhead(client)
        a_dask_s, a_dask = timed(
            lambda: many_rows.explain_table(rows, explainer, row_model, client, rows_per_task=ROWS_PER_TASK)
        )
        helper = value_function.DaskValueFunction(client, net, chunk_size=CHUNK_SIZE)
        b_dask_s, b_dask = timed(lambda: big_explainer.explain_quality_batch(helper, seed=1))
        c_dask_s, c_dask = timed(
            lambda: big_explainer.explain_within(value_fn_batch=helper, max_calls=WITHIN_CALLS, seed=1)
        )

    assert a_dask == a_local, "(a): the cluster's explanations differ from one process's"
    assert b_dask == b_local, "(b): the cluster's explanation differs from one process's"
    assert c_dask == c_local, "(c): the cluster's explanation differs from one process's"

    table(
        ["workload", "items", "1 process s", "2-worker LocalCluster s", "speed-up"],
        [
            (f"(a) {ROWS} explanations", f"{ROWS // ROWS_PER_TASK} tasks", a_local_s, a_dask_s, a_local_s / a_dask_s),
            (
                "(b) one explanation, ~5 ms a coalition",
                f"{len(asked)} coalitions, {b_local['n_samples']} orderings in {batches} batches",
                b_local_s,
                b_dask_s,
                b_local_s / b_dask_s,
            ),
            (
                "(c) the same, explain_within",
                f"{c_local['calls']} coalitions ({c_local['method']}), at most {WITHIN_CALLS}",
                c_local_s,
                c_dask_s,
                c_local_s / c_dask_s,
            ),
        ],
    )
    print("- load average after: {:.2f} {:.2f} {:.2f}\n".format(*os.getloadavg()))
    table(
        ["overhead on the 2-worker LocalCluster", "ms"],
        [
            (f"per trivial task, {TRIVIAL_TASKS} mapped at once", per_task_mapped * 1e3),
            (f"per trivial task, {ROUND_TRIPS} one after the other (round trip)", per_task_round_trip * 1e3),
            ("starting the cluster", start_s * 1e3),
        ],
    )


if __name__ == "__main__":
    main()
