#include "design/confounding.hpp"

#include <algorithm>

#include "core/format.hpp"
#include "design/additive.hpp"

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
      bool found = false;
      for (std::size_t a : ci) {
        for (std::size_t b : cj) {
          if (!found && a < x.cols && b < x.cols && same_values(x, a, b)) {
            out.push_back(pair + " read identical columns " + fmt_uint(a) + " and " + fmt_uint(b) +
                          " of x");
            found = true;
          }
        }
      }
    }
  }
  return out;
}

}  // namespace quelt
