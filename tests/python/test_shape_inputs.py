"""Inputs at the edge of the data for the families with shape parameters
(scaled t, Tweedie, negative binomial, ordered categories): a sound fit or a
clear error, never a fit that claims more than it has."""

import numpy as np
import pytest

import quelt

rng = np.random.default_rng(21)
N = 300
X = rng.uniform(size=(N, 1))
TRUTH = np.sin(2 * np.pi * X[:, 0])
RESPONSES = {
    "scat": TRUTH + 0.3 * rng.standard_t(4, N),
    "tweedie": np.exp(TRUTH) * rng.gamma(2.0, 0.5, N),
    "nb": rng.poisson(np.exp(1 + TRUTH)).astype(float),
    "ocat": np.clip(np.round(2.5 + 1.5 * TRUTH + rng.logistic(size=N)), 1, 4),
}
EXTRA = {"ocat": dict(r=4)}


def fit(family, x, y, **kw):
    return quelt.fit(family, x, y, **EXTRA.get(family, {}), **kw)


# --- a row of weight 0 reaches no statistic -----------------------------------

WILD = [("scat", 1e300), ("scat", -1e8), ("tweedie", 1e300), ("tweedie", 0.0),
        ("nb", 1e300), ("nb", 0.0), ("ocat", 1.0), ("ocat", 4.0)]


@pytest.mark.parametrize("family, wild", WILD)
def test_zero_weight_rows_with_wild_responses_change_nothing(family, wild):
    # Every row twice, the copy at weight 0: the knots and the basis stay, so
    # the copy's response, however wild, must leave the fit as it is.
    y = RESPONSES[family]
    x2, w2 = np.vstack([X, X]), np.r_[np.ones(N), np.zeros(N)]
    base = fit(family, x2, np.r_[y, y], weights=w2)
    wild_fit = fit(family, x2, np.r_[y, np.full(N, wild)], weights=w2)
    assert base.converged and wild_fit.converged
    np.testing.assert_allclose(wild_fit.predict(X), base.predict(X), rtol=0, atol=1e-8)
    np.testing.assert_allclose(wild_fit.shape_params, base.shape_params, rtol=0, atol=1e-8)
    assert wild_fit.edf_total == pytest.approx(base.edf_total, rel=1e-8)
    assert wild_fit.reml_value == pytest.approx(base.reml_value, rel=1e-8)


# --- precise data are fitted to their noise ------------------------------------

@pytest.mark.parametrize("noise", [1e-2, 1e-3, 1e-5])
@pytest.mark.parametrize("units", [1.0, 1e-6, 2.0**40])
def test_scaled_t_fits_precise_data_to_their_noise(noise, units):
    # t₄ noise far below the signal: the fit must follow the curve as closely
    # as the Gaussian fit does (k = 20 resolves the sine to about 1e-5) and
    # find σ near the noise's own scale (σ² of t₄ noise of scale s is s²).
    x = X[:, :1]
    e = np.random.default_rng(3).standard_t(4, N)
    y = units * (TRUTH + noise * e)
    t = quelt.fit("scat", x, y, k=20)
    g = quelt.fit("gaussian", x, y, k=20)
    assert t.converged
    rmse_t = np.sqrt(np.mean((t.predict(x) / units - TRUTH) ** 2))
    rmse_g = np.sqrt(np.mean((g.predict(x) / units - TRUTH) ** 2))
    assert rmse_t <= 1.5 * rmse_g
    sigma = np.sqrt(np.exp(t.shape_params[0])) / units
    assert noise / 3 < sigma < 3 * noise + 3 * rmse_g


# --- a huge or constant response: a clear error or a converged fit -------------

def one_huge(family, value):
    y = RESPONSES[family].copy()
    y[7] = value
    return y


REFUSED = [
    ("scat", one_huge("scat", 1e300), ["y is too large to fit in its units", "at row 7"]),
    ("scat", RESPONSES["scat"] * 1e300, ["y is too large", "scale estimate overflows"]),
    ("tweedie", one_huge("tweedie", 1e300), ["y is too large", "at row 7", "2^52"]),
    ("nb", one_huge("nb", 1e300), ["y is too large", "at row 7", "2^53"]),
    ("nb", RESPONSES["nb"] * 1e20, ["y is too large", "2^53"]),
    ("scat", np.full(N, -3e7), ["y is constant (y=-30000000", "scat"]),
    ("tweedie", np.zeros(N), ["y is constant (y=0", "Tweedie"]),
    ("tweedie", np.full(N, 3.0), ["y is constant (y=3", "Tweedie"]),
    ("nb", np.full(N, 3.0), ["y is constant (y=3", "NegBin"]),
    ("ocat", np.full(N, 3.0), ["single observed category", "category 3 of 1..=4"]),
]


@pytest.mark.parametrize("family, y, words", REFUSED)
def test_responses_without_a_sound_fit_are_refused(family, y, words):
    with pytest.raises(ValueError) as ei:
        fit(family, X, y)
    for w in words:
        assert w in str(ei.value)


@pytest.mark.parametrize("family", ["scat", "tweedie", "nb", "ocat"])
@pytest.mark.parametrize("level", [1e-4, 0.02])
def test_weights_summing_to_fewer_observations_than_coefficients_are_refused(family, level):
    with pytest.raises(ValueError) as ei:
        fit(family, X, RESPONSES[family], weights=np.full(N, level))
    assert "prior_weights sum to" in str(ei.value)
    assert "frequency weights" in str(ei.value)


# σ² of the scaled t moves by c², φ of Tweedie by c^(2−p): the largest c
# whose scale a 64-bit float holds differ.
UNITS = ([("scat", c) for c in (1e-150, 1e10, 1e100, 1e150)]
         + [("tweedie", c) for c in (1e-200, 1e10, 1e100, 1e280)])


@pytest.mark.parametrize("family, c", UNITS)
def test_large_and_small_units_give_the_fit_in_those_units(family, c):
    y = RESPONSES[family]
    base = fit(family, X, y)
    m = fit(family, X, c * y)
    assert base.converged and m.converged
    assert np.all(np.isfinite(m.vcov()))
    mu = base.predict_response(X)
    np.testing.assert_allclose(m.predict_response(X) / c, mu, rtol=0,
                               atol=1e-4 * np.abs(mu).max())
    np.testing.assert_allclose(m.edf_total, base.edf_total, rtol=1e-4)
    # the shape: ν (scaled t) or p (Tweedie) does not depend on the units
    np.testing.assert_allclose(m.shape_params[1], base.shape_params[1], atol=1e-3)


@pytest.mark.parametrize("level", [1e9, 1e12])
def test_negative_binomial_counts_of_large_magnitude_converge_near_the_truth(level):
    # Gamma-mixed Poisson counts of mean level·e^sin: negative binomial with θ = 3.
    r = np.random.default_rng(7)
    x = r.uniform(size=(2000, 1))
    mu = level * np.exp(np.sin(2 * np.pi * x[:, 0]))
    y = np.round(mu * r.gamma(3.0, 1 / 3.0, 2000))
    m = quelt.fit("nb", x, y)
    assert m.converged
    assert 2.6 < np.exp(m.shape_params[0]) < 3.4
