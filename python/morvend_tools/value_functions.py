"""Value functions built from a fitted model, the row to explain and background data.

Each function here returns a `ValueFunction`: called with one coalition (a list of
names) it returns that coalition's value; called with a list of coalitions it returns
their values as a numpy array, computed in one vectorised pass over the background rows
per chunk of coalitions. Pass it as `value_fn_batch` (or as `value_fn`):

    v = causal(model, row, background, dag)
    ASVExplainer(dag).explain_within(value_fn_batch=v, max_calls=2000, seed=0)

The three answer different questions about the model's prediction f at the row x*:

- `marginal`: E[f(x*_S, X_rest)] with X_rest from the background rows, as if the
  coalition's features were set and the others did not depend on them;
- `conditional`: E[f(X) | X_S = x*_S] under a Gaussian model of the data: what the
  model predicts for rows that look like x* on the coalition's features;
- `causal`: E[f(X) | do(X_S = x*_S)]: the coalition's features set by intervention and
  their descendants in the causal DAG regenerated through a structural model fitted to
  the data, each background row keeping its own noise. Only this one passes an effect
  along the graph, which is what gives root causes their credit. `interventional`
  answers the same question with a causal model the user already has (a sampler).
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Sequence
from typing import Any, cast

import numpy as np
import numpy.typing as npt

import morvend
from morvend_tools.structural import fit_mechanisms

Array = npt.NDArray[np.float64]
Coalitions = Sequence[Sequence[str]]

__all__ = ["ValueFunction", "marginal", "conditional", "causal", "interventional"]

# Rows handed to the model per call: large enough to amortise its per-call cost,
# small enough that a chunk of coalitions times the background stays in memory.
DEFAULT_MAX_ROWS = 16384


class ValueFunction:
    """A coalition's value, or a batch of them.

    `vf(["a", "b"])` returns a float; `vf([["a"], ["a", "b"]])` returns an array with
    one value per coalition. Names outside `names` raise KeyError.
    """

    def __init__(self, names: Sequence[str], values: Callable[[npt.NDArray[np.bool_]], Array],
                 rows_per_coalition: int, max_rows: int) -> None:
        self.names = list(names)
        self._column = {name: j for j, name in enumerate(self.names)}
        self._values = values
        self._chunk = max(1, max_rows // max(1, rows_per_coalition))

    def masks(self, coalitions: Coalitions) -> npt.NDArray[np.bool_]:
        """One row per coalition, True in the columns of its members."""
        mask = np.zeros((len(coalitions), len(self.names)), dtype=bool)
        for k, coalition in enumerate(coalitions):
            for name in coalition:
                try:
                    mask[k, self._column[name]] = True
                except KeyError:
                    raise KeyError(f"{name!r} is not one of the value function's features "
                                   f"({len(self.names)} names, given at construction)") from None
        return mask

    def batch(self, coalitions: Coalitions) -> Array:
        mask = self.masks(coalitions)
        out = np.empty(len(coalitions))
        for start in range(0, len(coalitions), self._chunk):
            out[start:start + self._chunk] = self._values(mask[start:start + self._chunk])
        return out

    def __call__(self, coalition: Sequence[str] | Coalitions) -> Any:
        if len(coalition) > 0 and not isinstance(coalition[0], str):
            return self.batch(coalition)
        return float(self.batch([cast(Sequence[str], coalition)])[0])


def _predictor(model: Any, output: int | None, frame_columns: list[str] | None) -> Callable[[Array], Array]:
    """f on a 2-D array of rows, as one column of floats."""
    if hasattr(model, "predict_proba"):
        raw = model.predict_proba

        def pick(out: Any) -> Array:
            p: Array = np.asarray(out, dtype=float)
            if p.ndim == 1:
                return p
            if output is None and p.shape[1] != 2:
                raise ValueError(f"predict_proba gives {p.shape[1]} classes: pass output= "
                                 "to say which class's probability to explain")
            return p[:, 1 if output is None else output]
    else:
        raw = model.predict if hasattr(model, "predict") else model
        if not callable(raw):
            raise TypeError("model must have predict_proba or predict, or be a callable "
                            f"on a 2-D array of rows, not {type(model).__name__}")

        def pick(out: Any) -> Array:
            p: Array = np.asarray(out, dtype=float)
            if p.ndim == 2 and (output is not None or p.shape[1] == 1):
                return p[:, output or 0]
            if p.ndim != 1:
                raise ValueError(f"the model's output has shape {p.shape}: pass output= to "
                                 "say which column to explain")
            return p

    if frame_columns is None or not hasattr(model, "feature_names_in_"):
        return _DistinctRows(lambda x: pick(raw(x)))
    # Fitted on a DataFrame (scikit-learn keeps its column names): give it one.
    pd = importlib.import_module("pandas")

    return _DistinctRows(lambda x: pick(raw(pd.DataFrame(x, columns=frame_columns))))


class _DistinctRows:
    """f on each distinct row once, its value copied to the row's repeats.

    With categorical data most rows of a chunk repeat (the coalitions share their
    fixed values and the background its states: about one in 16 distinct at 20 binary
    variables and 1,000 background rows), and the model is the cost. Continuous data
    repeat no row: the first chunk without a repeat turns the search off, which then
    costs nothing more. Exact for a model that predicts each row on its own.
    """

    def __init__(self, f: Callable[[Array], Array]) -> None:
        self._f = f
        self._search = True

    def __call__(self, rows: Array) -> Array:
        if not self._search or len(rows) < 2:
            return self._f(rows)
        rows = np.ascontiguousarray(rows, dtype=np.float64)
        first, where = _repeats(rows)
        if len(first) == len(rows):
            self._search = False
            return self._f(rows)
        return self._f(rows[first])[where]


def _repeats(rows: Array) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    """The first of each distinct row, and for each row its distinct row's place.

    Rows are grouped by one number each (a random combination of their values: one
    sort of floats, where a sort of whole rows took twice as long), then checked equal
    to their group's first bit for bit; if any is not (keys that collide), the whole
    rows are sorted instead."""
    mix = np.random.default_rng(0x5EED).uniform(1.0, 2.0, size=rows.shape[1])
    _, first, where = np.unique(rows @ mix, return_index=True, return_inverse=True)
    where = where.reshape(-1)
    bits = rows.view(np.uint64)
    if np.array_equal(bits[first][where], bits):
        return first, where
    whole = rows.view(np.dtype((np.void, rows.itemsize * rows.shape[1]))).reshape(-1)
    _, first, where = np.unique(whole, return_index=True, return_inverse=True)
    return first, where.reshape(-1)


def _inputs(row: Any, background: Any, feature_names: Sequence[str] | None
            ) -> tuple[list[str], Array, Array, list[str] | None]:
    """Names, x* and the background as floats; the DataFrame's columns if it was one."""
    columns = getattr(background, "columns", None)
    frame_columns = [str(c) for c in columns] if columns is not None else None
    names = list(feature_names) if feature_names is not None else frame_columns
    if names is None:
        raise TypeError("background is not a DataFrame: pass feature_names, one name per column")
    if not all(isinstance(n, str) for n in names) or len(set(names)) != len(names):
        raise ValueError("feature names must be distinct strings")
    if frame_columns is not None and hasattr(row, "reindex"):
        row = row.reindex(columns=frame_columns) if hasattr(row, "columns") else row.reindex(frame_columns)
    x = np.asarray(row, dtype=float).reshape(-1)
    bg = np.asarray(background, dtype=float)
    if bg.ndim != 2 or bg.shape[0] == 0:
        raise ValueError(f"background must be a non-empty 2-D table of rows, not shape {bg.shape}")
    if bg.shape[1] != len(names) or x.shape[0] != len(names):
        raise ValueError(f"{len(names)} feature names, {bg.shape[1]} background columns and "
                         f"{x.shape[0]} values in the row: they must agree")
    if not (np.isfinite(x).all() and np.isfinite(bg).all()):
        raise ValueError("the row and the background must be finite numbers")
    return names, x, bg, frame_columns


def marginal(model: Any, row: Any, background: Any, *, feature_names: Sequence[str] | None = None,
             output: int | None = None, max_rows: int = DEFAULT_MAX_ROWS) -> ValueFunction:
    """v(S) = mean over background rows b of f(x*_S, b_rest).

    The coalition's features take the row's values, the others each background row's:
    the interventional value function that treats features as independent.
    """
    names, x, bg, frame = _inputs(row, background, feature_names)
    f = _predictor(model, output, frame)

    def values(mask: npt.NDArray[np.bool_]) -> Array:
        rows = np.where(mask[:, None, :], x, bg[None, :, :]).reshape(-1, len(names))
        return np.asarray(f(rows).reshape(len(mask), len(bg)).mean(axis=1), dtype=np.float64)

    return ValueFunction(names, values, len(bg), max_rows)


def conditional(model: Any, row: Any, background: Any, *, feature_names: Sequence[str] | None = None,
                output: int | None = None, samples: int | None = None, seed: int = 0,
                max_rows: int = DEFAULT_MAX_ROWS) -> ValueFunction:
    """v(S) = E[f(X) | X_S = x*_S] with X Gaussian (mean and covariance of the background).

    The other features are drawn from their Gaussian conditional given the coalition's,
    `samples` draws (default: as many as background rows) from standard normals fixed at
    construction and shared by every coalition, so that values of nearby coalitions
    differ by the model, not by sampling noise. Suited to roughly Gaussian, continuous
    data; with strongly non-Gaussian features prefer `causal` with a fitted model.
    """
    names, x, bg, frame = _inputs(row, background, feature_names)
    f = _predictor(model, output, frame)
    d = len(names)
    mean = bg.mean(axis=0)
    # A ridge on the covariance keeps constant or collinear columns invertible.
    cov = np.cov(bg, rowvar=False).reshape(d, d)
    cov += 1e-9 * max(1.0, float(np.trace(cov))) * np.eye(d)
    precision = np.linalg.inv(cov)
    z = np.random.default_rng(seed).standard_normal((samples or len(bg), d))

    def values(mask: npt.NDArray[np.bool_]) -> Array:
        # Given S, the rest U is Gaussian with precision Q_UU and mean
        # mu_U - Q_UU^-1 Q_US (x_S - mu_S). Each coalition's Q_UU is padded with the
        # identity on S, so that all coalitions solve as one stack of d x d systems.
        k = len(mask)
        free = ~mask
        q = np.where(free[:, :, None] & free[:, None, :], precision, 0.0)
        q[:, np.arange(d), np.arange(d)] = np.where(free, np.diag(precision), 1.0)
        shift = np.where(mask, x - mean, 0.0)
        rhs = -np.einsum("ij,kj->ki", precision, shift) * free
        offset = np.linalg.solve(q, rhs[:, :, None])[:, :, 0]
        chol = np.linalg.cholesky(q)  # q = L L^T, so L^-T z has covariance q^-1
        noise = np.linalg.solve(np.swapaxes(chol, 1, 2), np.broadcast_to(z.T, (k, d, len(z))))
        rows = np.where(mask[:, None, :], x, mean + offset[:, None, :] + np.swapaxes(noise, 1, 2) * free[:, None, :])
        return np.asarray(f(rows.reshape(-1, d)).reshape(k, len(z)).mean(axis=1), dtype=np.float64)

    return ValueFunction(names, values, len(z), max_rows)


def causal(model: Any, row: Any, background: Any, dag: morvend.CausalDAG, *,
           feature_names: Sequence[str] | None = None, output: int | None = None,
           regressor: Callable[[], Any] | None = None, categorical: Sequence[str] = (),
           classifier: Callable[[], Any] | None = None, network: Any = None, seed: int = 0,
           max_rows: int = DEFAULT_MAX_ROWS) -> ValueFunction:
    """v(S) = E[f(X) | do(X_S = x*_S)] along `dag`.

    A structural model is fitted to the background (morvend_tools.structural): each
    continuous variable with parents is its parents' regression plus a residual (least
    squares by default; `regressor`, a factory such as
    `lambda: sklearn.ensemble.RandomForestRegressor()`, for any other); each variable
    named in `categorical` (numeric codes) is drawn from its distribution given its
    parents (frequencies over the parents' categories; `classifier`, a factory of
    classifiers with predict_proba, when a parent is continuous or by choice; or the
    conditional probability tables of `network`, a pgmpy model whose states are coded
    0, 1, ... in its order). For each background row, the coalition's variables take the
    row's values, their descendants are regenerated in topological order from their
    parents and that background row's own noise, and every other variable keeps the
    background value. The noise is shared by every coalition, so values differ by the
    intervention only; `seed` fixes the categorical variables' uniforms. The DAG's nodes
    must be the features, all of them.
    """
    names, x, bg, frame = _inputs(row, background, feature_names)
    f = _predictor(model, output, frame)
    column = {name: j for j, name in enumerate(names)}
    nodes = dag.nodes()
    if set(nodes) != set(names):
        missing, extra = sorted(set(names) - set(nodes)), sorted(set(nodes) - set(names))
        raise ValueError(f"the DAG's nodes must be the features: features not in the DAG {missing[:5]}, "
                         f"DAG nodes without data {extra[:5]}")
    parents: dict[int, list[int]] = {j: [] for j in range(len(names))}
    for a, b in dag.edges():
        parents[column[b]].append(column[a])
    order = [column[name] for layer in dag.topological_layers() for name in layer]
    mechanisms, noise = fit_mechanisms(bg, names, parents, categorical, regressor, classifier, network, seed)

    def values(mask: npt.NDArray[np.bool_]) -> Array:
        k, n = len(mask), len(bg)
        # Variable-major (d, coalitions, rows): a variable's values are one
        # contiguous block, so regenerating it for some coalitions copies rows.
        cols = np.where(mask.T[:, :, None], x[:, None, None], bg.T[:, None, :])
        moved = mask.copy()  # set, or downstream of something set
        for j in order:
            ps = parents[j]
            if not ps:
                continue
            regen = ~mask[:, j] & moved[:, ps].any(axis=1)
            moved[:, j] |= regen
            hit = np.nonzero(regen)[0]
            if len(hit):
                inputs = np.stack([cols[p][hit].reshape(-1) for p in ps], axis=1)
                noise_j = np.tile(noise[:, j], len(hit))
                cols[j][hit] = mechanisms[j].regenerate(inputs, noise_j).reshape(len(hit), n)
        # Models expect rows contiguous, as they were given them to fit.
        rows = np.ascontiguousarray(cols.reshape(len(names), -1).T)
        return np.asarray(f(rows).reshape(k, n).mean(axis=1), dtype=np.float64)

    return ValueFunction(names, values, len(bg), max_rows)


def interventional(model: Any, row: Any, sampler: Callable[[dict[str, float], int, int], Any],
                   feature_names: Sequence[str], *, size: int = 1000, seed: int = 0,
                   output: int | None = None, max_rows: int = DEFAULT_MAX_ROWS) -> ValueFunction:
    """v(S) = E[f(X) | do(X_S = x*_S)] with a causal model the user already has.

    `sampler(intervention, size, seed)` returns `size` rows of all the features (columns
    in the order of `feature_names`) drawn with the variables of `intervention` (a dict
    from name to value, empty for no intervention) set to those values. It is called
    once per coalition with the same `seed`: a sampler that draws its noise from that
    seed shares it across coalitions, so values differ by the intervention only.
    """
    names = list(feature_names)
    x = np.asarray(row, dtype=float).reshape(-1)
    if len(x) != len(names) or len(set(names)) != len(names):
        raise ValueError(f"{len(names)} distinct feature names and {len(x)} values in the row: they must agree")
    f = _predictor(model, output, None)

    def values(mask: npt.NDArray[np.bool_]) -> Array:
        draws = []
        for member in mask:  # the user's sampler takes one intervention at a time
            intervention = {names[j]: float(x[j]) for j in np.nonzero(member)[0]}
            drawn = np.asarray(sampler(intervention, size, seed), dtype=float)
            if drawn.shape != (size, len(names)):
                raise ValueError(f"the sampler returned shape {drawn.shape}, not ({size}, {len(names)})")
            draws.append(drawn)
        rows = np.concatenate(draws)
        return np.asarray(f(rows).reshape(len(mask), size).mean(axis=1), dtype=np.float64)

    return ValueFunction(names, values, size, max_rows)
