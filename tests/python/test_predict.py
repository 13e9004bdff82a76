import math
import pickle

import numpy as np
import pytest

import quelt
from model_bytes import (
    CONSTRAINT,
    CR_BETA,
    KNOTS,
    LEVELS,
    additive_model_bytes,
    cr_model_bytes,
    re_model_bytes,
    spd,
)

FittedGam = quelt._quelt_native.FittedGam
X_KNOTS = KNOTS.reshape(-1, 1)
Z95 = 1.959963984540054


def load(b):
    return FittedGam.deserialize(b)


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def inverse_link(link, eta):
    eta = np.asarray(eta, dtype=float)
    with np.errstate(all="ignore"):
        if link == "identity":
            return eta
        if link == "log":
            return np.exp(eta)
        if link == "logit":
            return 1.0 / (1.0 + np.exp(-eta))
        a = np.maximum(np.abs(eta), 1e-300)
        return np.where(eta < 0, -1.0 / a, 1.0 / a) + 0 * eta  # NaN stays NaN


# At its knots the cubic regression basis is the identity, so the model
# matrix there is [1 | constraint].
X_AT_KNOTS = np.hstack([np.ones((KNOTS.size, 1)), CONSTRAINT])


def re_rows(values):
    """[1 | indicators] for the random effect with levels LEVELS."""
    return np.array([[1.0] + [1.0 if v == lv else 0.0 for lv in LEVELS] for v in values])


class TestPointPredictions:
    def test_model_matrix_and_linear_predictor_at_the_knots(self):
        m = load(cr_model_bytes())
        X = m.evaluate_lpmatrix(X_KNOTS)
        assert X.shape == (6, 6)
        np.testing.assert_allclose(X, X_AT_KNOTS, rtol=0, atol=1e-12)
        np.testing.assert_allclose(m.predict(X_KNOTS), X_AT_KNOTS @ CR_BETA, rtol=0, atol=1e-12)
        # Only column 0 is read; extra columns and any memory layout are fine.
        wide = np.asfortranarray(np.hstack([X_KNOTS, np.full((6, 2), 99.0)]))
        np.testing.assert_array_equal(m.predict(wide), m.predict(X_KNOTS))
        np.testing.assert_array_equal(m.predict(X_KNOTS[::-1])[::-1], m.predict(X_KNOTS))

    @pytest.mark.parametrize("link", ["identity", "log", "logit", "inverse"])
    def test_response_scale_applies_the_inverse_link(self, link):
        beta = (0.5, 1.0, -2.0, 0.25)
        m = load(re_model_bytes(link=link, beta=beta))
        x = np.array([[1.0], [2.0], [3.0], [7.0]])  # 7 is an unseen level
        eta = re_rows(x[:, 0]) @ np.array(beta)
        np.testing.assert_array_equal(m.predict(x), eta)
        np.testing.assert_allclose(m.predict_response(x), inverse_link(link, eta), rtol=1e-15)

    def test_inverse_link_edges(self):
        # eta = +0 and -0 give 1/1e-300; a negative eta keeps its sign.
        m = load(re_model_bytes(link="inverse", beta=(-0.0, -0.0, -4.0, -1.0)))
        mu = m.predict_response(np.array([[7.0], [2.0], [3.0]]))
        assert m.predict(np.array([[7.0]]))[0] == 0.0  # -0.0
        assert list(mu) == [1 / 1e-300, -0.25, -1.0]
        m = load(re_model_bytes(link="inverse", beta=(0.0, 0.0, 0.0, 0.0)))
        assert m.predict_response(np.array([[1.0]]))[0] == 1 / 1e-300
        # A NaN linear predictor stays NaN under every link.
        for link in ["identity", "log", "logit", "inverse"]:
            m = load(cr_model_bytes(link=link))
            x = np.array([[float("nan")], [1.0]])
            assert np.isnan(m.predict(x)[0])
            mu = m.predict_response(x)
            assert np.isnan(mu[0]) and not np.isnan(mu[1])
            assert all(np.isnan(a[0]) for a in m.predict_ci(x))

    def test_empty_and_bad_covariates(self):
        m = load(cr_model_bytes())
        assert m.predict(np.empty((0, 1))).shape == (0,)
        assert m.evaluate_lpmatrix(np.empty((0, 1))).shape == (0, 6)
        assert all(a.shape == (0,) for a in m.predict_ci(np.empty((0, 1))))
        with pytest.raises(ValueError):
            m.predict(np.empty((3, 0)))
        with pytest.raises(ValueError):
            m.predict_ci(np.empty((3, 0)))
        for bad in [X_KNOTS.astype(np.int64), X_KNOTS.astype(np.float32), KNOTS, None, [[1.0]]]:
            with pytest.raises(TypeError, match="x_new"):
                m.predict(bad)
        with pytest.raises(TypeError):
            m.predict()
        # An additive model whose second term reads column 1.
        add = load(additive_model_bytes())
        assert add.predict(np.hstack([X_KNOTS, X_KNOTS])).shape == (6,)
        with pytest.raises(ValueError) as e:
            add.predict_ci(X_KNOTS)
        assert str(e.value) == "AdditivePredictor: term 1 expects column 1 but x has only 1 columns"


class TestIntervals:
    def test_link_scale_interval_matches_a_direct_computation(self):
        V = spd(6, seed=3)
        m = load(cr_model_bytes(vcov=V))
        x = np.linspace(-0.5, 5.5, 13).reshape(-1, 1)
        X = m.evaluate_lpmatrix(x)
        mean, lo, hi = m.predict_ci(x, scale="link")
        np.testing.assert_array_equal(bits(mean), bits(m.predict(x)))
        se = np.sqrt(np.einsum("ij,jk,ik->i", X, V, X))
        np.testing.assert_allclose(hi - mean, Z95 * se, rtol=1e-8)
        np.testing.assert_allclose(mean - lo, Z95 * se, rtol=1e-8)
        lo90, hi90 = m.predict_ci(x, level=0.9, scale="link")[1:]
        np.testing.assert_allclose(hi90 - mean, 1.6448536269514722 * se, rtol=1e-8)

    @pytest.mark.parametrize("link", ["identity", "log", "logit"])
    def test_intervals_contain_the_prediction_and_widen_with_level(self, link):
        m = load(cr_model_bytes(link=link))
        x = np.linspace(-0.5, 5.5, 13).reshape(-1, 1)
        mean, _, _ = m.predict_ci(x)
        np.testing.assert_array_equal(bits(mean), bits(m.predict_response(x)))
        widths = []
        for level in [0.5, 0.8, 0.9, 0.95, 0.99, 0.999999]:
            mu, lo, hi = m.predict_ci(x, level)
            assert np.all(lo < mu) and np.all(mu < hi)
            widths.append(hi - lo)
        assert all(np.all(b > a) for a, b in zip(widths, widths[1:]))
        if link == "logit":
            assert np.all(lo >= 0) and np.all(hi <= 1)

    def test_decreasing_link_keeps_the_order_of_the_bounds(self):
        m = load(re_model_bytes(link="inverse", beta=(2.0, 0.5, 1.0, 1.5)))
        mean, lo, hi = m.predict_ci(np.array([[1.0], [2.0], [3.0]]))
        assert np.all(lo > mean) and np.all(mean > hi)

    def test_degenerate_quadratic_forms(self):
        # A NaN variance gives a NaN interval, not a zero-width one.
        V = spd(4, seed=1)
        V[2, 2] = float("nan")
        m = load(re_model_bytes(vcov=V))
        mean, lo, hi = m.predict_ci(np.array([[1.0], [2.0]]), scale="link")
        assert np.isnan(lo[1]) and np.isnan(hi[1]) and not np.isnan(mean[1])
        # A slightly negative one (rounding) gives zero width.
        m = load(re_model_bytes(vcov=-1e-30 * np.eye(4)))
        mean, lo, hi = m.predict_ci(np.array([[1.0]]), scale="link")
        assert lo[0] == mean[0] == hi[0]

    def test_argument_checks_and_their_order(self):
        m = load(cr_model_bytes())
        with pytest.raises(ValueError) as e:
            m.predict_ci(X_KNOTS, level=2.0, scale="Response")
        assert str(e.value) == "scale must be 'link' or 'response', got \"Response\""
        with pytest.raises(ValueError) as e:
            m.predict_ci(X_KNOTS, scale='a"b')
        assert str(e.value) == "scale must be 'link' or 'response', got \"a\\\"b\""
        for level, shown in [(1.0, "1"), (0.0, "0"), (float("nan"), "NaN"), (-0.5, "-0.5"),
                             (1 - 2**-53, "0.9999999999999999")]:
            for call in (lambda: m.predict_ci(X_KNOTS, level),
                         lambda: m.predict_diff(X_KNOTS, X_KNOTS, level)):
                with pytest.raises(ValueError) as e:
                    call()
                assert str(e.value) == f"level must be in (0, 1); got level={shown}"
        # The level is checked before the covariates are used.
        with pytest.raises(ValueError, match="level"):
            m.predict_ci(np.empty((2, 0)), 1.5)
        with pytest.raises(TypeError, match="level"):
            m.predict_ci(X_KNOTS, None)
        with pytest.raises(TypeError, match="scale"):
            m.predict_ci(X_KNOTS, 0.9, None)
        with pytest.raises(TypeError, match="level"):
            m.predict_ci(X_KNOTS, "0.9")
        assert len(m.predict_ci(x_new=X_KNOTS, level=0.5, scale="link")) == 3


class TestDifferences:
    def test_difference_and_its_interval(self):
        V = spd(6, seed=4)
        m = load(cr_model_bytes(vcov=V))
        xa = np.linspace(0.0, 5.0, 5).reshape(-1, 1)
        xb = np.linspace(0.3, 4.0, 5).reshape(-1, 1)
        diff, lo, hi = m.predict_diff(xa, xb)
        D = m.evaluate_lpmatrix(xa) - m.evaluate_lpmatrix(xb)
        np.testing.assert_allclose(diff, D @ CR_BETA, rtol=1e-12, atol=1e-14)
        se = np.sqrt(np.einsum("ij,jk,ik->i", D, V, D))
        np.testing.assert_allclose(hi - diff, Z95 * se, rtol=1e-8)
        np.testing.assert_allclose(diff - lo, Z95 * se, rtol=1e-8)

    def test_broadcasting_of_a_single_row(self):
        m = load(cr_model_bytes())
        x5 = np.linspace(0.0, 5.0, 5).reshape(-1, 1)
        x1 = np.array([[2.0]])
        d51 = m.predict_diff(x5, x1)[0]
        d15 = m.predict_diff(x1, x5)[0]
        assert d51.shape == d15.shape == (5,)
        np.testing.assert_allclose(d51, -d15, rtol=0, atol=1e-15)
        np.testing.assert_allclose(d51, m.predict(x5) - m.predict(x1)[0], rtol=0, atol=1e-12)
        with pytest.raises(ValueError) as e:
            m.predict_diff(x5, x5[:3])
        assert str(e.value) == (
            "predict_diff: row counts must match or one must be 1 (broadcast); got a=5, b=3"
        )

    def test_difference_with_itself_is_exactly_zero(self):
        m = load(cr_model_bytes())
        x = np.linspace(-1.0, 6.0, 8).reshape(-1, 1)
        diff, lo, hi = m.predict_diff(x, x)
        assert np.all(diff == 0) and np.all(lo == 0) and np.all(hi == 0)

    def test_argument_types(self):
        m = load(cr_model_bytes())
        with pytest.raises(TypeError, match="x_b"):
            m.predict_diff(X_KNOTS, X_KNOTS.astype(np.float32))
        with pytest.raises(ValueError):
            m.predict_diff(X_KNOTS, np.empty((6, 0)))


def test_borrowed_model_refuses_predictions():
    m = load(cr_model_bytes())

    class Predicts:
        def __float__(self):
            m.predict(X_KNOTS)
            return 0.0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        m.shift_intercept(Predicts())
    assert math.isfinite(m.predict(X_KNOTS)[0])


def simulated(family, design, seed=3, n=300):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 1.0, size=(n, 1))
    if design == "re":
        x = np.round(x * 8) / 8
    f = np.sin(2 * np.pi * x[:, 0])
    y = {
        "gaussian": lambda: f + rng.normal(0, 0.3, n),
        "poisson": lambda: rng.poisson(np.exp(f)).astype(np.float64),
        "bernoulli": lambda: (rng.uniform(size=n) < 1 / (1 + np.exp(-f))).astype(np.float64),
        "Gamma": lambda: rng.gamma(5.0, (2.0 + f) / 5.0, n),
    }[family]()
    return x, y, quelt.fit(family, x, y, k=8, design=design)


# Fitted models of each link and single-smooth design: the methods agree with
# one another, and a stored or pickled copy predicts bit for bit the same.
@pytest.mark.parametrize("design", ["cr", "cr_stable", "re"])
@pytest.mark.parametrize("family", ["gaussian", "poisson", "bernoulli", "Gamma"])
def test_fitted_models_predict_consistently(family, design):
    x, y, m = simulated(family, design)
    # On the training covariates the predictions are the fit's own fitted
    # values: with a canonical link the unpenalized intercept (and, for the
    # cubic regression smooths, the unpenalized line) satisfy their score
    # equations sum (y - mu) = 0 and sum x (y - mu) = 0.
    r = y - m.predict_response(x)
    assert abs(r.sum()) < 1e-9 * np.abs(y).sum()
    if design != "re":
        assert abs((x[:, 0] * r).sum()) < 1e-9 * np.abs(y).sum()
    xg = np.linspace(0.0, 1.0, 17).reshape(-1, 1)
    eta = m.predict(xg)
    np.testing.assert_allclose(m.evaluate_lpmatrix(xg) @ m.beta, eta, rtol=1e-12, atol=1e-12)
    link_ci = m.predict_ci(xg, scale="link")
    resp_ci = m.predict_ci(xg)
    np.testing.assert_array_equal(bits(link_ci[0]), bits(eta))
    np.testing.assert_array_equal(bits(resp_ci[0]), bits(m.predict_response(xg)))
    mean, lo, hi = resp_ci
    if family == "bernoulli":
        assert np.all((0 <= lo) & (lo <= mean) & (mean <= hi) & (hi <= 1))
    elif family == "Gamma":
        assert np.all(eta > 0) and np.all((lo >= mean) & (mean >= hi))
    else:
        assert np.all((lo <= mean) & (mean <= hi))
    want = [eta, *link_ci, *resp_ci, *m.predict_diff(xg, xg[:1])]
    for c in (FittedGam.deserialize(m.serialize()), pickle.loads(pickle.dumps(m))):
        got = [c.predict(xg), *c.predict_ci(xg, scale="link"), *c.predict_ci(xg),
               *c.predict_diff(xg, xg[:1])]
        for w, g in zip(want, got):
            np.testing.assert_array_equal(bits(g), bits(w))


# Seeded simulation: 95% intervals on the link scale cover the true linear
# predictor at about 95% of the points, averaged over data sets.
@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_interval_coverage_of_the_true_smooth(family):
    rng = np.random.default_rng(20261207)
    grid = np.linspace(0.02, 0.98, 40).reshape(-1, 1)

    def truth(x):
        return 0.4 + np.sin(2.0 * np.pi * x)

    covered = []
    for _ in range(40):
        x = rng.uniform(0.0, 1.0, size=(300, 1))
        eta = truth(x[:, 0])
        if family == "gaussian":
            y = eta + rng.normal(0.0, 0.4, size=eta.size)
        else:
            y = rng.poisson(np.exp(eta)).astype(np.float64)
        m = quelt.fit(family, x, y, k=10)
        _, lo, hi = m.predict_ci(grid, 0.95, "link")
        f = truth(grid[:, 0])
        covered.append(np.mean((lo <= f) & (f <= hi)))
    assert 0.88 <= np.mean(covered) <= 0.995
