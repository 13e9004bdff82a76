#include "design/tensor.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "basis/cr.hpp"
#include "core/blas.hpp"
#include "core/format.hpp"
#include "core/lapack.hpp"
#include "core/numeric.hpp"
#include "design/model_design.hpp"
#include "transform/constraint.hpp"

namespace quelt {

namespace {

// Zᵀ·P·Z for the K x (K-1) constraint Z and the K x K penalty P. P·Z is
// formed from the non-zero entries of P only (a Kronecker penalty has at most
// k_j of them per row); the dense product Zᵀ·(P·Z) goes to BLAS.
Matrix constrain_penalty(const Matrix& z, const Matrix& p) {
  const std::size_t kk = p.rows(), q = z.cols();
  Matrix pz(kk, q);
  for (std::size_t r = 0; r < kk; ++r) {
    double* out = pz.row_ptr(r);
    const double* prow = p.row_ptr(r);
    for (std::size_t c = 0; c < p.cols(); ++c) {
      const double v = prow[c];
      if (v == 0.0) continue;
      const double* zrow = z.row_ptr(c);
      for (std::size_t j = 0; j < q; ++j) out[j] += v * zrow[j];
    }
  }
  return gemm(z.view().t(), pz.view());
}

// The product of the margin widths, or nothing when it overflows or when a
// K x K matrix of doubles could not be addressed.
std::optional<std::size_t> product_width(std::span<const std::size_t> dims) {
  std::size_t k = 1;
  for (std::size_t d : dims) {
    auto next = checked_mul(k, d);
    if (!next) return std::nullopt;
    k = *next;
  }
  auto kk = checked_mul(k, k);
  if (!kk || !checked_mul(*kk, sizeof(double))) return std::nullopt;
  return k;
}

// Checks one margin column of a tensor term: in range and finite.
Status check_margin_column(MatrixView x, std::size_t col, const char* what) {
  if (col >= x.cols) {
    return QueltError::invalid_parameter(std::string(what) + " reads column " + fmt_uint(col) +
                                         " but x has only " + fmt_uint(x.cols) + " columns");
  }
  return check_finite_column(x, col);
}

// One cubic regression margin: knots, unconstrained basis and its penalty
// rescaled to largest eigenvalue 1.
struct Margin {
  Vector knots;
  Matrix basis;
  Matrix penalty;
};

// The margin's basis and rescaled penalty on its placed knots.
Result<Margin> finish_margin(MatrixView x, std::size_t col, Vector knots) {
  // In units of the knot range: the rescale removes the overall size.
  QUELT_TRY(Matrix penalty, rescale_penalty_by_max_eig(cr_penalty_range_units(knots)));
  Matrix basis = cr_basis(knots, column_view(x, col));
  return Margin{std::move(knots), std::move(basis), std::move(penalty)};
}

Result<Margin> build_margin(MatrixView x, std::size_t col, std::size_t k) {
  QUELT_TRY(Vector knots, place_column_knots(x, col, k));
  return finish_margin(x, col, std::move(knots));
}

// T·Z for the K x (K-1) sum-to-zero constraint Z. A constraint made by
// constraint_null_space is the identity shifted down one row plus a rank-one
// term, Z = E + a·z₀ᵀ with E(r, j) = δ(r, j+1), z₀ the first row of Z and
// a₀ = 1; then T·Z = T·E + (T·a)·z₀ᵀ costs O(n·K) instead of O(n·K²). Any other
// stored matrix gets the plain product. Both paths depend on row i of T only,
// and the model builder and the predictor call this same function, so a model
// matrix rebuilt from the stored constraint equals the fitted one bit for bit.
Matrix times_constraint(const Matrix& t, const Matrix& z) {
  const std::size_t kk = z.rows(), q = z.cols();
  check_invariant(t.cols() == kk, "times_constraint: shapes do not match");
  std::size_t pivot = 0;
  bool structured = kk >= 2 && q + 1 == kk;
  if (structured) {
    for (std::size_t j = 1; j < q; ++j)
      if (std::fabs(z(0, j)) > std::fabs(z(0, pivot))) pivot = j;
    structured = std::isfinite(z(0, pivot)) && z(0, pivot) != 0.0;
  }
  Vector a(kk, 0.0);
  if (structured) {
    a[0] = 1.0;
    for (std::size_t r = 1; r < kk; ++r) {
      a[r] = (z(r, pivot) - (r == pivot + 1 ? 1.0 : 0.0)) / z(0, pivot);
    }
    for (std::size_t r = 0; r < kk && structured; ++r) {
      for (std::size_t j = 0; j < q; ++j) {
        const double rest = z(r, j) - (r == j + 1 ? 1.0 : 0.0) - a[r] * z(0, j);
        if (!(std::fabs(rest) <= 1e-13)) {
          structured = false;
          break;
        }
      }
    }
  }
  if (!structured) return matmul(t.view(), z.view());

  const std::size_t n = t.rows();
  Matrix out(n, q);
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = t.row_ptr(i);
    double ta = 0.0;
    for (std::size_t r = 0; r < kk; ++r) ta += row[r] * a[r];
    double* o = out.row_ptr(i);
    for (std::size_t j = 0; j < q; ++j) o[j] = row[j + 1] + ta * z(0, j);
  }
  return out;
}

// [1 | t·constraint], checking that the stored constraint fits t.
Result<Matrix> constrained_with_intercept(const Matrix& t, const Matrix& constraint,
                                          const char* what) {
  if (constraint.rows() != t.cols()) {
    return QueltError::invalid_parameter(
        std::string(what) + ": stored constraint has " + fmt_uint(constraint.rows()) +
        " rows but the product basis has " + fmt_uint(t.cols()) + " columns");
  }
  return prepend_intercept_column(times_constraint(t, constraint).view());
}

// Validates stored knots; damage is reported as the knot validation's error
// behind a prefix naming the stored field.
Result<Vector> validate_stored_knots(const Vector& knots, const char* what) {
  auto v = validate_cr_knots(knots);
  if (!v.ok()) {
    return QueltError::invalid_parameter(std::string(what) + ": " + v.error().message);
  }
  return std::move(v).value();
}

}  // namespace

Matrix row_kron(MatrixView a, MatrixView b) {
  const std::size_t n = a.rows;
  check_invariant(b.rows >= n, "row_kron: B has fewer rows than A");
  const std::size_t na = a.cols, nb = b.cols;
  auto width = checked_mul(na, nb);
  check_invariant(width.has_value(), "row_kron: product width overflows");
  Matrix out(n, *width);
  for (std::size_t i = 0; i < n; ++i) {
    double* row = out.row_ptr(i);
    for (std::size_t u = 0; u < na; ++u) {
      const double au = a(i, u);
      for (std::size_t v = 0; v < nb; ++v) row[u * nb + v] = au * b(i, v);
    }
  }
  return out;
}

Matrix kron_penalty(const Matrix& s, std::size_t left, std::size_t right) {
  const std::size_t r = s.rows(), c = s.cols();
  auto lr = checked_mul(left, r), lc = checked_mul(left, c);
  auto rows = lr ? checked_mul(*lr, right) : std::nullopt;
  auto cols = lc ? checked_mul(*lc, right) : std::nullopt;
  check_invariant(rows && cols, "kron_penalty: size overflows");
  Matrix p(*rows, *cols);
  for (std::size_t a = 0; a < left; ++a) {
    for (std::size_t u = 0; u < r; ++u) {
      for (std::size_t v = 0; v < c; ++v) {
        const double suv = s(u, v);
        if (suv == 0.0) continue;
        const std::size_t row0 = (a * r + u) * right;
        const std::size_t col0 = (a * c + v) * right;
        for (std::size_t w = 0; w < right; ++w) p(row0 + w, col0 + w) = suv;
      }
    }
  }
  return p;
}

Result<Matrix> rescale_penalty_by_max_eig(Matrix s) {
  auto eig = sym_eigen(s);
  if (!eig.ok()) {
    return QueltError::linalg("eigh failed in tensor penalty rescale: " + eig.error().message);
  }
  double top = 0.0;
  for (double v : eig.value().values) top = std::fmax(top, v);  // NaN ignored
  if (top > 0.0) {
    for (double& e : s.storage()) e /= top;
  }
  return s;
}

Result<TensorTerm> build_tensor_term(MatrixView x, std::size_t col_a, std::size_t col_b,
                                     std::size_t k_a, std::size_t k_b) {
  if (col_a == col_b) {
    return QueltError::invalid_parameter(
        "Tensor term must have distinct margin columns (got col_a == col_b == " + fmt_uint(col_a) +
        ")");
  }
  QUELT_CHECK_OK(check_margin_column(x, col_a, "Tensor term"));
  QUELT_CHECK_OK(check_margin_column(x, col_b, "Tensor term"));
  const std::size_t dims[2] = {k_a, k_b};
  if (!product_width(dims)) {
    return QueltError::invalid_parameter("Tensor term is too large: k_a · k_b = " + fmt_uint(k_a) +
                                         " · " + fmt_uint(k_b) + " overflows");
  }

  // Both margins' knots are placed (a first) before either penalty is built.
  QUELT_TRY(Vector knots_a, place_column_knots(x, col_a, k_a));
  QUELT_TRY(Vector knots_b, place_column_knots(x, col_b, k_b));
  QUELT_TRY(Margin a, finish_margin(x, col_a, std::move(knots_a)));
  QUELT_TRY(Margin b, finish_margin(x, col_b, std::move(knots_b)));

  Matrix t = row_kron(a.basis.view(), b.basis.view());
  const Matrix p_a = kron_penalty(a.penalty, 1, k_b);
  const Matrix p_b = kron_penalty(b.penalty, k_a, 1);
  Matrix z = constraint_null_space(column_sums(t.view()));

  TensorTerm term;
  term.basis = times_constraint(t, z);
  term.penalties.push_back(constrain_penalty(z, p_a));
  term.penalties.push_back(constrain_penalty(z, p_b));
  term.predictor.col_a = col_a;
  term.predictor.col_b = col_b;
  term.predictor.bs_a = MarginBasis::Cr;
  term.predictor.bs_b = MarginBasis::Cr;
  term.predictor.knots_a = std::move(a.knots);
  term.predictor.knots_b = std::move(b.knots);
  term.predictor.transform_a = Matrix::identity(k_a);
  term.predictor.transform_b = Matrix::identity(k_b);
  term.predictor.constraint = std::move(z);
  return term;
}

Result<TensorMultiTerm> build_tensor_multi_term(MatrixView x, std::span<const std::size_t> cols,
                                                std::span<const std::size_t> k, std::size_t bs_len,
                                                bool interaction) {
  const std::size_t m = cols.size();
  if (m < 2) {
    return QueltError::invalid_parameter("n-margin tensor term must have >= 2 margins (got " +
                                         fmt_uint(m) + ")");
  }
  if (k.size() != m || bs_len != m) {
    return QueltError::invalid_parameter("n-margin tensor term: cols (" + fmt_uint(m) + "), k (" +
                                         fmt_uint(k.size()) + "), bs (" + fmt_uint(bs_len) +
                                         ") lengths must match");
  }
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = i + 1; j < m; ++j) {
      if (cols[i] == cols[j]) {
        return QueltError::invalid_parameter(
            "n-margin tensor term must have distinct margin columns (cols[" + fmt_uint(i) +
            "] == cols[" + fmt_uint(j) + "] == " + fmt_uint(cols[i]) + ")");
      }
    }
  }
  for (std::size_t c : cols) QUELT_CHECK_OK(check_margin_column(x, c, "n-margin tensor term"));
  // Margin widths: k_i, or k_i - 1 after a margin constraint (k_i < 3 fails at
  // the knot placement below, so the subtraction is only formal here).
  std::vector<std::size_t> dims(m);
  for (std::size_t i = 0; i < m; ++i) dims[i] = interaction && k[i] > 0 ? k[i] - 1 : k[i];
  const auto width = product_width(dims);
  if (!width) {
    return QueltError::invalid_parameter(
        "n-margin tensor term is too large: the product of the margin sizes overflows");
  }
  const std::size_t big_k = *width;

  TensorMultiTerm term;
  term.predictor.cols.assign(cols.begin(), cols.end());
  std::vector<Matrix> margin_penalties;
  Matrix t;
  for (std::size_t i = 0; i < m; ++i) {
    QUELT_TRY(Margin g, build_margin(x, cols[i], k[i]));
    if (interaction) {
      Matrix zi = constraint_null_space(column_sums(g.basis.view()));
      g.basis = matmul(g.basis.view(), zi.view());
      g.penalty = constrain_penalty(zi, g.penalty);
      term.predictor.margin_transforms.emplace_back(std::move(zi));
    } else {
      term.predictor.margin_transforms.emplace_back(std::nullopt);
    }
    t = i == 0 ? std::move(g.basis) : row_kron(t.view(), g.basis.view());
    margin_penalties.push_back(std::move(g.penalty));
    term.predictor.knots.push_back(std::move(g.knots));
  }
  check_invariant(t.cols() == big_k, "tensor product width mismatch");

  Matrix z = constraint_null_space(column_sums(t.view()));
  // Margin j is lifted to I_left ⊗ S_j ⊗ I_right with left (right) the
  // product of the widths of the margins before (after) it.
  for (std::size_t j = 0; j < m; ++j) {
    std::size_t left = 1, right = 1;
    for (std::size_t i = 0; i < j; ++i) left *= dims[i];
    for (std::size_t i = j + 1; i < m; ++i) right *= dims[i];
    term.penalties.push_back(constrain_penalty(z, kron_penalty(margin_penalties[j], left, right)));
  }
  term.basis = times_constraint(t, z);
  term.predictor.constraint = std::move(z);
  return term;
}

Result<Matrix> evaluate_tensor_predictor(const TensorPredictor& p, MatrixView x) {
  const std::size_t nc = x.cols;
  if (p.col_a >= nc || p.col_b >= nc) {
    return QueltError::invalid_parameter("TensorPredictor: term reads columns (" +
                                         fmt_uint(p.col_a) + ", " + fmt_uint(p.col_b) +
                                         ") but x has only " + fmt_uint(nc) + " columns");
  }
  QUELT_TRY(Vector knots_a, validate_stored_knots(p.knots_a, "invalid stored knots_a"));
  QUELT_TRY(Vector knots_b, validate_stored_knots(p.knots_b, "invalid stored knots_b"));
  if (p.transform_a.rows() != knots_a.size() || p.transform_b.rows() != knots_b.size()) {
    return QueltError::invalid_parameter(
        "TensorPredictor: stored margin transforms do not match the knots (" +
        fmt_uint(p.transform_a.rows()) + " and " + fmt_uint(p.transform_b.rows()) + " rows for " +
        fmt_uint(knots_a.size()) + " and " + fmt_uint(knots_b.size()) + " knots)");
  }
  const Matrix b_a =
      matmul(cr_basis(knots_a, column_view(x, p.col_a)).view(), p.transform_a.view());
  const Matrix b_b =
      matmul(cr_basis(knots_b, column_view(x, p.col_b)).view(), p.transform_b.view());
  return constrained_with_intercept(row_kron(b_a.view(), b_b.view()), p.constraint,
                                    "TensorPredictor");
}

Result<Matrix> evaluate_tensor_multi_predictor(const TensorMultiPredictor& p, MatrixView x) {
  const std::size_t m = p.cols.size();
  if (m == 0) return QueltError::invalid_parameter("tensor must have >= 1 margin");
  const std::size_t nc = x.cols;
  for (std::size_t c : p.cols) {
    if (c >= nc) {
      return QueltError::invalid_parameter("TensorMultiPredictor: term reads column " +
                                           fmt_uint(c) + " but x has only " + fmt_uint(nc) +
                                           " columns");
    }
  }
  if (p.knots.size() < m || p.margin_transforms.size() < m) {
    return QueltError::invalid_parameter("TensorMultiPredictor: stored knots (" +
                                         fmt_uint(p.knots.size()) + ") and margin transforms (" +
                                         fmt_uint(p.margin_transforms.size()) +
                                         ") must cover all " + fmt_uint(m) + " margins");
  }
  Matrix t;
  for (std::size_t i = 0; i < m; ++i) {
    QUELT_TRY(Vector knots, validate_stored_knots(p.knots[i], "invalid stored knots"));
    Matrix b = cr_basis(knots, column_view(x, p.cols[i]));
    if (p.margin_transforms[i].has_value()) {
      const Matrix& tr = *p.margin_transforms[i];
      if (tr.rows() != knots.size()) {
        return QueltError::invalid_parameter("TensorMultiPredictor: stored transform of margin " +
                                             fmt_uint(i) + " has " + fmt_uint(tr.rows()) +
                                             " rows for " + fmt_uint(knots.size()) + " knots");
      }
      b = matmul(b.view(), tr.view());
    }
    t = i == 0 ? std::move(b) : row_kron(t.view(), b.view());
  }
  return constrained_with_intercept(t, p.constraint, "TensorMultiPredictor");
}

}  // namespace quelt
