"""quelt: generalized additive models with a native C++ core."""

from . import _quelt_native
from ._quelt_native import (
    FittedGam,
    fit,
    fit_additive,
    set_outer_algorithm,
    set_outer_tuning_override,
)

__version__ = "0.1.0"

__all__ = list(_quelt_native.__all__) + ["__version__"]
