import re

import numpy as np
import pytest

import quelt


def test_package_imports_native_module():
    assert quelt.__version__
    assert quelt._quelt_native.__name__ == "quelt._quelt_native" or quelt._quelt_native.__name__ == "_quelt_native"


def test_every_function_and_method_has_a_signature_and_a_docstring():
    import inspect

    methods = [
        getattr(quelt.FittedGam, name)
        for name in vars(quelt.FittedGam)
        if callable(getattr(quelt.FittedGam, name)) and not name.startswith("__")
    ]
    functions = [getattr(quelt, name) for name in quelt._quelt_native.__all__ if name != "FittedGam"]
    assert len(functions) == 4 and len(methods) >= 14
    for f in functions + methods:
        # A malformed signature header drops the signature and leaves its
        # text in the docstring.
        params = inspect.signature(f).parameters.values()
        assert all(p.kind is not inspect.Parameter.KEYWORD_ONLY for p in params), f.__name__
        assert f.__doc__ and not f.__doc__.startswith(f.__name__ + "("), f.__name__
    assert inspect.signature(quelt.fit).parameters["k"].default == 10


ATTRIBUTES = ["beta", "rho", "lambda", "scale", "edf_total", "edf_per_term", "n", "n_iters",
              "converged", "reml_value", "shape_params", "fit_stats"]


def test_the_class_docstring_says_how_a_model_is_made_and_saved_and_names_what_it_holds():
    doc = quelt.FittedGam.__doc__
    assert doc and doc.startswith("A fitted generalized additive model.")
    for made_or_saved in ["quelt.fit", "quelt.fit_additive", "FittedGam.deserialize",
                          "serialize()", "pickle"]:
        assert made_or_saved in doc, made_or_saved
    words = set(re.findall(r"\w+", doc))
    methods = [name for name in vars(quelt.FittedGam)
               if callable(getattr(quelt.FittedGam, name)) and not name.startswith("_")]
    assert len(methods) >= 14
    missing = [name for name in ATTRIBUTES + methods if name not in words]
    assert not missing
    # every name it lists is there on a fitted model
    x = np.linspace(0.0, 1.0, 40)[:, None]
    m = quelt.fit("gaussian", x, np.sin(6 * x[:, 0]), k=5)
    for name in ATTRIBUTES:
        getattr(m, name)
    assert "cannot be called" in doc
    with pytest.raises(TypeError):
        quelt.FittedGam()
