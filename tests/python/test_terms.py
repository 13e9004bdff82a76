"""Parsing of fit_additive's term list."""

import numpy as np
import pytest

from quelt import _quelt_native as native

from arg_helpers import Index

BASES = "'cr', 'cr_stable', 're', 'te', 'te_multi', 'ti', or 'tp'"


@pytest.fixture
def data():
    rng = np.random.default_rng(11)
    return rng.uniform(size=(50, 3)), rng.uniform(size=50)


@pytest.mark.parametrize(
    "terms, exc, message",
    [
        ([5], ValueError, "fit_additive: term 0 must be a tuple; got 5"),
        ([[0, "cr"]], ValueError, "fit_additive: term 0 must be a tuple; got [0, 'cr']"),
        ([(0, "cr"), "x"], ValueError, "fit_additive: term 1 must be a tuple; got 'x'"),
        ([(0,)], ValueError, "fit_additive: term 0 tuple must have at least 2 elements"),
        ([()], ValueError, "fit_additive: term 0 tuple must have at least 2 elements"),
        ([(0, 1)], TypeError, None),
        # tensor product of two margins
        ([((0, 1, 2), "te")], ValueError,
         "fit_additive: tensor term 0 cols tuple must have exactly 2 elements"),
        ([((0,), "te")], ValueError,
         "fit_additive: tensor term 0 cols tuple must have exactly 2 elements"),
        ([([0, 1], "te")], ValueError,
         "fit_additive: tensor term 0 first element must be a (col_a, col_b) tuple"),
        ([(0, "te")], ValueError,
         "fit_additive: tensor term 0 first element must be a (col_a, col_b) tuple"),
        ([((0, 1), "te", [5, 5])], ValueError,
         "fit_additive: tensor term 0 k must be a (k_a, k_b) tuple"),
        ([((0, 1), "te", None)], ValueError,
         "fit_additive: tensor term 0 k must be a (k_a, k_b) tuple"),
        ([((0, 1), "te", (5, 5, 5))], ValueError,
         "fit_additive: tensor term 0 k tuple must have exactly 2 elements"),
        ([((-1, 2), "te")], ValueError, None),
        ([((0, 1.0), "te")], TypeError, None),
        ([((0, 1), "te", (5, -5))], ValueError, None),
        # several margins
        ([((0, 1), "te_multi", (4, 5, 6))], ValueError,
         "fit_additive: term 0 k tuple length (3) must match cols length (2)"),
        ([(0, "cr"), ((0, 1, 2), "ti", (4,))], ValueError,
         "fit_additive: term 1 k tuple length (1) must match cols length (3)"),
        ([((0, 1), "ti", None)], ValueError,
         "fit_additive: term 0 k must be a tuple of marginal basis dims"),
        ([((0,), "ti")], ValueError, "fit_additive: term 0 cols tuple must have at least 2 elements"),
        ([(0, "te_multi")], ValueError,
         "fit_additive: term 0 first element must be a tuple of column indices"),
        ([((0, "a"), "ti")], TypeError, None),
        # thin plate
        ([((0,), "tp")], ValueError,
         "fit_additive: tps term 0 cols tuple must have at least 2 elements"),
        ([([0, 1], "tp")], ValueError,
         "fit_additive: tps term 0 first element must be a tuple of column indices"),
        ([((0, 1), "tp", None)], TypeError, None),
        ([((0, 1), "tp", -3)], ValueError, None),
        # univariate terms and unknown names
        ([(0.5, "cr")], ValueError,
         "fit_additive: univariate term 0 first element must be an integer column index"),
        ([(-1, "cr")], ValueError,
         "fit_additive: univariate term 0 first element must be an integer column index"),
        ([((0, 1), "xx")], ValueError,
         "fit_additive: univariate term 0 first element must be an integer column index"),
        ([(0, "xx")], ValueError, f'fit_additive: term 0 basis must be {BASES}; got "xx"'),
        ([(0, "CR")], ValueError, f'fit_additive: term 0 basis must be {BASES}; got "CR"'),
        ([(0, "cr\0")], ValueError, f'fit_additive: term 0 basis must be {BASES}; got "cr\\0"'),
        ([(0, "cr", None)], TypeError, None),
        ([(0, "cr", -1)], ValueError, None),
        ([(0, "cr_stable", 2**64)], ValueError, None),
        ([], ValueError, "fit_additive: terms list must be non-empty"),
        # a fourth element is not dropped silently
        ([(0, "cr", 7, "extra")], ValueError,
         "fit_additive: term 0 tuple has 4 elements; a term is (columns, basis) or "
         "(columns, basis, k)"),
    ],
)
def test_term_errors(data, terms, exc, message):
    x, y = data
    with pytest.raises(exc) as ei:
        native.fit_additive("gaussian", x, y, terms)
    assert type(ei.value) is exc
    if message is not None:
        assert str(ei.value) == message


@pytest.mark.parametrize(
    "terms, ranges",
    [
        # column ranges reveal the parsed basis dimensions and defaults
        ([(0, "cr")], [(1, 10)]),
        ([(0, "cr_stable", Index(6))], [(1, 6)]),
        ([(0, "re", 99)], [(1, 51)]),
        ([(0, "re", "never read")], [(1, 51)]),
        ([(True, "re")], [(1, 51)]),
        ([((0, 1), "te")], [(1, 100)]),
        ([((0, 1), "te", (4, 5))], [(1, 20)]),
        ([((0, 1), "te_multi", (4, 5))], [(1, 20)]),
        ([((0, 1, 2), "ti")], [(1, 64)]),
        ([((0, 1, 2), "tp")], [(1, 31)]),
        ([((0, 1), "tp", 12)], [(1, 13)]),
        # (a "te" term of columns (1, 2) here would repeat the main effect of
        # column 1, an unidentifiable model; "ti" leaves main effects out)
        ([(0, "cr"), (1, "cr", 7), ((1, 2), "ti", (3, 3))], [(1, 10), (10, 16), (16, 19)]),
    ],
)
def test_valid_terms_parse(data, terms, ranges):
    # A model needs a row per coefficient: the covariates repeated as often as
    # the term dimensions ask, with the responses rolled on each time (a
    # random effect of a continuous column has one coefficient per row).
    n, p = len(data[1]), ranges[-1][1]
    reps = 1 if p < n // 2 else p // n + 2
    x = np.vstack([data[0]] * reps)
    y = np.concatenate([np.roll(data[1], r) for r in range(reps)])
    model = native.fit_additive("gaussian", x, y, terms)
    assert model.term_col_ranges() == ranges


@pytest.mark.parametrize(
    "terms, message",
    [
        # default and given thin-plate dimensions (10 per input column)
        ([((0, 1, 2), "tp")], "tps term k=30 cannot exceed n=20"),
        ([((0, 1), "tp", 25)], "tps term k=25 cannot exceed n=20"),
        # columns are read in order, every term's before any is built
        ([(0, "cr"), (5, "cr")], "Additive term 1 reads column 5 but x has only 3 columns"),
        ([(0, "re"), (4, "re", 99)], "Additive term 1 reads column 4 but x has only 3 columns"),
        ([((0, 7), "te")], "Additive term 0 reads column 7 but x has only 3 columns"),
        ([((0, 1, 9), "ti")], "Additive term 0 reads column 9 but x has only 3 columns"),
        ([((2, 0, 1, 8), "te_multi")], "Additive term 0 reads column 8 but x has only 3 columns"),
        # basis dimensions reach the builders
        ([(0, "cr", 2)], "CR spline needs k \u2265 3 (got 2)"),
        ([(1, "cr_stable", 2)], "CR spline needs k \u2265 3 (got 2)"),
        ([((0, 1), "te", (5, 2))], "CR spline needs k \u2265 3 (got 2)"),
        ([((0, 1, 2), "ti", (3, 3, 2))], "CR spline needs k \u2265 3 (got 2)"),
    ],
)
def test_parsed_terms_reach_the_design_builder(terms, message):
    rng = np.random.default_rng(5)
    x, y = rng.uniform(size=(20, 3)), rng.uniform(size=20)
    with pytest.raises(ValueError) as ei:
        native.fit_additive("gaussian", x, y, terms)
    assert str(ei.value) == message


def test_term_errors_precede_family_errors(data):
    x, y = data
    with pytest.raises(ValueError, match="term 0 must be a tuple"):
        native.fit_additive("nope", x, y, [5])
    with pytest.raises(ValueError, match="terms list must be non-empty"):
        native.fit_additive("nope", x, y, [])
    with pytest.raises(ValueError, match='unknown family "nope"'):
        native.fit_additive("nope", x, y, [(0, "cr")])
    with pytest.raises(ValueError, match="requires r=K"):
        native.fit_additive("ocat", x, y, [(0, "cr")])
    with pytest.raises(TypeError, match="'terms'"):
        native.fit_additive("nope", x, y, ((0, "cr"),))


def test_list_changed_during_parse(data):
    # An index conversion that empties or extends the list: the parse stops
    # at the shorter of the starting and the current length, and the item
    # being parsed stays alive.
    x, y = data
    terms = []
    terms.extend([(Index(0, hook=terms.clear), "cr"), (0, "xx")])
    assert native.fit_additive("gaussian", x, y, terms).term_col_ranges() == [(1, 10)]

    terms = []
    terms.extend([(Index(0, hook=lambda: terms.append((0, "xx"))), "cr")])
    assert native.fit_additive("gaussian", x, y, terms).term_col_ranges() == [(1, 10)]

    terms = [(2, "cr", 4)]
    terms.insert(0, ((0, Index(1, hook=lambda: terms.__setitem__(0, None))), "te", (3, 3)))
    model = native.fit_additive("gaussian", x, y, terms)
    assert model.term_col_ranges() == [(1, 9), (9, 12)]


def test_tuple_and_list_subclasses_accepted(data):
    x, y = data

    class T(tuple):
        pass

    class L(list):
        pass

    model = native.fit_additive("gaussian", x, y, L([T((T((0, 1)), "te", T((4, 4))))]))
    assert model.term_col_ranges() == [(1, 16)]


REPEAT = ": the same basis on the same columns cannot be told apart from it; drop one of them"


@pytest.mark.parametrize("family", ["gaussian", "poisson", "gamma"])
@pytest.mark.parametrize(
    "terms, message",
    [
        ([(0, "cr", 8), (1, "cr", 6), (0, "cr", 8)],
         "Additive term 2 (cr of column 0) repeats term 0 (cr of column 0)"),
        # another basis dimension or parameterization spans the same functions
        ([(0, "cr", 8), (0, "cr", 5)], "Additive term 1 (cr of column 0) repeats term 0 (cr of column 0)"),
        ([(1, "cr"), (1, "cr_stable")],
         "Additive term 1 (cr_stable of column 1) repeats term 0 (cr of column 1)"),
        ([(2, "re"), (0, "cr"), (2, "re")],
         "Additive term 2 (re of column 2) repeats term 0 (re of column 2)"),
        # multi-column terms in any column order
        ([((0, 1), "te", (4, 4)), ((1, 0), "te_multi", (5, 5))],
         "Additive term 1 (te_multi of columns 1, 0) repeats term 0 (te of columns 0, 1)"),
        ([((0, 1), "tp", 10), (2, "cr"), ((1, 0), "tp", 12)],
         "Additive term 2 (tp of columns 1, 0) repeats term 0 (tp of columns 0, 1)"),
    ],
)
def test_a_term_that_repeats_an_earlier_one_is_refused(terms, message, family):
    rng = np.random.default_rng(21)
    x = rng.uniform(size=(200, 3))
    x[:, 2] = rng.integers(0, 5, size=200)
    y = rng.poisson(3.0, size=200) + 0.5
    with pytest.raises(ValueError) as ei:
        native.fit_additive(family, x, y, terms)
    assert str(ei.value) == message + REPEAT
