#include "fit/record_check.hpp"

#include <cmath>
#include <string>
#include <variant>

#include "core/format.hpp"
#include "core/numeric.hpp"

namespace quelt {
namespace {

// Unwinds to check_record_shapes() with the description of the problem.
struct ShapeProblem {
  std::string message;
};

[[noreturn]] void inconsistent(const std::string& what) { throw ShapeProblem{what}; }

std::string shape(const Matrix& m) { return fmt_uint(m.rows()) + " x " + fmt_uint(m.cols()); }

// A cubic regression knot vector needs at least 3 strictly increasing values
// (a NaN fails the comparison).
void check_knots(const Vector& k, const std::string& what) {
  bool ok = k.size() >= 3;
  for (std::size_t i = 0; ok && i + 1 < k.size(); ++i) ok = k[i + 1] > k[i];
  if (!ok) inconsistent(what + " are not at least 3 strictly increasing values");
}

void check_rows(const Matrix& m, std::size_t rows, const std::string& what,
                const std::string& expected) {
  if (m.rows() != rows)
    inconsistent(what + " is " + shape(m) + " but must have " + fmt_uint(rows) + " rows (" +
                 expected + ")");
}

std::size_t add_width(std::size_t a, std::size_t b) {
  auto s = checked_add(a, b);
  if (!s) inconsistent("model matrix width overflows");
  return *s;
}

// Width of the block a predictor contributes after the intercept column.
std::size_t block_width(const TermPredictor& tp, const std::string& name);

std::size_t width_of(const CrPredictor& p, const std::string& name) {
  check_knots(p.knots, name + " knots");
  check_rows(p.constraint, p.knots.size(), name + " constraint", "one per knot");
  return p.constraint.cols();
}
std::size_t width_of(const RePredictor& p, const std::string&) { return p.levels.size(); }
std::size_t width_of(const CrStablePredictor& p, const std::string& name) {
  check_knots(p.knots, name + " knots");
  check_rows(p.constraint, p.knots.size(), name + " constraint", "one per knot");
  check_rows(p.reparam, p.constraint.cols(), name + " reparameterization",
             "one per constraint column");
  return p.reparam.cols();
}
std::size_t width_of(const AdditivePredictor& p, const std::string&) {
  std::size_t nt = p.terms.size();
  if (p.term_cols.size() != nt || p.col_ranges.size() != nt)
    inconsistent("additive predictor has " + fmt_uint(nt) + " terms but " +
                 fmt_uint(p.term_cols.size()) + " column lists and " +
                 fmt_uint(p.col_ranges.size()) + " column ranges");
  std::size_t next = 1, total = 0;
  for (std::size_t i = 0; i < nt; ++i) {
    std::string name = "additive term " + fmt_uint(i);
    auto idx = p.terms[i].index();
    bool reads_one_column =
        idx == TermPredictor::kCr || idx == TermPredictor::kRe || idx == TermPredictor::kCrStable;
    if (reads_one_column && p.term_cols[i].empty()) inconsistent(name + " names no input column");
    std::size_t w = block_width(p.terms[i], name);
    auto [first, last] = p.col_ranges[i];
    if (first != next || last < first || last - first != w)
      inconsistent(name + " has column range (" + fmt_uint(first) + ", " + fmt_uint(last) +
                   ") but its block is columns (" + fmt_uint(next) + ", " + fmt_uint(next + w) +
                   ")");
    next = add_width(next, w);
    total = add_width(total, w);
  }
  return total;
}
std::size_t width_of(const TensorPredictor& p, const std::string& name) {
  check_knots(p.knots_a, name + " knots_a");
  check_knots(p.knots_b, name + " knots_b");
  check_rows(p.transform_a, p.knots_a.size(), name + " transform_a", "one per knot");
  check_rows(p.transform_b, p.knots_b.size(), name + " transform_b", "one per knot");
  auto k = checked_mul(p.transform_a.cols(), p.transform_b.cols());
  if (!k) inconsistent(name + " product basis width overflows");
  check_rows(p.constraint, *k, name + " constraint", "the product of the margin widths");
  return p.constraint.cols();
}
std::size_t width_of(const TensorMultiPredictor& p, const std::string& name) {
  std::size_t m = p.cols.size();
  if (m == 0) inconsistent(name + " has no margins");
  if (p.knots.size() != m || p.margin_transforms.size() != m)
    inconsistent(name + " has " + fmt_uint(m) + " margin columns but " + fmt_uint(p.knots.size()) +
                 " knot vectors and " + fmt_uint(p.margin_transforms.size()) +
                 " margin transforms");
  std::size_t k = 1;
  for (std::size_t i = 0; i < m; ++i) {
    std::string margin = name + " margin " + fmt_uint(i);
    check_knots(p.knots[i], margin + " knots");
    std::size_t w = p.knots[i].size();
    if (const auto& t = p.margin_transforms[i]) {
      check_rows(*t, w, margin + " transform", "one per knot");
      w = t->cols();
    }
    auto prod = checked_mul(k, w);
    if (!prod) inconsistent(name + " product basis width overflows");
    k = *prod;
  }
  check_rows(p.constraint, k, name + " constraint", "the product of the margin widths");
  return p.constraint.cols();
}
std::size_t width_of(const TpsPredictor& p, const std::string& name) {
  if (p.centres.cols() != p.cols.size())
    inconsistent(name + " centres are " + shape(p.centres) + " but the term reads " +
                 fmt_uint(p.cols.size()) + " columns");
  check_rows(p.transform, p.centres.rows(), name + " transform", "one per centre");
  if (!(p.length > 0.0 && std::isfinite(p.length)))
    inconsistent(name + " length is " + fmt_float(p.length) + " but must be finite and positive");
  return p.transform.cols();
}

std::size_t block_width(const TermPredictor& tp, const std::string& name) {
  return std::visit([&name](const auto& p) { return width_of(p, name); }, tp.value);
}

void check_all(const FittedGam& g) {
  std::size_t p = g.beta.size();
  std::size_t width = add_width(1, block_width(g.predictor, "predictor"));
  if (width != p)
    inconsistent("the predictor builds " + fmt_uint(width) + " columns but beta has " +
                 fmt_uint(p) + " entries");
  if (g.vcov.rows() != p || g.vcov.cols() != p)
    inconsistent("vcov is " + shape(g.vcov) + " but beta has " + fmt_uint(p) + " entries");
  if (g.lambda.size() != g.rho.size() || g.edf_per_term.size() != g.rho.size())
    inconsistent("rho, lambda and edf_per_term have " + fmt_uint(g.rho.size()) + ", " +
                 fmt_uint(g.lambda.size()) + " and " + fmt_uint(g.edf_per_term.size()) +
                 " entries");
}

}  // namespace

Status check_record_shapes(const FittedGam& g) {
  try {
    check_all(g);
  } catch (const ShapeProblem& e) {
    return QueltError::invalid_parameter(e.message);
  }
  return ok_status();
}

}  // namespace quelt
