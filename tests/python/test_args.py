"""Argument conversion and family checks of fit / fit_additive."""

import math
import subprocess
import sys

import numpy as np
import pytest

from quelt import _quelt_native as native

from arg_helpers import Index

FUNCTIONS = ["fit", "fit_additive", "set_outer_tuning_override", "set_outer_algorithm"]
UNKNOWN = ("; supported: gaussian, bernoulli, poisson, quasipoisson, quasibinomial, gamma, "
           "Gamma, inverse_gaussian, negbin, tdist, tweedie, ocat, elf")


def fit_or_pending(family, *args, **kwargs):
    """fit(), accepting the NotImplementedError of a family whose driver is
    not built yet (it must name the family)."""
    try:
        return native.fit(family, *args, **kwargs)
    except NotImplementedError as e:
        assert f'"{family}"' in str(e)
        return None


@pytest.fixture
def data():
    rng = np.random.default_rng(7)
    x = rng.uniform(size=(40, 2))
    y = rng.uniform(size=40)
    return x, y


# --- module surface ----------------------------------------------------------

def test_all_lists_names_in_registration_order():
    assert native.__all__ == ["FittedGam"] + FUNCTIONS
    import quelt

    for name in native.__all__:
        assert getattr(quelt, name) is getattr(native, name)
    for name in FUNCTIONS:
        assert callable(getattr(native, name))


def test_import_does_not_load_numpy_and_reimport_gives_same_module():
    code = (
        "import importlib.util, sys\n"
        f"loader_info = importlib.util.spec_from_file_location('quelt._quelt_native', {native.__file__!r})\n"
        "m = importlib.util.module_from_spec(loader_info)\n"
        "loader_info.loader.exec_module(m)\n"
        "assert 'numpy' not in sys.modules, 'numpy imported at module import'\n"
        "sys.modules['quelt._quelt_native'] = m\n"
        "m2 = importlib.util.module_from_spec(loader_info)\n"
        "assert m2 is m, 'a second module object was created'\n"
        "m.set_outer_algorithm('REML')\n"
        "assert 'numpy' not in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_second_interpreter_is_refused():
    code = (
        "import _interpreters as I\n"
        "import quelt._quelt_native\n"
        "sub = I.create(I.new_config('legacy'))\n"
        "r = I.exec(sub, 'import quelt._quelt_native')\n"
        "assert r is not None and r.type.__name__ == 'ImportError', r\n"
        "assert 'one interpreter' in r.msg, r.msg\n"
        "quelt._quelt_native.set_outer_algorithm()\n"
    )
    probe = subprocess.run([sys.executable, "-c", "import _interpreters as I; I.new_config"],
                           capture_output=True)
    if probe.returncode != 0:
        pytest.skip("no legacy subinterpreters in this Python")
    subprocess.run([sys.executable, "-c", code], check=True)


# --- conversion in parameter order ------------------------------------------

@pytest.mark.parametrize(
    "family, kwargs, exc, fragment",
    [
        # None where the default is a value
        ("gaussian", dict(k=None), TypeError, "'k'"),
        ("gaussian", dict(design=None), TypeError, "'design'"),
        # every argument is converted before the family name is looked at
        ("nope", dict(k=None), TypeError, "'k'"),
        ("gaussian", dict(r="3"), TypeError, "'r'"),
        ("nope", dict(elf_lambda="1"), TypeError, "'elf_lambda'"),
        ("gaussian", dict(k=2.0), TypeError, "'k'"),
        ("gaussian", dict(theta="2.0"), TypeError, "'theta'"),
        ("gaussian", dict(tau=b"0.5"), TypeError, "'tau'"),
        ("gaussian", dict(design=b"cr"), TypeError, "'design'"),
        ("gaussian", dict(weights=[1.0] * 40), TypeError, "'weights'"),
        # negative or too large integers: a ValueError naming the argument
        ("gaussian", dict(k=-1), ValueError, ""),
        ("gaussian", dict(r=-1), ValueError, ""),
        ("gaussian", dict(k=2**64), ValueError, ""),
        ("nope", dict(k=Index(-5)), ValueError, ""),
        # first failing conversion wins
        ("gaussian", dict(k=-1, design=None), ValueError, ""),
        ("gaussian", dict(design=None, theta="x"), TypeError, "'design'"),
    ],
)
def test_conversion_errors(data, family, kwargs, exc, fragment):
    x, y = data
    with pytest.raises(exc) as ei:
        native.fit(family, x, y, **kwargs)
    assert type(ei.value) is exc
    assert fragment in str(ei.value)


def test_binding_errors(data):
    x, y = data
    with pytest.raises(TypeError):
        native.fit("gaussian", x)
    with pytest.raises(TypeError):
        native.fit("gaussian", x, y, bogus=1)
    with pytest.raises(TypeError):
        native.fit("gaussian", x, y, x=x)
    with pytest.raises(TypeError, match="family_name"):
        native.fit(None, x, y)
    with pytest.raises(TypeError, match="family_name"):
        native.fit(b"gaussian", x, y)


@pytest.mark.parametrize(
    "make_x, make_y, name",
    [
        (lambda x: x.astype(np.int32), lambda y: y, "'x'"),
        (lambda x: x.astype(np.float32), lambda y: y, "'x'"),
        (lambda x: x.astype(np.longdouble), lambda y: y, "'x'"),
        (lambda x: x[:, 0], lambda y: y, "'x'"),
        (lambda x: x[:, :, None], lambda y: y, "'x'"),
        (lambda x: x.tolist(), lambda y: y, "'x'"),
        (lambda x: None, lambda y: y, "'x'"),
        (lambda x: x, lambda y: y.astype(np.float32), "'y'"),
        (lambda x: x, lambda y: y[:, None], "'y'"),
        (lambda x: x, lambda y: np.float64(1.0), "'y'"),
        (lambda x: x, lambda y: None, "'y'"),
    ],
)
def test_array_dtype_and_dimensions_are_exact(data, make_x, make_y, name):
    x, y = data
    with pytest.raises(TypeError, match=name):
        native.fit("gaussian", make_x(x), make_y(y))
    with pytest.raises(TypeError, match=name):
        native.fit_additive("gaussian", make_x(x), make_y(y), [(0, "cr")])


def test_accepted_argument_forms_reach_the_model_stage(data):
    # ints for floats, True for an integer, index objects, None for optional
    # floats, a str subclass, an ndarray subclass: all convert, so the call
    # gets past conversion and the family checks. Each covariate row twice
    # (with the responses in reverse order): a random effect of a continuous
    # column has one coefficient per row.
    x, y = np.vstack([data[0], data[0]]), np.concatenate([data[1], data[1][::-1]])

    class Name(str):
        pass

    class Arr(np.ndarray):
        pass

    calls = [
        dict(theta=None, nu=None, sigma2=None, tweedie_p=None, tweedie_phi=None, r=None,
             tau=None, elf_sigma=None, elf_lambda=None, weights=None),
        dict(theta=2, nu=Index(7), sigma2=True, tweedie_phi=np.float64(2.0), k=Index(5)),
        dict(k=True, r=np.int64(4), design=Name("re")),
    ]
    for kw in calls:
        model = native.fit(Name("gaussian"), x.view(Arr), y.view(Arr), **kw)
        assert isinstance(model, native.FittedGam)


# --- family table and checks ---------------------------------------------------

@pytest.mark.parametrize(
    "family, kwargs, message",
    [
        ("Gaussian", {}, 'unknown family "Gaussian"' + UNKNOWN),
        ("gaussian\0", {}, 'unknown family "gaussian\\0"' + UNKNOWN),
        ("gaussian ", {}, 'unknown family "gaussian "' + UNKNOWN),
        ('a"b\\c\n', {}, 'unknown family "a\\"b\\\\c\\n"' + UNKNOWN),
        ("", {}, 'unknown family ""' + UNKNOWN),
        ("ocat", {}, "family='ocat' requires r=K (number of ordered categories, K >= 3)"),
        ("ocat", dict(r=None), "family='ocat' requires r=K (number of ordered categories, K >= 3)"),
        ("ocat", dict(design="zz"), "family='ocat' requires r=K (number of ordered categories, K >= 3)"),
        ("ocat", dict(r=2), "ocat requires r >= 3, got r=2"),
        ("ocat", dict(r=0, design="zz"), "ocat requires r >= 3, got r=0"),
        ("elf", dict(tau=1.0), "elf/quantile tau must be in (0, 1); got tau=1"),
        ("quantile", dict(tau=0), "elf/quantile tau must be in (0, 1); got tau=0"),
        ("elf", dict(tau=math.nan), "elf/quantile tau must be in (0, 1); got tau=NaN"),
        ("elf", dict(tau=-0.25), "elf/quantile tau must be in (0, 1); got tau=-0.25"),
        ("tweedie", dict(tweedie_p=2.0), "tweedie fixed p must be in (1, 2); got tweedie_p=2"),
        ("tw", dict(tweedie_p=1), "tweedie fixed p must be in (1, 2); got tweedie_p=1"),
        ("tw", dict(tweedie_p=math.nan), "tweedie fixed p must be in (1, 2); got tweedie_p=NaN"),
        ("tweedie", dict(tweedie_p=math.inf), "tweedie fixed p must be in (1, 2); got tweedie_p=inf"),
        ("nb", dict(theta=0.0), "negbin theta must be > 0; got theta=0"),
        ("negbin", dict(theta=-0.0), "negbin theta must be > 0; got theta=-0"),
        ("nb", dict(theta=-1e-7), "negbin theta must be > 0; got theta=-0.0000001"),
        ("gaussian", dict(design="CR"), "design must be 'cr', 're', or 'cr_stable'; got \"CR\""),
        ("gaussian", dict(design="cr\0"), "design must be 'cr', 're', or 'cr_stable'; got \"cr\\0\""),
        ("poisson", dict(design=""), "design must be 'cr', 're', or 'cr_stable'; got \"\""),
    ],
)
def test_family_and_design_messages(data, family, kwargs, message):
    x, y = data
    with pytest.raises(ValueError) as ei:
        native.fit(family, x, y, **kwargs)
    assert type(ei.value) is ValueError
    assert str(ei.value) == message


@pytest.mark.parametrize(
    "family, kwargs",
    [
        ("gaussian", {}), ("bernoulli", {}), ("binomial", {}), ("poisson", {}),
        ("quasipoisson", {}), ("quasibinomial", {}), ("Gamma", {}), ("gamma", {}),
        ("inverse_gaussian", {}), ("inverse.gaussian", {}),
        ("negbin", {}), ("nb", dict(theta=0.5)), ("tdist", dict(nu=2.5)),
        ("scat", {}), ("tweedie", {}), ("tw", dict(tweedie_p=1.5)), ("ocat", dict(r=3)),
        ("elf", {}), ("quantile", dict(tau=0.1, elf_sigma=-1.0)),
    ],
)
def test_every_family_name_passes_its_checks(data, family, kwargs):
    # Values fit() leaves unchecked (a NaN theta) are left to the family's
    # driver; the drivers' own checks are tested with their families.
    # Each covariate row twice (responses reversed): the random effect has one
    # coefficient per distinct row.
    x, y = np.vstack([data[0], data[0]]), np.concatenate([data[1], data[1][::-1]])
    if family == "ocat":  # labels 1..r
        y = 1.0 + np.floor(kwargs["r"] * y)
    model = fit_or_pending(family, x, y, design="re", **kwargs)
    assert model is None or isinstance(model, native.FittedGam)


def test_family_names_select_their_family():
    rng = np.random.default_rng(9)
    x = rng.uniform(size=(120, 1))
    eta = np.sin(5 * x[:, 0])
    ybin = (rng.uniform(size=120) < 1 / (1 + np.exp(-eta))).astype(float)
    ypos = rng.gamma(3.0, np.exp(eta) / 3.0)
    # aliases select the same family
    assert (native.fit("bernoulli", x, ybin, k=5).serialize()
            == native.fit("binomial", x, ybin, k=5).serialize())
    assert (native.fit("inverse_gaussian", x, ypos, k=5).serialize()
            == native.fit("inverse.gaussian", x, ypos, k=5).serialize())
    # "Gamma" has the inverse link, "gamma" the log link
    inv = native.fit("Gamma", x, ypos, k=5)
    log = native.fit("gamma", x, ypos, k=5)
    assert np.allclose(inv.predict_response(x), 1.0 / inv.predict(x), rtol=1e-14)
    assert np.allclose(log.predict_response(x), np.exp(log.predict(x)), rtol=1e-14)
    # quasi families differ from their counterparts by the estimated scale
    assert native.fit("poisson", x, ypos, k=5).scale == 1.0
    assert native.fit("quasipoisson", x, ypos, k=5).scale != 1.0
    assert native.fit("quasibinomial", x, ybin, k=5).scale != 1.0


# --- fit_additive arguments ------------------------------------------------------

def test_fit_additive_argument_rules(data):
    x, y = data
    with pytest.raises(TypeError, match="'terms'"):
        native.fit_additive("gaussian", x, y, ((0, "cr"),))
    with pytest.raises(TypeError, match="'terms'"):
        native.fit_additive("gaussian", x, y, None)
    # weights is the fifth parameter; the family arguments follow it
    with pytest.raises(TypeError, match="'weights'"):
        native.fit_additive("gaussian", x, y, [(0, "cr")], "w")
    with pytest.raises(TypeError, match="'r'"):
        native.fit_additive("nope", x, y, [(0, "cr")], None, r="3")
    with pytest.raises(TypeError):
        native.fit_additive("gaussian", x, y, [(0, "cr")], k=10)
    with pytest.raises(ValueError):
        native.fit_additive("gaussian", x, y, [(0, "cr")], r=-3)


# --- array layouts: what is read is the logical array ------------------------

NAN_ROW3 = "x has a non-finite value at row 3, column 0"


def _base(n=10, d=2):
    x = np.arange(n * d, dtype=np.float64).reshape(n, d) / 7.0
    x[3, 0] = np.nan
    return x


def _reversed():
    b = _base()
    return np.ascontiguousarray(b[::-1])[::-1]


def _every_other_row():
    big = np.zeros((20, 2))
    big[::2] = _base()
    big[1::2] = np.nan
    return big[::2]


def _every_other_column():
    big = np.full((10, 4), np.nan)
    big[:, ::2] = _base()
    return big[:, ::2]


def _unaligned():
    b = _base()
    buf = bytearray(b.nbytes + 1)
    arr = np.frombuffer(buf, dtype=np.float64, offset=1, count=b.size).reshape(b.shape)
    arr[...] = b
    assert not arr.flags.aligned
    return arr


def _big_endian_trap():
    # Every value but the NaN is a subnormal whose byte-reversed bit pattern
    # is a NaN: reading the big-endian bytes without swapping would report
    # row 0 instead of row 3.
    trap = np.frombuffer((0xF87F).to_bytes(8, "little"), dtype="<f8")[0]
    x = np.full((10, 2), trap)
    x[3, 0] = np.nan
    return x.astype(">f8")


@pytest.mark.parametrize(
    "make",
    [
        _base,
        lambda: np.asfortranarray(_base()),
        lambda: np.ascontiguousarray(_base().T).T,
        _reversed,
        _every_other_row,
        _every_other_column,
        _unaligned,
        lambda: _base().astype(">f8"),
        _big_endian_trap,
        lambda: np.asfortranarray(_big_endian_trap()),
    ],
    ids=["c", "fortran", "transposed", "negative-stride", "row-slice", "column-slice",
         "unaligned", "big-endian", "big-endian-trap", "big-endian-fortran"],
)
def test_any_layout_reads_the_logical_array(make):
    x = make()
    y = np.ones(x.shape[0])
    with pytest.raises(ValueError) as ei:
        native.fit("gaussian", x, y, design="re")
    assert str(ei.value) == NAN_ROW3
    with pytest.raises(ValueError) as ei:
        native.fit("gaussian", x, y, design="cr", k=4)
    assert str(ei.value) == NAN_ROW3


def _layouts(x):
    """The same logical matrix in other layouts."""
    big = np.zeros((2 * x.shape[0], 2 * x.shape[1]))
    big[::2, ::2] = x
    buf = bytearray(x.nbytes + 1)
    unaligned = np.frombuffer(buf, dtype=np.float64, offset=1, count=x.size).reshape(x.shape)
    unaligned[...] = x
    return {
        "fortran": np.asfortranarray(x),
        "negative-stride": np.ascontiguousarray(x[::-1])[::-1],
        "strided": big[::2, ::2],
        "unaligned": unaligned,
        "big-endian": x.astype(">f8"),
        "big-endian-fortran": np.asfortranarray(x.astype(">f8")),
    }


@pytest.mark.parametrize("design", ["cr", "re"])
def test_layouts_fit_the_same_model_bit_for_bit(design):
    rng = np.random.default_rng(21)
    x = np.round(rng.uniform(size=(60, 2)), 1 if design == "re" else 6)
    y = np.sin(6 * x[:, 0]) + rng.normal(scale=0.3, size=60)
    w = rng.uniform(0.5, 2.0, size=60)
    ref = native.fit("gaussian", x, y, weights=w, design=design, k=6).serialize()
    for name, xv in _layouts(x).items():
        yv = _layouts(y[:, None])[name][:, 0]
        wv = _layouts(w[:, None])[name][:, 0]
        got = native.fit("gaussian", xv, yv, weights=wv, design=design, k=6).serialize()
        assert got == ref, name


def test_broadcast_arrays_are_accepted():
    y = np.linspace(0.0, 1.0, 10)
    x = np.broadcast_to(np.array([0.5, 1.5]), (10, 2))
    model = native.fit("gaussian", x, y, design="re")
    assert model.term_col_ranges() == [(1, 2)]


def test_arrays_are_copied_when_converted():
    # A later argument's conversion runs Python code that changes x; the
    # values read are those x held when it was converted.
    x = np.linspace(0.0, 1.0, 30).reshape(15, 2)
    y = np.linspace(0.0, 1.0, 15) ** 2
    ref = native.fit("gaussian", x.copy(), y, k=5).serialize()

    def poison():
        x[3, 0] = np.nan

    got = native.fit("gaussian", x, y, k=Index(5, hook=poison)).serialize()
    assert np.isnan(x[3, 0])
    assert got == ref

    # Shrinking the array's memory under a later conversion is harmless.
    x = np.linspace(0.0, 1.0, 30).reshape(15, 2).copy()
    got = native.fit("gaussian", x, y, k=5,
                     theta=Index(3, hook=lambda: x.resize((1, 1), refcheck=False))).serialize()
    assert got == ref
