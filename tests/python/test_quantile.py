"""Quantile regression with the extended log-F family ("quantile" / "elf")."""

import math
from statistics import NormalDist

import numpy as np
import pytest

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


@pytest.mark.parametrize("tau", [0.5, 0.9])
def test_fit_of_scaled_y_is_the_scaled_fit(tau):
    x, y, _ = hetero(12, 2000)
    a = quelt.fit("quantile", x, y, tau=tau)
    b = quelt.fit("quantile", x, 1e-4 * y, tau=tau)
    assert a.converged and b.converged
    np.testing.assert_allclose(b.predict(x), 1e-4 * a.predict(x), rtol=1e-8, atol=1e-12)
    assert abs(np.mean(1e-4 * y < b.predict(x)) - np.mean(y < a.predict(x))) <= 0.01
    assert b.edf_total == pytest.approx(a.edf_total, rel=1e-8)
    assert b.scale == pytest.approx(1e-4 * a.scale, rel=1e-10)


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
    "tau, n, noise",
    [(0.5, 2000, "normal"), (0.9, 500, "exponential")],
)
def test_intervals_cover_the_true_quantile_curve(tau, n, noise):
    grid = np.linspace(0.02, 0.98, 50)[:, None]
    cover = []
    for rep in range(30):
        x, y, quantile = hetero(500 + rep, n, noise)
        m = quelt.fit("quantile", x, y, tau=tau)
        assert m.converged
        _, lo, hi = m.predict_ci(grid, level=0.95)
        q = quantile(grid, tau)
        cover.append(np.mean((lo <= q) & (q <= hi)))
    assert 0.85 <= np.mean(cover) <= 0.99


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
