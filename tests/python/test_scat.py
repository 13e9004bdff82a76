"""The scaled-t family ("scat", "tdist"): ν and σ² estimated with the
smoothing parameters, a fit that outliers do not drag, and one that does not
depend on the units of y."""

import numpy as np
import pytest

from quelt import _quelt_native as native
from arg_helpers import apply_row_overrides
from fit_helpers import assert_weights_equal_repeated_rows


def smooth(x):
    return np.sin(2 * np.pi * x)


def t_data(seed, n=1000, sigma=0.3, df=4.0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 1))
    return x, smooth(x[:, 0]) + sigma * rng.standard_t(df, size=n)


def nu_sigma2(m):
    log_s2, log_nu2 = m.shape_params
    return 2.0 + np.exp(log_nu2), np.exp(log_s2)


def test_t4_noise_recovers_the_degrees_of_freedom_and_scale():
    nus = []
    for seed in range(7):
        x, y = t_data(seed)
        m = native.fit("scat", x, y)
        assert m.converged
        nu, s2 = nu_sigma2(m)
        nus.append(nu)
        assert m.scale == pytest.approx(s2, rel=1e-14)
        assert 0.3**2 * 0.7 < s2 < 0.3**2 * 1.4
    assert 3.0 <= np.median(nus) <= 6.0


def test_gross_outliers_do_not_drag_the_curve():
    rng = np.random.default_rng(11)
    n = 2000
    x = rng.uniform(size=(n, 1))
    y = smooth(x[:, 0]) + 0.2 * rng.standard_normal(n)
    bad = rng.choice(n, size=n // 20, replace=False)
    y[bad] += rng.choice([-1.0, 1.0], size=bad.size) * rng.uniform(5.0, 15.0, size=bad.size)
    grid = np.linspace(0.02, 0.98, 200).reshape(-1, 1)
    truth = smooth(grid[:, 0])

    def rmse(model):
        return np.sqrt(np.mean((model.predict(grid) - truth) ** 2))

    robust = native.fit("tdist", x, y)
    assert robust.converged
    assert rmse(native.fit("gaussian", x, y)) / rmse(robust) >= 2.0


def test_weights_of_two_equal_repeated_rows():
    x, y = t_data(3, n=600)
    w = np.ones(600)
    w[::4] = 2.0
    assert_weights_equal_repeated_rows("scat", x, y, w)


@pytest.mark.parametrize("c", [1e-3, 1e3])
def test_the_fit_of_c_y_is_the_fit_of_y_in_other_units(c):
    x, y = t_data(5, n=800)
    grid = np.linspace(0.0, 1.0, 50).reshape(-1, 1)
    base = native.fit("scat", x, y)
    scaled = native.fit("scat", x, c * y)
    assert base.converged and scaled.converged
    nu_b, s2_b = nu_sigma2(base)
    nu_c, s2_c = nu_sigma2(scaled)
    np.testing.assert_allclose(scaled.predict(grid), c * base.predict(grid), rtol=1e-4,
                               atol=1e-4 * c * np.abs(base.predict(grid)).max())
    np.testing.assert_allclose(nu_c, nu_b, rtol=1e-2)
    np.testing.assert_allclose(s2_c, c * c * s2_b, rtol=1e-2)
    np.testing.assert_allclose(scaled.rho, base.rho - 2 * np.log(c), atol=0.05)


MESSAGES = [
    ("scat", dict(nu=2.0),
     "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=2"),
    ("tdist", dict(nu=np.inf),
     "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=inf"),
    ("tdist", dict(nu=np.nan),
     "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=NaN"),
    ("scat", dict(nu=-1.0),
     "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=-1"),
    ("scat", dict(nu=2.0, sigma2=0.0),
     "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu=2"),
    ("scat", dict(sigma2=0.0),
     "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=0"),
    ("scat", dict(sigma2=-0.0),
     "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=-0"),
    ("scat", dict(sigma2=-1.0),
     "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=-1"),
    ("scat", dict(sigma2=np.inf),
     "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=inf"),
    ("scat", dict(sigma2=np.nan),
     "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2=NaN"),
    ("scat", dict(y_at=(3, np.nan)), "y must be finite; got y=NaN at row 3"),
    ("scat", dict(y_at=(0, -np.inf)), "y must be finite; got y=-inf at row 0"),
    ("scat", dict(w_at=(5, -1.0)),
     "prior_weights must be finite and non-negative; got weight=-1 at row 5"),
    ("scat", dict(w_at=(2, np.nan)),
     "prior_weights must be finite and non-negative; got weight=NaN at row 2"),
    ("scat", dict(n_w=9),
     "prior_weights length must match x rows; got weights.len()=9, x.nrows()=10"),
    ("scat", dict(n_y=11), "x and y must have the same number of rows; got x.nrows()=10, y.len()=11"),
]


@pytest.mark.parametrize("family, case, message", MESSAGES)
def test_validation_messages(family, case, message):
    rng = np.random.default_rng(0)
    case = dict(case)
    x = rng.uniform(size=(10, 1))
    y = rng.standard_normal(case.pop("n_y", 10))
    w = np.ones(case.pop("n_w", 10))
    case, y, w = apply_row_overrides(case, y, w)
    with pytest.raises(ValueError) as ei:
        native.fit(family, x, y, weights=w, k=4, **case)
    assert str(ei.value) == message


def test_smallest_positive_scale_is_a_valid_start():
    x, y = t_data(2, n=200)
    m = native.fit("scat", x, y, sigma2=5e-324, nu=2.0 + 1e-6)
    assert np.all(np.isfinite(m.beta))


def test_gaussian_noise_sends_nu_to_the_top_of_its_box():
    # The score levels off as ν → ∞: the search must still converge, with σ̂²
    # the Gaussian variance, rather than crawl along the flat direction.
    for seed in range(3):
        rng = np.random.default_rng(seed)
        x = rng.uniform(size=(1000, 1))
        y = smooth(x[:, 0]) + 0.3 * rng.standard_normal(1000)
        m = native.fit("scat", x, y)
        assert m.converged
        nu, s2 = nu_sigma2(m)
        assert nu > 100.0
        assert 0.3**2 * 0.85 < s2 < 0.3**2 * 1.15
