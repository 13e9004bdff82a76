// One term of an additive model as the user listed it: the basis kind, the
// covariate column(s) it reads and its basis dimension(s). The list of terms
// is built from the user's term tuples, in the user's order, and turned into
// one model design by the additive design builder, which also checks the
// fields (columns in range and distinct, lengths of cols / k / bs agreeing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "design/predictor.hpp"

namespace quelt {

struct TermSpec {
  // Cubic regression smooth of column `col` with k knots.
  struct Cr {
    std::size_t col = 0;
    std::size_t k = 0;
    bool operator==(const Cr&) const = default;
  };
  // The same smooth in the eigenbasis of its penalty.
  struct CrStable {
    std::size_t col = 0;
    std::size_t k = 0;
    bool operator==(const CrStable&) const = default;
  };
  // Random effect: one coefficient per distinct value of column `col`.
  struct Re {
    std::size_t col = 0;
    bool operator==(const Re&) const = default;
  };
  // Two-margin tensor product of columns col_a and col_b.
  struct Te {
    std::size_t col_a = 0;
    std::size_t col_b = 0;
    std::size_t k_a = 0;
    std::size_t k_b = 0;
    bool operator==(const Te&) const = default;
  };
  // Tensor product of several margins, one entry of cols / k / bs per margin.
  struct TeMulti {
    std::vector<std::size_t> cols;
    std::vector<std::size_t> k;
    std::vector<MarginBasis> bs;
    bool operator==(const TeMulti&) const = default;
  };
  // Tensor interaction: as TeMulti, each margin constrained before the product.
  struct Ti {
    std::vector<std::size_t> cols;
    std::vector<std::size_t> k;
    std::vector<MarginBasis> bs;
    bool operator==(const Ti&) const = default;
  };
  // Thin-plate spline of dimension k over the columns `cols`.
  struct Tp {
    std::size_t k = 0;
    std::vector<std::size_t> cols;
    bool operator==(const Tp&) const = default;
  };

  // The alternative index is the kind: 0 Cr, 1 CrStable, 2 Re, 3 Te,
  // 4 TeMulti, 5 Ti, 6 Tp.
  using Variant = std::variant<Cr, CrStable, Re, Te, TeMulti, Ti, Tp>;
  static constexpr std::size_t kCr = 0;
  static constexpr std::size_t kCrStable = 1;
  static constexpr std::size_t kRe = 2;
  static constexpr std::size_t kTe = 3;
  static constexpr std::size_t kTeMulti = 4;
  static constexpr std::size_t kTi = 5;
  static constexpr std::size_t kTp = 6;

  Variant value;

  std::size_t index() const { return value.index(); }
  bool operator==(const TermSpec&) const = default;
};

}  // namespace quelt
