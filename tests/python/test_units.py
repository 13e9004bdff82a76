"""A fit of c·y is the fit of y in other units."""

import functools

import numpy as np
import pytest

import quelt

N = 2000
TERMS = [(0, "cr", 10), (1, "cr", 8)]
CS = [1e-6, 1e-3, 1.0, 1e3, 1e6]
# ρ̂(c·y) − ρ̂(y) per ln c: the optimal λ moves as the Fisher weight does.
SHIFT = {"gaussian": 0.0, "quasipoisson": 1.0, "gamma": 0.0, "Gamma": 2.0,
         "inverse_gaussian": -1.0}
# Responses without units (counts, proportions) only at c = 1.
UNITLESS = ["bernoulli", "binomial", "poisson", "quasibinomial"]


@functools.cache
def data(family):
    rng = np.random.default_rng(29)
    x = rng.uniform(size=(N, 2))
    f = np.sin(2 * np.pi * x[:, 0]) + 0.5 * np.cos(2 * np.pi * x[:, 1])
    if family == "gaussian":
        y = f + 0.3 * rng.standard_normal(N)
    elif family in ("poisson", "quasipoisson"):
        y = rng.poisson(np.exp(1.0 + 0.5 * f)).astype(float)
    elif family in ("bernoulli", "binomial"):
        y = (rng.uniform(size=N) < 1 / (1 + np.exp(-f))).astype(float)
    elif family == "quasibinomial":
        y = rng.binomial(20, 1 / (1 + np.exp(-f))) / 20.0
    elif family == "gamma":
        y = rng.gamma(4.0, np.exp(0.5 * f) / 4.0)
    elif family == "Gamma":
        y = rng.gamma(4.0, 1 / (1.5 + 0.5 * f) / 4.0)
    else:
        y = rng.wald(np.exp(0.3 * f), 5.0)
    return x, y


@functools.cache
def fitted(family, c, algorithm):
    x, y = data(family)
    quelt.set_outer_algorithm(algorithm)
    try:
        return quelt.fit_additive(family, x, y * c, TERMS)
    finally:
        quelt.set_outer_algorithm()


@pytest.mark.parametrize("algorithm", ["REML", "fREML"])
@pytest.mark.parametrize(
    "family, c",
    [(f, c) for f in SHIFT for c in CS] + [(f, 1.0) for f in UNITLESS],
)
def test_fit_follows_the_units_of_y(family, c, algorithm):
    if algorithm == "fREML" and family == "gaussian":
        pytest.skip("the Gaussian driver has no Fellner-Schall path")
    x, _ = data(family)
    m, ref = fitted(family, c, algorithm), fitted(family, 1.0, algorithm)
    assert m.converged
    assert m.edf_total == pytest.approx(ref.edf_total, rel=1e-3)
    np.testing.assert_allclose(m.rho, ref.rho + SHIFT.get(family, 0.0) * np.log(c), atol=0.05)
    mu, want = m.predict_response(x), c * ref.predict_response(x)
    # relative to each mean, or for the Gaussian (means near 0) to the largest
    scale = np.max(np.abs(want)) if family == "gaussian" else np.abs(want)
    assert np.max(np.abs(mu - want) / scale) < 1e-4
    # Away from the optimum the fit would be smoother or rougher: an
    # unpenalized or fully penalized fit has an edf far from these.
    assert 5.0 < m.edf_total < 17.0
