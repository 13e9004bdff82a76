#include "design/model_design.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "basis/cr.hpp"
#include "core/format.hpp"
#include "core/lapack.hpp"
#include "core/memory.hpp"
#include "core/numeric.hpp"

namespace quelt {

Matrix prepend_intercept_column(MatrixView b) {
  const std::size_t n = b.rows;
  const std::size_t q = b.cols;
  auto width = checked_add(q, 1);
  if (!width) throw std::bad_alloc();
  Matrix out(n, *width);
  for (std::size_t i = 0; i < n; ++i) {
    double* row = out.row_ptr(i);
    row[0] = 1.0;
    if (b.col_stride == 1) {
      const double* src = b.ptr + static_cast<std::ptrdiff_t>(i) * b.row_stride;
      for (std::size_t j = 0; j < q; ++j) row[j + 1] = src[j];
    } else {
      for (std::size_t j = 0; j < q; ++j) row[j + 1] = b(i, j);
    }
  }
  return out;
}

namespace {

// Eigenvalues (ascending) of the symmetric matrix whose upper triangle is
// read. A matrix whose strict upper triangle is exactly zero and whose
// diagonal is finite is diagonal: its eigenvalues are the sorted diagonal,
// which is what the eigensolver returns for it, without the O(p³) work (a
// random effect with many levels has such a penalty).
Vector upper_eigenvalues(const Matrix& s) {
  const std::size_t p = s.rows();
  bool diagonal = true;
  for (std::size_t i = 0; i < p && diagonal; ++i) {
    if (!std::isfinite(s(i, i))) diagonal = false;
    for (std::size_t j = i + 1; j < p && diagonal; ++j) diagonal = s(i, j) == 0.0;
  }
  if (diagonal) {
    Vector ev(p);
    for (std::size_t i = 0; i < p; ++i) ev[i] = s(i, i);
    std::sort(ev.begin(), ev.end());  // finite values only
    return ev;
  }
  auto eig = sym_eigen(s);
  if (!eig.ok()) invariant_failed("penalty eigendecomposition failed");
  return std::move(eig.value().values);
}

}  // namespace

std::pair<std::size_t, double> penalty_log_pdet(const Matrix& s) {
  check_invariant(s.rows() == s.cols(), "penalty_log_pdet: matrix is not square");
  const Vector ev = upper_eigenvalues(s);
  double largest = 0.0;
  for (double e : ev) largest = floor_at(e, largest);  // NaN eigenvalues are skipped
  const double tol = 1e-10 * floor_at(largest, 1.0);
  std::size_t rank = 0;
  double log_pdet = 0.0;
  for (double e : ev) {
    if (e > tol) {
      ++rank;
      log_pdet += std::log(e);
    }
  }
  return {rank, log_pdet};
}

std::size_t null_space_dimension(const std::vector<Matrix>& penalties,
                                 const std::vector<std::size_t>& ranks, std::size_t p) {
  check_invariant(ranks.size() == penalties.size(),
                  "null_space_dimension: one rank per penalty expected");
  std::size_t rank = 0;
  if (penalties.size() == 1) {
    rank = ranks[0];
  } else if (penalties.size() > 1) {
    Matrix total(p, p);
    for (const Matrix& s : penalties) {
      check_invariant(s.rows() == p && s.cols() == p, "null_space_dimension: penalty is not p x p");
      for (std::size_t i = 0; i < total.size(); ++i) total.data()[i] += s.data()[i];
    }
    rank = penalty_log_pdet(total).first;
  }
  return rank >= p ? 0 : p - rank;
}

Matrix pad_penalty(const Matrix& block, std::size_t first, std::size_t p) {
  const std::size_t q = block.rows();
  check_invariant(block.cols() == q && first <= p && q <= p - first,
                  "pad_penalty: block does not fit");
  Matrix out(p, p);
  for (std::size_t i = 0; i < q; ++i)
    for (std::size_t j = 0; j < q; ++j) out(first + i, first + j) = block(i, j);
  return out;
}

Status check_has_columns(MatrixView x) {
  if (x.cols == 0) return QueltError::invalid_parameter("x must have at least one column");
  return ok_status();
}

Status check_finite_column(MatrixView x, std::size_t col) {
  check_invariant(col < x.cols, "check_finite_column: column index out of range");
  for (std::size_t i = 0; i < x.rows; ++i) {
    if (!std::isfinite(x(i, col))) {
      return QueltError::invalid_parameter("x has a non-finite value at row " + fmt_uint(i) +
                                           ", column " + fmt_uint(col));
    }
  }
  return ok_status();
}

Result<Vector> place_column_knots(MatrixView x, std::size_t col, std::size_t k) {
  const MatrixView column = column_view(x, col);
  auto placed = place_cr_knots(column, k);
  if (placed.ok() || k < 3) return placed;
  // Either k cannot be stored (its own message) or the knots on the distinct
  // values are not strictly increasing (the error path only: sorted again).
  const Vector u = distinct_cr_values(column);
  const std::size_t nu = u.size();
  if (!validate_cr_knots(knots_on_distinct(u, k)).ok()) {
    if (nu == 1) {
      return QueltError::invalid_parameter(
          "x column " + fmt_uint(col) +
          " is constant (1 distinct value): a cubic regression basis with k = " + fmt_uint(k) +
          " needs at least 2 distinct values");
    }
    return QueltError::invalid_parameter("x column " + fmt_uint(col) + " has " + fmt_uint(nu) +
                                         " distinct values too close together to place k = " +
                                         fmt_uint(k) + " strictly increasing knots");
  }
  return placed;
}

void check_design_fits_in_memory(std::size_t n, double p, std::size_t m) {
  constexpr double kDouble = sizeof(double);
  constexpr double kAddressable = 18446744073709551616.0;  // 2^64: bytes, or columns
  const double rows = static_cast<double>(n);
  const double model = kDouble * rows * p;
  // A width that no index can hold is the builders' own error (a product of
  // basis sizes that overflows).
  if (!(p < kAddressable)) return;
  const double square = kDouble * p * p;
  const double need = model + (static_cast<double>(m) + 2.0) * square;
  const bool addressable = model < kAddressable && square < kAddressable;
  const auto avail = available_memory_bytes();
  if (addressable && (!avail || need <= *avail)) return;
  const std::string width = fmt_float(p);
  const std::string limit = addressable ? "the " + fmt_gigabytes(*avail) + " of memory available"
                                        : "a 64-bit address space can hold";
  throw OutOfMemory("the model's matrices need at least " + fmt_gigabytes(need) + " (a " +
                    fmt_uint(n) + " x " + width + " model matrix and " + fmt_uint(m) +
                    (m == 1 ? " penalty" : " penalties") + " of " + width + " x " + width +
                    "), more than " + limit);
}

MatrixView column_view(MatrixView x, std::size_t col) {
  check_invariant(col < x.cols, "column index out of range");
  return {x.ptr + static_cast<std::ptrdiff_t>(col) * x.col_stride, x.rows, 1, x.row_stride,
          x.col_stride};
}

ModelDesign assemble_single_smooth_design(TermPredictor predictor, const Matrix& basis,
                                          Matrix padded_penalty) {
  return assemble_single_smooth_design_from_x(
      std::move(predictor), prepend_intercept_column(basis.view()), std::move(padded_penalty));
}

ModelDesign assemble_single_smooth_design_from_x(TermPredictor predictor, Matrix x,
                                                 Matrix padded_penalty) {
  const std::size_t p = x.cols();
  check_invariant(p >= 1 && padded_penalty.rows() == p && padded_penalty.cols() == p,
                  "single-smooth design: penalty does not match the basis width");
  ModelDesign d;
  d.predictor = std::move(predictor);
  d.x = std::move(x);
  const auto [rank, log_pdet] = penalty_log_pdet(padded_penalty);
  d.penalties.push_back(std::move(padded_penalty));
  d.penalty_ranks.push_back(rank);
  d.penalty_log_pdets.push_back(log_pdet);
  d.null_space_dim = null_space_dimension(d.penalties, d.penalty_ranks, p);
  d.penalty_groups = {{0}};
  return d;
}

}  // namespace quelt
