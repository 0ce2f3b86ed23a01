"""Structural models fitted to data, for the causal value function.

Each variable with parents gets a mechanism: its value as a function of its parents and
of a noise term, with each background row's noise recovered from that row (abduction).
Regenerating a row whose parents did not change gives its own value back; a row whose
parents were intervened on moves by the mechanism only, the same noise for every
coalition.

- continuous variables: a regression on the parents (least squares with an intercept,
  or any regressor) plus the row's residual;
- categorical variables (numeric codes): the category drawn from the conditional
  distribution given the parents (a frequency table over the parents' categories, a
  classifier's predict_proba, or a pgmpy network's conditional probability table) by
  inverse CDF at a uniform that the row's own category fixes to an interval.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[np.float64]

# Frequency tables above this many cells need a classifier instead.
MAX_TABLE_CELLS = 1_000_000


class Mechanism(Protocol):
    def regenerate(self, parents: Array, noise: Array) -> Array: ...


class Continuous:
    """value = fitted(parents) + noise, the noise being each row's residual."""

    def __init__(self, parents: Array, values: Array, regressor: Callable[[], Any] | None) -> None:
        if regressor is None:
            design = np.column_stack([np.ones(len(parents)), parents])
            coef = np.linalg.lstsq(design, values, rcond=None)[0]
            self._predict: Callable[[Array], Array] = lambda p: coef[0] + p @ coef[1:]
        else:
            fitted = regressor()
            fitted.fit(parents, values)
            self._predict = lambda p: np.asarray(fitted.predict(p), dtype=float).reshape(-1)
        self.noise = values - self._predict(parents)

    def regenerate(self, parents: Array, noise: Array) -> Array:
        return self._predict(parents) + noise


class Categorical:
    """A category drawn by inverse CDF of P(value | parents) at a uniform u; each row's
    u lies in its own category's interval of the CDF at its own parents."""

    def __init__(self, parents: Array, values: Array, probabilities: Callable[[Array], Array],
                 levels: Array, rng: np.random.Generator) -> None:
        self.levels = levels
        self._probabilities = probabilities
        code = np.searchsorted(levels, values)
        cdf = np.cumsum(probabilities(parents), axis=1)
        low = np.where(code > 0, cdf[np.arange(len(code)), np.maximum(code - 1, 0)], 0.0)
        high = cdf[np.arange(len(code)), code]
        self.noise = low + rng.uniform(size=len(code)) * (high - low)

    def regenerate(self, parents: Array, noise: Array) -> Array:
        cdf = np.cumsum(self._probabilities(parents), axis=1)
        code = np.minimum((cdf < noise[:, None]).sum(axis=1), len(self.levels) - 1)
        out: Array = self.levels[code]
        return out


def table_probabilities(parents: Array, values: Array, levels: Array,
                        parent_levels: Sequence[Array]) -> Callable[[Array], Array]:
    """P(value | parents' categories) as frequencies, each parent configuration's counts
    shrunk towards the overall frequencies by one pseudo-row (an unseen configuration
    gets the overall frequencies)."""
    radix = [len(lv) for lv in parent_levels]
    cells = int(np.prod(radix, dtype=np.float64)) * len(levels)
    if cells > MAX_TABLE_CELLS:
        raise ValueError(f"a frequency table of {cells} cells is too large: pass classifier= "
                         "for categorical variables with many parent categories")

    def config(p: Array) -> npt.NDArray[np.int64]:
        out = np.zeros(len(p), dtype=np.int64)
        for k, lv in enumerate(parent_levels):
            idx = np.searchsorted(lv, p[:, k]).clip(0, len(lv) - 1)
            known = lv[idx] == p[:, k]
            out = np.where(known & (out >= 0), out * len(lv) + idx, -1)
        return out

    code = np.searchsorted(levels, values)
    overall = np.bincount(code, minlength=len(levels)) / len(code)
    counts = np.zeros((int(np.prod(radix)) if radix else 1, len(levels)))
    np.add.at(counts, (config(parents), code), 1.0)
    table = (counts + overall) / (counts.sum(axis=1, keepdims=True) + 1.0)

    def probabilities(p: Array) -> Array:
        c = config(p)
        return np.where((c >= 0)[:, None], table[np.maximum(c, 0)], overall)

    return probabilities


def classifier_probabilities(parents: Array, values: Array, levels: Array,
                             classifier: Callable[[], Any]) -> Callable[[Array], Array]:
    """P(value | parents) from a fitted classifier's predict_proba, columns in the order
    of `levels` (a level it never saw gets probability 0)."""
    fitted = classifier()
    fitted.fit(parents, values)
    columns = np.searchsorted(levels, np.asarray(fitted.classes_, dtype=float))

    def probabilities(p: Array) -> Array:
        out = np.zeros((len(p), len(levels)))
        out[:, columns] = fitted.predict_proba(p)
        return out

    return probabilities


def network_probabilities(network: Any, name: str, parent_names: Sequence[str]
                          ) -> tuple[Callable[[Array], Array], Array]:
    """P(value | parents) from a pgmpy network's conditional probability table, and the
    codes 0, 1, ... of its states in the order the CPD lists them."""
    cpd = network.get_cpds(name)
    evidence = list(cpd.variables[1:])
    if sorted(evidence) != sorted(parent_names):
        raise ValueError(f"the network's parents of {name!r} are {sorted(evidence)}, "
                         f"the DAG's {sorted(parent_names)}")
    order = [list(parent_names).index(e) for e in evidence]
    card = [int(c) for c in cpd.cardinality[1:]]
    table = np.asarray(cpd.get_values(), dtype=float)  # (states, parent configurations)

    def probabilities(p: Array) -> Array:
        config = np.zeros(len(p), dtype=np.int64)
        for k, c in enumerate(card):  # pgmpy: the first evidence variable varies slowest
            config = config * c + p[:, order[k]].astype(np.int64).clip(0, c - 1)
        return np.asarray(table[:, config].T)

    return probabilities, np.arange(table.shape[0], dtype=float)


def fit_mechanisms(data: Array, names: Sequence[str], parents: dict[int, list[int]],
                   categorical: Sequence[str], regressor: Callable[[], Any] | None,
                   classifier: Callable[[], Any] | None, network: Any,
                   seed: int) -> tuple[dict[int, Mechanism], Array]:
    """A mechanism per variable with parents, and every row's noise (zero for roots)."""
    unknown = sorted(set(categorical) - set(names))
    if unknown:
        raise ValueError(f"categorical names {unknown[:5]} are not features")
    is_categorical = {names.index(c) for c in categorical}
    rng = np.random.default_rng(seed)
    levels = {j: np.unique(data[:, j]) for j in is_categorical}
    mechanisms: dict[int, Mechanism] = {}
    noise = np.zeros_like(data)
    for j, ps in parents.items():
        if not ps:
            continue
        p, y = data[:, ps], data[:, j]
        mechanism: Continuous | Categorical
        if j not in is_categorical:
            mechanism = Continuous(p, y, regressor)
        else:
            if network is not None:
                probabilities, levels[j] = network_probabilities(network, names[j], [names[q] for q in ps])
                if not np.isin(y, levels[j]).all():
                    raise ValueError(f"{names[j]!r} must hold the codes 0 to {len(levels[j]) - 1} of "
                                     "the network's states, in the network's order")
            elif classifier is not None or any(q not in is_categorical for q in ps):
                if classifier is None:
                    raise ValueError(f"{names[j]!r} is categorical with a continuous parent: "
                                     "pass classifier= (for example a scikit-learn classifier factory)")
                probabilities = classifier_probabilities(p, y, levels[j], classifier)
            else:
                probabilities = table_probabilities(p, y, levels[j], [levels[q] for q in ps])
            mechanism = Categorical(p, y, probabilities, levels[j], rng)
        mechanisms[j] = mechanism
        noise[:, j] = mechanism.noise
    return mechanisms, noise
