"""The per-thread outer settings: accepted values and argument errors."""

import math

import pytest

from quelt import _quelt_native as native


@pytest.fixture(autouse=True)
def reset_settings():
    yield
    native.set_outer_algorithm()
    native.set_outer_tuning_override()


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), (("REML",), {}), (("Newton",), {}), (("fREML",), {}),
     (("FellnerSchall",), {}), ((), dict(algorithm="fellner-schall"))],
)
def test_set_outer_algorithm_accepts(args, kwargs):
    assert native.set_outer_algorithm(*args, **kwargs) is None


@pytest.mark.parametrize(
    "value, exc, message",
    [
        ("reml", ValueError, "algorithm must be 'REML' or 'fREML' (got \"reml\")"),
        ("fREML ", ValueError, "algorithm must be 'REML' or 'fREML' (got \"fREML \")"),
        ("REML\0", ValueError, "algorithm must be 'REML' or 'fREML' (got \"REML\\0\")"),
        ("", ValueError, "algorithm must be 'REML' or 'fREML' (got \"\")"),
        ("a\"\\\t", ValueError, "algorithm must be 'REML' or 'fREML' (got \"a\\\"\\\\\\t\")"),
        (1, TypeError, None),
        (b"REML", TypeError, None),
    ],
)
def test_set_outer_algorithm_rejects(value, exc, message):
    with pytest.raises(exc) as ei:
        native.set_outer_algorithm(value)
    assert type(ei.value) is exc
    if message is None:
        assert "algorithm" in str(ei.value)
    else:
        assert str(ei.value) == message


def test_set_outer_algorithm_binding_errors():
    with pytest.raises(TypeError):
        native.set_outer_algorithm("REML", "fREML")
    with pytest.raises(TypeError):
        native.set_outer_algorithm(method="REML")


@pytest.mark.parametrize(
    "kwargs",
    [{}, dict(grad_tol=None, reml_tol=None), dict(grad_tol=1e-3), dict(reml_tol=0),
     dict(grad_tol=-1.0, reml_tol=math.nan), dict(grad_tol=True), dict(grad_tol=2**70)],
)
def test_set_outer_tuning_override_accepts(kwargs):
    # no range test: zero, negative and NaN tolerances are accepted
    assert native.set_outer_tuning_override(**kwargs) is None


@pytest.mark.parametrize(
    "kwargs, name",
    [(dict(grad_tol="1e-3"), "grad_tol"), (dict(reml_tol=[1e-7]), "reml_tol"),
     (dict(grad_tol=1e-3, reml_tol=b"1"), "reml_tol"), (dict(grad_tol=object()), "grad_tol")],
)
def test_set_outer_tuning_override_rejects_non_numbers(kwargs, name):
    with pytest.raises(TypeError, match=name):
        native.set_outer_tuning_override(**kwargs)
