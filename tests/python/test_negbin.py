"""The negative binomial family ("negbin", "nb"): θ estimated with the
smoothing parameters by the profile-shape search."""

import numpy as np
import pytest

from quelt import _quelt_native as native
from arg_helpers import apply_row_overrides

GRID = np.linspace(0.02, 0.98, 40).reshape(-1, 1)


def log_mean(x):
    return 1.0 + np.sin(2 * np.pi * x)


def nb_data(seed, n=2000, theta=3.0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 1))
    mu = np.exp(log_mean(x[:, 0]))
    return x, rng.negative_binomial(theta, theta / (theta + mu)).astype(float)


@pytest.fixture
def tight():
    native.set_outer_tuning_override(grad_tol=1e-9, reml_tol=1e-12)
    yield
    native.set_outer_tuning_override()


def test_recovers_theta_and_the_log_mean():
    x, y = nb_data(1)
    m = native.fit("nb", x, y)
    assert m.converged
    assert m.shape_params.shape == (1,)
    theta = np.exp(m.shape_params[0])
    assert abs(theta / 3.0 - 1.0) <= 0.2
    # scale is θ = exp(log θ) from the C library's exp; NumPy's may take a
    # vectorised path (AVX-512) that differs from it in the last place.
    assert m.scale == pytest.approx(theta, rel=4 * np.finfo(float).eps)
    assert np.sqrt(np.mean((m.predict(GRID) - log_mean(GRID[:, 0])) ** 2)) < 0.1
    st = m.fit_stats
    assert st["line_search_trials"] == st["no_refresh_attempts"] > 0
    assert st["no_refresh_hits"] <= st["no_refresh_attempts"]


def test_every_start_reaches_the_same_theta():
    # θ moves by at most a factor e^0.5 per iteration: a search that stopped
    # on the ρ-gradient alone ended where its θ happened to be.
    x, y = nb_data(2)
    fits = [native.fit("negbin", x, y, theta=t) for t in (0.01, 2.0, 1e4)]
    for m in fits:
        assert m.converged
        assert m.shape_params[0] == pytest.approx(fits[1].shape_params[0], abs=1e-3)
        assert m.reml_value == pytest.approx(fits[1].reml_value, rel=1e-8)


def test_uniform_weights_of_a_half():
    x, y = nb_data(3)
    m = native.fit("nb", x, y, weights=np.full(y.size, 0.5))
    assert m.converged
    assert abs(np.exp(m.shape_params[0]) / 3.0 - 1.0) <= 0.3


def test_weights_of_two_equal_repeated_rows(tight):
    x, y = nb_data(4, n=1500)
    w = np.ones(y.size)
    w[1::3] = 2.0
    rows = np.repeat(np.arange(y.size), w.astype(int))
    a = native.fit("nb", x, y, weights=w)
    b = native.fit("nb", x[rows], y[rows])
    np.testing.assert_allclose(a.shape_params, b.shape_params, rtol=1e-5)
    np.testing.assert_allclose(a.rho, b.rho, rtol=1e-5)
    assert a.reml_value == pytest.approx(b.reml_value, rel=1e-5)


def test_poisson_counts_end_at_a_large_theta():
    rng = np.random.default_rng(5)
    x = rng.uniform(size=(2000, 1))
    y = rng.poisson(np.exp(log_mean(x[:, 0]))).astype(float)
    m = native.fit("nb", x, y)
    p = native.fit("poisson", x, y)
    assert m.converged and m.scale > 30.0
    np.testing.assert_allclose(m.predict(GRID), p.predict(GRID), atol=0.01)


@pytest.mark.slow
def test_intervals_cover_the_log_mean():
    shares = []
    for r in range(40):
        x, y = nb_data(100 + r, n=1000)
        _, lo, hi = native.fit("nb", x, y).predict_ci(GRID, scale="link")
        truth = log_mean(GRID[:, 0])
        shares.append(np.mean((lo <= truth) & (truth <= hi)))
    assert 0.90 <= np.mean(shares) <= 0.985


INIT = ("NegBin overdispersion init_theta must be a positive finite scalar (small θ → high "
        "variance, large θ → Poisson limit); got init_theta=")

MESSAGES = [
    (dict(theta=np.nan), INIT + "NaN"),
    (dict(theta=np.inf), INIT + "inf"),
    (dict(y_at=(2, -2.0)), "NegBin requires y ≥ 0; got y=-2 at row 2"),
    (dict(y_at=(4, np.nan)), "y must be finite; got y=NaN at row 4"),
    (dict(y_at=(0, np.inf)), "y must be finite; got y=inf at row 0"),
    (dict(w_at=(1, -1.0)),
     "prior_weights must be finite and non-negative; got weight=-1 at row 1"),
    (dict(w_at=(3, np.nan)),
     "prior_weights must be finite and non-negative; got weight=NaN at row 3"),
    # The first failing check is reported: lengths, then θ, then y.
    (dict(n_w=11, theta=np.nan),
     "prior_weights length must match x rows; got weights.len()=11, x.nrows()=10"),
    (dict(theta=np.nan, y_at=(1, -5.0)), INIT + "NaN"),
]


@pytest.mark.parametrize("family", ["negbin", "nb"])
@pytest.mark.parametrize("case, message", MESSAGES)
def test_validation_messages(family, case, message):
    rng = np.random.default_rng(0)
    case = dict(case)
    x = rng.uniform(size=(10, 1))
    y = rng.poisson(2.0, size=10).astype(float)
    w = np.ones(case.pop("n_w", 10))
    case, y, w = apply_row_overrides(case, y, w)
    with pytest.raises(ValueError) as ei:
        native.fit(family, x, y, weights=w, k=4, **case)
    assert str(ei.value) == message


def test_fitted_model_round_trips_bit_for_bit():
    rng = np.random.default_rng(6)
    x = rng.uniform(size=(400, 2))
    mu = np.exp(log_mean(x[:, 0]) + 0.5 * np.cos(3 * x[:, 1]))
    y = rng.negative_binomial(2.0, 2.0 / (2.0 + mu)).astype(float)
    m = native.fit_additive("nb", x, y, [(0, "cr", 8), (1, "cr", 6)], theta=1.0)
    blob = m.serialize()
    back = native.FittedGam.deserialize(blob)
    assert back.serialize() == blob
    for name in ["beta", "rho", "shape_params", "edf_per_term"]:
        np.testing.assert_array_equal(getattr(back, name).view(np.uint64),
                                      getattr(m, name).view(np.uint64))
    np.testing.assert_array_equal(back.vcov().view(np.uint64), m.vcov().view(np.uint64))
    assert back.scale == m.scale and back.reml_value == m.reml_value
    grid = rng.uniform(size=(25, 2))
    np.testing.assert_array_equal(np.asarray(back.predict_ci(grid)).view(np.uint64),
                                  np.asarray(m.predict_ci(grid)).view(np.uint64))
