import copy
import pickle
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quelt
from model_bytes import (
    KNOTS,
    additive_model_bytes,
    additive_predictor,
    cr_model_bytes,
    cr_predictor,
    frame,
    model_body,
    re_model_bytes,
    spd,
    tps_predictor,
)

FittedGam = quelt._quelt_native.FittedGam
PREFIX = "FittedGam::deserialize: "
X_KNOTS = KNOTS.reshape(-1, 1)


def load(b):
    return FittedGam.deserialize(b)


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


class TestObject:
    def test_properties_read_the_stored_record(self):
        m = load(cr_model_bytes(link="log", scale=float("nan"), n=77, n_iters=4, converged=False))
        assert m.n == 77 and type(m.n) is int
        assert m.n_iters == 4 and type(m.n_iters) is int
        assert m.converged is False
        assert np.isnan(m.scale) and type(m.scale) is float
        assert m.edf_total == 4.5 and m.reml_value == -12.5
        np.testing.assert_array_equal(m.rho, [0.5])
        np.testing.assert_array_equal(getattr(m, "lambda"), np.exp([0.5]))
        np.testing.assert_array_equal(m.edf_per_term, [3.5])
        assert m.beta.dtype == np.float64 and m.beta.shape == (6,)
        assert m.shape_params.shape == (0,)
        assert m.vcov().shape == (6, 6)

    @pytest.mark.parametrize(
        "name", ["rho", "beta", "lambda", "edf_per_term", "shape_params", "vcov", "fit_stats"]
    )
    def test_results_are_fresh_copies(self, name):
        m = load(cr_model_bytes(shape_params=(0.1, 0.2)))
        get = (lambda: m.vcov()) if name == "vcov" else (lambda: getattr(m, name))
        first, second = get(), get()
        assert first is not second
        if isinstance(first, dict):
            first["outer_iterations"] = -1
            assert get()["outer_iterations"] == 7
        else:
            before = second.copy()
            first[...] = 123.0
            np.testing.assert_array_equal(get(), before)

    def test_properties_are_read_only_and_the_class_has_no_constructor(self):
        m = load(cr_model_bytes())
        with pytest.raises(AttributeError):
            m.beta = np.zeros(6)
        with pytest.raises(TypeError):
            FittedGam()
        assert FittedGam.__module__ == "quelt._quelt_native"

    def test_fit_stats_keys_types_and_rates(self):
        stats = load(cr_model_bytes(fit_stats=(3, 5, 4, 1, 8, 30))).fit_stats
        assert list(stats) == [
            "outer_iterations",
            "line_search_trials",
            "no_refresh_attempts",
            "no_refresh_hits",
            "inner_pirls_calls",
            "inner_pirls_iterations_total",
            "pirls_iters_per_call",
            "no_refresh_hit_rate",
        ]
        assert [stats[k] for k in list(stats)[:6]] == [3, 5, 4, 1, 8, 30]
        assert all(type(stats[k]) is int for k in list(stats)[:6])
        assert stats["pirls_iters_per_call"] == 30 / 8
        assert stats["no_refresh_hit_rate"] == 0.25
        zero = load(cr_model_bytes(fit_stats=(0, 0, 0, 0, 0, 0))).fit_stats
        assert zero["pirls_iters_per_call"] == 0.0 and zero["no_refresh_hit_rate"] == 0.0
        assert type(zero["no_refresh_hit_rate"]) is float

    def test_term_col_ranges(self):
        assert load(cr_model_bytes()).term_col_ranges() == [(1, 6)]
        assert load(re_model_bytes()).term_col_ranges() == [(1, 4)]
        assert load(additive_model_bytes()).term_col_ranges() == [(1, 6), (6, 11)]


class TestShiftIntercept:
    def test_shift_moves_predictions_and_nothing_else(self):
        m = load(cr_model_bytes())
        before = m.predict(X_KNOTS)
        vcov, reml, edf = m.vcov(), m.reml_value, m.edf_total
        assert m.shift_intercept(1.5) is None
        np.testing.assert_allclose(m.predict(X_KNOTS), before + 1.5, rtol=0, atol=1e-12)
        np.testing.assert_array_equal(bits(m.vcov()), bits(vcov))
        assert m.reml_value == reml and m.edf_total == edf
        # The shifted intercept is what gets stored.
        again = load(m.serialize())
        np.testing.assert_array_equal(bits(again.beta), bits(m.beta))
        assert again.beta[0] == 0.4 + 1.5

    def test_bad_delta_leaves_the_object_usable(self):
        m = load(cr_model_bytes())
        with pytest.raises(TypeError, match="delta"):
            m.shift_intercept("abc")
        with pytest.raises(TypeError):
            m.shift_intercept(None)
        m.shift_intercept(delta=2)
        assert m.beta[0] == 2.4

    def test_reentrant_borrows_are_refused(self):
        m = load(cr_model_bytes())

        class ReadsModel:
            def __float__(self):
                m.beta
                return 1.0

        class ShiftsModel:
            def __float__(self):
                m.shift_intercept(0.0)
                return 1.0

        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            m.shift_intercept(ReadsModel())
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            m.shift_intercept(ShiftsModel())
        # Both borrows were released and nothing changed.
        assert m.beta[0] == 0.4
        m.shift_intercept(1.0)
        assert m.beta[0] == 1.4


class TestRoundTrip:
    @pytest.mark.parametrize("make", [cr_model_bytes, re_model_bytes, additive_model_bytes])
    def test_serialize_reproduces_the_bytes(self, make):
        b = make()
        assert load(b).serialize() == b

    @pytest.mark.parametrize("link", ["identity", "log", "logit", "inverse"])
    def test_reload_and_pickle_predict_bit_for_bit(self, link):
        m = load(cr_model_bytes(link=link, scale=float("nan")))
        x = np.linspace(-1.0, 6.0, 29).reshape(-1, 1)
        copies = [load(m.serialize()), copy.deepcopy(m)]
        copies += [pickle.loads(pickle.dumps(m, protocol=p)) for p in range(6)]
        want = [m.predict(x), m.predict_response(x), *m.predict_ci(x), *m.predict_ci(x, 0.8, "link")]
        for c in copies:
            got = [c.predict(x), c.predict_response(x), *c.predict_ci(x), *c.predict_ci(x, 0.8, "link")]
            for w, g in zip(want, got):
                np.testing.assert_array_equal(bits(g), bits(w))
            assert np.isnan(c.scale)
            assert c.serialize() == m.serialize()

    def test_reduce_names_the_class_method(self):
        m = load(cr_model_bytes())
        fn, args = m.__reduce__()
        assert fn == FittedGam.deserialize
        assert args == (m.serialize(),)

    def test_deserialize_argument_types(self):
        b = cr_model_bytes()

        class Sub(bytes):
            pass

        assert load(Sub(b)).serialize() == b
        assert FittedGam.deserialize(bytes=b).serialize() == b
        for bad in [bytearray(b), memoryview(b), b.decode("latin-1"), None]:
            with pytest.raises(TypeError, match="bytes"):
                FittedGam.deserialize(bad)

    def test_bytes_after_the_record_are_ignored(self):
        b = cr_model_bytes()
        assert load(b + b"\x07\x07").serialize() == b
        body = b[17:] + b"\xff\xff\xff"
        assert load(frame(body)).serialize() == b


def test_header_errors():
    good = cr_model_bytes()
    L = len(good) - 17
    cases = [
        (good[:16], "buffer too short (16 < 17 header bytes)"),
        (b"QUELx" + good[5:], "bad magic; expected [81, 85, 69, 76, 84], got [81, 85, 69, 76, 120]"),
        # versions 2 and 3 are read; the message names the version written
        (
            good[:5] + struct.pack("<I", 1) + good[9:],
            "unsupported format_version=1 (this build expects 3). Re-serialize with a matching "
            "quelt release, or roll a migration.",
        ),
        (
            good[:5] + struct.pack("<I", 4) + good[9:],
            "unsupported format_version=4 (this build expects 3). Re-serialize with a matching "
            "quelt release, or roll a migration.",
        ),
        (good[:9] + struct.pack("<Q", 2**64 - 17) + good[17:], "length overflow"),
        (
            good[:9] + struct.pack("<Q", L + 5) + good[17:],
            f"truncated body (have {L} bytes, header says {L + 5} payload bytes follow the "
            "17-byte header)",
        ),
        (good[:9] + struct.pack("<Q", 0) + good[17:], "bincode decode failed: io error: unexpected end of file"),
    ]
    for data, msg in cases:
        with pytest.raises(ValueError) as e:
            load(data)
        assert str(e.value) == PREFIX + msg


# A thin-plate model on columns (0, 1) with three centres and the identity
# transform: the model matrix is [1 | η(r_1) | η(r_2) | η(r_3)],
# η(r) = r²·ln r/(8π) of the distance r/L to each centre.
TPS_CENTRES = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 2.0]])
TPS_BETA = np.array([0.5, 1.0, -2.0, 0.25])


def tps_model_bytes(length, version):
    pred = tps_predictor([0, 1], TPS_CENTRES, np.eye(3), length)
    return frame(model_body(pred, TPS_BETA, spd(4, seed=3)), version=version)


def tps_linear_predictor(x, length):
    r = np.linalg.norm(x[:, None, :] - TPS_CENTRES[None, :, :], axis=2) / length
    with np.errstate(divide="ignore", invalid="ignore"):
        eta = np.where(r < 1e-12, 0.0, r * r * np.log(r) / (8 * np.pi))
    return TPS_BETA[0] + eta @ TPS_BETA[1:]


class TestThinPlateLength:
    X = np.random.default_rng(4).uniform(-1.0, 3.0, size=(25, 2))

    # (stored length, format version, length the predictions use): version 2
    # has no length and reads with 1, the plain distances it was fitted with
    @pytest.mark.parametrize("stored, version, used", [(None, 2, 1.0), (1.0, 3, 1.0), (2.5, 3, 2.5)])
    def test_predictions_measure_distances_in_the_stored_length(self, stored, version, used):
        m = load(tps_model_bytes(stored, version))
        np.testing.assert_allclose(m.predict(self.X), tps_linear_predictor(self.X, used),
                                   rtol=1e-13, atol=1e-13)
        # written back in today's layout, the length appended
        assert m.serialize() == tps_model_bytes(used, 3)

    def test_fitted_thin_plate_model_round_trips_bit_for_bit(self):
        rng = np.random.default_rng(9)
        x = rng.uniform(size=(120, 3)) * [1e-3, 1.0, 1e3]
        y = np.sin(6 * x[:, 0] * 1e3) + x[:, 2] * 1e-3 + 0.1 * rng.standard_normal(120)
        m = quelt.fit_additive("gaussian", x, y, [((0, 2), "tp", 10), (1, "cr", 5)])
        b = m.serialize()
        assert b[5] == 3
        again = load(b)
        assert again.serialize() == b
        np.testing.assert_array_equal(bits(again.predict(x)), bits(m.predict(x)))
        np.testing.assert_array_equal(bits(again.evaluate_lpmatrix(x)), bits(m.evaluate_lpmatrix(x)))


def test_body_errors():
    p = 6
    beta, vcov = np.zeros(p), spd(p)
    pred = cr_predictor(KNOTS, np.eye(6, 5))
    nested = additive_predictor([additive_predictor([], [], [])], [[0]], [(1, 1)])
    cases = [
        (model_body(pred, beta, vcov, converged=True).replace(b"\x01" + struct.pack("<d", -12.5), b"\x02" + struct.pack("<d", -12.5)),
         "bincode decode failed: invalid u8 while decoding bool, expected 0 or 1, found 2"),
        (model_body(nested, beta, vcov), "bincode decode failed: predictor nesting too deep"),
        (model_body(pred, beta[:5], vcov), "inconsistent model: the predictor builds 6 columns but beta has 5 entries"),
        (model_body(pred, beta, vcov[:5, :5]), "inconsistent model: vcov is 5 x 5 but beta has 6 entries"),
    ]
    for body, msg in cases:
        with pytest.raises(ValueError) as e:
            load(frame(body))
        assert str(e.value) == PREFIX + msg


# Damaged input is run in a child process so that a crash shows up as a
# failed test with its exit status instead of taking pytest down.
SWEEP = textwrap.dedent(
    """
    import random, struct, sys
    import numpy as np
    sys.path.insert(0, {testdir!r})
    import quelt
    from model_bytes import cr_model_bytes, re_model_bytes, additive_model_bytes
    FittedGam = quelt._quelt_native.FittedGam
    x = np.linspace(-1.0, 6.0, 14).reshape(-1, 2)
    loaded = refused = 0
    def attempt(b):
        global loaded, refused
        try:
            m = FittedGam.deserialize(b)
        except ValueError as e:
            assert str(e).startswith("FittedGam::deserialize: "), str(e)
            refused += 1
            return
        loaded += 1
        calls = [m.serialize, m.term_col_ranges, m.vcov,
                 lambda: m.predict(x), lambda: m.predict_ci(x), lambda: m.predict_diff(x, x),
                 lambda: m.predict_response(x), lambda: m.evaluate_lpmatrix(x)]
        for call in calls:
            try:
                call()
            except Exception:
                pass
    for good in (cr_model_bytes(), re_model_bytes(), additive_model_bytes()):
        for cut in range(len(good)):
            prefix = good[:cut]
            attempt(prefix)
            if cut >= 17:
                attempt(prefix[:9] + struct.pack("<Q", cut - 17) + prefix[17:])
                # the buffer is long enough but the declared payload is short
                attempt(good[:9] + struct.pack("<Q", cut - 17) + good[17:])
        rng = random.Random(5)
        for at in range(len(good)):
            for mask in (0x01, 0x80, 0xFF, rng.randrange(1, 256)):
                b = bytearray(good)
                b[at] ^= mask
                attempt(bytes(b))
    print(loaded, refused)
    """
)


def test_truncations_and_byte_flips_never_crash(tmp_path):
    import os

    script = SWEEP.format(testdir=os.path.dirname(__file__))
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-2000:]
    loaded, refused = map(int, r.stdout.split())
    assert loaded > 0 and refused > 0
