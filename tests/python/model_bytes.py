"""Hand-built persisted models for tests that need a FittedGam without a fit.

The byte layout is written out here with struct, independently of the
encoder: a 17-byte header (b"QUELT", u32 version, u64 payload length) and
the fifteen record fields, little-endian; float arrays carry a version byte 1,
their dimensions, an element count and the elements row-major. Version 3 is
the one written today; version 2 differs only in the thin-plate predictor,
which it stores without its length.
"""

import struct

import numpy as np

LINKS = {"identity": 0, "log": 1, "logit": 2, "inverse": 3}


def f64(v):
    return struct.pack("<d", v)


def u64(v):
    return struct.pack("<Q", v)


def u32(v):
    return struct.pack("<I", v)


def vec1(values):
    a = np.ascontiguousarray(values, dtype=np.float64).ravel()
    return b"\x01" + u64(a.size) + u64(a.size) + a.astype("<f8").tobytes()


def mat2(m):
    a = np.ascontiguousarray(m, dtype=np.float64)
    r, c = a.shape
    return b"\x01" + u64(r) + u64(c) + u64(a.size) + a.astype("<f8").tobytes()


def seq_u64(values):
    return u64(len(values)) + b"".join(u64(v) for v in values)


def cr_predictor(knots, constraint):
    return u32(0) + vec1(knots) + mat2(constraint)


def re_predictor(levels):
    return u32(1) + u64(len(levels)) + b"".join(f64(v) for v in levels)


def additive_predictor(terms, term_cols, col_ranges):
    out = u32(3) + u64(len(terms)) + b"".join(terms)
    out += u64(len(term_cols)) + b"".join(seq_u64(c) for c in term_cols)
    out += u64(len(col_ranges)) + b"".join(u64(a) + u64(b) for a, b in col_ranges)
    return out


def tps_predictor(cols, centres, transform, length=None):
    """A thin-plate predictor; without a length, in the version-2 layout."""
    out = u32(6) + seq_u64(cols) + mat2(centres) + mat2(transform)
    return out if length is None else out + f64(length)


def frame(body, version=3, length=None):
    if length is None:
        length = len(body)
    return b"QUELT" + u32(version) + u64(length) + body


def model_body(
    predictor,
    beta,
    vcov,
    link="identity",
    rho=(0.5,),
    scale=1.25,
    edf_total=4.5,
    edf_per_term=(3.5,),
    n=50,
    n_iters=6,
    converged=True,
    reml_value=-12.5,
    shape_params=(),
    fit_stats=(7, 9, 0, 0, 8, 31),
):
    body = vec1(beta) + vec1(rho) + vec1(np.exp(np.asarray(rho, dtype=float)))
    body += f64(scale) + f64(edf_total) + vec1(edf_per_term)
    body += u64(n) + u64(n_iters) + bytes([1 if converged else 0]) + f64(reml_value)
    body += predictor + mat2(vcov) + u32(LINKS[link]) + vec1(shape_params)
    body += b"".join(u64(v) for v in fit_stats)
    return body


def sum_to_zero_basis(k):
    """A k x (k-1) basis of the vectors whose entries sum to zero."""
    z = np.zeros((k, k - 1))
    for j in range(k - 1):
        z[j, j] = 1.0
        z[k - 1, j] = -1.0
    return z


KNOTS = np.array([0.0, 0.5, 1.25, 2.0, 3.5, 5.0])
CONSTRAINT = sum_to_zero_basis(KNOTS.size)
CR_BETA = np.array([0.4, 0.3, -0.2, 0.5, -0.1, 0.25])


def spd(p, seed=0, scale=0.01):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(p, p))
    return scale * (a @ a.T / p + np.eye(p))


def cr_model_bytes(link="identity", beta=CR_BETA, vcov=None, **kw):
    """A single cubic-regression smooth on the knots KNOTS, p = 6."""
    if vcov is None:
        vcov = spd(len(beta))
    return frame(model_body(cr_predictor(KNOTS, CONSTRAINT), beta, vcov, link=link, **kw))


LEVELS = [1.0, 2.0, 3.0]


def re_model_bytes(link="identity", beta=(0.5, 1.0, -2.0, 0.25), vcov=None, **kw):
    """A random effect with levels 1, 2, 3: model matrix [1 | indicators], p = 4."""
    beta = np.asarray(beta, dtype=float)
    if vcov is None:
        vcov = spd(beta.size, seed=1)
    return frame(model_body(re_predictor(LEVELS), beta, vcov, link=link, **kw))


def additive_model_bytes():
    """Two cr terms side by side: columns (1, 6) and (6, 11), p = 11."""
    term = cr_predictor(KNOTS, CONSTRAINT)
    pred = additive_predictor([term, term], [[0], [1]], [(1, 6), (6, 11)])
    p = 11
    return frame(
        model_body(
            pred,
            np.linspace(-1, 1, p),
            spd(p, seed=2),
            rho=(0.1, 0.2),
            edf_per_term=(2.0, 3.0),
        )
    )
