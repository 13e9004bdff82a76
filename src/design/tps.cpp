#include "design/tps.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "core/blas.hpp"
#include "core/format.hpp"
#include "core/lapack.hpp"
#include "core/numeric.hpp"
#include "design/model_design.hpp"

namespace quelt {

namespace {

// Row indices of the k centres: every row when k = n, otherwise the rows
// nearest to k evenly spaced positions over [0, n-1] (halves away from zero).
std::vector<std::size_t> centre_rows(std::size_t n, std::size_t k) {
  std::vector<std::size_t> rows(k);
  if (k == n) {
    std::iota(rows.begin(), rows.end(), std::size_t{0});
    return rows;
  }
  for (std::size_t i = 0; i < k; ++i) {
    const double pos =
        (static_cast<double>(i) / static_cast<double>(k - 1)) * static_cast<double>(n - 1);
    rows[i] = std::min<std::size_t>(n - 1, sat_u64(std::round(pos)));
  }
  return rows;
}

// Descending by absolute value; NaN counts as the smallest magnitude so that
// the sort always sees a strict weak ordering.
bool larger_magnitude(double a, double b) {
  const double fa = std::fabs(a), fb = std::fabs(b);
  if (std::isnan(fa)) return false;
  if (std::isnan(fb)) return true;
  return fa > fb;
}

// Largest kernel magnitude a term accepts: the fit forms cross products of
// the basis, whose entries must stay far from overflow.
constexpr double kMaxKernel = 1e100;

// InvalidParameter when the radial kernel values in `e` are not finite or
// exceed kMaxKernel (coordinates so far apart that r²·ln r overflows).
Status check_kernel_size(const Matrix& e, std::span<const std::size_t> cols) {
  double top = 0.0;
  bool finite = true;
  for (double v : e.storage()) {
    finite = finite && std::isfinite(v);
    top = std::fmax(top, std::fabs(v));
  }
  if (finite && top <= kMaxKernel) return ok_status();
  std::string names;
  for (std::size_t c : cols) names += (names.empty() ? "" : ", ") + fmt_uint(c);
  return QueltError::invalid_parameter(
      "tps term on columns (" + names +
      ") of x: the distances between rows are too large for the radial kernel (its values "
      "exceed 1e100); rescale these columns");
}

}  // namespace

double max_abs(std::span<const double> v) {
  double m = 0.0;
  for (double e : v) m = std::fmax(m, std::fabs(e));  // NaN ignored
  return m;
}

double tps_kernel(double r, std::size_t d) {
  if (r < 1e-12) return 0.0;
  switch (d) {
    case 1:
      return r * r * r / 12.0;
    case 2:
      return r * r * std::log(r) / 25.132741228718345;  // 8π
    case 3:
      return -0.125 * r;
    default:
      return std::log(r);
  }
}

double tps_length(const Matrix& centres) {
  const std::size_t nc = centres.rows(), d = centres.cols();
  double top = 0.0;
  for (std::size_t i = 0; i < nc; ++i) {
    for (std::size_t j = i + 1; j < nc; ++j) {
      // ‖c_i − c_j‖ = m·‖(c_i − c_j)/m‖, m = max_t |c_it − c_jt|, so that no
      // square overflows or underflows whatever the units.
      double m = 0.0;
      for (std::size_t t = 0; t < d; ++t)
        m = std::fmax(m, std::fabs(centres(i, t) - centres(j, t)));
      if (!(m > 0.0)) continue;
      if (!std::isfinite(m)) return 1.0;
      double s = 0.0;
      for (std::size_t t = 0; t < d; ++t) {
        const double q = (centres(i, t) - centres(j, t)) / m;
        s += q * q;
      }
      top = std::fmax(top, m * std::sqrt(s));
    }
  }
  return top > 0.0 && std::isfinite(top) ? top : 1.0;
}

Matrix tps_radial_matrix(MatrixView x, std::span<const std::size_t> cols, const Matrix& centres,
                         double length) {
  const std::size_t n = x.rows, nc = centres.rows(), d = cols.size();
  check_invariant(centres.cols() >= d, "tps_radial_matrix: centres narrower than the term");
  for (std::size_t c : cols) check_invariant(c < x.cols, "tps_radial_matrix: column beyond x");
  Matrix e(n, nc);
  if (d == 0) return e;
  const double inv = 1.0 / length;
  for (std::size_t i = 0; i < n; ++i) {
    double* row = e.row_ptr(i);
    for (std::size_t l = 0; l < nc; ++l) {
      double s = 0.0;
      for (std::size_t t = 0; t < d; ++t) {
        const double diff = (x(i, cols[t]) - centres(l, t)) * inv;
        s += diff * diff;
      }
      row[l] = tps_kernel(std::sqrt(s), d);
    }
  }
  return e;
}

Result<TpsTerm> build_tps_term(MatrixView x, std::span<const std::size_t> cols, std::size_t k) {
  const std::size_t d = cols.size(), n = x.rows, nc = x.cols;
  if (d < 2) {
    return QueltError::invalid_parameter("tps term needs at least 2 input dims (got " +
                                         fmt_uint(d) + ")");
  }
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = i + 1; j < d; ++j) {
      if (cols[i] == cols[j]) {
        return QueltError::invalid_parameter("tps term must have distinct cols (cols[" +
                                             fmt_uint(i) + "] == cols[" + fmt_uint(j) +
                                             "] == " + fmt_uint(cols[i]) + ")");
      }
    }
  }
  for (std::size_t c : cols) {
    if (c >= nc) {
      return QueltError::invalid_parameter("tps term reads column " + fmt_uint(c) +
                                           " but x has only " + fmt_uint(nc) + " columns");
    }
  }
  if (k <= d + 1) {
    return QueltError::invalid_parameter("tps term needs k > d+1 (got k=" + fmt_uint(k) +
                                         ", d=" + fmt_uint(d) + ")");
  }
  if (k > n) {
    return QueltError::invalid_parameter("tps term k=" + fmt_uint(k) +
                                         " cannot exceed n=" + fmt_uint(n));
  }
  for (std::size_t c : cols) QUELT_CHECK_OK(check_finite_column(x, c));

  const std::vector<std::size_t> rows = centre_rows(n, k);
  Matrix centres(k, d);
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = 0; j < d; ++j) centres(i, j) = x(rows[i], cols[j]);

  // Kernel among the centres in units of their largest distance, made
  // exactly symmetric by averaging.
  const double length = tps_length(centres);
  std::vector<std::size_t> own_cols(d);
  std::iota(own_cols.begin(), own_cols.end(), std::size_t{0});
  Matrix kcc = tps_radial_matrix(centres.view(), own_cols, centres, length);
  QUELT_CHECK_OK(check_kernel_size(kcc, cols));
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = i + 1; j < k; ++j) {
      const double avg = (kcc(i, j) + kcc(j, i)) / 2.0;
      kcc(i, j) = avg;
      kcc(j, i) = avg;
    }
  }

  auto eig = sym_eigen(kcc);
  if (!eig.ok()) return QueltError::linalg("eigh failed in tps build: " + eig.error().message);
  const Vector& lambda = eig.value().values;
  const Matrix& vectors = eig.value().vectors;
  const double m_lambda = max_abs(lambda);

  // Eigenvectors by decreasing |λ|; ties keep ascending eigenvalue order.
  std::vector<std::size_t> order(k);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return larger_magnitude(lambda[a], lambda[b]);
  });

  TpsTerm term;
  Matrix v(k, k);
  term.penalty = Matrix(k, k);
  for (std::size_t s = 0; s < k; ++s) {
    for (std::size_t r = 0; r < k; ++r) v(r, s) = vectors(r, order[s]);
    double w = std::fabs(lambda[order[s]]);
    if (m_lambda > 0.0) w /= m_lambda;
    term.penalty(s, s) = floor_at(w, 1e-4);
  }

  const Matrix e = tps_radial_matrix(x, cols, centres, length);
  QUELT_CHECK_OK(check_kernel_size(e, cols));
  term.basis = matmul(e.view(), v.view());
  term.predictor.cols.assign(cols.begin(), cols.end());
  term.predictor.centres = std::move(centres);
  term.predictor.transform = std::move(v);
  term.predictor.length = length;
  return term;
}

Result<Matrix> evaluate_tps_predictor(const TpsPredictor& p, MatrixView x) {
  const std::size_t nc = x.cols;
  for (std::size_t c : p.cols) {
    if (c >= nc) {
      return QueltError::invalid_parameter("TpsPredictor: term reads column " + fmt_uint(c) +
                                           " but x has only " + fmt_uint(nc) + " columns");
    }
  }
  if (p.centres.cols() < p.cols.size() || p.transform.rows() != p.centres.rows()) {
    return QueltError::invalid_parameter(
        "TpsPredictor: stored centres (" + fmt_uint(p.centres.rows()) + " x " +
        fmt_uint(p.centres.cols()) + ") do not fit " + fmt_uint(p.cols.size()) +
        " columns and a transform with " + fmt_uint(p.transform.rows()) + " rows");
  }
  const Matrix e = tps_radial_matrix(x, p.cols, p.centres, p.length);
  return prepend_intercept_column(matmul(e.view(), p.transform.view()).view());
}

}  // namespace quelt
