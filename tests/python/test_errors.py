"""How failures reach Python: exception classes and message texts."""

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
    # the same k is not used by a random-effect design
    assert native.fit("gaussian", x, y, k=2, design="re").term_col_ranges() == [(1, 31)]



def test_impossible_allocation_is_memory_error(data):
    # r - 2 starting log gaps cannot be allocated
    x, y = data
    with pytest.raises(MemoryError):
        native.fit("ocat", x, y, r=2**63)
