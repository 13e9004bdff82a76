"""The per-thread outer settings: accepted values and argument errors."""

import math
import threading

import numpy as np
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


# --- effect on later fits ------------------------------------------------------


@pytest.fixture(scope="module")
def counts():
    rng = np.random.default_rng(2)
    x = rng.uniform(size=(200, 1))
    y = rng.poisson(np.exp(np.sin(6 * x[:, 0]))).astype(float)
    return x, y


def in_thread(fn):
    out = {}
    t = threading.Thread(target=lambda: out.setdefault("v", fn()))
    t.start()
    t.join()
    return out["v"]


def test_outer_algorithm_affects_later_fits_on_this_thread_only(counts):
    x, y = counts
    newton = native.fit("poisson", x, y)
    assert newton.reml_value != 0.0 and newton.fit_stats["line_search_trials"] > 0

    native.set_outer_algorithm("fREML")
    fs = native.fit("poisson", x, y)
    # Fellner-Schall updates: no score, no line search
    assert fs.reml_value == 0.0 and fs.fit_stats["line_search_trials"] == 0
    # another thread keeps its own (unset) value
    assert in_thread(lambda: native.fit("poisson", x, y).serialize()) == newton.serialize()
    # a driver without a Fellner-Schall path ignores the setting
    g = native.fit("gaussian", x, np.sqrt(y))
    assert g.reml_value != 0.0

    # rejected values leave the setting as it was
    with pytest.raises(ValueError):
        native.set_outer_algorithm("reml")
    with pytest.raises(TypeError):
        native.set_outer_algorithm(1)
    assert native.fit("poisson", x, y).reml_value == 0.0

    for name in ["REML", "Newton", None]:
        native.set_outer_algorithm("fREML")
        native.set_outer_algorithm(name)
        assert native.fit("poisson", x, y).serialize() == newton.serialize()
    native.set_outer_algorithm("fellner-schall")
    native.set_outer_algorithm()
    assert native.fit("poisson", x, y).serialize() == newton.serialize()


def test_tuning_override_affects_later_fits_on_this_thread_only(counts):
    x, y = counts
    default = native.fit("gamma", x, y + 0.5)
    assert default.n_iters > 0

    # tolerances so loose that the start point already passes
    native.set_outer_tuning_override(1e3, 1e3)
    loose = native.fit("gamma", x, y + 0.5)
    assert loose.n_iters == 0
    # every Newton driver reads it: one evaluation, its one inner fit, no trial
    for family, response in [("gaussian", np.sqrt(y)), ("poisson", y), ("quasipoisson", y),
                             ("inverse_gaussian", y + 0.5)]:
        m = native.fit(family, x, response)
        st = m.fit_stats
        assert m.n_iters == 0 and m.converged, family
        assert [st[k] for k in list(st)[:5]] == [1, 0, 0, 0, 1], family
        assert st["pirls_iters_per_call"] == st["inner_pirls_iterations_total"]
    assert in_thread(lambda: native.fit("gamma", x, y + 0.5).serialize()) == default.serialize()

    # a failed conversion keeps the previous override
    with pytest.raises(TypeError):
        native.set_outer_tuning_override(grad_tol=1e-12, reml_tol="x")
    assert native.fit("gamma", x, y + 0.5).serialize() == loose.serialize()

    # both None removes the override: the driver's own defaults apply again
    native.set_outer_tuning_override(None, None)
    assert native.fit("gamma", x, y + 0.5).serialize() == default.serialize()
