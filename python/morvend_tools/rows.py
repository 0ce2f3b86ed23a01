"""Many rows explained at once: one budgeted explanation per row, gathered in a table."""

from __future__ import annotations

import importlib
import sys
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

import morvend
from morvend_tools.value_functions import ValueFunction, causal, conditional, marginal

__all__ = ["RowExplanations", "explain_rows"]

KINDS = ("causal", "conditional", "marginal")


@dataclass(frozen=True)
class RowExplanations:
    """The explanations of a table of rows, one row of each array per explained row.

    `values` and `stderr` are (rows, variables) arrays in the order of `names`; `calls`
    and `method` hold each row's value-function calls and the estimate path
    explain_within took ("exact", "paired_strata", ...); `index` is the rows' labels
    (the DataFrame's index, else 0, 1, ...).
    """

    names: list[str]
    index: list[Any]
    values: npt.NDArray[np.float64]
    stderr: npt.NDArray[np.float64]
    calls: npt.NDArray[np.int64]
    method: list[str]

    def frame(self) -> Any:
        """The values as a pandas DataFrame (rows x variables) with `stderr`, `calls`
        and `method` columns appended; stderr is the largest over the row's variables."""
        pd = _pandas()
        out = pd.DataFrame(self.values, index=self.index, columns=self.names)
        # fmax skips NaN without the warning nanmax gives for rows that are all NaN
        # (explain_within's stderr where no honest error can be given).
        out["stderr"] = np.fmax.reduce(self.stderr, axis=1) if self.stderr.size else np.nan
        out["calls"] = self.calls
        out["method"] = self.method
        return out

    def mean_abs(self) -> dict[str, float]:
        """Mean |value| per variable over the rows, largest first: a global importance."""
        means = np.abs(self.values).mean(axis=0)
        order = np.argsort(-means, kind="stable")
        return {self.names[j]: float(means[j]) for j in order}


def _pandas() -> Any:
    try:
        return importlib.import_module("pandas")
    except ImportError:
        raise ImportError("RowExplanations.frame() needs pandas: pip install pandas") from None


def _value_function(dag: morvend.CausalDAG, kind: str, model: Any, row: Any, background: Any,
                    options: dict[str, Any]) -> ValueFunction:
    if kind == "causal":
        return causal(model, row, background, dag, **options)
    if kind == "conditional":
        return conditional(model, row, background, **options)
    return marginal(model, row, background, **options)


def _explain_one(dag: morvend.CausalDAG, kind: str, model: Any, row: Any, background: Any,
                 max_calls: int, seed: int | None, options: dict[str, Any]) -> dict[str, Any]:
    v = _value_function(dag, kind, model, row, background, options)
    result: dict[str, Any] = morvend.ASVExplainer(dag).explain_within(
        value_fn_batch=v, max_calls=max_calls, seed=seed)
    return result


def explain_rows(dag: morvend.CausalDAG, model: Any, rows: Any, background: Any, *,
                 kind: str = "causal", max_calls: int = 2000, seed: int | None = 0,
                 client: Any = None, progress: bool = False,
                 **options: Any) -> RowExplanations:
    """Explain each row of `rows` with explain_within under `dag`.

    Each row gets its own value function of `kind` ("causal", "conditional" or
    "marginal", see morvend_tools.value_functions) built from `model` and `background`
    with the keyword `options` (feature_names, output, categorical, ...), and a budget
    of `max_calls`; row i uses seed `seed + i` (None: unseeded). `rows`
    and `background` are 2-D arrays or DataFrames with the same columns. With a Dask
    `client`, rows are explained in parallel on its workers (which need morvend and
    morvend_tools installed); `progress` prints the rows done to stderr.
    """
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {', '.join(KINDS)}, not {kind!r}")
    index = list(getattr(rows, "index", range(len(rows))))
    table = rows.to_numpy() if hasattr(rows, "to_numpy") else np.asarray(rows, dtype=float)
    if table.ndim != 2:
        raise ValueError(f"rows must be a 2-D table, not shape {table.shape}")
    if len(table):
        # The first row's full coalition first: bad inputs fail here, before any work
        # is sent out, with the value function's own message.
        _value_function(dag, kind, model, table[0], background, options)(dag.nodes())
    seeds = [None if seed is None else seed + i for i in range(len(table))]
    if client is not None:
        futures = client.map(_explain_one, [dag] * len(table), [kind] * len(table),
                             [model] * len(table), list(table), [background] * len(table),
                             [max_calls] * len(table), seeds, [options] * len(table), pure=False)
        results = []
        for done, future in enumerate(futures, 1):
            results.append(future.result())
            _report(progress, done, len(table))
    else:
        results = []
        for i, row in enumerate(table):
            results.append(_explain_one(dag, kind, model, row, background, max_calls, seeds[i], options))
            _report(progress, i + 1, len(table))
    names = dag.nodes()
    return RowExplanations(
        names=names,
        index=index,
        values=np.array([[r["values"][n] for n in names] for r in results], dtype=float).reshape(-1, len(names)),
        stderr=np.array([[r["stderr"][n] for n in names] for r in results], dtype=float).reshape(-1, len(names)),
        calls=np.array([r["calls"] for r in results], dtype=np.int64),
        method=[str(r["method"]) for r in results],
    )


_last_report = [0.0]


def _report(progress: bool, done: int, total: int) -> None:
    """A one-line progress count on stderr, redrawn at most ten times a second."""
    now = time.monotonic()
    if not progress or (done < total and now - _last_report[0] < 0.1):
        return
    _last_report[0] = now
    sys.stderr.write(f"\rexplained {done}/{total} rows" + ("\n" if done == total else ""))
    sys.stderr.flush()
