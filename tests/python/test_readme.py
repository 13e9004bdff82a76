"""Every Python example of the README runs, in order, as a reader would run it."""

import re
from pathlib import Path

import numpy as np
import pytest

import quelt

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def python_blocks():
    return FENCE.findall(README.read_text(encoding="utf-8"))


@pytest.fixture
def thread_settings_restored():
    yield
    quelt.set_outer_algorithm(None)
    quelt.set_outer_tuning_override(None, None)


def test_readme_keeps_the_fresh_machine_commands_first():
    text = README.read_text(encoding="utf-8")
    first = text[text.index("```") : text.index("```", text.index("```") + 3)]
    assert "./scripts/setup.sh && .venv/bin/python examples/quickstart.py\n" in first
    assert "./scripts/test.sh\n" in first


def test_readme_python_blocks_run_in_one_namespace(thread_settings_restored):
    blocks = python_blocks()
    assert len(blocks) >= 5
    ns = {"__name__": "readme"}
    for i, code in enumerate(blocks):
        exec(compile(code, f"README.md python block {i}", "exec"), ns)

    # What the examples' comments claim.
    assert ns["mt"].term_col_ranges() == [(1, 10), (10, 15), (15, 30)]
    assert ns["fs"].reml_value == 0.0
    assert ns["d"]["score"] == pytest.approx(ns["mn"].reml_value, rel=1e-12)
    np.testing.assert_allclose(ns["eta"], ns["X"] @ ns["m"].beta, rtol=1e-12, atol=1e-12)
    assert ns["tw_fixed"].shape_params.shape == (1,)
    np.testing.assert_allclose(ns["probs"].sum(axis=1), 1.0, rtol=1e-12)
