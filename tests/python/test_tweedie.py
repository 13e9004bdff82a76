"""The Tweedie family ("tweedie", "tw"): the power p and the dispersion φ
estimated with the smoothing parameters (or p fixed), p held to [1.05, 1.95]."""

import numpy as np
import pytest

from quelt import _quelt_native as native
from arg_helpers import apply_row_overrides
from fit_helpers import assert_weights_equal_repeated_rows


def log_mean(x):
    return 0.5 + np.sin(2 * np.pi * x)


def tweedie_draws(mu, p, phi, rng):
    """Compound Poisson-gamma draws with mean mu, power p, dispersion phi."""
    counts = rng.poisson(mu ** (2 - p) / (phi * (2 - p)))
    shape = (2 - p) / (p - 1)
    scale = phi * (p - 1) * mu ** (p - 1)
    y = np.zeros(mu.size)
    pos = counts > 0
    y[pos] = rng.gamma(shape * counts[pos], scale[pos])
    return y


def tweedie_data(seed, n=2000, p=1.6, phi=2.0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 1))
    return x, tweedie_draws(np.exp(log_mean(x[:, 0])), p, phi, rng)


def power_dispersion(m):
    phi = np.exp(m.shape_params[0])
    if m.shape_params.size == 1:
        return None, phi
    return 1.0 + 1.0 / (1.0 + np.exp(-m.shape_params[1])), phi


def test_recovers_power_dispersion_and_mean():
    x, y = tweedie_data(1)
    m = native.fit("tweedie", x, y)
    assert m.converged
    p, phi = power_dispersion(m)
    assert abs(p - 1.6) <= 0.05
    assert abs(phi / 2.0 - 1.0) <= 0.15
    assert m.scale == pytest.approx(phi, rel=1e-14)
    grid = np.linspace(0.05, 0.95, 50).reshape(-1, 1)
    truth = np.exp(log_mean(grid[:, 0]))
    assert np.max(np.abs(m.predict_response(grid) / truth - 1.0)) < 0.25


@pytest.mark.parametrize("p_true, p_held", [(1.015, 1.05), (1.985, 1.95)])
def test_power_beyond_its_interval_converges_at_the_end(p_true, p_held):
    x, y = tweedie_data(2, n=1500, p=p_true, phi=1.0)
    m = native.fit("tw", x, y)
    assert m.converged
    p, _ = power_dispersion(m)
    assert min(max(p, 1.05), 1.95) == pytest.approx(p_held)


def test_fixed_power_keeps_it():
    x, y = tweedie_data(3, n=800)
    m = native.fit("tw", x, y, tweedie_p=1.3)
    assert m.converged
    assert m.shape_params.shape == (1,)
    free = native.fit("tw", x, y)
    assert free.shape_params.shape == (2,)
    assert m.reml_value > free.reml_value  # p = 1.3 is not the best power here


def test_weights_of_two_equal_repeated_rows():
    x, y = tweedie_data(4, n=600)
    w = np.ones(600)
    w[1::3] = 2.0
    assert_weights_equal_repeated_rows("tweedie", x, y, w)


@pytest.mark.parametrize("c", [1e-3, 1e3])
def test_the_fit_of_c_y_is_the_fit_of_y_in_other_units(c):
    x, y = tweedie_data(5, n=1000)
    grid = np.linspace(0.0, 1.0, 50).reshape(-1, 1)
    base = native.fit("tweedie", x, y)
    scaled = native.fit("tweedie", x, c * y)
    assert base.converged and scaled.converged
    p_b, phi_b = power_dispersion(base)
    p_c, phi_c = power_dispersion(scaled)
    np.testing.assert_allclose(scaled.predict_response(grid), c * base.predict_response(grid),
                               rtol=1e-4)
    assert p_c == pytest.approx(p_b, rel=1e-4)
    assert phi_c == pytest.approx(phi_b * c ** (2 - p_b), rel=1e-2)
    np.testing.assert_allclose(scaled.rho, base.rho + (2 - p_b) * np.log(c), atol=0.05)


MESSAGES = [
    (dict(tweedie_phi=0.0),
     "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=0"),
    (dict(tweedie_phi=-0.0),
     "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=-0"),
    (dict(tweedie_phi=-1.0),
     "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=-1"),
    (dict(tweedie_phi=np.inf, tweedie_p=1.2),
     "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=inf"),
    (dict(tweedie_phi=np.nan),
     "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=NaN"),
    (dict(tweedie_p=2.0, tweedie_phi=0.0), "tweedie fixed p must be in (1, 2); got tweedie_p=2"),
    (dict(y_at=(2, -2.0)), "Tweedie requires y ≥ 0; got y=-2 at row 2"),
    (dict(y_at=(4, np.nan)), "y must be finite; got y=NaN at row 4"),
    (dict(y_at=(0, np.inf)), "y must be finite; got y=inf at row 0"),
    (dict(w_at=(1, np.inf)),
     "prior_weights must be finite and non-negative; got weight=inf at row 1"),
    (dict(n_w=11), "prior_weights length must match x rows; got weights.len()=11, x.nrows()=10"),
]


@pytest.mark.parametrize("family", ["tweedie", "tw"])
@pytest.mark.parametrize("case, message", MESSAGES)
def test_validation_messages(family, case, message):
    rng = np.random.default_rng(0)
    case = dict(case)
    x = rng.uniform(size=(10, 1))
    y = rng.uniform(size=10)
    w = np.ones(case.pop("n_w", 10))
    case, y, w = apply_row_overrides(case, y, w)
    with pytest.raises(ValueError) as ei:
        native.fit(family, x, y, weights=w, k=4, **case)
    assert str(ei.value) == message


@pytest.mark.parametrize("family, kwargs", [("scat", {}), ("tweedie", {}),
                                            ("tw", dict(tweedie_p=1.4))])
def test_fitted_models_round_trip_bit_for_bit(family, kwargs):
    rng = np.random.default_rng(6)
    x = rng.uniform(size=(300, 2))
    eta = log_mean(x[:, 0]) + 0.5 * np.cos(3 * x[:, 1])
    y = tweedie_draws(np.exp(eta), 1.5, 1.0, rng) if family != "scat" else (
        eta + 0.2 * rng.standard_t(4, size=300))
    m = native.fit_additive(family, x, y, [(0, "cr", 8), (1, "cr", 6)], **kwargs)
    blob = m.serialize()
    back = native.FittedGam.deserialize(blob)
    assert back.serialize() == blob
    for name in ["beta", "rho", "shape_params", "edf_per_term"]:
        np.testing.assert_array_equal(getattr(back, name).view(np.uint64),
                                      getattr(m, name).view(np.uint64))
    assert back.scale == m.scale and back.reml_value == m.reml_value
    grid = rng.uniform(size=(25, 2))
    np.testing.assert_array_equal(back.predict_response(grid).view(np.uint64),
                                  m.predict_response(grid).view(np.uint64))
    np.testing.assert_array_equal(np.asarray(back.predict_ci(grid)).view(np.uint64),
                                  np.asarray(m.predict_ci(grid)).view(np.uint64))
