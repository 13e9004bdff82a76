"""Every input gets a sound fit or a clear error naming what is wrong."""

import math
import time

import numpy as np
import pytest

import quelt
from quelt import _quelt_native as native

rng = np.random.default_rng(0)
X = rng.uniform(size=(200, 2))
Y = np.sin(2 * np.pi * X[:, 0]) + 0.3 * rng.standard_normal(200)
COUNTS = rng.poisson(np.exp(np.sin(2 * np.pi * X[:, 0]))).astype(float)
TWINS = np.column_stack([X[:, 0], X[:, 0]])
NARROW = np.full((200, 1), 1e6)
NARROW[::2, 0] = np.nextafter(1e6, 2e6)


def shift_then_check(delta):
    model = native.fit("gaussian", X, Y, k=6)
    before = model.serialize()
    try:
        model.shift_intercept(delta)
    finally:
        assert model.serialize() == before  # unchanged by the refused shift


@pytest.mark.parametrize(
    "call, exc, words",
    [
        # covariates of any size: thin-plate coordinates whose differences
        # overflow (X * 1e104 fits: distances are measured in units of the centres)
        (lambda: native.fit_additive("gaussian", (X - 0.5) * 1e308 * 3, Y, [((0, 1), "tp", 12)]),
         ValueError, ["tps term on columns (0, 1)", "too large", "rescale"]),
        # non-finite intercept shifts
        (lambda: shift_then_check(math.nan), ValueError, ["shift_intercept", "finite", "NaN"]),
        (lambda: shift_then_check(math.inf), ValueError, ["shift_intercept", "finite", "inf"]),
        (lambda: shift_then_check(-math.inf), ValueError, ["shift_intercept", "finite", "-inf"]),
        # no rows
        (lambda: native.fit("gaussian", X[:0], Y[:0]), ValueError, ["x has 0 rows"]),
        (lambda: native.fit("poisson", X[:0], Y[:0], design="re"), ValueError, ["x has 0 rows"]),
        (lambda: native.fit_additive("gaussian", X[:0], Y[:0], [(0, "cr")]),
         ValueError, ["x has 0 rows"]),
        # a repeated term is refused before any fit
        (lambda: native.fit_additive("gaussian", X, Y, [(0, "cr"), (0, "cr")]),
         ValueError, ["term 1 (cr of column 0) repeats term 0 (cr of column 0)", "drop one"]),
        # singular systems name the terms that may be confounded
        (lambda: native.fit_additive("poisson", X, COUNTS, [(0, "cr", 10), ((0, 1), "te", (5, 5))]),
         RuntimeError, ["singular system", "may be confounded",
                        "term 0 (cr of column 0) and term 1 (te of columns 0, 1) both read column 0"]),
        (lambda: native.fit_additive("gaussian", TWINS, Y, [(0, "cr"), (1, "cr")]),
         RuntimeError, ["singular system", "may be confounded", "identical columns 0 and 1"]),
        # too few distinct values for k
        (lambda: native.fit("gaussian", np.ones((200, 1)), Y),
         ValueError, ["x column 0", "constant", "1 distinct value", "k = 10"]),
        (lambda: native.fit_additive("gaussian", np.column_stack([X[:, 0], np.ones(200)]), Y,
                                     [((0, 1), "te", (4, 6))]),
         ValueError, ["x column 1", "constant", "k = 6"]),
        (lambda: native.fit("gaussian", NARROW, Y, design="cr_stable"),
         ValueError, ["x column 0", "2 distinct values", "k = 10"]),
        # basis dimensions out of range or too large for memory
        (lambda: native.fit("gaussian", X, Y, k=-1), ValueError, ["'k'", "negative", "-1"]),
        (lambda: native.fit("gaussian", X, Y, k=2**64), ValueError, ["'k'", "too large"]),
        (lambda: native.fit("gaussian", X, Y, k=10**9),
         MemoryError, ["200 x 1000000000 model matrix", "GB", "available"]),
        (lambda: native.fit_additive("gaussian", X, Y, [(0, "re"), (1, "cr", 10**9)]),
         MemoryError, ["200 x 1000000200 model matrix", "2 penalties"]),
        (lambda: native.fit_additive("gaussian", X, Y, [(0, "cr", 10**12)]),
         MemoryError, ["200 x 1000000000000 model matrix", "64-bit address space"]),
        # term tuples
        (lambda: native.fit_additive("gaussian", X, Y, [(0, "cr", 5.0)]),
         TypeError, ["term 0 k", "float"]),
        (lambda: native.fit_additive("gaussian", X, Y, [(0, "cr"), ((0, 1), "te", (5, -5))]),
         ValueError, ["tensor term 1 k_b", "negative", "-5"]),
        (lambda: native.fit_additive("gaussian", X, Y, [((0, 1), "ti", (4, 2**70))]),
         ValueError, ["term 0 k[1]", "too large"]),
        (lambda: native.fit_additive("gaussian", X, Y, [(0, "cr", 5, None)]),
         ValueError, ["term 0", "4 elements"]),
    ],
)
def test_bad_input_gets_a_clear_error(call, exc, words):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    for w in words:
        assert w in str(info.value)


def test_a_model_too_large_for_memory_fails_at_once():
    n = 10**6
    x = np.linspace(0.0, 1.0, n)[:, None]
    start = time.perf_counter()
    with pytest.raises(MemoryError, match="1000000 x 100000 model matrix"):
        native.fit("gaussian", x, x[:, 0], k=10**5)
    assert time.perf_counter() - start < 5.0


FITS = {
    "cr": lambda x, y: native.fit("gaussian", x, y, k=12),
    "cr_stable": lambda x, y: native.fit("gaussian", x, y, design="cr_stable"),
    "poisson": lambda x, y: native.fit("poisson", x, COUNTS),
    "cr+cr": lambda x, y: native.fit_additive("gaussian", x, y, [(0, "cr"), (1, "cr", 6)]),
    "te": lambda x, y: native.fit_additive("gaussian", x, y, [((0, 1), "te", (5, 5))]),
    "ti": lambda x, y: native.fit_additive("gaussian", x, y, [(0, "cr"), ((0, 1), "ti", (4, 4))]),
}


@pytest.mark.parametrize("scale", [1e-300, 1e-12, 1e6, 1e104, 1e300])
@pytest.mark.parametrize("name", FITS)
def test_cubic_regression_fits_do_not_depend_on_the_units_of_x(name, scale):
    ref = FITS[name](X, Y)
    model = FITS[name](X * scale, Y)
    assert model.edf_total == pytest.approx(ref.edf_total, rel=1e-8)
    np.testing.assert_allclose(model.predict(X * scale), ref.predict(X), rtol=0, atol=1e-8)
    # new covariates, through the stored predictor and through its bytes
    new = rng.uniform(-0.2, 1.2, size=(50, 2))
    np.testing.assert_allclose(model.predict(new * scale), ref.predict(new), rtol=0, atol=1e-8)
    again = quelt.FittedGam.deserialize(model.serialize())
    assert np.array_equal(again.predict(new * scale), model.predict(new * scale))


@pytest.mark.parametrize("scale", [2.0**-1070, 1e-13, 1e-2, 1e2, 1e49, 1e104, 1e300, 1.7e308])
def test_thin_plate_terms_fit_or_refuse_at_any_scale(scale):
    # a sound fit or a ValueError naming the columns; never a panic, which
    # would escape this handler
    try:
        model = native.fit_additive("gaussian", X * scale, Y, [((0, 1), "tp", 12)])
    except ValueError as e:
        assert "tps term on columns (0, 1)" in str(e)
    else:
        assert np.all(np.isfinite(model.predict(X * scale)))
