#include "design/confounding.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "core/format.hpp"
#include "design/additive.hpp"
#include "design/model_design.hpp"

namespace quelt {

namespace {

const char* basis_name(const TermSpec& term) {
  switch (term.index()) {
    case TermSpec::kCr:
      return "cr";
    case TermSpec::kCrStable:
      return "cr_stable";
    case TermSpec::kRe:
      return "re";
    case TermSpec::kTe:
      return "te";
    case TermSpec::kTeMulti:
      return "te_multi";
    case TermSpec::kTi:
      return "ti";
    default:
      return "tp";
  }
}

bool contains(const std::vector<std::size_t>& cols, std::size_t c) {
  return std::find(cols.begin(), cols.end(), c) != cols.end();
}

// An interaction ("ti") leaves out every effect of fewer of its columns, so a
// term reading only some of its columns cannot share a function with it.
bool interaction_excludes(const TermSpec& ti, const TermSpec& other) {
  if (ti.index() != TermSpec::kTi) return false;
  const std::vector<std::size_t> big = term_columns(ti), small = term_columns(other);
  if (small.size() >= big.size()) return false;
  return std::all_of(small.begin(), small.end(), [&](std::size_t c) { return contains(big, c); });
}

bool same_values(MatrixView x, std::size_t a, std::size_t b) {
  for (std::size_t i = 0; i < x.rows; ++i)
    if (!(x(i, a) == x(i, b))) return false;
  return true;
}

// The first pair (a, b), a from `as` and b from `bs`, of different columns
// of x holding the same values (in the order of `as`, then of `bs`; within
// one list only pairs a before b).
std::optional<std::pair<std::size_t, std::size_t>> identical_columns(
    MatrixView x, const std::vector<std::size_t>& as, const std::vector<std::size_t>& bs) {
  const bool one_list = &as == &bs;
  for (std::size_t i = 0; i < as.size(); ++i) {
    for (std::size_t j = one_list ? i + 1 : 0; j < bs.size(); ++j) {
      const std::size_t a = as[i], b = bs[j];
      if (a != b && a < x.cols && b < x.cols && same_values(x, a, b)) return std::pair{a, b};
    }
  }
  return std::nullopt;
}

// The number of distinct values of column 0 of `col`, counted as the knot
// placement counts them (values within 1e-12 of the range of a counted value
// are the same value; NaN ignored), but at most `cap`: the scan stops there,
// so a continuous covariate costs a few reads and a discrete one O(n log cap).
std::size_t distinct_values_up_to(MatrixView col, std::size_t cap) {
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (std::size_t i = 0; i < col.rows; ++i) {
    lo = std::fmin(lo, col(i, 0));
    hi = std::fmax(hi, col(i, 0));
  }
  const double tol = lo <= hi ? 2e-12 * (0.5 * hi - 0.5 * lo) : 0.0;
  std::vector<double> seen;  // ascending
  for (std::size_t i = 0; i < col.rows && seen.size() < cap; ++i) {
    const double v = col(i, 0);
    if (std::isnan(v)) continue;
    auto it = std::lower_bound(seen.begin(), seen.end(), v);
    const bool near_next = it != seen.end() && *it - v <= tol;
    const bool near_prev = it != seen.begin() && v - *(it - 1) <= tol;
    if (!near_next && !near_prev) seen.insert(it, v);
  }
  return seen.size();
}

}  // namespace

std::string describe_term(const TermSpec& term, std::size_t t) {
  const std::vector<std::size_t> cols = term_columns(term);
  std::string s = "term " + fmt_uint(t) + " (" + basis_name(term) + " of column";
  if (cols.size() != 1) s += "s";
  for (std::size_t i = 0; i < cols.size(); ++i) s += (i ? ", " : " ") + fmt_uint(cols[i]);
  return s + ")";
}

std::vector<std::string> possibly_confounded_terms(std::span<const TermSpec> terms, MatrixView x,
                                                   std::size_t limit) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const std::vector<std::size_t> ci = term_columns(terms[i]);
    if (auto twin = identical_columns(x, ci, ci); twin && out.size() < limit) {
      out.push_back(describe_term(terms[i], i) + " reads identical columns " +
                    fmt_uint(twin->first) + " and " + fmt_uint(twin->second) + " of x");
    }
    for (std::size_t j = i + 1; j < terms.size() && out.size() < limit; ++j) {
      const std::vector<std::size_t> cj = term_columns(terms[j]);
      const std::string pair = describe_term(terms[i], i) + " and " + describe_term(terms[j], j);
      if (terms[i] == terms[j]) {
        out.push_back("term " + fmt_uint(j) + " repeats " + describe_term(terms[i], i));
        continue;
      }
      if (interaction_excludes(terms[i], terms[j]) || interaction_excludes(terms[j], terms[i]))
        continue;
      const auto shared =
          std::find_if(ci.begin(), ci.end(), [&](std::size_t c) { return contains(cj, c); });
      if (shared != ci.end()) {
        out.push_back(pair + " both read column " + fmt_uint(*shared));
        continue;
      }
      if (auto twin = identical_columns(x, ci, cj)) {
        out.push_back(pair + " read identical columns " + fmt_uint(twin->first) + " and " +
                      fmt_uint(twin->second) + " of x");
      }
    }
  }
  return out;
}

std::vector<std::string> bases_with_few_values(std::span<const TermSpec> terms, MatrixView x,
                                               std::size_t limit, bool name_terms) {
  std::vector<std::string> out;
  for (std::size_t t = 0; t < terms.size() && out.size() < limit; ++t) {
    // (column, k) of each cubic regression basis of the term.
    std::vector<std::pair<std::size_t, std::size_t>> bases;
    const TermSpec& term = terms[t];
    switch (term.index()) {
      case TermSpec::kCr:
        bases.emplace_back(std::get<TermSpec::kCr>(term.value).col,
                           std::get<TermSpec::kCr>(term.value).k);
        break;
      case TermSpec::kCrStable:
        bases.emplace_back(std::get<TermSpec::kCrStable>(term.value).col,
                           std::get<TermSpec::kCrStable>(term.value).k);
        break;
      case TermSpec::kTe: {
        const auto& te = std::get<TermSpec::kTe>(term.value);
        bases = {{te.col_a, te.k_a}, {te.col_b, te.k_b}};
        break;
      }
      case TermSpec::kTeMulti:
      case TermSpec::kTi: {
        const auto& cols = term.index() == TermSpec::kTi
                               ? std::get<TermSpec::kTi>(term.value).cols
                               : std::get<TermSpec::kTeMulti>(term.value).cols;
        const auto& k = term.index() == TermSpec::kTi ? std::get<TermSpec::kTi>(term.value).k
                                                      : std::get<TermSpec::kTeMulti>(term.value).k;
        for (std::size_t i = 0; i < cols.size() && i < k.size(); ++i)
          bases.emplace_back(cols[i], k[i]);
        break;
      }
      default:
        break;
    }
    for (const auto& [col, k] : bases) {
      if (col >= x.cols || out.size() >= limit) continue;
      const std::size_t nu = distinct_values_up_to(column_view(x, col), k);
      if (nu >= k) continue;
      std::string s = "x column " + fmt_uint(col) + " has " + fmt_uint(nu) +
                      " distinct values, fewer than k = " + fmt_uint(k);
      if (name_terms) s += " of " + describe_term(term, t);
      out.push_back(std::move(s));
    }
  }
  return out;
}

}  // namespace quelt
