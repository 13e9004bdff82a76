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
    assert quelt.FittedGam.__doc__ is None
