#include "design/additive.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/format.hpp"
#include "core/numeric.hpp"
#include "design/confounding.hpp"
#include "design/cr.hpp"
#include "design/re.hpp"
#include "design/tensor.hpp"
#include "design/tps.hpp"

namespace quelt {

namespace {

// One built term: its basis (n x q), its penalties at the term's own size
// (q x q each, in the term's order) and its predictor.
struct BuiltTerm {
  Matrix basis;
  std::vector<Matrix> penalties;
  TermPredictor predictor;
};

Result<BuiltTerm> build_term(const TermSpec& term, MatrixView x) {
  switch (term.index()) {
    case TermSpec::kCr: {
      const auto& s = std::get<TermSpec::kCr>(term.value);
      QUELT_TRY(CrTerm t, build_cr_term(x, s.col, s.k));
      std::vector<Matrix> pen;
      pen.push_back(std::move(t.penalty));
      return BuiltTerm{std::move(t.basis), std::move(pen), TermPredictor(std::move(t.predictor))};
    }
    case TermSpec::kCrStable: {
      const auto& s = std::get<TermSpec::kCrStable>(term.value);
      QUELT_TRY(CrStableTerm t, build_cr_stable_term(x, s.col, s.k));
      std::vector<Matrix> pen;
      pen.push_back(std::move(t.penalty));
      return BuiltTerm{std::move(t.basis), std::move(pen), TermPredictor(std::move(t.predictor))};
    }
    case TermSpec::kRe: {
      const auto& s = std::get<TermSpec::kRe>(term.value);
      QUELT_TRY(ReTerm t, build_re_term(x, s.col));
      std::vector<Matrix> pen;
      pen.push_back(Matrix::identity(t.levels.size()));
      return BuiltTerm{std::move(t.basis), std::move(pen),
                       TermPredictor(RePredictor{std::move(t.levels)})};
    }
    case TermSpec::kTe: {
      const auto& s = std::get<TermSpec::kTe>(term.value);
      QUELT_TRY(TensorTerm t, build_tensor_term(x, s.col_a, s.col_b, s.k_a, s.k_b));
      return BuiltTerm{std::move(t.basis), std::move(t.penalties),
                       TermPredictor(std::move(t.predictor))};
    }
    case TermSpec::kTeMulti: {
      const auto& s = std::get<TermSpec::kTeMulti>(term.value);
      QUELT_TRY(TensorMultiTerm t, build_tensor_multi_term(x, s.cols, s.k, s.bs.size(), false));
      return BuiltTerm{std::move(t.basis), std::move(t.penalties),
                       TermPredictor(std::move(t.predictor))};
    }
    case TermSpec::kTi: {
      const auto& s = std::get<TermSpec::kTi>(term.value);
      QUELT_TRY(TensorMultiTerm t, build_tensor_multi_term(x, s.cols, s.k, s.bs.size(), true));
      return BuiltTerm{std::move(t.basis), std::move(t.penalties),
                       TermPredictor(std::move(t.predictor))};
    }
    case TermSpec::kTp: {
      const auto& s = std::get<TermSpec::kTp>(term.value);
      QUELT_TRY(TpsTerm t, build_tps_term(x, s.cols, s.k));
      std::vector<Matrix> pen;
      pen.push_back(std::move(t.penalty));
      return BuiltTerm{std::move(t.basis), std::move(pen), TermPredictor(std::move(t.predictor))};
    }
    default:
      invariant_failed("build_additive_design: valueless term");
  }
}

// Nested Additive records are evaluated through this function directly, so
// that the nesting depth of a stored record is bounded.
constexpr std::size_t kMaxAdditiveDepth = 16;

Result<Matrix> evaluate_additive_at_depth(const AdditivePredictor& p, MatrixView x,
                                          std::size_t depth) {
  if (depth > kMaxAdditiveDepth) {
    return QueltError::invalid_parameter("AdditivePredictor: terms nested more than " +
                                         fmt_uint(kMaxAdditiveDepth) + " levels deep");
  }
  const std::size_t t_count = p.terms.size(), nc = x.cols;
  if (p.term_cols.size() < t_count) {
    return QueltError::invalid_parameter("AdditivePredictor: stored column lists (" +
                                         fmt_uint(p.term_cols.size()) + ") do not cover its " +
                                         fmt_uint(t_count) + " terms");
  }
  std::vector<Matrix> blocks;
  blocks.reserve(t_count);
  std::size_t width = 1;
  for (std::size_t i = 0; i < t_count; ++i) {
    const std::vector<std::size_t>& cols = p.term_cols[i];
    for (std::size_t c : cols) {
      if (c >= nc) {
        return QueltError::invalid_parameter("AdditivePredictor: term " + fmt_uint(i) +
                                             " expects column " + fmt_uint(c) + " but x has only " +
                                             fmt_uint(nc) + " columns");
      }
    }
    const TermPredictor& term = p.terms[i];
    const std::size_t kind = term.index();
    const bool whole_x = kind == TermPredictor::kTensor || kind == TermPredictor::kTensorMulti ||
                         kind == TermPredictor::kTps;
    if (!whole_x && cols.empty()) {
      return QueltError::invalid_parameter("AdditivePredictor: term " + fmt_uint(i) +
                                           " has no stored input column");
    }
    const MatrixView view = whole_x ? x : column_view(x, cols[0]);
    Result<Matrix> d = kind == TermPredictor::kAdditive
                           ? evaluate_additive_at_depth(
                                 std::get<TermPredictor::kAdditive>(term.value), view, depth + 1)
                           : predictor_evaluate(term, view);
    if (!d.ok()) return std::move(d).take_error();
    Matrix block = std::move(d).value();
    check_invariant(block.cols() >= 1 && block.rows() == x.rows,
                    "AdditivePredictor: term evaluation has the wrong shape");
    auto w = checked_add(width, block.cols() - 1);
    if (!w) throw std::bad_alloc();
    width = *w;
    blocks.push_back(std::move(block));
  }

  Matrix out(x.rows, width);
  for (std::size_t i = 0; i < x.rows; ++i) {
    double* row = out.row_ptr(i);
    row[0] = 1.0;
    std::size_t at = 1;
    for (const Matrix& b : blocks) {
      const double* src = b.row_ptr(i);
      std::copy(src + 1, src + b.cols(), row + at);
      at += b.cols() - 1;
    }
  }
  return out;
}

}  // namespace

std::vector<std::size_t> term_columns(const TermSpec& term) {
  return std::visit(
      [](const auto& t) -> std::vector<std::size_t> {
        using T = std::decay_t<decltype(t)>;
        if constexpr (std::is_same_v<T, TermSpec::Te>) {
          return {t.col_a, t.col_b};
        } else if constexpr (std::is_same_v<T, TermSpec::TeMulti> ||
                             std::is_same_v<T, TermSpec::Ti> || std::is_same_v<T, TermSpec::Tp>) {
          return t.cols;
        } else {
          return {t.col};
        }
      },
      term.value);
}

namespace {

// The function space a term's kind spans on its columns: "cr_stable" is the
// "cr" smooth in another basis, "te_multi" the "te" product with any number
// of (cubic regression) margins.
std::size_t basis_kind(const TermSpec& term) {
  switch (term.index()) {
    case TermSpec::kCrStable:
      return TermSpec::kCr;
    case TermSpec::kTeMulti:
      return TermSpec::kTe;
    default:
      return term.index();
  }
}

// Whether two lists of columns hold the same columns, in any order.
bool same_column_set(std::vector<std::size_t> a, std::vector<std::size_t> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return a == b;
}

// The number of columns term builds into the model matrix, as a double (a
// product of margin sizes may exceed the integers), and its number of
// penalties. A random effect counts its levels (none when the column is
// invalid: the builder reports that); a thin-plate term cannot be wider than
// n (the builder reports a larger k).
std::pair<double, std::size_t> term_size(const TermSpec& term, MatrixView x) {
  auto minus_one = [](double v) { return v >= 1.0 ? v - 1.0 : 0.0; };
  switch (term.index()) {
    case TermSpec::kCr:
      return {minus_one(static_cast<double>(std::get<TermSpec::kCr>(term.value).k)), 1};
    case TermSpec::kCrStable:
      return {minus_one(static_cast<double>(std::get<TermSpec::kCrStable>(term.value).k)), 1};
    case TermSpec::kRe: {
      auto levels = re_levels(x, std::get<TermSpec::kRe>(term.value).col);
      return {levels.ok() ? static_cast<double>(levels.value().size()) : 0.0, 1};
    }
    case TermSpec::kTe: {
      const auto& t = std::get<TermSpec::kTe>(term.value);
      return {minus_one(static_cast<double>(t.k_a) * static_cast<double>(t.k_b)), 2};
    }
    case TermSpec::kTeMulti:
    case TermSpec::kTi: {
      const bool ti = term.index() == TermSpec::kTi;
      const auto& k =
          ti ? std::get<TermSpec::kTi>(term.value).k : std::get<TermSpec::kTeMulti>(term.value).k;
      double width = 1.0;
      for (std::size_t ki : k) width *= ti ? minus_one(static_cast<double>(ki)) : ki;
      return {minus_one(width), k.size()};
    }
    default: {
      const auto& t = std::get<TermSpec::kTp>(term.value);
      return {static_cast<double>(std::min<std::size_t>(t.k, x.rows)), 1};
    }
  }
}

}  // namespace

Result<ModelDesign> build_additive_design(std::span<const TermSpec> terms, MatrixView x) {
  if (terms.empty()) return QueltError::invalid_parameter("Additive: terms list must be non-empty");

  // Every term's columns are checked before any term is built.
  std::vector<std::vector<std::size_t>> term_cols;
  term_cols.reserve(terms.size());
  for (std::size_t t = 0; t < terms.size(); ++t) {
    std::vector<std::size_t> cols = term_columns(terms[t]);
    for (std::size_t c : cols) {
      if (c >= x.cols) {
        return QueltError::invalid_parameter("Additive term " + fmt_uint(t) + " reads column " +
                                             fmt_uint(c) + " but x has only " + fmt_uint(x.cols) +
                                             " columns");
      }
    }
    term_cols.push_back(std::move(cols));
  }
  // The same basis on the same columns (in any order, with any basis
  // dimension, in either parameterization) spans functions of an earlier
  // term again, its unpenalized ones included: the model could not tell the
  // two apart.
  for (std::size_t j = 1; j < terms.size(); ++j) {
    for (std::size_t i = 0; i < j; ++i) {
      if (basis_kind(terms[i]) != basis_kind(terms[j]) ||
          !same_column_set(term_cols[i], term_cols[j]))
        continue;
      return QueltError::invalid_parameter(
          "Additive " + describe_term(terms[j], j) + " repeats " + describe_term(terms[i], i) +
          ": the same basis on the same columns cannot be told apart from it; drop one of them");
    }
  }

  // A model that cannot fit in memory is refused before any term is built.
  double width = 1.0;
  std::size_t n_penalties = 0;
  for (const TermSpec& term : terms) {
    const auto [q, m] = term_size(term, x);
    width += q;
    n_penalties += m;
  }
  check_design_fits_in_memory(x.rows, width, n_penalties);

  std::vector<BuiltTerm> built;
  built.reserve(terms.size());
  std::size_t p = 1;
  for (const TermSpec& term : terms) {
    QUELT_TRY(BuiltTerm b, build_term(term, x));
    auto next = checked_add(p, b.basis.cols());
    if (!next) throw std::bad_alloc();
    p = *next;
    built.push_back(std::move(b));
  }

  const std::size_t n = x.rows;
  ModelDesign design;
  design.x = Matrix(n, p);
  AdditivePredictor predictor;
  predictor.term_cols = std::move(term_cols);
  for (std::size_t i = 0; i < n; ++i) design.x(i, 0) = 1.0;
  std::size_t rank_of_sum = 0;
  std::size_t first = 1;
  for (BuiltTerm& b : built) {
    const std::size_t q = b.basis.cols();
    for (std::size_t i = 0; i < n; ++i) {
      const double* src = b.basis.row_ptr(i);
      std::copy(src, src + q, design.x.row_ptr(i) + first);
    }
    b.basis = Matrix();

    // Rank and log pseudo-determinant of each penalty: the zero rows and
    // columns of the padded matrix add only zero eigenvalues, so they are
    // taken on the q x q block. The term's penalties form one group.
    std::vector<std::size_t> group;
    for (const Matrix& s : b.penalties) {
      const auto [rank, log_pdet] = penalty_log_pdet(s);
      group.push_back(design.penalties.size());
      design.penalties.push_back(pad_penalty(s, first, p));
      design.penalty_ranks.push_back(rank);
      design.penalty_log_pdets.push_back(log_pdet);
    }
    // The groups act on disjoint coefficient blocks, so the rank of the sum of
    // all penalties is the sum of the ranks of the groups' own sums.
    if (group.size() == 1) {
      rank_of_sum += design.penalty_ranks[group[0]];
    } else {
      Matrix block_sum(q, q);
      for (const Matrix& s : b.penalties)
        for (std::size_t e = 0; e < s.size(); ++e) block_sum.data()[e] += s.data()[e];
      rank_of_sum += penalty_log_pdet(block_sum).first;
    }
    design.penalty_groups.push_back(std::move(group));

    predictor.col_ranges.emplace_back(first, first + q);
    predictor.terms.push_back(std::move(b.predictor));
    first += q;
  }
  design.null_space_dim = rank_of_sum >= p ? 0 : p - rank_of_sum;
  design.predictor = TermPredictor(std::move(predictor));
  return design;
}

Result<Matrix> evaluate_additive_predictor(const AdditivePredictor& p, MatrixView x) {
  return evaluate_additive_at_depth(p, x, 0);
}

}  // namespace quelt
