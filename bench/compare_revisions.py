"""Complete fits of the standard families at one n, timed side by side for
two builds of quelt: a base revision and the working tree.

Each build is installed into a folder of its own under build/compare; the
fits run in child processes, one build after the other, round after round,
so that both see the same load on the machine. Per case the best time of
all rounds is reported, with the outer iterations, inner fits, PIRLS
iterations, edf and score of each build.

    .venv/bin/python bench/compare_revisions.py [--base ed3b33c] [--n 100000] [--rounds 5]

Run from the repository root with the project's .venv (the builds use its
compiler tools, without build isolation). BLAS runs single-threaded.
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "build" / "compare"

CASES = ["gaussian", "poisson", "bernoulli", "quasipoisson", "gamma", "additive_poisson"]


def child(n, reps):
    import numpy as np

    import quelt

    rng = np.random.default_rng(42)
    x = rng.uniform(size=(n, 2))
    f = np.sin(2 * np.pi * x[:, 0])
    mu = np.exp(0.5 + f)
    data = {
        "gaussian": ("gaussian", f + rng.normal(0, 0.3, n)),
        "poisson": ("poisson", rng.poisson(mu).astype(float)),
        "bernoulli": ("bernoulli", (rng.uniform(size=n) < 1 / (1 + np.exp(-1.5 * f))).astype(float)),
        "quasipoisson": ("quasipoisson", 2.0 * rng.poisson(mu / 2).astype(float)),
        "gamma": ("gamma", rng.gamma(2.0, mu / 2.0)),
    }
    mu2 = np.exp(0.5 + f + 0.5 * np.cos(2 * np.pi * x[:, 1]))
    data["additive_poisson"] = ("poisson", rng.poisson(mu2).astype(float))
    out = {}
    for case in CASES:
        family, y = data[case]
        if case == "additive_poisson":
            run = lambda: quelt.fit_additive(family, x, y, [(0, "cr", 20), (1, "cr", 20)])
        else:
            run = lambda: quelt.fit(family, x, y, k=20)
        best = float("inf")
        for _ in range(reps):
            t0 = time.perf_counter()
            m = run()
            best = min(best, time.perf_counter() - t0)
        s = m.fit_stats
        out[case] = {
            "ms": best * 1e3,
            "outer": int(m.n_iters),
            "fits": int(s["inner_pirls_calls"]),
            "pirls": int(s["inner_pirls_iterations_total"]),
            "edf": float(m.edf_total),
            "reml": float(m.reml_value),
            "converged": bool(m.converged),
        }
    print(json.dumps(out))


def build(rev):
    """Installs the build of `rev` (None: the working tree) into its own folder."""
    name = rev or "current"
    site = OUT / name / "site"
    if rev is None or not site.exists():
        src = ROOT
        if rev is not None:
            src = OUT / name / "src"
            if not src.exists():
                subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach", src, rev],
                               check=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                        "--no-build-isolation", "--no-deps", "--upgrade", "--target", site, src],
                       check=True)
    return site


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--base", default="ed3b33c")
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--reps", type=int, default=2)
    ap.add_argument("--child", action="store_true")
    a = ap.parse_args()
    if a.child:
        child(a.n, a.reps)
        return
    os.environ["PATH"] = str(Path(sys.executable).parent) + os.pathsep + os.environ["PATH"]
    sites = {a.base: build(a.base), "current": build(None)}
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    best = {}
    for r in range(a.rounds):
        for label, site in sites.items():
            res = subprocess.run(
                [sys.executable, __file__, "--child", "--n", str(a.n), "--reps", str(a.reps)],
                env=dict(env, PYTHONPATH=str(site)), check=True, capture_output=True, text=True)
            for case, v in json.loads(res.stdout).items():
                old = best.get((label, case))
                if old is None or v["ms"] < old["ms"]:
                    best[(label, case)] = v
        print(f"round {r + 1} of {a.rounds} done", file=sys.stderr)
    base, cur = a.base, "current"
    print(f"n = {a.n}, best of {a.rounds} rounds x {a.reps} fits; outer iterations / inner fits "
          f"/ PIRLS iterations")
    print(f"| case | {base} [ms] | current [ms] | ratio | {base} iters | current iters "
          f"| edf {base} / current | reml {base} − current |")
    print("|---|---|---|---|---|---|---|---|")
    total = {base: 0.0, cur: 0.0}
    for case in CASES:
        b, c = best[(base, case)], best[(cur, case)]
        total[base] += b["ms"]
        total[cur] += c["ms"]
        print(f"| {case} | {b['ms']:.1f} | {c['ms']:.1f} | {c['ms'] / b['ms']:.3f} | "
              f"{b['outer']} / {b['fits']} / {b['pirls']} | {c['outer']} / {c['fits']} / {c['pirls']} "
              f"| {b['edf']:.3f} / {c['edf']:.3f} | {b['reml'] - c['reml']:.2e} |")
    print(f"| all | {total[base]:.1f} | {total[cur]:.1f} | {total[cur] / total[base]:.3f} | | | | |")


if __name__ == "__main__":
    main()
