"""quelt: generalized additive models with a native C++ core."""

from . import _quelt_native

__version__ = "0.1.0"

__all__ = ["__version__"]
