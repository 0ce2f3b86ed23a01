"""Many rows explained at once: the table matches one explanation per row."""

import numpy as np
import pytest

import morvend
from morvend_tools import explain_rows

NAMES = ["a", "b", "c"]
DAG = morvend.CausalDAG.from_edges([("a", "b"), ("a", "c")])
RNG = np.random.default_rng(3)
BACKGROUND = RNG.normal(size=(200, 3))
ROWS = RNG.normal(size=(5, 3))


def model(x):
    return x[:, 0] + 2 * x[:, 1] * x[:, 2]


# Catches rows explained out of order or with another row's seed or value
# function, and arrays whose rows and columns do not match names and index.
@pytest.mark.parametrize("kind", ["causal", "marginal", "conditional"])
def test_each_row_is_its_own_explanation(kind):
    from morvend_tools.rows import _value_function

    out = explain_rows(DAG, model, ROWS, BACKGROUND, kind=kind, feature_names=NAMES, max_calls=50, seed=7)
    assert out.names == DAG.nodes() and out.index == list(range(5))
    assert out.values.shape == out.stderr.shape == (5, 3)
    for i, row in enumerate(ROWS):
        v = _value_function(DAG, kind, model, row, BACKGROUND, {"feature_names": NAMES})
        one = morvend.ASVExplainer(DAG).explain_within(value_fn_batch=v, max_calls=50, seed=7 + i)
        assert list(out.values[i]) == [one["values"][n] for n in out.names]
        assert out.calls[i] == one["calls"] and out.method[i] == one["method"]
        assert out.values[i].sum() == pytest.approx(v(NAMES) - v([]))


# Catches a DataFrame whose index, columns or appended fields are lost or
# misaligned, an importance summary out of order, and a silent progress flag.
def test_dataframe_summary_and_progress(capsys):
    pd = pytest.importorskip("pandas")
    rows = pd.DataFrame(ROWS, columns=NAMES, index=[f"r{i}" for i in range(5)])
    out = explain_rows(DAG, model, rows, pd.DataFrame(BACKGROUND, columns=NAMES), max_calls=50, progress=True)
    frame = out.frame()
    assert list(frame.index) == list(rows.index)
    assert list(frame.columns) == [*out.names, "stderr", "calls", "method"]
    np.testing.assert_array_equal(frame[out.names].to_numpy(), out.values)
    importance = out.mean_abs()
    assert list(importance.values()) == sorted(importance.values(), reverse=True)
    assert importance["a"] == pytest.approx(np.abs(out.values[:, out.names.index("a")]).mean())
    assert "explained 5/5 rows" in capsys.readouterr().err


# Catches bad arguments found only after rows were sent out.
@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"kind": "shap"}, ValueError, "kind must be one of"),
        ({"feature_names": ["a", "b"]}, ValueError, "must agree"),
        ({"feature_names": ["a", "b", "zz"]}, ValueError, "features not in the DAG"),
    ],
)
def test_bad_arguments_fail_before_any_row(kwargs, error, text):
    calls = []

    def counting(x):
        calls.append(len(x))
        return model(x)

    with pytest.raises(error, match=text):
        explain_rows(DAG, counting, ROWS, BACKGROUND, **{"feature_names": NAMES, **kwargs})
    assert calls == []
