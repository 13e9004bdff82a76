// Which terms of an additive model may span common functions of x, so that
// the model cannot tell their coefficients apart (a singular penalized
// system when those functions are unpenalized in both terms).
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/matrix.hpp"
#include "design/terms.hpp"

namespace quelt {

// Term t in words: "term 0 (cr of column 2)", "term 1 (te of columns 0, 1)".
std::string describe_term(const TermSpec& term, std::size_t t);

// The pairs of terms (i < j, in order, at most `limit` of them) that may be
// confounded, each described in words:
// - "term j repeats term i (...)" for equal specifications;
// - "term i (...) and term j (...) both read column c" when they share an
//   input column, unless one is a "ti" term and the other reads only some of
//   its columns (an interaction leaves out the lower-order effects);
// - "term i (...) and term j (...) read identical columns a and b of x" when
//   two of their columns hold the same values, and "term i (...) reads
//   identical columns a and b of x" for two margins of one term.
// Columns must lie within x (the additive design checks them first).
std::vector<std::string> possibly_confounded_terms(std::span<const TermSpec> terms, MatrixView x,
                                                   std::size_t limit);

// The cubic regression bases (smooths and tensor margins, in term order, at
// most `limit`) whose column has fewer distinct values (as the knot placement
// counts them, up to the order in which near-equal values merge) than their k, so that the data
// cannot tell some of their coefficients apart: "x column 1 has 2 distinct values, fewer than k = 4
// of term 0 (te of columns 0, 1)" (without " of term ..." unless `name_terms`).
std::vector<std::string> bases_with_few_values(std::span<const TermSpec> terms, MatrixView x,
                                               std::size_t limit, bool name_terms);

}  // namespace quelt
