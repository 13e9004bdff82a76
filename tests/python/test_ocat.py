"""The ordered-categorical family ("ocat"): labels 1..R from a smooth latent
predictor with logistic noise cut at −1, −1 + e^θ₁, …; the log gaps θ are
estimated with the smoothing parameters and predictions are on the latent
scale."""

import pickle

import numpy as np
import pytest

from quelt import _quelt_native as native
from arg_helpers import apply_row_overrides


def latent(x):
    return 1.5 * np.sin(2 * np.pi * x)


def labels(eta, gaps, rng):
    cuts = -1.0 + np.concatenate([[0.0], np.cumsum(np.exp(gaps))])
    return 1.0 + np.searchsorted(cuts, eta + rng.logistic(size=eta.size))


def ocat_data(seed, n=1000, gaps=(0.3, -0.2)):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 1))
    return x, labels(latent(x[:, 0]), np.asarray(gaps), rng)


GRID = np.linspace(0.02, 0.98, 60).reshape(-1, 1)


@pytest.mark.parametrize("seed", range(3))
def test_four_categories_recover_the_gaps_and_the_latent_smooth(seed):
    gaps = np.array([0.3, -0.2])
    x, y = ocat_data(seed, gaps=gaps)
    m = native.fit("ocat", x, y, r=4)
    assert m.converged
    assert m.shape_params.shape == (2,) and m.scale == 1.0
    np.testing.assert_allclose(m.shape_params, gaps, atol=0.25)
    # The latent predictor, cut points pinned at −1: no centring needed.
    eta = m.predict(GRID)
    np.testing.assert_array_equal(m.predict_response(GRID), eta)
    # Over 30 seeds the RMSE ran from 0.07 to 0.23 (the truth spans ±1.5).
    assert np.sqrt(np.mean((eta - latent(GRID[:, 0])) ** 2)) < 0.3


def test_additive_fit_of_two_smooths():
    rng = np.random.default_rng(4)
    x = rng.uniform(size=(1500, 2))
    eta = latent(x[:, 0]) + np.cos(2 * np.pi * x[:, 1])
    y = labels(eta, np.array([0.0, 0.2, -0.1]), rng)
    m = native.fit_additive("ocat", x, y, [(0, "cr", 10), (1, "cr", 8)], r=5)
    assert m.converged and m.rho.shape == (2,) and m.shape_params.shape == (3,)
    grid = rng.uniform(size=(200, 2))
    truth = latent(grid[:, 0]) + np.cos(2 * np.pi * grid[:, 1])
    assert np.sqrt(np.mean((m.predict(grid) - truth) ** 2)) < 0.25


def test_weights_of_two_equal_repeated_rows():
    x, y = ocat_data(3, n=600)
    w = np.ones(600)
    w[::3] = 2.0
    rows = np.repeat(np.arange(600), w.astype(int))
    a = native.fit("ocat", x, y, weights=w, r=4)
    b = native.fit("ocat", x[rows], y[rows], r=4)
    np.testing.assert_allclose(a.rho, b.rho, atol=1e-3)
    np.testing.assert_allclose(a.shape_params, b.shape_params, atol=1e-3)
    np.testing.assert_allclose(a.predict(GRID), b.predict(GRID), atol=1e-4)


@pytest.mark.parametrize("c", [1e-3, 1e3])
def test_the_units_of_x_do_not_change_the_fit(c):
    # The cubic regression basis is laid out in knot-range units.
    x, y = ocat_data(5, n=800)
    a = native.fit("ocat", x, y, r=4)
    b = native.fit("ocat", c * x, y, r=4)
    np.testing.assert_allclose(b.rho, a.rho, atol=1e-4)
    np.testing.assert_allclose(b.shape_params, a.shape_params, atol=1e-6)
    np.testing.assert_allclose(b.predict(c * GRID), a.predict(GRID), atol=1e-6)


def test_fitted_model_round_trips_bit_for_bit():
    x, y = ocat_data(6, n=500, gaps=(0.1, 0.4, -0.3))
    m = native.fit("ocat", x, y, r=5, k=8)
    blob = m.serialize()
    for back in (native.FittedGam.deserialize(blob), pickle.loads(pickle.dumps(m))):
        assert back.serialize() == blob
        for name in ["beta", "rho", "shape_params", "edf_per_term"]:
            np.testing.assert_array_equal(getattr(back, name).view(np.uint64),
                                          getattr(m, name).view(np.uint64))
        np.testing.assert_array_equal(np.asarray(back.predict_ci(GRID, scale="link")).view(np.uint64),
                                      np.asarray(m.predict_ci(GRID, scale="link")).view(np.uint64))


ROWS = 12
MESSAGES = [
    (dict(r=None), "family='ocat' requires r=K (number of ordered categories, K >= 3)"),
    (dict(r=2), "ocat requires r >= 3, got r=2"),
    (dict(y_at=(4, 0.49)), "Ocat requires y to be an integer in 1..=3; got y=0.49 at row 4"),
    (dict(y_at=(2, 3.5)), "Ocat requires y to be an integer in 1..=3; got y=3.5 at row 2"),
    (dict(y_at=(0, -1.0)), "Ocat requires y to be an integer in 1..=3; got y=-1 at row 0"),
    (dict(y_at=(3, np.nan)), "y must be finite; got y=NaN at row 3"),
    (dict(w_at=(5, -1.0)), "prior_weights must be finite and non-negative; got weight=-1 at row 5"),
]


@pytest.mark.parametrize("case, message", MESSAGES)
def test_validation_messages(case, message):
    rng = np.random.default_rng(0)
    case = dict(case)
    x = rng.uniform(size=(ROWS, 1))
    y = 1.0 + np.arange(ROWS) % 3
    w = np.ones(ROWS)
    case, y, w = apply_row_overrides(case, y, w)
    kwargs = {"r": 3, **case}
    if kwargs["r"] is None:
        del kwargs["r"]
    with pytest.raises(ValueError) as ei:
        native.fit("ocat", x, y, weights=w, k=4, **kwargs)
    assert type(ei.value) is ValueError
    assert str(ei.value) == message


def test_labels_that_round_into_range_are_categories():
    # 2.4 and 0.5 round to 2 and 1 (halves away from zero): the same fit.
    x, y = ocat_data(8, n=300)
    z = y.copy()
    z[y == 1] = 0.5
    z[y == 2] = 2.4
    a = native.fit("ocat", x, y, r=4)
    b = native.fit("ocat", x, z, r=4)
    assert a.serialize() == b.serialize()


@pytest.mark.slow
def test_intervals_cover_the_centred_latent_smooth():
    # H⁻¹ holds the cut points fixed: the centred smooth (intercept column
    # dropped, the truth centred over the data as the basis is) is what its
    # intervals cover.
    shares = []
    z = 1.959963984540054
    for r in range(100):
        rng = np.random.default_rng(2000 + r)
        x = rng.uniform(size=(400, 1))
        y = labels(latent(x[:, 0]), np.array([0.2, 0.0]), rng)
        m = native.fit("ocat", x, y, r=4, k=8)
        lp = m.evaluate_lpmatrix(GRID)[:, 1:]
        v = m.vcov()[1:, 1:]
        fit = lp @ m.beta[1:]
        se = np.sqrt(np.einsum("ij,jk,ik->i", lp, v, lp))
        truth = latent(GRID[:, 0]) - latent(x[:, 0]).mean()
        shares.append(np.mean(np.abs(fit - truth) <= z * se))
    assert 0.90 <= np.mean(shares) <= 0.98
