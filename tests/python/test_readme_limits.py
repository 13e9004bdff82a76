"""The figures that the README gives for rows of weight 0 and for what quelt
does not do, each measured here in the setting the README states. Every
figure is read from the README text itself, so that a change on either side
(the words or the behaviour) fails its row. Tolerances: 20-30 % for a
measured size (the README rounds to two digits), one data set either way for
a share of data sets."""

import functools
import math
import re
from pathlib import Path
from statistics import NormalDist

import numpy as np
import pytest

import quelt
from test_quantile import GRID, check_loss_fit

README = " ".join((Path(__file__).resolve().parents[2] / "README.md").read_text("utf-8").split())
NUMBER = r"([0-9]+(?:\.[0-9]+)?)"


def readme_figures(phrase):
    """The numbers at the {} of `phrase` in the README (whitespace-folded);
    the phrase must occur exactly once."""
    pattern = re.escape(" ".join(phrase.split())).replace(r"\{\}", NUMBER)
    found = re.findall(pattern, README)
    assert len(found) == 1, f"README has {len(found)} matches of: {phrase}"
    groups = found[0] if isinstance(found[0], tuple) else (found[0],)
    return [float(v) for v in groups]


def rmse(a, b):
    return float(np.sqrt(np.mean((a - b) ** 2)))


# --- rows of weight 0 -----------------------------------------------------------

def zero_weight_shifts():
    """Max |Δη| on [0, 1] between a Poisson fit whose every tenth row has
    weight 0 and the fit without those rows: their x where they were, then
    moved to x = 5."""
    rng = np.random.default_rng(1)
    n = 500
    x = rng.uniform(size=(n, 1))
    y = rng.poisson(np.exp(np.sin(2 * np.pi * x[:, 0]))).astype(float)
    zero = np.arange(n) % 10 == 0
    w = np.where(zero, 0.0, 1.0)
    grid = np.linspace(0.0, 1.0, 101)[:, None]
    dropped = quelt.fit("poisson", x[~zero], y[~zero]).predict(grid)
    shifts = []
    for xz in (x, np.where(zero[:, None], 5.0, x)):
        m = quelt.fit("poisson", xz, y, weights=w)
        assert m.n == n
        shifts.append(np.max(np.abs(m.predict(grid) - dropped)))
    return shifts


# --- quantile curves at extreme levels -----------------------------------------

@functools.cache
def quantile_errors(noise, tau):
    """Means over seeds 1-3 of: RMSE of the automatic fit, of the check-loss
    fit, of the fit with elf_sigma = 0.3 scale, and the automatic fit's edf.
    n = 2000, k = 20, sin 2πx plus exponential noise of sd 0.5 or normal
    noise of sd 1."""
    rows = []
    for seed in (1, 2, 3):
        rng = np.random.default_rng(seed)
        x = rng.uniform(size=(2000, 1))
        if noise == "exponential":
            e, z = 0.5 * rng.exponential(size=2000), -0.5 * math.log1p(-tau)
        else:
            e, z = rng.standard_normal(2000), NormalDist().inv_cdf(tau)
        y = np.sin(2 * np.pi * x[:, 0]) + e
        truth = np.sin(2 * np.pi * GRID[:, 0]) + z
        m = quelt.fit("quantile", x, y, tau=tau, k=20)
        small = quelt.fit("quantile", x, y, tau=tau, k=20, elf_sigma=0.3 * m.scale)
        assert m.converged and small.converged
        beta = check_loss_fit(m, x, y, tau)
        rows.append([rmse(m.predict(GRID), truth), rmse(m.evaluate_lpmatrix(GRID) @ beta, truth),
                     rmse(small.predict(GRID), truth), m.edf_total])
    return np.mean(rows, axis=0)


def sharp_edge():
    auto, check, small, _ = quantile_errors("exponential", 0.01)
    return [auto, check, auto / check, small]


def no_edge():
    lo, hi = quantile_errors("normal", 0.01), quantile_errors("normal", 0.99)
    return [lo[3], hi[3], lo[0], hi[0], lo[1], hi[1], lo[2], hi[2]]


# --- single far responses ------------------------------------------------------

def far_row_data(family, seed, n, multiple):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 1))
    mu = np.exp(np.sin(2 * np.pi * x[:, 0]))
    if family == "tweedie":
        y = rng.poisson(mu) * rng.gamma(2.0, 0.5, size=n)
    else:
        y = rng.poisson(mu).astype(float)
    y[0] = multiple * np.median(y[y > 0])
    return x, y


def far_row_count(family, n, multiple, outcome, algorithm=None, seeds=range(1, 7)):
    """In how many data sets one far row ends in `outcome`: "not converged",
    "fitted" (converged) or "refused" (a ValueError naming row 0)."""
    count = 0
    quelt.set_outer_algorithm(algorithm)
    try:
        for seed in seeds:
            x, y = far_row_data(family, seed, n, multiple)
            try:
                m = quelt.fit(family, x, y)
                got = "fitted" if m.converged else "not converged"
            except ValueError as e:
                assert "at row 0" in str(e), str(e)
                got = "refused"
            count += got == outcome
    finally:
        quelt.set_outer_algorithm(None)
    return count


def scat_one_value_count(share, n=200):
    """In how many of six data sets a scaled-t fit ends with converged=False
    when `share` of y is the one value 0 and the rest sin 2πx + 0.3 t₄."""
    count = 0
    for seed in range(1, 7):
        rng = np.random.default_rng(seed)
        x = rng.uniform(size=(n, 1))
        y = np.sin(2 * np.pi * x[:, 0]) + 0.3 * rng.standard_t(4, size=n)
        y[rng.permutation(n)[: int(share * n)]] = 0.0
        count += not quelt.fit("scat", x, y).converged
    return count


SIZE, SHARE = "size", "share"

ROWS = [
    ("η moves by up to {} against dropping those rows, and by up to {} when those rows lie at "
     "x = 5", zero_weight_shifts, SIZE, 0.3),
    ("RMSE is {} against {} for the unpenalized check-loss fit on the same basis ({} times as "
     "large), and 0.3 × `scale` gives {}.", sharp_edge, SIZE, 0.2),
    ("(mean edf {} and {}) with RMSE {} and {}, above the check-loss fit's {} and {}; 0.3 × "
     "`scale` gives {} and {}.", no_edge, SIZE, 0.2),
    ("`converged=False` at 10⁴ times the median in {} of 6 data sets",
     lambda: [far_row_count("tweedie", 300, 1e4, "not converged")], SHARE, 1),
    ("at 10⁵ times in {} of 6,",
     lambda: [far_row_count("tweedie", 300, 1e5, "not converged")], SHARE, 1),
    ("at 10⁶ times in {} of 6.",
     lambda: [far_row_count("tweedie", 300, 1e6, "not converged")], SHARE, 1),
    ("\"quasipoisson\": `converged=False` at 10³ times the median in {} of 6.",
     lambda: [far_row_count("quasipoisson", 300, 1e3, "not converged")], SHARE, 1),
    ("Newton fits a count 10⁴ times the median in {} of 6",
     lambda: [far_row_count("poisson", 300, 1e4, "fitted")], SHARE, 1),
    ("and refuses one 10⁵ times in {} of 6",
     lambda: [far_row_count("poisson", 300, 1e5, "refused")], SHARE, 1),
    ("but at n = 2000 fits that one in {} of 6",
     lambda: [far_row_count("poisson", 2000, 1e5, "fitted")], SHARE, 1),
    ("under `set_outer_algorithm(\"fREML\")` 10⁴ times is already refused in {} of 6.",
     lambda: [far_row_count("poisson", 300, 1e4, "refused", "fREML")], SHARE, 1),
    ("`converged=False` in {} of 6 data sets of n = 200 when 70% of y is one value",
     lambda: [scat_one_value_count(0.7)], SHARE, 1),
    ("where 65% converges in {} of 6.", lambda: [6 - scat_one_value_count(0.65)], SHARE, 1),
]


@pytest.mark.parametrize("phrase, measure, kind, tolerance", ROWS,
                         ids=[f"row{i}" for i in range(len(ROWS))])
def test_readme_figure_is_the_measured_one(phrase, measure, kind, tolerance):
    stated = readme_figures(phrase)
    measured = measure()
    assert len(measured) == len(stated)
    for s, m in zip(stated, measured):
        if kind == SIZE:
            assert abs(m - s) <= tolerance * s, (phrase, stated, list(measured))
        else:
            assert abs(m - s) <= tolerance, (phrase, stated, list(measured))


def test_weight_zero_responses_are_checked_as_any_row():
    rng = np.random.default_rng(2)
    x = rng.uniform(size=(60, 1))
    w = np.ones(60)
    w[7] = 0.0
    for family, bad in [("poisson", math.nan), ("poisson", math.inf), ("poisson", -5.0),
                        ("binomial", 3.0)]:
        y = (rng.uniform(size=60) < 0.5).astype(float)
        y[7] = bad
        with pytest.raises(ValueError, match="at row 7"):
            quelt.fit(family, x, y, weights=w)


def test_unobserved_ocat_categories_leave_the_observed_probabilities():
    # labels 3..5 of r = 6 (1, 2 and 6 unobserved) against labels 1..3 of r = 3
    rng = np.random.default_rng(2)
    x = rng.uniform(size=(400, 1))
    label = 1 + np.searchsorted([-1.0, 0.5], 2 * np.sin(2 * np.pi * x[:, 0])
                                + rng.logistic(size=400)).astype(float)
    grid = np.linspace(0.0, 1.0, 11)[:, None]

    def probs(m):
        cuts = np.r_[-1.0, -1.0 + np.cumsum(np.exp(m.shape_params))]
        below = 1 / (1 + np.exp(-(cuts[None, :] - m.predict(grid)[:, None])))
        return np.diff(np.c_[np.zeros(11), below, np.ones(11)], axis=1)

    observed = probs(quelt.fit("ocat", x, label, r=3))
    wide = probs(quelt.fit("ocat", x, label + 2, r=6))
    np.testing.assert_allclose(wide[:, 2:5], observed, atol=1e-3)
    assert np.all(wide[:, [0, 1, 5]] < 1e-3)
