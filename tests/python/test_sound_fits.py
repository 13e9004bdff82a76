"""Inputs at the edge of the data give a sound fit (equal to the fit they
must equal) or a clear error."""

import numpy as np
import pytest

import quelt

rng = np.random.default_rng(5)
X = rng.uniform(size=(200, 2))
TRUTH = np.sin(2 * np.pi * X[:, 0])
Y = TRUTH + 0.3 * rng.standard_normal(200)
W = rng.uniform(0.5, 2.0, size=200)
SD = Y.std()


def close(a, b, rel):
    a, b = np.asarray(a, float), np.asarray(b, float)
    return np.max(np.abs(a - b)) <= rel * np.max(np.abs(b))


def response(family):
    if family == "gaussian":
        return Y
    if family in ("poisson", "quasipoisson"):
        return rng.poisson(np.exp(1 + TRUTH)).astype(float)
    if family == "binomial":
        return (rng.uniform(size=200) < 1 / (1 + np.exp(-2 * TRUTH))).astype(float)
    return rng.gamma(4.0, np.exp(0.5 * TRUTH) / 4.0)


# --- zero-weight rows are not data --------------------------------------------

@pytest.mark.parametrize("family", ["gaussian", "poisson", "quasipoisson", "binomial", "Gamma",
                                    "inverse_gaussian"])
def test_zero_weight_rows_leave_the_fit_unchanged(family):
    # Every row again with weight 0 and a response far from the data: the
    # knots (placed on distinct values) and the column means of the basis
    # stay, so the two fits must agree to rounding.
    y = response(family)
    far = 1.0 if family == "binomial" else 500.0
    x2, y2 = np.vstack([X, X]), np.concatenate([y, np.full(200, far)])
    w2 = np.concatenate([W, np.zeros(200)])
    base = quelt.fit(family, X, y, weights=W)
    padded = quelt.fit(family, x2, y2, weights=w2)
    assert padded.converged
    assert close(padded.predict_response(X), base.predict_response(X), 1e-8)
    assert padded.scale == pytest.approx(base.scale, rel=1e-8)
    assert padded.edf_total == pytest.approx(base.edf_total, rel=1e-8)
    # the saturated likelihood is weighted as the deviance is
    assert padded.reml_value == pytest.approx(base.reml_value, rel=1e-8)


# --- refused with a message that names the cause ------------------------------

@pytest.mark.parametrize(
    "call, words",
    [
        (lambda: quelt.fit("gaussian", X[:5], Y[:5], k=10), ["10 coefficients", "only 5 rows"]),
        (lambda: quelt.fit("poisson", X, np.ones(200), weights=np.r_[np.ones(9), np.zeros(191)]),
         ["10 coefficients", "only 9 rows"]),
        (lambda: quelt.fit("gaussian", X, Y, weights=np.zeros(200)),
         ["prior_weights", "all zero"]),
        (lambda: quelt.fit("Gamma", X, Y + 2, weights=np.full(200, 1e-310)),
         ["prior_weights", "smallest normal number"]),
        (lambda: quelt.fit("gaussian", X, Y * 1e300), ["y is too large", "divide y"]),
    ],
)
def test_data_without_a_sound_fit_are_refused(call, words):
    with pytest.raises(ValueError) as ei:
        call()
    for w in words:
        assert w in str(ei.value)


# --- Gaussian fits in the data's own units ------------------------------------

# A constant response of every family that allows it, zero included where
# the family does, in ordinary and extreme units.
CONSTANT = ([("gaussian", v) for v in (0.0, 5.0, -3e7)]
            + [(f, v) for f in ("poisson", "quasipoisson") for v in (0.0, 3.0, 1e12)]
            + [(f, v) for f in ("gamma", "Gamma", "inverse_gaussian") for v in (0.37, 7.0, 1e12)])
VARIANCE_POWER = {"gaussian": 0, "quasipoisson": 1, "gamma": 2, "Gamma": 2, "inverse_gaussian": 3}


@pytest.mark.parametrize("family, level", CONSTANT)
@pytest.mark.parametrize("weighted", [False, True])
def test_constant_response_gives_the_constant_fit(family, level, weighted):
    w = W if weighted else None
    m = quelt.fit(family, X, np.full(200, level), weights=w)
    assert m.converged
    assert np.isfinite(m.reml_value)
    if family == "gaussian":
        np.testing.assert_array_equal(m.predict(X), np.full(200, level))
    else:
        np.testing.assert_allclose(m.predict_response(X), level, rtol=1e-5, atol=1e-10)
    if family == "poisson":
        assert m.scale == 1.0
        return
    # the scale sits at its floor, 1e-8 of the response's own dispersion
    # w̄·ȳ²/V(ȳ) (of w̄ for a zero response)
    wbar = 1.0 if w is None else W.mean()
    unit = level ** (2 - VARIANCE_POWER[family]) if level != 0.0 else 1.0
    if family == "gaussian":
        unit = max(level * level, 1.0)
    assert 0.0 < m.scale <= 1e-8 * wbar * unit * (1 + 1e-9)


@pytest.mark.parametrize("shift", [-1e10, -1e4, 1e3, 1e6, 1e10])
def test_offset_response_moves_the_curve_by_the_offset(shift):
    base = quelt.fit("gaussian", X, Y)
    moved = quelt.fit("gaussian", X, Y + shift * SD)
    assert moved.converged
    assert np.max(np.abs(moved.predict(X) - shift * SD - base.predict(X))) < 1e-4 * SD
    assert moved.edf_total == pytest.approx(base.edf_total, rel=1e-6)
    assert moved.scale == pytest.approx(base.scale, rel=1e-6)


@pytest.mark.parametrize("c", [1e-100, 1e-50, 1e-8, 1e8, 1e50, 1e100])
@pytest.mark.parametrize("scaled", ["y", "weights"])
def test_units_of_y_and_of_the_weights_leave_the_edf(c, scaled):
    base = quelt.fit("gaussian", X, Y, weights=W)
    m = (quelt.fit("gaussian", X, Y * c, weights=W) if scaled == "y"
         else quelt.fit("gaussian", X, Y, weights=W * c))
    assert m.converged
    assert m.edf_total == pytest.approx(base.edf_total, rel=1e-9)
    if scaled == "y":
        assert close(m.predict(X), c * base.predict(X), 1e-9)
        assert m.scale == pytest.approx(c * c * base.scale, rel=1e-9)
        assert close(m.vcov(), c * c * base.vcov(), 1e-9)
    else:
        # precision weights: scale and λ in the weights' units, same curve
        assert close(m.predict(X), base.predict(X), 1e-9)
        assert m.scale == pytest.approx(c * base.scale, rel=1e-9)
        np.testing.assert_allclose(m.rho, base.rho + np.log(c), atol=1e-9 * abs(np.log(c)) + 1e-9)


def test_large_response_is_fitted_in_its_units():
    m = quelt.fit("gaussian", X, Y * 1e150)
    base = quelt.fit("gaussian", X, Y)
    assert np.isfinite(m.scale) and np.all(np.isfinite(m.vcov()))
    assert m.scale == pytest.approx(1e300 * base.scale, rel=1e-9)
    assert m.edf_total == pytest.approx(base.edf_total, rel=1e-9)


# --- thin-plate terms on coordinates of any size ------------------------------

def tp_error(scale):
    m = quelt.fit_additive("gaussian", X * scale, Y, [((0, 1), "tp", 12)])
    assert m.converged
    return m, np.sqrt(np.mean((m.predict(X * scale) - TRUTH) ** 2))


@pytest.mark.parametrize("scale", [1e-104, 0.01, 100.0, 1e104])
def test_thin_plate_term_does_not_depend_on_the_units_of_x(scale):
    base, err = tp_error(1.0)
    m, e = tp_error(scale)
    # the term is kept: not edf 1 with the error of the mean alone
    assert m.edf_total > 3.0
    assert e < 0.75 * np.sqrt(np.mean((Y.mean() - TRUTH) ** 2))
    assert e <= 1.1 * err
    # distances in units of the centres: the same fit up to rounding
    assert m.edf_total == pytest.approx(base.edf_total, rel=1e-6)
