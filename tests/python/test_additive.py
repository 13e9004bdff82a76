"""Additive models with every basis kind: recovery of a known function,
exact reproduction of the model matrix, and persistence of predictions."""

import pickle

import numpy as np
import pytest

from quelt import _quelt_native as native

FittedGam = native.FittedGam


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def column_order_product(X, beta):
    """X·β summed over the columns in index order, starting from -0.0."""
    acc = np.full(X.shape[0], -0.0)
    for j in range(X.shape[1]):
        acc = acc + X[:, j] * beta[j]
    return acc


def f1(v):
    return np.sin(2 * np.pi * v)


def f2(v):
    return 1.5 * (v - 0.5) ** 2


def f3(a, b):
    return np.exp(-((a - 0.4) ** 2 + (b - 0.6) ** 2) / 0.1)


N_GROUPS = 8
GROUP_EFFECTS = np.linspace(-0.6, 0.6, N_GROUPS)


def simulate(n, seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 5))
    x[:, 4] = rng.integers(0, N_GROUPS, size=n)
    mean = f1(x[:, 0]) + f2(x[:, 1]) + f3(x[:, 2], x[:, 3]) + GROUP_EFFECTS[x[:, 4].astype(int)]
    return x, mean


# Every basis kind, in models of two smooths, a 2-D smooth and a random effect.
MODELS = {
    "te": [(0, "cr", 8), (1, "cr_stable", 6), ((2, 3), "te", (5, 5)), (4, "re")],
    "tp": [(0, "cr", 8), (1, "cr", 6), ((2, 3), "tp", 20), (4, "re")],
    "te_multi": [(0, "cr", 8), ((1, 2, 3), "te_multi", (3, 5, 5)), (4, "re")],
    "ti": [(0, "cr", 8), (1, "cr", 6), ((2, 3), "ti", (6, 6)), (2, "cr", 6), (3, "cr", 6),
           (4, "re")],
}


@pytest.fixture(scope="module")
def data():
    x, mean = simulate(800, 20240607)
    y = mean + np.random.default_rng(5).normal(scale=0.2, size=mean.size)
    return x, y, mean


@pytest.fixture(scope="module")
def fits(data):
    x, y, _ = data
    return {name: native.fit_additive("gaussian", x, y, terms) for name, terms in MODELS.items()}


@pytest.mark.parametrize("name", list(MODELS))
def test_gaussian_fit_recovers_the_additive_function(name, data, fits):
    x, y, mean = data
    m = fits[name]
    assert m.converged
    eta = m.predict(x)
    # Noise sd 0.2, signal sd about 0.6: the fitted mean is much closer to
    # the truth than y is.
    rmse = float(np.sqrt(np.mean((eta - mean) ** 2)))
    assert rmse < 0.1, rmse
    ranges = m.term_col_ranges()
    assert ranges[0][0] == 1 and ranges[-1][1] == m.beta.size
    assert all(a[1] == b[0] for a, b in zip(ranges, ranges[1:]))
    assert len(ranges) == len(MODELS[name])
    # The random-effect block recovers the group effects (centred).
    lo, hi = ranges[-1]
    effects = m.beta[lo:hi] - m.beta[lo:hi].mean()
    np.testing.assert_allclose(effects, GROUP_EFFECTS - GROUP_EFFECTS.mean(), atol=0.1)


def test_tensor_terms_carry_one_smoothing_parameter_per_margin(fits):
    # penalties: cr, cr_stable, te (2 margins), re
    assert fits["te"].rho.size == 5
    # cr, te_multi (3 margins), re
    assert fits["te_multi"].rho.size == 5
    # cr, cr, ti (2 margins), cr, cr, re
    assert fits["ti"].rho.size == 7
    assert fits["tp"].rho.size == 4


@pytest.mark.parametrize("name", list(MODELS))
def test_training_predictions_are_the_model_matrix_times_beta(name, data, fits):
    x, _, _ = data
    m = fits[name]
    X = m.evaluate_lpmatrix(x)
    assert X.shape == (x.shape[0], m.beta.size)
    assert np.all(X[:, 0] == 1.0)
    eta = m.predict(x)
    assert np.array_equal(bits(eta), bits(column_order_product(X, m.beta)))
    # Rows are evaluated independently: a slice gives the same bits.
    assert np.array_equal(bits(m.predict(x[100:137])), bits(eta[100:137]))
    assert np.array_equal(bits(m.evaluate_lpmatrix(x[::7])), bits(X[::7]))


@pytest.mark.parametrize("name", list(MODELS))
def test_new_covariate_predictions_survive_serialization(name, fits):
    m = fits[name]
    x_new, _ = simulate(57, 99)
    x_new[:3, :4] += 0.3  # beyond the knot range: extrapolated, still reproduced
    x_new[3, 4] = N_GROUPS + 5  # an unseen level contributes nothing
    restored = FittedGam.deserialize(m.serialize())
    unpickled = pickle.loads(pickle.dumps(m))
    for other in (restored, unpickled):
        assert np.array_equal(bits(other.predict(x_new)), bits(m.predict(x_new)))
        assert np.array_equal(bits(other.evaluate_lpmatrix(x_new)), bits(m.evaluate_lpmatrix(x_new)))
        assert other.term_col_ranges() == m.term_col_ranges()
    X = m.evaluate_lpmatrix(x_new)
    lo, hi = m.term_col_ranges()[-1]
    assert np.all(X[3, lo:hi] == 0.0)


def test_narrow_covariates_name_the_first_term_that_lacks_a_column(fits):
    m = fits["te"]
    with pytest.raises(ValueError, match=r"^AdditivePredictor: term 2 expects column 2 but x has only 2 columns$"):
        m.predict(np.zeros((3, 2)))


@pytest.mark.parametrize(
    "terms, message",
    [
        ([(0, "cr"), (7, "cr")], "Additive term 1 reads column 7 but x has only 5 columns"),
        ([((0, 9), "tp")], "Additive term 0 reads column 9 but x has only 5 columns"),
        ([((1, 1), "te")], "Tensor term must have distinct margin columns (got col_a == col_b == 1)"),
        ([((0, 1), "te", (2, 5))], "CR spline needs k ≥ 3 (got 2)"),
        ([((0, 1, 0), "ti")],
         "n-margin tensor term must have distinct margin columns (cols[0] == cols[2] == 0)"),
        ([((0, 1), "tp", 3)], "tps term needs k > d+1 (got k=3, d=2)"),
        ([((0, 1), "tp", 900)], "tps term k=900 cannot exceed n=800"),
    ],
)
def test_design_errors_are_value_errors(data, terms, message):
    x, y, _ = data
    with pytest.raises(ValueError) as info:
        native.fit_additive("gaussian", x, y, terms)
    assert str(info.value) == message


def test_non_finite_covariates_and_huge_tensors_are_value_errors(data):
    x, y, _ = data
    bad = x.copy()
    bad[11, 3] = np.nan
    with pytest.raises(ValueError, match="non-finite"):
        native.fit_additive("gaussian", bad, y, [(0, "cr"), ((2, 3), "te")])
    with pytest.raises(ValueError, match="too large"):
        native.fit_additive("gaussian", x, y, [((0, 1), "te", (2**33, 2**33))])


def test_poisson_fit_with_a_tensor_term(data):
    x, _, _ = data
    truth = 0.5 * (f1(x[:, 0]) + f3(x[:, 2], x[:, 3]))
    y = np.random.default_rng(3).poisson(np.exp(truth)).astype(float)
    m = native.fit_additive("poisson", x, y, [(0, "cr", 6), ((2, 3), "te", (4, 4))])
    assert m.converged
    assert m.rho.size == 3
    eta = m.predict(x)
    centred = (eta - eta.mean()) - (truth - truth.mean())
    assert float(np.sqrt(np.mean(centred**2))) < 0.15
