"""Many explanations on a Dask cluster: the ASV of every row of a table.

A lender wants the causal attribution of the predicted credit score of every
applicant in a table, not of one. The explanations are independent, so the
rows are cut into chunks and the chunks mapped over the workers of a Dask
cluster. The explainer and the model with its background data go to the
cluster once, as tasks that unpickle them, which Dask runs again if the workers
holding them are lost; a task carries only its rows and brings back their
explanations, in order.

The results come back as a table (a pandas DataFrame indexed by applicant when
pandas is installed), and the mean absolute ASV of each variable is plotted to
dask_many_rows.png when matplotlib is installed.

Run:
  python examples/dask_many_rows.py                      # 2 local worker processes
  python examples/dask_many_rows.py --scheduler tcp://10.0.0.5:8786
  python examples/dask_many_rows.py --no-dask            # one process, no Dask
  python examples/dask_many_rows.py --rows 5000 --background 5000

Without arguments it starts a LocalCluster of two worker processes when
`distributed` is installed (pip install 'morvend[dask]'), and runs in this
process without Dask when it is not. A progress bar is shown when stdout is a
terminal.
"""

import argparse
import functools
import importlib.util
import pickle
import sys
import time
import warnings
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import morvend

if TYPE_CHECKING:
    from distributed import Client, Future

Array = npt.NDArray[np.float64]
BLOCK_ROWS = 1024  # background draws evaluated at once

FEATURES = ["age", "education", "income", "savings", "debt_ratio"]
EDGES = [
    ("age", "income"),
    ("education", "income"),
    ("age", "savings"),
    ("income", "savings"),
    ("income", "debt_ratio"),
]


# --- the causal model, a fitted predictor and its value function --------------------


def sample_noise(rng: np.random.Generator, n: int) -> dict[str, Array]:
    return {
        "age": rng.uniform(21, 70, n),
        "education": rng.normal(14, 2.5, n),
        "income": rng.normal(0, 8, n),
        "savings": rng.normal(0, 10, n),
        "debt_ratio": rng.normal(0, 0.08, n),
    }


def structural(noise: dict[str, Array], fixed: dict[str, float]) -> Array:
    """The variables in causal order, one column each; those in `fixed` are set, not generated."""

    def var(name: str, generated: Array) -> Array:
        return np.full_like(generated, fixed[name]) if name in fixed else generated

    age = var("age", noise["age"])
    education = var("education", noise["education"])
    income = var("income", 10 + 2.5 * education + 0.5 * (age - 21) + noise["income"])
    savings = var("savings", np.maximum(0, 0.6 * (age - 21) + 0.4 * income + noise["savings"]))
    debt_ratio = var("debt_ratio", np.clip(0.65 - 0.006 * income + noise["debt_ratio"], 0, 1))
    return np.column_stack([age, education, income, savings, debt_ratio])


def design(x: Array) -> Array:
    """The features and an income-by-debt interaction, so the model is not additive."""
    return np.column_stack([x, x[:, 2] * x[:, 4]])


@dataclass(frozen=True)
class CreditModel:
    """A fitted score predictor and the background noise its value function averages over."""

    intercept: float
    coef: Array
    background: dict[str, Array]

    def predict(self, x: Array) -> Array:
        # Column by column, not a matrix product: elementwise numpy gives the
        # same bits in every process, whatever BLAS threads each one uses.
        d = design(x)
        out = np.full(len(d), self.intercept)
        for j, c in enumerate(self.coef):
            out += c * d[:, j]
        return out

    def value(self, row: dict[str, float], coalition: list[str]) -> float:
        """Mean predicted score with the coalition set to the row's values and the
        other variables following the causal model over the background draws."""
        fixed = {f: row[f] for f in coalition}
        n = len(self.background["age"])
        total = 0.0
        # In blocks: small temporaries stay in the cache and in malloc's heap,
        # instead of being mapped and unmapped, page by page, at every call.
        for start in range(0, n, BLOCK_ROWS):
            block = {name: draws[start : start + BLOCK_ROWS] for name, draws in self.background.items()}
            total += float(self.predict(structural(block, fixed)).sum())
        return total / n


def fit_model(n_background: int, seed: int = 0) -> CreditModel:
    rng = np.random.default_rng(seed)
    train = structural(sample_noise(rng, 4000), {})
    score = 300 + 3.0 * train[:, 2] + 0.5 * train[:, 3] + 4.0 * train[:, 1] - 220 * train[:, 4]
    score += rng.normal(0, 15, len(train))
    coef, *_ = np.linalg.lstsq(np.column_stack([np.ones(len(train)), design(train)]), score, rcond=None)
    # lstsq is typed as returning any float width; the model holds float64.
    return CreditModel(float(coef[0]), np.asarray(coef[1:], dtype=np.float64), sample_noise(rng, n_background))


def sample_rows(n: int, seed: int = 1) -> list[dict[str, float]]:
    """n applicants drawn from the causal model: the table to explain."""
    x = structural(sample_noise(np.random.default_rng(seed), n), {})
    return [{f: float(v) for f, v in zip(FEATURES, r)} for r in x]


# --- one explanation per row, on the cluster or in this process -----------------------


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


def explain_rows(
    rows: Iterable[dict[str, float]], explainer: morvend.ASVExplainer, model: CreditModel
) -> list[dict[str, float]]:
    """The ASV of each row; a Dask task runs this on a chunk of rows."""
    return [explainer.explain(functools.partial(model.value, row)) for row in rows]


def explain_table(
    rows: list[dict[str, float]],
    explainer: morvend.ASVExplainer,
    model: CreditModel,
    client: "Client | None" = None,
    rows_per_task: int = 10,
    progress: bool = False,
) -> list[dict[str, float]]:
    """The ASV of every row, in the order of `rows`: on the cluster of `client`, in
    tasks of `rows_per_task` rows, or in this process when `client` is None."""
    if rows_per_task < 1:
        raise ValueError(f"rows_per_task must be at least 1, not {rows_per_task}")
    if client is None:
        if progress:
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                return explain_rows(tqdm(rows, unit="row"), explainer, model)
        return explain_rows(rows, explainer, model)

    from distributed import progress as progress_bar

    # Once to the cluster; the tasks name them by key instead of carrying them.
    explainer_on_workers = recoverable(client, explainer)
    model_on_workers = recoverable(client, model)
    chunks = [rows[i : i + rows_per_task] for i in range(0, len(rows), rows_per_task)]
    futures = client.map(explain_rows, chunks, explainer=explainer_on_workers, model=model_on_workers)
    try:
        if progress:
            progress_bar(futures)
        chunk_results: list[list[dict[str, float]]] = client.gather(futures)
    except BaseException:
        # A failed task or Ctrl-C: the other tasks would go on running.
        client.cancel(futures)
        raise
    return [asv for chunk in chunk_results for asv in chunk]


# --- the table and the plot ----------------------------------------------------------


def show(ids: list[int], results: list[dict[str, float]]) -> None:
    try:
        import pandas as pd
    except ImportError:
        print(f"{'applicant':>9} " + " ".join(f"{f:>10}" for f in FEATURES))
        for i, asv in list(zip(ids, results))[:8]:
            print(f"{i:>9} " + " ".join(f"{asv[f]:>10.2f}" for f in FEATURES))
    else:
        table = pd.DataFrame(results, index=pd.Index(ids, name="applicant"), columns=FEATURES)
        print(table.head(8).round(2).to_string())
    print(f"({len(results)} rows)\n")

    mean_abs = np.mean([[abs(asv[f]) for f in FEATURES] for asv in results], axis=0)
    print("mean |ASV| per variable:")
    for f, m in zip(FEATURES, mean_abs):
        print(f"  {f:<12} {m:8.2f}")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, ax = plt.subplots(figsize=(6, 3.2))
    ax.barh(FEATURES[::-1], mean_abs[::-1])
    ax.set_xlabel("mean |ASV| (score points)")
    ax.set_title(f"ASV over {len(results)} applicants")
    fig.tight_layout()
    fig.savefig("dask_many_rows.png", dpi=120)
    print("saved dask_many_rows.png")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    where.add_argument("--no-dask", action="store_true", help="run in this process, without Dask")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (2)")
    parser.add_argument("--rows", type=int, default=40, help="rows to explain (40)")
    parser.add_argument("--rows-per-task", type=int, default=10, help="rows in one Dask task (10)")
    parser.add_argument("--background", type=int, default=500, help="background draws per value (500)")
    args = parser.parse_args()
    have_dask = importlib.util.find_spec("distributed") is not None
    if args.scheduler and not have_dask:
        parser.error("--scheduler needs distributed: pip install 'morvend[dask]'")
    if min(args.workers, args.rows, args.rows_per_task, args.background) < 1:
        parser.error("--workers, --rows, --rows-per-task and --background must be at least 1")

    model = fit_model(args.background)
    explainer = morvend.ASVExplainer(morvend.CausalDAG.from_edges(EDGES))
    ids = list(range(1, args.rows + 1))
    rows = sample_rows(args.rows)
    def run(client: "Client | None" = None) -> list[dict[str, float]]:
        start = time.perf_counter()
        results = explain_table(
            rows, explainer, model, client, rows_per_task=args.rows_per_task, progress=sys.stdout.isatty()
        )
        print(f"explained {len(results)} rows in {time.perf_counter() - start:.1f} s\n")
        return results

    if args.no_dask or not have_dask:
        print("in this process, without Dask")
        results = run()
    else:
        from distributed import Client, LocalCluster

        if args.scheduler:
            with Client(args.scheduler) as client:
                print(f"on the cluster at {args.scheduler}")
                results = run(client)
        else:
            with (
                LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None) as cluster,
                Client(cluster) as client,
            ):
                print(f"on a local cluster of {args.workers} worker processes")
                results = run(client)
    show(ids, results)


if __name__ == "__main__":
    main()
