"""How failures reach Python: exception classes and message texts."""

import time

import numpy as np
import pytest

from quelt import _quelt_native as native


@pytest.fixture
def data():
    rng = np.random.default_rng(3)
    return rng.uniform(size=(30, 1)), rng.uniform(size=30)


def test_invalid_parameter_is_value_error_without_prefix(data):
    x, y = data
    with pytest.raises(ValueError) as ei:
        native.fit("ocat", x, y, r=1)
    assert type(ei.value) is ValueError
    assert str(ei.value) == "ocat requires r >= 3, got r=1"
    assert "invalid parameter" not in str(ei.value)


def test_errors_inside_conversions_propagate_unchanged(data):
    x, y = data

    class Boom:
        def __float__(self):
            raise KeyError("from __float__")

        def __index__(self):
            raise ZeroDivisionError("from __index__")

    with pytest.raises(KeyError, match="from __float__"):
        native.fit("gaussian", x, y, theta=Boom())
    with pytest.raises(ZeroDivisionError, match="from __index__"):
        native.fit("gaussian", x, y, k=Boom())
    with pytest.raises(KeyError):
        native.set_outer_tuning_override(grad_tol=Boom())


def test_unencodable_string_raises_unicode_error(data):
    x, y = data
    with pytest.raises(UnicodeEncodeError):
        native.fit("gauss\ud800", x, y)


def test_design_builder_errors_reach_python_as_value_errors(data):
    x, y = data
    # the builder's message, non-ASCII text included, arrives unchanged
    with pytest.raises(ValueError) as ei:
        native.fit("gaussian", x, y, k=2)
    assert str(ei.value) == "CR spline needs k \u2265 3 (got 2)"
    # the same k is not used by a random-effect design (each covariate row
    # twice, responses reversed: one coefficient per distinct value)
    x2, y2 = np.vstack([x, x]), np.concatenate([y, y[::-1]])
    assert native.fit("gaussian", x2, y2, k=2, design="re").term_col_ranges() == [(1, 31)]



def test_impossible_allocation_is_memory_error(data):
    # r - 2 starting log gaps cannot be allocated
    x, y = data
    with pytest.raises(MemoryError, match="r = 9223372036854775808 needs 9223372036854775806 "):
        native.fit("ocat", x, y, r=2**63)
    # a basis whose k x k penalty cannot be allocated fails before any knot
    # is placed (placing a billion knots first took most of a minute)
    t0 = time.perf_counter()
    with pytest.raises(MemoryError):
        native.fit("gaussian", x, y, k=10**9)
    assert time.perf_counter() - t0 < 10.0


def test_singular_system_is_runtime_error_with_prefix():
    # a smooth of column 1 inside a tensor product of columns 0 and 1 cannot
    # be told apart from it: the penalized Hessian is singular
    rng = np.random.default_rng(11)
    x, y = rng.uniform(size=(50, 3)), rng.uniform(size=50)
    with pytest.raises(RuntimeError) as ei:
        native.fit_additive("poisson", x, y, [((0, 1), "te", (3, 3)), (1, "cr", 4)])
    assert type(ei.value) is RuntimeError
    assert str(ei.value).startswith("singular system: ")


def test_driver_input_errors_are_value_errors():
    rng = np.random.default_rng(4)
    x, y = rng.uniform(size=(30, 1)), rng.uniform(size=30)
    with pytest.raises(ValueError) as ei:
        native.fit("poisson", x, y, weights=np.ones(29))
    assert str(ei.value) == "prior_weights length must match x rows; got weights.len()=29, x.nrows()=30"
    with pytest.raises(ValueError) as ei:
        native.fit("gaussian", x, y[:-1])
    assert str(ei.value) == "x and y must have the same number of rows; got x.nrows()=30, y.len()=29"
