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


# --- the units of y at extreme magnitudes -------------------------------------

POSITIVE = ["gamma", "Gamma", "inverse_gaussian"]


@pytest.mark.parametrize("algorithm", ["REML", "fREML"])
@pytest.mark.parametrize("family", POSITIVE)
@pytest.mark.parametrize("c", [1e-100, 1e-50, 1e-20, 1e20, 1e50, 1e100])
def test_extreme_units_of_positive_responses_give_the_same_fit(family, c, algorithm):
    x, _ = data(family)
    m, ref = fitted(family, c, algorithm), fitted(family, 1.0, algorithm)
    assert m.converged
    assert m.edf_total == pytest.approx(ref.edf_total, abs=1e-3)
    np.testing.assert_allclose(m.rho, ref.rho + SHIFT[family] * np.log(c), atol=0.05)
    want = c * ref.predict_response(x)
    assert np.max(np.abs(m.predict_response(x) / want - 1.0)) < 1e-4
    assert np.all(np.isfinite(m.vcov())) and np.isfinite(m.scale) and m.scale > 0.0


# Where the family's variance μ² or μ³ at the mean response (about 1 for
# these data) is no normal double, or where the Gamma inverse-link covariance
# (scaling as 1/ȳ²) no longer is, the fit is refused with y's magnitude.
@pytest.mark.parametrize(
    "family, c, words",
    [
        ("gamma", 1e160, ["too large", "Gamma variance μ²", "divide y"]),
        ("Gamma", 1e-160, ["too small", "Gamma variance μ²", "multiply y"]),
        ("Gamma", 1e153, ["too large", "covariance of the coefficients", "divide y"]),
        ("inverse_gaussian", 1e110, ["too large", "InverseGaussian variance μ³", "divide y"]),
        ("inverse_gaussian", 1e-110, ["too small", "InverseGaussian variance μ³", "multiply y"]),
    ],
)
def test_responses_whose_variance_cannot_be_held_are_refused(family, c, words):
    x, y = data(family)
    with pytest.raises(ValueError) as ei:
        quelt.fit_additive(family, x, y * c, TERMS)
    message = str(ei.value)
    assert message.startswith("y is too")
    assert "in its units" in message and "mean response ȳ=" in message
    for w in words:
        assert w in message


# --- the units of the prior weights -------------------------------------------

# Prior weights of the estimated-scale families are precisions: row i has
# dispersion φ/w_i, so weights × c leave the curve and multiply φ and λ by c.
@pytest.mark.parametrize("model", ["single", "additive"])
@pytest.mark.parametrize("family", ["gaussian", "Gamma", "gamma", "inverse_gaussian",
                                    "quasipoisson", "quasibinomial"])
@pytest.mark.parametrize("c", [1e-4, 2.0, 1e4])
def test_weights_times_c_leave_the_fit(family, model, c):
    x, y = data(family)
    w = np.random.default_rng(3).uniform(0.3, 3.0, size=N)
    fit = ((lambda wt: quelt.fit(family, x[:, :1], y, k=10, weights=wt)) if model == "single"
           else (lambda wt: quelt.fit_additive(family, x, y, TERMS, weights=wt)))
    base, m = fit(w), fit(w * c)
    assert m.converged and base.converged
    mu = base.predict_response(x)
    assert np.max(np.abs(m.predict_response(x) - mu)) <= 1e-6 * np.std(mu)
    assert m.edf_total == pytest.approx(base.edf_total, abs=1e-6)
    assert m.scale == pytest.approx(c * base.scale, rel=1e-6)
    np.testing.assert_allclose(m.rho, base.rho + np.log(c), atol=1e-5)


# --- the far ends of a double -------------------------------------------------

# Where the record of c·y (scale, vcov, intervals) can be held in normal
# doubles the fit is that of y in other units; elsewhere a ValueError names y
# as too small or too large. For these data (y of size about 1, n = 500),
# quasi-Poisson and Tweedie records fit at every c here (their scale moves as
# c or c^(2−p), their vcov not at all); the scale and covariance of the
# others leave the normal doubles beyond about 1e±150.
FAR_CS = [1e-300, 1e-250, 1e-200, 1e-170, 1e-160, 1e160, 1e300]
NEAR_CS = [1e-100, 1e-20, 1e20, 1e100]
FITS_AT_EVERY_C = {"quasipoisson", "tweedie"}
# (family, tau, outer algorithm) and the power b of the scale's c^b
FAR_CASES = [("gaussian", None, "REML"), ("quasipoisson", None, "REML"),
             ("quasipoisson", None, "fREML"), ("Gamma", None, "REML"), ("gamma", None, "REML"),
             ("inverse_gaussian", None, "REML"), ("scat", None, "REML"),
             ("tweedie", None, "REML"), ("quantile", 0.5, "REML"), ("quantile", 0.9, "REML")]
SCALE_POWER = {"gaussian": 2, "quasipoisson": 1, "Gamma": 0, "gamma": 0, "inverse_gaussian": -1,
               "scat": 2, "quantile": 1}
# The scaled t and Tweedie searches start from sigma2 and tweedie_phi in the
# units of y, so their fits agree to the search's tolerance; the others are
# the same fit up to rounding.
SAME_FIT_TOL = {"scat": 1e-4, "tweedie": 1e-4}
DRAW = {
    "gaussian": lambda r, f: f + 0.3 * r.standard_normal(500),
    "quantile": lambda r, f: f + 0.3 * r.standard_normal(500),
    "scat": lambda r, f: f + 0.3 * r.standard_t(4, size=500),
    "tweedie": lambda r, f: r.poisson(np.exp(f)) * r.gamma(2.0, 0.5, size=500),
    "quasipoisson": lambda r, f: r.poisson(np.exp(1.0 + 0.5 * f)).astype(float),
    "gamma": lambda r, f: r.gamma(4.0, np.exp(0.5 * f) / 4.0),
    "Gamma": lambda r, f: r.gamma(4.0, 1 / (1.5 + 0.5 * f) / 4.0),
    "inverse_gaussian": lambda r, f: r.wald(np.exp(0.3 * f), 5.0),
}


@functools.cache
def far_data(family):
    rng = np.random.default_rng(41)
    x = rng.uniform(size=(500, 1))
    return x, DRAW[family](rng, np.sin(2 * np.pi * x[:, 0]))


@functools.cache
def far_fit(family, tau, algorithm, c):
    x, y = far_data(family)
    quelt.set_outer_algorithm(algorithm)
    try:
        return quelt.fit(family, x, c * y, k=10, **({} if tau is None else {"tau": tau}))
    finally:
        quelt.set_outer_algorithm()


@pytest.mark.parametrize("c", FAR_CS + NEAR_CS)
@pytest.mark.parametrize("family, tau, algorithm", FAR_CASES)
def test_far_units_give_the_same_fit_or_name_y(family, tau, algorithm, c):
    x, _ = far_data(family)
    try:
        m = far_fit(family, tau, algorithm, c)
    except ValueError as e:
        message = str(e)
        assert c in FAR_CS and family not in FITS_AT_EVERY_C, message
        assert message.startswith(f"y is too {'small' if c < 1 else 'large'} to fit in its units: ")
        assert any(q in message for q in ("scale", "covariance", "variance")), message
        return
    assert c in NEAR_CS or family in FITS_AT_EVERY_C
    ref, tol = far_fit(family, tau, algorithm, 1.0), SAME_FIT_TOL.get(family, 1e-9)
    assert m.converged
    assert m.edf_total == pytest.approx(ref.edf_total, rel=tol)
    (mean, lo, hi), (mean0, lo0, hi0) = m.predict_ci(x), ref.predict_ci(x)
    assert np.max(np.abs(mean / c - mean0)) <= tol * np.max(np.abs(mean0))
    np.testing.assert_allclose((hi - lo) / c, hi0 - lo0, rtol=10 * tol)
    # φ of the Tweedie moves as c^(2−p̂)
    b = (2 - np.clip(1 + 1 / (1 + np.exp(-m.shape_params[1])), 1.05, 1.95)
         if family == "tweedie" else SCALE_POWER[family])
    assert abs(np.log(m.scale) - b * np.log(c) - np.log(ref.scale)) <= 10 * tol
    # No estimate is reported as 0 or as a subnormal, no interval as a point.
    tiny = np.finfo(float).tiny
    assert m.scale >= tiny and np.all(np.diag(m.vcov()) >= tiny)
    assert np.all(hi - lo != 0.0)


# A response below the normal doubles has no record that can be held in
# them (Tweedie excepted: its scale moves as c^(2−p) and its covariance not
# at all, and it fits such data as they are).
@pytest.mark.parametrize("c", [1e-310, 1e-320])
@pytest.mark.parametrize("family, tau, algorithm", [f for f in FAR_CASES if f[0] != "tweedie"])
def test_subnormal_responses_are_refused_as_too_small(family, tau, algorithm, c):
    with pytest.raises(ValueError, match="^y is too small to fit in its units: "):
        far_fit(family, tau, algorithm, c)
