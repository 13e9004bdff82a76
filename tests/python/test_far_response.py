"""One response (or one prior weight) far from the others: a sound fit or a
clear ValueError naming the parameter and the row, unless the design itself
is singular (confounded terms), which is reported as such."""

import functools
import time

import numpy as np
import pytest

import quelt

N, K, ROW = 300, 10, 5
MP = 2  # null space of one cubic regression smooth: intercept and line
FAMILIES = ["poisson", "quasipoisson", "bernoulli", "quasibinomial", "Gamma", "gamma",
            "inverse_gaussian"]
POSITIVE = ["Gamma", "gamma", "inverse_gaussian"]
SIZES = [1e3, 1e6, 1e9, 1e12, 1e15, 1e100, 1e300]


@functools.cache
def data(family):
    rng = np.random.default_rng(11)
    x = rng.uniform(size=(N, 1))
    mu = np.exp(0.5 * np.sin(2 * np.pi * x[:, 0]))
    if family in ("poisson", "quasipoisson"):
        y = rng.poisson(mu).astype(float)
    elif family in ("bernoulli", "quasibinomial"):
        y = (rng.uniform(size=N) < mu / 2).astype(float)
    else:
        y = rng.gamma(2.0, mu / 2.0)
    return x, y


def sound_or_refused(family, y, weights, parameter):
    x, _ = data(family)
    try:
        m = quelt.fit(family, x, y, weights=weights, k=K)
    except ValueError as e:
        msg = str(e)
        assert msg.startswith(parameter), msg
        assert f"at row {ROW}" in msg, msg
        return None
    assert m.converged
    assert MP - 1e-6 <= m.edf_total <= K + 1e-6
    assert np.all(np.isfinite(m.beta))
    assert np.all(np.isfinite(m.vcov()))
    assert np.isfinite(m.reml_value) and np.isfinite(m.scale) and m.scale > 0
    mean = m.predict_response(x)
    assert np.all(np.isfinite(mean))
    if family not in ("bernoulli", "quasibinomial"):
        assert np.all(mean > 0)
    return m


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("family", [f for f in FAMILIES if f not in ("bernoulli", "quasibinomial")])
def test_one_far_response_gives_a_sound_fit_or_a_clear_error(family, size):
    if (family, size) == ("quasipoisson", 1e3):
        # The REML gradient holds the working weights fixed (its envelope
        # form); with one count of large weight and leverage it differs from
        # the score's slope by about 0.2, so the line search ends short and
        # the fit says, honestly, that it did not converge.
        pytest.xfail("the envelope gradient leaves out the change of the weights in log|H|")
    _, y0 = data(family)
    y = y0.copy()
    y[ROW] = size
    sound_or_refused(family, y, None, "y is too large")


@pytest.mark.parametrize("size", [1e-6, 1e-20, 1e-300])
@pytest.mark.parametrize("family", POSITIVE)
def test_one_tiny_response_gives_a_sound_fit_or_a_clear_error(family, size):
    _, y0 = data(family)
    y = y0.copy()
    y[ROW] = size
    sound_or_refused(family, y, None, "y is too small")


@pytest.mark.parametrize("size", [1e-12, 1e6, 1e12, 1e100, 1e300])
@pytest.mark.parametrize("family", FAMILIES)
def test_one_far_weight_gives_a_sound_fit_or_a_clear_error(family, size):
    _, y = data(family)
    w = np.ones(N)
    w[ROW] = size
    sound_or_refused(family, y, w, "prior_weights")


def test_far_responses_within_the_bounds_are_fitted():
    # Below the bounds the fits exist: the log-link Gamma follows a response
    # 1e12 times the others, the inverse link one 1e6 times, the Poisson one
    # 1e3 times; each curve rises towards the far row.
    for family, size in [("gamma", 1e12), ("inverse_gaussian", 1e12), ("Gamma", 1e6),
                         ("poisson", 1e3)]:
        x, y0 = data(family)
        y = y0.copy()
        y[ROW] = size
        m = sound_or_refused(family, y, None, "none")
        assert m is not None, family
        assert m.predict_response(x[ROW:ROW + 1])[0] > 10 * np.median(y0), family


@pytest.mark.parametrize("size", [1e3, 1e6])
def test_gamma_inverse_link_is_not_refused_for_one_large_response(size):
    # The fit once took means below zero near the large response, whose
    # Pearson statistic overflowed into a false "scale overflows" refusal.
    x, y0 = data("Gamma")
    y = y0.copy()
    y[ROW] = size
    m = quelt.fit("Gamma", x, y, k=K)
    assert m.converged
    assert np.all(m.predict(x) > 0)  # η = 1/μ of a positive mean
    # the scale of Gamma(2) data is 1/2; one outlier may move it, not by 1e300
    assert 0.05 < m.scale < 20
    assert m.n_iters >= 1


@pytest.mark.parametrize("algorithm", ["REML", "fREML"])
@pytest.mark.parametrize("family", FAMILIES)
def test_far_response_fits_and_refusals_take_little_work_and_name_the_row(family, algorithm):
    # Once one row outweighs the others by many digits, rounding moves the
    # deviance of a converged inner fit by more than its tolerance; an inner
    # fit whose penalized deviance has stopped falling ends there rather than
    # wander towards its limit of 1000 iterations. Every case of the tables
    # above ends, fitted or refused, within seconds at n = 300, and a fit
    # spends at most 1500 PIRLS iterations in all (one Poisson count 1e12
    # took 14 s to its refusal, one Gamma response 1e6 30268 iterations).
    x, y0 = data(family)
    cases = [(size, None) for size in SIZES if family not in ("bernoulli", "quasibinomial")]
    cases += [(None, size) for size in [1e-12, 1e6, 1e12, 1e100, 1e300]]
    quelt.set_outer_algorithm(algorithm)
    try:
        for size, weight in cases:
            y, w = y0.copy(), None
            if size is not None:
                y[ROW] = size
            if weight is not None:
                w = np.ones(N)
                w[ROW] = weight
            start = time.perf_counter()
            try:
                m = quelt.fit(family, x, y, weights=w, k=K)
            except ValueError as e:  # a refusal names the far row, never a RuntimeError
                assert f"at row {ROW}" in str(e), str(e)
                m = None
            elapsed = time.perf_counter() - start
            assert elapsed < 2.0, (size, weight, elapsed)
            if m is not None:
                assert m.fit_stats["inner_pirls_iterations_total"] <= 1500, (size, weight)
    finally:
        quelt.set_outer_algorithm()


# A design whose terms share an unpenalized function (the line of column 0
# in a smooth of column 0 and in a tensor product of columns 0 and 1) is
# singular whatever y holds: a far row must not be blamed in its place. The
# same data on a sound design keep their fit or their refusal.
DESIGNS = {"confounded": [(0, "cr"), ((0, 1), "te")], "sound": [(0, "cr"), (1, "cr")]}
CONFOUNDED_HINT = ("; the terms may be confounded: term 0 (cr of column 0) and term 1 (te of "
                   "columns 0, 1) both read column 0")
TOO_LARGE = "y is too large to fit in its units: y="


def two_column_fit(family, design, far, algorithm, n=2000):
    rng = np.random.default_rng(1)
    x = rng.uniform(size=(n, 2))
    mu = np.exp(0.5 + np.sin(2 * np.pi * x[:, 0]) + 0.5 * np.cos(2 * np.pi * x[:, 1]))
    y = {"gamma": lambda: rng.gamma(2.0, mu / 2.0), "tweedie": lambda: rng.poisson(mu) * 0.7,
         "scat": lambda: np.log(mu) + 0.3 * rng.standard_t(4, size=n)}.get(
             family, lambda: rng.poisson(mu).astype(float))()
    w = np.ones(n)
    if far is not None:
        what, size = far
        if what == "weight":
            w[ROW] = size
        else:
            y[ROW] = size * (np.median(y[y > 0]) if what == "y/median" else 1.0)
    quelt.set_outer_algorithm(algorithm)
    try:
        return quelt.fit_additive(family, x, y, DESIGNS[design], weights=w)
    finally:
        quelt.set_outer_algorithm()


BOTH = ["REML", "fREML"]
WEIGHT_REFUSAL = ("prior_weights: weight=562949953421312 at row 5 is more than 2^48 times the "
                  "median positive weight 1; ")
# family, outer algorithms, far row (what, size), the sound design's refusal (None: a fit)
FAR_ROW_CASES = [
    ("poisson", BOTH, None, None),
    ("gamma", BOTH, None, None),
    ("poisson", BOTH, ("y/median", 1250.0), None),
    ("gamma", BOTH, ("y/median", 1250.0), None),
    ("poisson", BOTH, ("y/median", 2.0**49), TOO_LARGE),
    ("gamma", BOTH, ("y/median", 2.0**49), TOO_LARGE),
    ("poisson", BOTH, ("weight", 2.0**49), WEIGHT_REFUSAL),
    ("gamma", BOTH, ("weight", 2.0**49), WEIGHT_REFUSAL),
    # Fellner-Schall updates fail to fit past the far count, and the row is blamed
    ("poisson", ["fREML"], ("y/median", 1e6), TOO_LARGE + "2000000 at row 5 is 1000000 times the "
     "median positive response 2; the fit that follows it failed (singular system: "),
    ("tweedie", ["REML"], ("y/median", 2.0**53), TOO_LARGE + "12610078956637388 at row 5 is more "
     "than 2^52 times the median positive response 1.4; "),
    ("nb", ["REML"], ("y", 2.0**54), TOO_LARGE + "18014398509481984 at row 5 is a count above "
     "2^53 = 9007199254740992, "),
    ("scat", ["REML"], ("y", 1.5e308), TOO_LARGE + "1500000000"),
]


@pytest.mark.parametrize("family, algorithms, far, sound_refusal", FAR_ROW_CASES)
def test_a_far_row_does_not_hide_a_confounded_design(family, algorithms, far, sound_refusal):
    for algorithm in algorithms:
        with pytest.raises(RuntimeError, match="^singular system: ") as err:
            two_column_fit(family, "confounded", far, algorithm)
        assert str(err.value).endswith(CONFOUNDED_HINT), str(err.value)
        if sound_refusal is None:
            m = two_column_fit(family, "sound", far, algorithm)
            assert 3 - 1e-6 <= m.edf_total <= 19 + 1e-6  # intercept and two lines of 19
            assert m.converged or far is not None
        else:
            with pytest.raises(ValueError) as err:
                two_column_fit(family, "sound", far, algorithm)
            assert str(err.value).startswith(sound_refusal), str(err.value)
            assert f"at row {ROW} " in str(err.value), str(err.value)
