"""Fits and score diagnostics at large smoothing parameters: the parts of the
score level off as rho grows (the smooth becomes the straight line of its
penalty's null space), rho beyond the stated bound is refused, and a fit of
a straight-line truth is that line to rounding."""

import math

import numpy as np
import pytest

from quelt import _quelt_native as native

from test_diagnostics import FAMILIES, data, evaluate

# Points far up the plateau: lambda from e^30 to e^700, the largest accepted.
RHOS = (30.0, 40.0, 60.0, 300.0, 700.0)


@pytest.fixture(scope="module")
def shapes():
    """The fitted shape coordinates of each family's data set."""
    out = {}
    for family, (name, _, _, kwargs, _) in FAMILIES.items():
        x, y = data(family)
        m = native.fit_additive(name, x, y, [(0, "cr", 10)], **kwargs)
        out[family] = (m, x, y, list(m.shape_params))
    return out


@pytest.mark.parametrize("family", list(FAMILIES))
def test_diagnostic_parts_level_off_as_rho_grows(shapes, family):
    m, x, y, shape = shapes[family]
    at = [evaluate(m, family, y, x, [r] + shape) for r in RHOS]
    ref = at[0]
    for d, r in zip(at, RHOS):
        assert d["converged"], r
        # The refit is the null-space (straight-line) fit: beta, D and D_p stop
        # moving, and the penalty's share of D_p vanishes.
        np.testing.assert_allclose(d["beta"], ref["beta"], rtol=1e-7, atol=1e-9)
        assert d["deviance"] == pytest.approx(ref["deviance"], rel=1e-9)
        assert d["bsb_total"] < 1e-6
    # log|H| and the score are affine in rho up there: equal slopes between
    # every pair of points (log|H| grows like (number of penalized directions)
    # times rho).
    for key in ("log_det_h", "score"):
        slopes = [(b[key] - a[key]) / (rb - ra)
                  for a, b, ra, rb in zip(at, at[1:], RHOS, RHOS[1:])]
        np.testing.assert_allclose(slopes, slopes[-1], rtol=0, atol=1e-6)
    if family in ("tweedie", "negbin"):
        # Rank counts c_j = r_j: the two log-determinants cancel, a plateau.
        assert at[-1]["score"] == pytest.approx(ref["score"], rel=1e-10)
    if family == "ocat":
        # The reported gradient is the slope the score has.
        slope = (at[-1]["score"] - at[-2]["score"]) / (RHOS[-1] - RHOS[-2])
        assert at[-1]["grad_rho"][0] == pytest.approx(slope, abs=1e-6)


@pytest.mark.parametrize("family", list(FAMILIES))
@pytest.mark.parametrize("rho", [700.5, 1e4, 1e300])
def test_rho_above_the_bound_is_a_value_error(shapes, family, rho):
    m, x, y, shape = shapes[family]
    with pytest.raises(ValueError) as e:
        evaluate(m, family, y, x, [rho] + shape)
    msg = str(e.value)
    assert "theta=" in msg and "at most 700" in msg and "index 0" in msg


@pytest.mark.parametrize("gap", [30.0, 1e300])
def test_ocat_far_log_gap_gives_a_finite_gradient(shapes, gap):
    # A log gap of 30 (or more) puts the last cut point beyond every
    # observation: the last category's probability sits at its floor.
    m, x, y, shape = shapes["ocat"]
    d = evaluate(m, "ocat", y, x, list(m.rho) + shape[:-1] + [gap])
    assert math.isfinite(d["score"])
    assert all(math.isfinite(g) for g in d["grad_rho"])


def straight_line_data(family, seed=11, n=300):
    """Covariate and a response whose unpenalized fit is exactly the line
    eta = a + b*x: the residuals are orthogonal (in the metric of the
    family's estimating equations) to every column of the model matrix, so
    the penalized coefficients are zero at every rho and the score falls
    towards its plateau as rho grows. Tweedie and the negative binomial get
    a flat line, whose equations do not involve the shape values."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(size=n)).reshape(-1, 1)
    X = native.fit("gaussian", x, x[:, 0]).evaluate_lpmatrix(x)
    q, _ = np.linalg.qr(X)
    e = rng.standard_normal(n)
    r = e - q @ (q.T @ e)
    r /= np.abs(r).max()
    t = x[:, 0]
    if family == "gaussian":
        eta = 1 + 2 * t
        return x, eta + 0.5 * r, eta, np.ones(n)
    if family == "poisson":
        eta = 0.5 + t
        return x, np.exp(eta) + 0.5 * r, eta, np.exp(eta)
    if family == "binomial":
        eta = 2 * t - 1
        mu = 1 / (1 + np.exp(-eta))
        return x, mu + 0.2 * r, eta, mu * (1 - mu)
    if family == "gamma":  # log link: (y - mu)/mu orthogonal to X
        eta = 0.5 + t
        return x, np.exp(eta) * (1 + 0.5 * r), eta, np.ones(n)
    eta = np.full(n, math.log(3.0))
    return x, 3 + 0.5 * r, eta, None


@pytest.mark.parametrize("family", ["gaussian", "poisson", "binomial", "gamma", "tweedie", "nb"])
def test_straight_line_truth_fits_the_line(family):
    x, y, eta, w = straight_line_data(family)
    # Without tolerances the search goes on up the box while the score falls.
    native.set_outer_tuning_override(grad_tol=1e-30, reml_tol=1e-30)
    try:
        far = native.fit(family, x, y)
    finally:
        native.set_outer_tuning_override(grad_tol=None, reml_tol=None)
    # The search stops once a step gains too little (Tweedie, whose shape
    # moves with ρ, stops near ρ = 15 with its score 0.005 above the plateau).
    assert far.converged and far.rho[0] > 12
    np.testing.assert_allclose(far.predict(x), eta, rtol=0, atol=1e-9)
    v = far.vcov()
    assert np.all(np.isfinite(v)) and np.array_equal(v, v.T)
    assert np.linalg.eigvalsh(v).min() > -1e-12 * np.abs(v).max()
    # Up the plateau the smooth keeps two degrees of freedom (intercept and
    # slope), and its intervals are those of the straight-line model.
    assert far.edf_total == pytest.approx(2.0, abs=1e-2)
    if w is not None:
        L = np.column_stack([np.ones(x.shape[0]), x[:, 0]])
        cov = far.scale * np.linalg.inv(L.T @ (w[:, None] * L))
        se_line = np.sqrt(np.einsum("ij,jk,ik->i", L, cov, L))
        X = far.evaluate_lpmatrix(x)
        se_fit = np.sqrt(np.einsum("ij,jk,ik->i", X, v, X))
        np.testing.assert_allclose(se_fit, se_line, rtol=1e-5)
