"""Quickstart: fit a Poisson generalized additive model and look at it.

Counts of events observed along a covariate x in [0, 1], with a smooth rate
exp(1 + sin(2*pi*x)). The data are simulated here with a fixed seed, so the
output is the same on every run.
"""

import numpy as np

import quelt

rng = np.random.default_rng(20261207)
n = 400
x = np.sort(rng.uniform(0.0, 1.0, n)).reshape(-1, 1)
true_rate = np.exp(1.0 + np.sin(2.0 * np.pi * x[:, 0]))
y = rng.poisson(true_rate).astype(float)

# One cubic regression smooth of column 0 with 10 basis functions; the
# smoothing parameter is chosen by REML.
model = quelt.fit("poisson", x, y, k=10)

print(f"quelt {quelt.__version__}: Poisson GAM, n = {model.n}")
print(f"  converged:           {model.converged} after {model.n_iters} outer iterations")
print(f"  log smoothing param: {model.rho}")
print(f"  smoothing param:     {getattr(model, 'lambda')}")
print(f"  edf (total / term):  {model.edf_total:.3f} / {model.edf_per_term}")
print(f"  REML score:          {model.reml_value:.4f}")

grid = np.linspace(0.0, 1.0, 6).reshape(-1, 1)
mean, lo, hi = model.predict_ci(grid, level=0.95)
print("\n     x   rate (95% interval)          true rate")
for xi, m, a, b in zip(grid[:, 0], mean, lo, hi):
    print(f"  {xi:4.2f}   {m:6.3f}  ({a:6.3f}, {b:6.3f})     {np.exp(1 + np.sin(2 * np.pi * xi)):6.3f}")

# A fitted model serializes to bytes and reads back with identical predictions.
again = quelt.FittedGam.deserialize(model.serialize())
assert np.array_equal(again.predict(grid), model.predict(grid))
print(f"\nserialized model: {len(model.serialize())} bytes; predictions identical after reload")

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("matplotlib is not installed: skipping the plot")
else:
    from pathlib import Path

    fine = np.linspace(0.0, 1.0, 200).reshape(-1, 1)
    m, a, b = model.predict_ci(fine)
    fig, ax = plt.subplots(figsize=(6, 4))
    ax.scatter(x[:, 0], y, s=8, color="0.6", label="counts")
    ax.fill_between(fine[:, 0], a, b, alpha=0.3, label="95% interval")
    ax.plot(fine[:, 0], m, label="fitted rate")
    ax.plot(fine[:, 0], np.exp(1 + np.sin(2 * np.pi * fine[:, 0])), "k--", label="true rate")
    ax.set_xlabel("x")
    ax.set_ylabel("count")
    ax.legend()
    out = Path(__file__).with_name("quickstart.png")
    fig.savefig(out, dpi=100, bbox_inches="tight")
    print(f"plot written to {out}")
