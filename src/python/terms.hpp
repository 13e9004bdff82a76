// Parsing of fit_additive's term list into TermSpec values.
#pragma once

#include <vector>

#include "design/terms.hpp"
#include "python/pyref.hpp"

namespace quelt::py {

// Parses `terms` (a list) item by item. Each item is a tuple (cols, basis[,
// k]) with basis "cr", "cr_stable", "re", "te", "te_multi", "ti" or "tp";
// a fourth element is an error. The first bad item stops the parse with
// ValueError "fit_additive: ..." naming its 0-based index; a failed integer
// conversion of a tensor, thin-plate or k entry is a TypeError (wrong type)
// or a ValueError (out of range) naming the term and the entry.
// Items are read while the index is below both the length at the start and
// the list's current length (conversions may run Python code that changes
// the list). An empty result is ValueError "fit_additive: terms list must be
// non-empty". Throws PyErrorSet.
std::vector<TermSpec> parse_terms(PyObject* terms);

}  // namespace quelt::py
