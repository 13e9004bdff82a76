"""Property checks shared by the family tests."""

import numpy as np

from quelt import _quelt_native as native


def assert_weights_equal_repeated_rows(family, x, y, w):
    """A fit with integer prior weights w equals the fit of the data with
    row i repeated w[i] times: ρ̂, the shape coordinates and predictions."""
    rows = np.repeat(np.arange(len(y)), w.astype(int))
    a = native.fit(family, x, y, weights=w)
    b = native.fit(family, x[rows], y[rows])
    np.testing.assert_allclose(a.rho, b.rho, atol=1e-3)
    np.testing.assert_allclose(a.shape_params, b.shape_params, atol=1e-3)
    grid = np.linspace(0.0, 1.0, 40).reshape(-1, 1)
    np.testing.assert_allclose(a.predict(grid), b.predict(grid), atol=1e-4)
