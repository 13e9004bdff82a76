"""Coverage of the 95% intervals of the shape families over seeded
replicates: the scaled t (vcov = H⁻¹, σ² already in the weights) at two
scales, and Tweedie (vcov = φ̂·H⁻¹)."""

import numpy as np
import pytest

from quelt import _quelt_native as native

GRID = np.linspace(0.02, 0.98, 40).reshape(-1, 1)
REPLICATES = 100


def tweedie_draws(mu, p, phi, rng):
    counts = rng.poisson(mu ** (2 - p) / (phi * (2 - p)))
    y = np.zeros(mu.size)
    pos = counts > 0
    y[pos] = rng.gamma((2 - p) / (p - 1) * counts[pos], phi * (p - 1) * mu[pos] ** (p - 1))
    return y


def scat_replicate(rng, sigma):
    x = rng.uniform(size=(400, 1))
    y = np.sin(2 * np.pi * x[:, 0]) + sigma * rng.standard_t(4, size=400)
    return native.fit("scat", x, y), np.sin(2 * np.pi * GRID[:, 0])


def tweedie_replicate(rng, _):
    x = rng.uniform(size=(500, 1))
    y = tweedie_draws(np.exp(0.5 + np.sin(2 * np.pi * x[:, 0])), 1.6, 2.0, rng)
    return native.fit("tweedie", x, y), 0.5 + np.sin(2 * np.pi * GRID[:, 0])


@pytest.mark.slow
@pytest.mark.parametrize("replicate, sigma", [(scat_replicate, 2.0), (scat_replicate, 0.5),
                                              (tweedie_replicate, None)])
def test_intervals_cover_the_truth(replicate, sigma):
    shares = []
    for r in range(REPLICATES):
        model, truth = replicate(np.random.default_rng(1000 + r), sigma)
        _, lo, hi = model.predict_ci(GRID, scale="link")
        shares.append(np.mean((lo <= truth) & (truth <= hi)))
    assert 0.90 <= np.mean(shares) <= 0.98
