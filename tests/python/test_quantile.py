"""Quantile regression with the extended log-F family ("quantile" / "elf")."""

import math
from statistics import NormalDist

import numpy as np
import pytest
from scipy import optimize, stats

import quelt


def hetero(seed, n, noise="normal"):
    """f = sin 2 pi x with noise of sd 0.3 + 0.6 x; also the true tau-quantile."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 1))
    sd = 0.3 + 0.6 * x[:, 0]
    e = rng.standard_normal(n) if noise == "normal" else rng.exponential(size=n)
    y = np.sin(2 * np.pi * x[:, 0]) + sd * e

    def quantile(xs, tau):
        z = NormalDist().inv_cdf(tau) if noise == "normal" else -math.log1p(-tau)
        return np.sin(2 * np.pi * xs[:, 0]) + (0.3 + 0.6 * xs[:, 0]) * z

    return x, y, quantile


@pytest.mark.parametrize("tau", [0.1, 0.5, 0.9])
@pytest.mark.parametrize("entry", ["fit", "fit_additive"])
def test_share_below_the_curve_is_tau(tau, entry):
    x, y, _ = hetero(11, 2000)
    if entry == "fit":
        m = quelt.fit("quantile", x, y, k=10, tau=tau)
    else:
        m = quelt.fit_additive("elf", x, y, [(0, "cr", 10)], tau=tau)
    assert m.converged
    assert abs(np.mean(y < m.predict(x)) - tau) <= 0.035
    assert m.shape_params.size == 0


@pytest.mark.parametrize("c", [1e-6, 1e-4, 1e4])
@pytest.mark.parametrize("tau", [0.01, 0.5, 0.9])
def test_fit_of_scaled_y_is_the_scaled_fit(tau, c):
    x, y, _ = hetero(12, 2000)
    a = quelt.fit("quantile", x, y, tau=tau)
    b = quelt.fit("quantile", x, c * y, tau=tau)
    assert a.converged and b.converged
    np.testing.assert_allclose(b.predict(x), c * a.predict(x), rtol=1e-8, atol=1e-8 * c)
    assert abs(np.mean(c * y < b.predict(x)) - np.mean(y < a.predict(x))) <= 0.01
    assert b.edf_total == pytest.approx(a.edf_total, rel=1e-8)
    assert b.scale == pytest.approx(c * a.scale, rel=1e-10)
    np.testing.assert_allclose(b.vcov(), c * c * a.vcov(), rtol=1e-6, atol=1e-8 * c * c)


def test_weights_act_as_repeated_or_dropped_rows():
    # Covariates on a grid, so that dropping and repeating rows leaves the
    # set of distinct values (and with it the basis) unchanged.
    rng = np.random.default_rng(13)
    n = 600
    x = rng.integers(0, 30, size=n)[:, None] / 29.0
    y = np.sin(2 * np.pi * x[:, 0]) + (0.3 + 0.6 * x[:, 0]) * rng.standard_normal(n)
    w = rng.integers(0, 3, size=n).astype(float)
    rows = np.repeat(np.arange(n), w.astype(int))
    assert np.unique(x[rows]).size == np.unique(x).size
    grid = np.linspace(0, 1, 41)[:, None]
    for tau in (0.25, 0.9):
        mw = quelt.fit("quantile", x, y, weights=w, tau=tau, k=8)
        mr = quelt.fit("quantile", x[rows], y[rows], tau=tau, k=8)
        assert mw.converged and mr.converged
        fw, lw, hw = mw.predict_ci(grid)
        fr, lr, hr = mr.predict_ci(grid)
        np.testing.assert_allclose(fw, fr, atol=1e-7)
        np.testing.assert_allclose(hw - lw, hr - lr, rtol=1e-6)
        assert mw.edf_total == pytest.approx(mr.edf_total, rel=1e-7)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda x, y: quelt.fit_additive("elf", x, y, [(0, "cr", 5)], tau=1.5),
         "elf/quantile tau must be in (0, 1); got tau=1.5"),
        (lambda x, y: quelt.fit("quantile", x, y, elf_sigma=math.inf),
         "Quantile (ELF) elf_sigma and elf_lambda must be finite; got elf_sigma=inf elf_lambda=0"),
        (lambda x, y: quelt.fit("elf", x, y, elf_sigma=0.5, elf_lambda=math.inf),
         "Quantile (ELF) elf_sigma and elf_lambda must be finite; got elf_sigma=0.5 "
         "elf_lambda=inf"),
        (lambda x, y: quelt.fit("quantile", x[:0], y[:0]),
         "Quantile (ELF) needs at least one observation; got n=0"),
        (lambda x, y: quelt.fit_additive("elf", x[:0], y[:0], [(0, "cr", 5)]),
         "Quantile (ELF) needs at least one observation; got n=0"),
        (lambda x, y: quelt.fit("quantile", x, np.where(np.arange(y.size) == 3, np.nan, y)),
         "y must be finite; got y=NaN at row 3"),
        (lambda x, y: quelt.fit("quantile", x, y, weights=np.zeros(y.size)),
         "prior_weights must not all be zero"),
    ],
)
def test_bad_input_messages(call, message):
    x, y, _ = hetero(14, 50)
    with pytest.raises(ValueError) as ei:
        call(x, y)
    assert str(ei.value) == message


# --- the level asked, at every level ------------------------------------------

def skewed_smooth(seed, n, noise):
    """f = x + 0.5 cos 3 pi x with noise of sd 0.2 + 0.5 x: normal, a centred
    Gamma(2) (skewed to the right) or Cauchy of scale 0.2 (no mean or
    variance); also the true tau-quantile curve."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 1))
    sd = 0.2 + 0.5 * x[:, 0]
    if noise == "normal":
        e, q = rng.standard_normal(n), stats.norm.ppf
    elif noise == "skewed":
        e = (rng.gamma(2.0, size=n) - 2.0) / math.sqrt(2.0)
        q = lambda t: (stats.gamma.ppf(t, 2.0) - 2.0) / math.sqrt(2.0)
    else:
        e, q, sd = rng.standard_cauchy(n), stats.cauchy.ppf, np.full(n, 0.2)
    f = lambda xs: xs[:, 0] + 0.5 * np.cos(3 * np.pi * xs[:, 0])
    y = f(x) + sd * e

    def quantile(xs, tau):
        s = 0.2 if noise == "cauchy" else 0.2 + 0.5 * xs[:, 0]
        return f(xs) + s * q(tau)

    return x, y, quantile


def check_loss_fit(m, x, y, tau):
    """The unpenalized check-loss fit on the model matrix of `m`: the linear
    program max y'a subject to X'a = (1 - tau) X'1, 0 <= a <= 1, whose
    equality multipliers are the coefficients."""
    X = m.evaluate_lpmatrix(x)
    r = optimize.linprog(-y, A_eq=X.T, b_eq=(1 - tau) * X.sum(axis=0), bounds=(0, 1),
                         method="highs")
    assert r.status == 0, r.message
    return -r.eqlin.marginals


GRID = np.linspace(0.02, 0.98, 50)[:, None]


@pytest.mark.parametrize("noise", ["normal", "skewed"])
@pytest.mark.parametrize("tau", [0.01, 0.05, 0.5, 0.95, 0.99])
def test_share_below_the_curve_is_tau_at_every_level(tau, noise):
    n = 5000
    x, y, _ = skewed_smooth(21, n, noise)
    m = quelt.fit("quantile", x, y, tau=tau, k=20)
    assert m.converged
    assert abs(np.mean(y < m.predict(x)) - tau) <= 3 * math.sqrt(tau * (1 - tau) / n) + 0.002
    # a curve, not the straight line of an over-smoothed loss
    assert m.edf_total > 3.0


@pytest.mark.parametrize(
    "tau, noise, n, bound",
    [(0.01, "normal", 5000, 1.0), (0.99, "normal", 5000, 1.0), (0.99, "skewed", 5000, 1.0),
     (0.5, "cauchy", 5000, 1.25), (0.5, "cauchy", 2000, 1.25)],
)
def test_no_less_accurate_than_the_check_loss_fit(tau, noise, n, bound):
    # RMSE to the true quantile curve over three data sets against that of
    # the unpenalized check-loss fit on the same basis: no worse at the
    # extreme levels, within 1.25 times for the median under errors with
    # neither mean nor variance (whose tails must not inflate the smoothing).
    ours, reference = [], []
    for rep in range(3):
        x, y, quantile = skewed_smooth(31 + rep, n, noise)
        m = quelt.fit("quantile", x, y, tau=tau, k=20)
        assert m.converged
        beta = check_loss_fit(m, x, y, tau)
        q = quantile(GRID, tau)
        ours.append(np.sqrt(np.mean((m.predict(GRID) - q) ** 2)))
        reference.append(np.sqrt(np.mean((m.evaluate_lpmatrix(GRID) @ beta - q) ** 2)))
    assert np.mean(ours) <= bound * np.mean(reference)
    if noise == "cauchy":
        assert max(np.array(ours) / np.array(reference)) <= bound


@pytest.mark.parametrize(
    "data, seed, reps, n, tau, noise, lower",
    [
        (hetero, 500, 30, 2000, 0.5, "normal", 0.85),
        (hetero, 500, 30, 500, 0.9, "exponential", 0.85),
        (skewed_smooth, 700, 20, 2000, 0.05, "normal", 0.88),
        (skewed_smooth, 700, 20, 2000, 0.95, "skewed", 0.88),
    ],
)
def test_intervals_cover_the_true_quantile_curve(data, seed, reps, n, tau, noise, lower):
    cover = []
    for rep in range(reps):
        x, y, quantile = data(seed + rep, n, noise)
        m = quelt.fit("quantile", x, y, tau=tau)
        assert m.converged
        _, lo, hi = m.predict_ci(GRID, level=0.95)
        q = quantile(GRID, tau)
        cover.append(np.mean((lo <= q) & (q <= hi)))
    assert lower <= np.mean(cover) <= 0.99


@pytest.mark.parametrize("wild", [1e8, 1e300])
@pytest.mark.parametrize("tau", [0.5, 0.9])
def test_one_wild_response_is_refused_or_leaves_the_curve(wild, tau):
    x, y, _ = skewed_smooth(41, 500, "normal")
    base = quelt.fit("quantile", x, y, tau=tau)
    y = y.copy()
    y[7] = wild
    try:
        m = quelt.fit("quantile", x, y, tau=tau)
    except ValueError as e:
        assert "y is too large" in str(e)
        return
    outputs = [m.beta, m.vcov(), m.rho, m.edf_per_term, [m.scale, m.edf_total, m.reml_value]]
    assert all(np.all(np.isfinite(v)) for v in outputs)
    # the rows other than the wild one still straddle the curve at tau
    # (within 0.01 of the fit without it), and the curve stays within a
    # quarter of the noise's mean sd (0.45) of that fit
    assert abs(np.mean(np.delete(y < m.predict(x), 7)) - np.mean(y < base.predict(x))) <= 0.01
    assert np.max(np.abs(m.predict(GRID) - base.predict(GRID))) <= 0.11


def test_rows_of_weight_zero_are_absent_whatever_their_response():
    x, y, _ = skewed_smooth(42, 400, "normal")
    w = np.ones(400)
    w[::9] = 0.0
    wild = y.copy()
    wild[::9] = 1e300
    a = quelt.fit("quantile", x, y, weights=w, tau=0.8)
    b = quelt.fit("quantile", x, wild, weights=w, tau=0.8)
    assert a.converged and b.converged
    np.testing.assert_array_equal(a.predict(GRID), b.predict(GRID))
    np.testing.assert_array_equal(a.vcov(), b.vcov())
