"""Score diagnostics of the shape families: one refit at a given
[rho, shape] on a design of cubic regression splines, the score and its
parts."""

import math

import numpy as np
import pytest

from quelt import _quelt_native as native

N = 500
K = 10


def tweedie_y(rng, x):
    mu, p, phi = np.exp(0.5 + np.sin(2 * np.pi * x)), 1.6, 2.0
    counts = rng.poisson(mu ** (2 - p) / (phi * (2 - p)))
    y = np.zeros(x.size)
    pos = counts > 0
    y[pos] = rng.gamma((2 - p) / (p - 1) * counts[pos], phi * (p - 1) * mu[pos] ** (p - 1))
    return y


def scat_y(rng, x):
    return np.sin(2 * np.pi * x) + 0.3 * rng.standard_t(4, size=x.size)


def negbin_y(rng, x):
    mu = np.exp(1.0 + np.sin(2 * np.pi * x))
    return rng.negative_binomial(3, 3 / (3 + mu)).astype(float)


def ocat_y(rng, x):
    latent = 2 * np.sin(2 * np.pi * x) + rng.logistic(size=x.size)
    return 1.0 + np.searchsorted([-1.0, 0.5, 1.5], latent)


# family name for the fit, response maker, diagnostic method, extra fit
# arguments, extra positional arguments of the diagnostic before k_per_term
FAMILIES = {
    "tweedie": ("tweedie", tweedie_y, "evaluate_reml_at_tweedie", {}, ()),
    "scat": ("scat", scat_y, "evaluate_reml_at_scat", {}, ()),
    "negbin": ("nb", negbin_y, "evaluate_reml_at_negbin", {}, ()),
    "ocat": ("ocat", ocat_y, "evaluate_reml_at_ocat", {"r": 4}, (4,)),
}


def data(family, seed=3, n=N, cols=1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, cols))
    return x, FAMILIES[family][1](rng, x[:, 0])


def evaluate(model, family, y, x, theta, k_per_term=(K,)):
    _, _, method, _, extra = FAMILIES[family]
    return getattr(model, method)(y, x, np.asarray(theta, dtype=float), *extra, list(k_per_term))


@pytest.fixture(scope="module")
def fits():
    out = {}
    for family, (name, _, _, kwargs, _) in FAMILIES.items():
        x, y = data(family)
        m = native.fit_additive(name, x, y, [(0, "cr", K)], **kwargs)
        assert m.converged
        out[family] = (m, x, y)
    return out


@pytest.mark.parametrize("family, rel", [("tweedie", 1e-8), ("scat", 1e-8), ("negbin", 1e-8),
                                         ("ocat", 1e-6)])
def test_score_at_the_fit_is_its_reml_value_and_a_minimum(fits, family, rel):
    m, x, y = fits[family]
    theta = np.concatenate([m.rho, m.shape_params])
    at_fit = evaluate(m, family, y, x, theta)
    assert at_fit["converged"]
    assert at_fit["score"] == pytest.approx(m.reml_value, rel=rel)
    m_rho = m.rho.size
    for i in range(theta.size):
        for step in ((0.5, -0.5) if i < m_rho else (0.2, -0.2)):
            moved = theta.copy()
            moved[i] += step
            assert evaluate(m, family, y, x, moved)["score"] >= at_fit["score"], (i, step)
    if family == "ocat":
        # The fit stops once |grad| < 5e-7·(|V| + 1).
        assert np.max(np.abs(at_fit["grad_rho"])) < 5e-7 * (abs(m.reml_value) + 1)
        np.testing.assert_array_equal(at_fit["beta"], m.beta)


@pytest.mark.parametrize("family", list(FAMILIES))
def test_components_add_up_to_the_score(family):
    x, y = data(family, seed=5, n=300, cols=2)
    # Any model may receive the call; this one has the diagnostic's design.
    receiver = native.fit_additive("gaussian", x, x[:, 1] + np.sin(6 * x[:, 0]),
                                   [(0, "cr", 8), (1, "cr", 6)])
    shape = {"tweedie": [0.3, 0.4], "scat": [-2.0, 0.7], "negbin": [0.9], "ocat": [0.2, -0.3]}
    theta = np.array([1.5, -0.5] + shape[family])
    d = evaluate(receiver, family, y, x, theta, (8, 6))
    again = evaluate(receiver, family, y, x, theta, (8, 6))
    assert d["score"] == again["score"]
    np.testing.assert_array_equal(d["beta"], again["beta"])

    lam = np.exp(theta[:2])
    assert len(d["bsb_per_term"]) == 2
    assert d["bsb_total"] == pytest.approx(lam @ np.array(d["bsb_per_term"]), rel=1e-12)
    assert d["mp"] == 3  # intercept and one line per term
    half_mp_ln2pi = 0.5 * d["mp"] * math.log(2 * math.pi)
    if family == "ocat":
        expected = (0.5 * (d["bsb_total"] + d["deviance"]) + 0.5 * d["log_det_h"]
                    - 0.5 * d["log_det_lambda_s"] - half_mp_ln2pi)
        assert list(d)[-1] == "grad_rho" and len(d["grad_rho"]) == 2
    else:
        phi = d["phi"] if family == "tweedie" else 1.0
        assert d["dp"] == pytest.approx(d["deviance"] + d["bsb_total"], rel=1e-14)
        expected = (0.5 * d["log_det_h"] + d["dp"] / (2 * phi)
                    - 0.5 * d["mp"] * math.log(2 * math.pi * phi)
                    - 0.5 * d["log_det_lambda_s"] - d["ls"])
        inv_link = (lambda e: e) if family == "scat" else np.exp
        np.testing.assert_allclose(d["mu"], inv_link(d["eta"]), rtol=1e-14)
    assert d["score"] == pytest.approx(expected, rel=1e-12, abs=1e-9)
    np.testing.assert_allclose(receiver.evaluate_lpmatrix(x) @ d["beta"], d["eta"],
                               rtol=1e-12, atol=1e-12)


def test_decoded_shape_values():
    x, y = data("tweedie", n=200)
    m = native.fit("poisson", x, np.round(y))
    tw = lambda t: m.evaluate_reml_at_tweedie(y, x, np.array(t), [K])
    assert tw([0.0, -20.0, 50.0])["phi"] == 1e-6
    assert tw([0.0, 0.0, 50.0])["p"] == 1.95
    assert tw([0.0, 0.0, -50.0])["p"] == 1.05
    sc = m.evaluate_reml_at_scat(y, x, np.array([0.0, math.log(0.25), math.log(3.0)]), [K])
    assert (sc["sigma2"], sc["nu"]) == pytest.approx((0.25, 5.0), rel=1e-15)
    # Ordered categories: rho alone means zero log gaps, cut points -1, 0, 1.
    xo, yo = data("ocat", n=200)
    short = m.evaluate_reml_at_ocat(yo, xo, np.array([1.0]), 4, [K])
    full = m.evaluate_reml_at_ocat(yo, xo, np.array([1.0, 0.0, 0.0]), 4, [K])
    assert short["score"] == full["score"]


def test_negbin_score_tends_to_its_poisson_limit():
    x, y = data("negbin", n=300)
    m = native.fit("poisson", x, y)
    scores = [m.evaluate_reml_at_negbin(y, x, np.array([0.0, t]), [K])["score"]
              for t in (30.0, 40.0, 100.0, 700.0)]
    np.testing.assert_allclose(scores, scores[0], rtol=1e-9)


def msg_cases():
    x, y = data("tweedie", n=50)
    yo = data("ocat", n=50)[1]
    bad_y = y.copy()
    bad_y[3] = np.nan
    bad_yo = yo.copy()
    bad_yo[3] = np.nan
    neg_y = y.copy()
    neg_y[2] = -1.0
    tw, sc, nb, oc = ("evaluate_reml_at_tweedie", "evaluate_reml_at_scat",
                      "evaluate_reml_at_negbin", "evaluate_reml_at_ocat")
    rows = "x and y must have the same number of rows; got x.nrows()=50, y.len()=49"
    return [
        # the row counts are checked before the design (an empty term list)
        (tw, (y[:-1], x, [0.0], []), rows),
        (sc, (y[:-1], x, [0.0], [K]), rows),
        (nb, (y[:-1], x, [0.0], [K]), rows),
        (oc, (yo[:-1], x, [0.0], 4, [K]), rows),
        (tw, (y[:0], x[:0], [0.0], [K]), "x has 0 rows; a fit needs at least one row of data"),
        # the design before the length of theta
        (nb, (y, x, [0.0], []), "Additive: terms list must be non-empty"),
        (tw, (y, x, [0.0, 0.0], [K]),
         "evaluate_reml_at_tweedie expects theta=[ρ_1..ρ_T, log_φ, p_transform] (length 3); got 2"),
        (nb, (y, x, [0.0, 0.0, 0.0], [K]),
         "evaluate_reml_at_negbin expects theta=[ρ_1..ρ_T, log_θ] (length 2); got 3"),
        (sc, (y, x, [0.0], [K]),
         "evaluate_reml_at_scat expects theta=[ρ_1..ρ_T, log_σ², log(ν-2)] (length 3); got 1"),
        (oc, (yo, x, [0.0], 2, [K]), "Ocat requires R ≥ 3, got 2"),
        (oc, (yo, x, [0.0, 0.0], 4, [K]),
         "evaluate_reml_at_ocat expects theta of length 1 or 3; got 2"),
        (oc, (yo, x, [], 4, [K]), "evaluate_reml_at_ocat expects theta of length 1 or 3; got 0"),
        (tw, (y, x, [np.inf, 0.0, 0.0], [K]), "theta must be finite; got theta=inf at index 0"),
        (oc, (yo, x, [0.0, np.nan, 0.0], 4, [K]), "theta must be finite; got theta=NaN at index 1"),
        (tw, (y, x, [0.0, 800.0, 0.0], [K]),
         "φ = exp(log_φ) must be a positive finite number; got theta[1]=800"),
        (sc, (y, x, [0.0, -800.0, 0.0], [K]),
         "σ² = exp(log_σ²) must be a positive finite number; got theta[1]=-800"),
        (sc, (y, x, [0.0, 0.0, 800.0], [K]),
         "ν = 2 + exp(log(ν-2)) must be a positive finite number; got theta[2]=800"),
        (nb, (y, x, [0.0, 800.0], [K]),
         "θ = exp(log_θ) must be a positive finite number; got theta[1]=800"),
        (sc, (bad_y, x, [0.0, 0.0, 0.0], [K]), "y must be finite; got y=NaN at row 3"),
        (nb, (bad_y, x, [0.0, 0.0], [K]), "y must be finite; got y=NaN at row 3"),
        (oc, (bad_yo, x, [0.0], 4, [K]), "y must be finite; got y=NaN at row 3"),
        (tw, (neg_y, x, [0.0, 0.0, 0.0], [K]), "Tweedie requires y ≥ 0; got y=-1 at row 2"),
        (nb, (neg_y, x, [0.0, 0.0], [K]), "NegBin requires y ≥ 0; got y=-1 at row 2"),
    ]


@pytest.mark.parametrize("method, args, message", msg_cases())
def test_messages(method, args, message):
    m = native.fit("gaussian", *data("scat", n=40))
    args = [np.asarray(a, dtype=float) if isinstance(a, list) and i == 2 else a
            for i, a in enumerate(args)]
    with pytest.raises(ValueError) as e:
        getattr(m, method)(*args)
    assert str(e.value) == message


@pytest.mark.parametrize("kwargs, message", [
    ({"k_per_term": 10}, "argument 'k_per_term': expected a sequence of integers, got int"),
    ({"k_per_term": [10.0]},
     "argument 'k_per_term' item 0: 'float' object cannot be interpreted as an integer"),
    ({"theta": [0.0, 0.0, 0.0]},
     "argument 'theta': expected a numpy.ndarray of dtype float64, got list"),
])
def test_argument_types(kwargs, message):
    x, y = data("tweedie", n=40)
    m = native.fit("gaussian", x, y)
    args = {"y": y, "x": x, "theta": np.zeros(3), "k_per_term": [K]} | kwargs
    with pytest.raises(TypeError) as e:
        m.evaluate_reml_at_tweedie(**args)
    assert str(e.value) == message
