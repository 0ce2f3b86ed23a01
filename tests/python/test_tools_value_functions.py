"""The companion's value functions against closed forms on a linear-Gaussian model."""

import itertools

import numpy as np
import pytest

import morvend
from morvend_tools import causal, conditional, interventional, marginal
from morvend_tools.value_functions import _repeats

# a -> b -> c and a -> c, linear with Gaussian noise; the model f is linear.
NAMES = ["a", "b", "c"]
W = np.array([1.0, -2.0, 3.0])
ROW = np.array([2.0, 1.0, -1.0])
EDGES = [("a", "b"), ("b", "c"), ("a", "c")]
MEAN = np.array([1.0, 2.0, 0.0])
# Covariance of (a, b, c): b = 2a + e_b, c = -a + 0.5 b + e_c, unit noises.
COV = np.array([[1.0, 2.0, 0.0], [2.0, 5.0, 0.5], [0.0, 0.5, 1.25]])
COALITIONS = [list(c) for r in range(4) for c in itertools.combinations(NAMES, r)]


def model(x):
    return x @ W


@pytest.fixture(scope="module")
def background():
    rng = np.random.default_rng(0)
    a = rng.normal(1.0, 1.0, 20000)
    b = 2 * a + rng.normal(size=a.size)
    return np.column_stack([a, b, -a + 0.5 * b + rng.normal(size=a.size)])


def do_value(s):
    """E[f | do(X_S = x*_S)] with the true structural equations."""
    xa = ROW[0] if "a" in s else MEAN[0]
    xb = ROW[1] if "b" in s else 2 * xa
    xc = ROW[2] if "c" in s else -xa + 0.5 * xb
    return W @ [xa, xb, xc]


def gaussian_value(s, mean=MEAN, cov=COV):
    """E[f | X_S = x*_S] for a Gaussian of this mean and covariance."""
    idx = [NAMES.index(n) for n in s]
    rest = [j for j in range(3) if j not in idx]
    x = mean.copy()
    x[idx] = ROW[idx]
    if idx and rest:
        x[rest] += cov[np.ix_(rest, idx)] @ np.linalg.solve(cov[np.ix_(idx, idx)], ROW[idx] - mean[idx])
    return W @ x


def make(kind, background, **kw):
    if kind == "causal":
        return causal(model, ROW, background, morvend.CausalDAG.from_edges(EDGES), feature_names=NAMES, **kw)
    if kind == "conditional":
        return conditional(model, ROW, background, feature_names=NAMES, seed=1, **kw)
    return marginal(model, ROW, background, feature_names=NAMES, **kw)


# Catches a value function that answers another question than it states: each
# against its closed form (the structural model's, whose sampling error over
# 20,000 rows is about 0.03; for the Gaussian, the one of the background's own
# moments, leaving only the draws' error, about 0.025), and the empty and full
# coalitions exact (the background's mean prediction, f(x*)).
@pytest.mark.parametrize(
    "kind, truth",
    [
        ("marginal", lambda s, bg: sum(W[j] * (ROW[j] if n in s else MEAN[j]) for j, n in enumerate(NAMES))),
        ("conditional", lambda s, bg: gaussian_value(s, bg.mean(axis=0), np.cov(bg, rowvar=False))),
        ("causal", lambda s, bg: do_value(s)),
    ],
)
def test_values_match_their_closed_forms(kind, truth, background):
    v = make(kind, background)
    got = v(COALITIONS)
    np.testing.assert_allclose(got, [truth(s, background) for s in COALITIONS], atol=0.15)
    assert got[-1] == pytest.approx(model(ROW), abs=1e-9)
    if kind != "conditional":  # conditional draws its own rows, not the background's
        assert got[0] == pytest.approx(model(background).mean(), abs=1e-9)


def sem_sampler(intervention, size, seed):
    """The true structural equations, with do(): noise from `seed` alone."""
    noise = np.random.default_rng(seed).normal(size=(size, 3))
    a = np.full(size, intervention["a"]) if "a" in intervention else 1.0 + noise[:, 0]
    b = np.full(size, intervention["b"]) if "b" in intervention else 2 * a + noise[:, 1]
    c = np.full(size, intervention["c"]) if "c" in intervention else -a + 0.5 * b + noise[:, 2]
    return np.column_stack([a, b, c])


# Catches a user's causal model called with the wrong intervention, its rows
# mixed up between coalitions, or a sampler's bad output let through.
def test_interventional_uses_the_users_sampler():
    v = interventional(model, ROW, sem_sampler, NAMES, size=20000)
    np.testing.assert_allclose(v(COALITIONS), [do_value(s) for s in COALITIONS], atol=0.15)
    assert v(NAMES) == pytest.approx(model(ROW))
    with pytest.raises(ValueError, match=r"shape \(5, 3\), not \(10, 3\)"):
        interventional(model, ROW, lambda i, n, s: np.zeros((5, 3)), NAMES, size=10)(["a"])


# Catches a batch path that differs from the single one, or chunks that drop or
# shift coalitions when the batch is cut to stay within max_rows.
@pytest.mark.parametrize("kind", ["marginal", "conditional", "causal"])
def test_single_batch_and_chunked_forms_agree(kind, background):
    small = background[:300]
    whole = make(kind, small)(COALITIONS)
    chunked = make(kind, small, max_rows=700)(COALITIONS)  # two coalitions a chunk
    single = [make(kind, small)(s) for s in COALITIONS]
    np.testing.assert_allclose(chunked, whole, rtol=0, atol=1e-12)
    np.testing.assert_allclose(single, whole, rtol=0, atol=1e-12)
    assert isinstance(single[0], float)


# Catches the property that makes the causal function worth having: a root
# cause whose effect passes through its child gets credit, which the marginal
# function (features taken as independent) gives to the child alone.
def test_only_the_causal_function_credits_a_root_cause(background):
    dag = morvend.CausalDAG.from_edges([("a", "b")])
    rows = background[:2000, :2]
    row = np.array([3.0, 6.0])
    only_b = lambda x: x[:, 1]  # noqa: E731
    explainer = morvend.ASVExplainer(dag)
    out = {}
    for kind, fn in [("marginal", marginal), ("causal", lambda *a, **k: causal(*a, dag, **k))]:
        v = fn(only_b, row, rows, feature_names=["a", "b"])
        out[kind] = explainer.explain_within(value_fn_batch=v, max_calls=10, seed=0)["values"]
    assert out["marginal"]["a"] == pytest.approx(0.0, abs=1e-9)
    assert out["causal"]["a"] == pytest.approx(2 * (3.0 - rows[:, 0].mean()), abs=0.05)


# Catches inputs that would fail late, inside an explanation, or silently
# explain the wrong thing: each is refused at construction or at the first
# call with a message that says what to pass.
@pytest.mark.parametrize(
    "build, error, text",
    [
        (lambda bg: marginal(model, ROW, bg), TypeError, "feature_names"),
        (lambda bg: marginal(model, ROW[:2], bg, feature_names=NAMES), ValueError, "must agree"),
        (lambda bg: marginal(model, ROW, bg, feature_names=["a", "a", "b"]), ValueError, "distinct"),
        (lambda bg: marginal(model, ROW, bg[:, :2], feature_names=NAMES), ValueError, "must agree"),
        (lambda bg: marginal(model, [np.nan, 1, 1], bg, feature_names=NAMES), ValueError, "finite"),
        (lambda bg: marginal(42, ROW, bg, feature_names=NAMES), TypeError, "predict"),
        (lambda bg: causal(model, ROW, bg, morvend.CausalDAG.from_edges([("a", "b")]), feature_names=NAMES),
         ValueError, r"features not in the DAG \['c'\]"),
        (lambda bg: marginal(model, ROW, bg, feature_names=NAMES)(["a", "zz"]), KeyError, "'zz' is not one"),
        (lambda bg: marginal(lambda x: np.ones((len(x), 3)), ROW, bg, feature_names=NAMES)([]),
         ValueError, "output="),
    ],
)
def test_bad_inputs_are_refused_clearly(build, error, text, background):
    with pytest.raises(error, match=text):
        build(background[:50])


# Catches a scikit-learn model fed arrays without the column names it was fitted
# with, or a classifier whose probability column is not the one explained.
def test_dataframes_and_classifiers():
    pd = pytest.importorskip("pandas")
    linear_model = pytest.importorskip("sklearn.linear_model")
    rng = np.random.default_rng(2)
    frame = pd.DataFrame(rng.normal(size=(400, 3)), columns=NAMES)
    label = (frame["a"] + frame["b"] > 0).astype(int)
    clf = linear_model.LogisticRegression().fit(frame, label)
    row = frame.iloc[0]
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")  # sklearn warns when the names are missing
        v = marginal(clf, row, frame)
        assert v(NAMES) == pytest.approx(clf.predict_proba(frame.iloc[[0]])[0, 1])
        assert v([]) == pytest.approx(clf.predict_proba(frame)[:, 1].mean())
    assert marginal(clf, row, frame, output=0)(NAMES) == pytest.approx(1 - v(NAMES))


@pytest.fixture(scope="module")
def asia():
    """pgmpy's asia network and 20,000 rows sampled from it, each state coded by its
    position in the network's list."""
    pgmpy_utils = pytest.importorskip("pgmpy.utils")
    sampling = pytest.importorskip("pgmpy.sampling")
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        network = pgmpy_utils.get_example_model("asia")
    frame = sampling.BayesianModelSampling(network).forward_sample(size=20000, seed=0, show_progress=False)
    names = list(network.nodes())
    states = {n: network.get_cpds(n).state_names[n] for n in names}
    data = np.column_stack([frame[n].map(states[n].index).to_numpy(float) for n in names])
    dag = morvend.CausalDAG.from_edges(list(network.edges()))
    return network, names, states, data, dag


# Catches a categorical mechanism that draws from the wrong distribution, reads
# a network's table in the wrong order, or lets an intervention leak upstream:
# E[dysp | do(...)] against pgmpy's own causal inference on the network, with
# the network's tables and with tables counted from the data.
@pytest.mark.parametrize("use_network", [True, False])
def test_categorical_values_match_the_networks_do_queries(asia, use_network):
    network, names, states, data, dag = asia
    inference = pytest.importorskip("pgmpy.inference").CausalInference(network)
    dysp = names.index("dysp")
    row = data[0].copy()
    row[names.index("smoke")], row[names.index("either")] = 0.0, 1.0  # smoke yes, either no
    v = causal(lambda x: x[:, dysp], row, data, dag, feature_names=names, categorical=names,
               network=network if use_network else None)
    for coalition in (["smoke"], ["smoke", "either"], ["lung"]):
        do = {n: states[n][int(row[names.index(n)])] for n in coalition}
        truth = inference.query(["dysp"], do=do, show_progress=False).get_value(dysp="no")
        assert v(coalition) == pytest.approx(truth, abs=0.012), coalition  # 3.4 sd of 20,000 rows


# Catches noise recovered wrongly from a row (abduction): a row whose parents
# are not moved must come back exactly as it was, for every kind of mechanism.
def test_every_mechanism_gives_an_unmoved_row_back(asia, background):
    from morvend_tools.structural import fit_mechanisms

    linear_model = pytest.importorskip("sklearn.linear_model")
    network, names, _, data, dag = asia
    parents = {j: [names.index(a) for a, b in dag.edges() if b == n] for j, n in enumerate(names)}
    cont_parents = {0: [], 1: [0], 2: [0, 1]}
    cases = [
        (background, NAMES, cont_parents, (), {}),
        (background, NAMES, cont_parents, (), {"regressor": linear_model.LinearRegression}),
        (data, names, parents, names, {}),
        (data, names, parents, names, {"classifier": linear_model.LogisticRegression}),
        (data, names, parents, names, {"network": network}),
    ]
    for values, labels, ps, categorical, kw in cases:
        mechanisms, noise = fit_mechanisms(values, labels, ps, categorical, kw.get("regressor"),
                                           kw.get("classifier"), kw.get("network"), seed=0)
        for j, mechanism in mechanisms.items():
            back = mechanism.regenerate(values[:, ps[j]], noise[:, j])
            np.testing.assert_allclose(back, values[:, j], rtol=0, atol=1e-9, err_msg=f"{labels[j]} {kw}")


# Catches the search for repeated rows giving a value other than the mean over
# every row, handing the model a repeat, or merging rows that differ only in
# their bits (0.0 and -0.0 share a key, so they force the whole-row sort).
def test_repeated_rows_go_to_the_model_once():
    rng = np.random.default_rng(3)
    bg = rng.integers(0, 3, size=(400, 3)).astype(float)
    row = np.array([1.0, 0.0, 2.0])
    seen = []

    def counting(x):
        seen.append(x.copy())
        return x @ W + x[:, 0] * x[:, 2]

    got = marginal(counting, row, bg, feature_names=NAMES)(COALITIONS)
    want = [np.mean(counting(np.where(np.isin(NAMES, s), row, bg))) for s in COALITIONS]
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)
    given = seen[0]
    assert len(np.unique(given, axis=0)) == len(given) <= 27  # 3^3 states

    signed = np.array([[0.0, 1.0, 2.0], [-0.0, 1.0, 2.0], [0.0, 1.0, 2.0]])
    assert len(_repeats(signed)[0]) == 2
    np.testing.assert_array_equal(_repeats(signed)[1], [0, 1, 0])


# Catches the search left on for continuous data, where it finds no repeat and
# would only cost: after the first chunk the model gets every row as it comes.
def test_continuous_rows_turn_the_search_off(background):
    calls = []
    v = marginal(lambda x: calls.append(len(x)) or x @ W, ROW, background[:100], feature_names=NAMES, max_rows=200)
    v(COALITIONS)
    assert calls == [200] * 4
