// Cubic regression spline of one covariate, parameterized by its values at
// k knots: knot placement and validation, the basis (natural cubic splines
// continued linearly beyond the end knots) and the wiggliness penalty.
#pragma once

#include <cstddef>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"

namespace quelt {

// k knots on the values of column 0 of `column` (n x >= 1, any strides):
// knots_on_distinct of distinct_cr_values, validated. NaN sorts last and
// never reaches a plain comparison in the sort.
Result<Vector> place_cr_knots(MatrixView column, std::size_t k);

// The distinct values of column 0 of `column`, ascending (NaN last): a value
// is kept when it differs from the last kept one by more than 1e-12 times the
// range (max - min) of the column's numbers. Scaling the column by c > 0
// scales the result by c.
Vector distinct_cr_values(MatrixView column);

// k knots on the ascending distinct values u, not validated: interpolated
// quantiles of u when it has at least k entries, otherwise an even grid over
// its range ([0, 1] for an empty u).
Vector knots_on_distinct(const Vector& u, std::size_t k);

// Sorts ascending with NaN last, keeping the input order among equal
// numbers (so +0.0 and -0.0 stay as they came) and among NaN: the order of
// std::stable_sort with that comparison, by a radix sort for long inputs.
void sort_nan_last(Vector& v);

// The knot vector itself when it has at least 3 strictly increasing entries;
// InvalidParameter "CR spline needs k ≥ 3 (got {})" or
// "CR spline knots must be strictly increasing" (NaN fails too).
Result<Vector> validate_cr_knots(Vector knots);

// n x k basis at column 0 of x: column j is the natural cubic spline that is 1
// at knot j and 0 at the other knots, continued linearly beyond the end knots
// with its end slopes. Evaluated in units of the knot range, so that
// B(c·x; c·t) = B(x; t) up to rounding for every c > 0 and the entries are
// finite for finite x inside any finite knot range. Requires validated knots
// and x with >= 1 column.
Matrix cr_basis(const Vector& knots, MatrixView x);

// The one-element list [S], S = Dᵀ·M⁻¹·D (k x k) the integrated squared
// second derivative of the spline in terms of its knot values. Not
// symmetrised. Requires validated knots.
std::vector<Matrix> cr_penalty(const Vector& knots);

// L³·S with L = t_{k-1} - t_0: the same penalty with the knot range as the
// unit of x, computed from the spacings h_i/L (each at most 1), so that its
// entries stay finite for knots of any magnitude. The term builders use it
// where the penalty's overall size is normalised away anyway.
Matrix cr_penalty_range_units(const Vector& knots);

// Largest absolute row sum (max over rows of Σ_j |a_ij|), 0 for no rows.
double max_abs_row_sum(MatrixView a);

// The factor that scales a penalty S to its basis B: ‖B‖∞² / ‖S‖∞ when
// ‖S‖∞ > 0, otherwise 1.
double penalty_scale_to_basis(MatrixView basis, MatrixView penalty);
// The same factor from ‖B‖∞ already known (bn = max_abs_row_sum(B)).
double penalty_scale_for_norm(double bn, MatrixView penalty);

}  // namespace quelt
