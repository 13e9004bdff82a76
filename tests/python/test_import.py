import quelt


def test_package_imports_native_module():
    assert quelt.__version__
    assert quelt._quelt_native.__name__ == "quelt._quelt_native" or quelt._quelt_native.__name__ == "_quelt_native"
