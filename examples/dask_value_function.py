"""One expensive value function on a Dask cluster.

When one value is a large model's mean prediction over a large background set,
a single explanation can take hours in one process. The batch methods
(`explain_quality_batch`, `explain_adaptive_batch`, and `explain_within` given
`value_fn_batch`) hand their value function every new coalition of a batch at
once; `DaskValueFunction` is such a `value_fn_batch`: it cuts each batch into
chunks, evaluates the chunks on the workers of a Dask cluster, where the model
and its background data live (sent once, as a task that unpickles them, which
Dask runs again if the workers holding them are lost), and gathers the values
in the batch's order. With a seed the results are those of one process, to the
bit.

Run:
  python examples/dask_value_function.py                 # 2 local worker processes
  python examples/dask_value_function.py --scheduler tcp://10.0.0.5:8786
  python examples/dask_value_function.py --no-dask       # one process, no Dask
  python examples/dask_value_function.py --background 20000 --chunk-size 20

Without arguments it starts a LocalCluster of two worker processes when
`distributed` is installed (pip install 'morvend[dask]'), and runs in this
process without Dask when it is not. Each batch shows a progress bar when
stdout is a terminal.
"""

import argparse
import functools
import importlib.util
import pickle
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import numpy.typing as npt

import morvend

if TYPE_CHECKING:
    from distributed import Client, Future

Array = npt.NDArray[np.float64]
SEED = 1
# The budget of explain_within: distinct coalitions evaluated at most.
CALLS = 2000
BLOCK_ROWS = 128  # background rows evaluated at once


# --- the helper: a value_fn_batch that runs on the cluster ----------------------------


class SupportsValue(Protocol):
    def value(self, coalition: list[str]) -> float: ...


def recoverable(client: "Client", obj: object) -> "Future[Any]":
    """`obj` on the workers as the result of a task that unpickles it.

    Not scattered data: that is gone for good once every worker holding it is
    lost, and every later task that needs it is cancelled. A task's result is
    computed again on a surviving or restarted worker instead, so a run goes on
    after losing workers, and a task that keeps killing its workers ends in
    Dask's KilledWorker. The scheduler keeps the pickled bytes to do so.
    """
    import cloudpickle  # comes with distributed; pickles classes of __main__ by value

    blob = cloudpickle.dumps(obj)
    with warnings.catch_warnings():
        # The warning asks to send large data once and name it by key after,
        # which is what this does.
        warnings.filterwarnings("ignore", message="Sending large graph")
        future: "Future[Any]" = client.submit(pickle.loads, blob)
    return future


def evaluate(coalitions: list[list[str]], model: SupportsValue) -> list[float]:
    """The values of a chunk of coalitions, in order; a Dask task runs this on a worker."""
    return [float(model.value(c)) for c in coalitions]


class DaskValueFunction:
    """A `value_fn_batch` that evaluates each batch on the workers of `client`.

    `model` is any picklable object with `value(coalition) -> float`; it goes to
    the cluster once, when this object is made, is loaded again on another
    worker if the workers holding it are lost, and is sent again after
    `client.restart()`. A call cuts its batch into tasks of at most `chunk_size`
    coalitions (choose it so a task takes a tenth of a second or more: each task
    costs a few milliseconds of overhead), and a small batch into one task per
    worker thread, so that no worker idles; it returns the values in the batch's
    order. If a task fails, or the call is interrupted, the batch's other tasks
    are cancelled and the error propagates.
    """

    def __init__(self, client: "Client", model: SupportsValue, chunk_size: int = 32, progress: bool = False):
        if chunk_size < 1:
            raise ValueError(f"chunk_size must be at least 1, not {chunk_size}")
        self._client = client
        self._model_object = model
        self._model = recoverable(client, model)
        self._chunk_size = chunk_size
        # Counted once: asking the scheduler at every batch costs a round trip.
        self._threads = max(1, sum(client.nthreads().values()))
        self._progress = progress
        self.evaluated = 0  # coalitions evaluated so far

    def __call__(self, coalitions: list[list[str]]) -> list[float]:
        from distributed import progress as progress_bar

        if self._model.cancelled():
            # client.restart() forgets every task, the model's too.
            self._model = recoverable(self._client, self._model_object)
        size = min(self._chunk_size, max(1, -(-len(coalitions) // self._threads)))
        chunks = [coalitions[i : i + size] for i in range(0, len(coalitions), size)]
        futures = self._client.map(evaluate, chunks, model=self._model)
        try:
            if self._progress:
                progress_bar(futures)
            parts: list[list[float]] = self._client.gather(futures)
        except BaseException:
            self._client.cancel(futures)
            raise
        self.evaluated += len(coalitions)
        return [v for part in parts for v in part]


# --- an expensive model: a network averaged over a background set ---------------------


def make_dag(n_variables: int, seed: int = 0) -> morvend.CausalDAG:
    """A sparse random causal DAG over x00, x01, ...: each variable after the first
    has one earlier parent, some a second."""
    rng = np.random.default_rng(seed)
    names = [f"x{i:02d}" for i in range(n_variables)]
    edges = []
    for j in range(1, n_variables):
        edges.append((names[int(rng.integers(0, j))], names[j]))
        if j >= 3 and rng.random() < 0.3:
            edges.append((names[int(rng.integers(0, j))], names[j]))
    return morvend.CausalDAG.from_edges(list(dict.fromkeys(edges)))


@dataclass(frozen=True)
class NetworkModel:
    """Stands in for a large trained model: a one-hidden-layer network with fixed
    weights, explained at one instance against a background set."""

    columns: dict[str, int]
    weights: Array  # hidden units x variables
    bias: Array
    output: Array
    background: Array  # rows x variables
    instance: Array

    def predict(self, x: Array) -> Array:
        # einsum without optimize= does not call BLAS, so the values are the
        # same bits in every process, whatever BLAS threads each one uses.
        hidden = np.tanh(np.einsum("nj,kj->nk", x, self.weights) + self.bias)
        out: Array = np.einsum("nk,k->n", hidden, self.output)
        return out

    def value(self, coalition: list[str]) -> float:
        """Mean prediction over the background with the coalition set to the instance's values."""
        cols = [self.columns[name] for name in coalition]
        total = 0.0
        # In blocks: small temporaries stay in the cache and in malloc's heap,
        # instead of being mapped and unmapped, page by page, at every call.
        for start in range(0, len(self.background), BLOCK_ROWS):
            x = self.background[start : start + BLOCK_ROWS].copy()
            x[:, cols] = self.instance[cols]
            total += float(self.predict(x).sum())
        return total / len(self.background)


def make_model(names: list[str], n_background: int, n_hidden: int = 32, seed: int = 0) -> NetworkModel:
    rng = np.random.default_rng(seed)
    d = len(names)
    return NetworkModel(
        columns={name: j for j, name in enumerate(names)},
        weights=rng.normal(0, 1 / np.sqrt(d), (n_hidden, d)),
        bias=rng.normal(0, 0.5, n_hidden),
        output=rng.normal(0, 1, n_hidden),
        background=rng.normal(0, 1, (n_background, d)),
        instance=rng.normal(0, 1.5, d),
    )


BatchValueFn = Callable[[list[list[str]]], Sequence[float]]


Results = tuple[dict[str, Any], dict[str, Any], dict[str, Any]]


def explain_all(explainer: morvend.ASVExplainer, value_fn_batch: BatchValueFn) -> Results:
    """The batch methods, seeded: uniform orderings, importance sampling, and the
    best values within a budget of calls (exact when the order ideals fit it)."""
    quality = explainer.explain_quality_batch(value_fn_batch, seed=SEED, ci=0.95)
    adaptive = explainer.explain_adaptive_batch(value_fn_batch, seed=SEED)
    within = explainer.explain_within(value_fn_batch=value_fn_batch, max_calls=CALLS, seed=SEED)
    return quality, adaptive, within


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    where.add_argument("--no-dask", action="store_true", help="run in this process, without Dask")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (2)")
    parser.add_argument("--variables", type=int, default=14, help="variables of the causal DAG (14)")
    parser.add_argument("--background", type=int, default=200, help="background rows per value (200)")
    parser.add_argument("--chunk-size", type=int, default=32, help="coalitions in one Dask task (32)")
    args = parser.parse_args()
    have_dask = importlib.util.find_spec("distributed") is not None
    if args.scheduler and not have_dask:
        parser.error("--scheduler needs distributed: pip install 'morvend[dask]'")
    if min(args.workers, args.background, args.chunk_size) < 1 or args.variables < 2:
        parser.error("--workers, --background and --chunk-size must be at least 1, --variables at least 2")

    dag = make_dag(args.variables)
    model = make_model(dag.nodes(), args.background)
    explainer = morvend.ASVExplainer(dag)

    def run(value_fn_batch: BatchValueFn) -> Results:
        start = time.perf_counter()
        results = explain_all(explainer, value_fn_batch)
        print(f"three methods in {time.perf_counter() - start:.1f} s\n")
        return results

    if args.no_dask or not have_dask:
        print("in this process, without Dask")
        quality, adaptive, within = run(functools.partial(evaluate, model=model))
    else:
        from distributed import Client, LocalCluster

        def run_on(client: "Client") -> Results:
            value_fn_batch = DaskValueFunction(client, model, args.chunk_size, progress=sys.stdout.isatty())
            results = run(value_fn_batch)
            print(f"{value_fn_batch.evaluated} coalitions evaluated on the workers")
            return results

        if args.scheduler:
            with Client(args.scheduler) as client:
                print(f"on the cluster at {args.scheduler}")
                quality, adaptive, within = run_on(client)
        else:
            with (
                LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None) as cluster,
                Client(cluster) as client,
            ):
                print(f"on a local cluster of {args.workers} worker processes")
                quality, adaptive, within = run_on(client)

    print(f"explain_quality_batch ({quality['selected_method']}, {quality['n_samples']} orderings)")
    print(f"explain_adaptive_batch ({adaptive['method']}, {adaptive['n_samples']} orderings)")
    print(f"explain_within ({within['method']}, {within['calls']} calls of at most {CALLS})\n")
    print(f"{'variable':<9} {'quality':>9} {'95% CI':>19} {'adaptive':>9} {'stderr':>8} {'within':>9}")
    for name in dag.nodes():
        q, a, w = quality, adaptive, within
        ci = f"[{q['ci_low'][name]:.3f}, {q['ci_high'][name]:.3f}]"
        print(
            f"{name:<9} {q['values'][name]:>9.3f} {ci:>19} {a['values'][name]:>9.3f} {a['stderr'][name]:>8.3f}"
            f" {w['values'][name]:>9.3f}"
        )
    total = sum(quality["values"].values())
    print(f"\nsum of the values {total:.3f} = v(all) - v(none) = {model.value(dag.nodes()) - model.value([]):.3f}")


if __name__ == "__main__":
    main()
