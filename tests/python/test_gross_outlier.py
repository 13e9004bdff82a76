"""One response far beyond the data leaves the heavy-tailed (scaled t) and
quantile fits where the other rows put them: a converged fit close to the fit
without that row, whatever the size of its distance."""

import functools

import numpy as np
import pytest

import quelt

N, K, NOISE = 500, 10, 0.3
GRID = np.linspace(0.02, 0.98, 100).reshape(-1, 1)


def sample(seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(N, 1))
    y = np.sin(2 * np.pi * x[:, 0]) + NOISE * rng.standard_t(4, N)
    return x, y, int(rng.integers(N))


@functools.lru_cache(maxsize=None)
def without_the_row(family, seed):
    x, y, i = sample(seed)
    return quelt.fit(family, np.delete(x, i, 0), np.delete(y, i), k=K)


@pytest.mark.parametrize("family", ["scat", "quantile"])
@pytest.mark.parametrize("spreads", [1e6, 1e10, 1e50, 1e130])
@pytest.mark.parametrize("sign", [1.0, -1.0])
def test_one_gross_outlier_leaves_a_converged_fit_close_to_the_fit_without_it(
        family, spreads, sign):
    for seed in range(3):
        x, y, i = sample(seed)
        base = without_the_row(family, seed)
        y = y.copy()
        y[i] = base.predict(x[i:i + 1])[0] + sign * spreads * NOISE
        m = quelt.fit(family, x, y, k=K)
        assert m.converged
        assert np.all(np.isfinite(m.vcov())) and np.isfinite(m.reml_value)
        # the curve within a third of the noise scale (about two standard
        # errors of the curve; the scaled t also moves nu towards 2, which
        # reweights the moderate residuals), and the smoothing chosen: rho
        # and edf near those without the row (the fit stuck at its start has
        # edf ~ k and rho off by 4 or more)
        assert np.max(np.abs(m.predict(GRID) - base.predict(GRID))) < 0.1
        assert abs(m.rho[0] - base.rho[0]) < 0.3
        assert abs(m.edf_total - base.edf_total) < 0.4
