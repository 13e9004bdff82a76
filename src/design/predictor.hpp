// Term predictors: the stored recipe that rebuilds a model matrix [1 | B] on
// new covariates exactly as it was built for the fit.
//
// The records are plain data. Their fields are declared in the order in which
// a fitted model persists them, and the alternative index of
// TermPredictor::Variant is the persisted tag:
//   0 Cr, 1 Re, 2 CrStable, 3 Additive, 4 Tensor, 5 TensorMulti, 6 Tps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"

namespace quelt {

// Basis of a tensor margin; persisted as its index (Cr = 0).
enum class MarginBasis : std::uint32_t { Cr = 0 };

// Cubic regression smooth: B(x)·constraint.
struct CrPredictor {
  Vector knots;       // k strictly increasing knots
  Matrix constraint;  // k x (k-1) sum-to-zero null space Z
};

// Random effect: one indicator column per level.
struct RePredictor {
  std::vector<double> levels;  // sorted distinct levels (no -0.0)
};

// Cubic regression smooth in the eigenbasis of its constrained penalty:
// (B(x)·constraint)·reparam.
struct CrStablePredictor {
  Vector knots;       // k knots
  Matrix constraint;  // k x (k-1) sum-to-zero null space Z
  Matrix reparam;     // (k-1) x (k-1) orthogonal rotation U
};

struct TermPredictor;

// Several terms side by side: [1 | block_1 | ... | block_T].
struct AdditivePredictor {
  std::vector<TermPredictor> terms;                             // one per term, in term order
  std::vector<std::vector<std::size_t>> term_cols;              // input columns read by each term
  std::vector<std::pair<std::size_t, std::size_t>> col_ranges;  // [first, last) of each block
};

// Two-margin tensor product: row_kron(B_a·transform_a, B_b·transform_b)·constraint.
struct TensorPredictor {
  std::size_t col_a = 0;
  std::size_t col_b = 0;
  MarginBasis bs_a = MarginBasis::Cr;
  MarginBasis bs_b = MarginBasis::Cr;
  Vector knots_a;      // k_a knots
  Vector knots_b;      // k_b knots
  Matrix transform_a;  // k_a x r_a
  Matrix transform_b;  // k_b x r_b
  Matrix constraint;   // (r_a·r_b) x q
};

// Tensor product of m margins (the first varies slowest).
struct TensorMultiPredictor {
  std::vector<std::size_t> cols;                         // m margin columns
  std::vector<Vector> knots;                             // m knot vectors
  std::vector<std::optional<Matrix>> margin_transforms;  // m optional margin transforms
  Matrix constraint;                                     // K x q
};

// Thin-plate term: E(x)·transform with E the radial kernel against the
// centres, distances measured in units of `length`.
struct TpsPredictor {
  std::vector<std::size_t> cols;  // d input columns
  Matrix centres;                 // n_c x d
  Matrix transform;               // n_c x q
  double length = 1.0;            // L > 0: the largest distance between two centres
};

struct TermPredictor {
  using Variant = std::variant<CrPredictor, RePredictor, CrStablePredictor, AdditivePredictor,
                               TensorPredictor, TensorMultiPredictor, TpsPredictor>;

  // Persisted tags.
  static constexpr std::size_t kCr = 0;
  static constexpr std::size_t kRe = 1;
  static constexpr std::size_t kCrStable = 2;
  static constexpr std::size_t kAdditive = 3;
  static constexpr std::size_t kTensor = 4;
  static constexpr std::size_t kTensorMulti = 5;
  static constexpr std::size_t kTps = 6;

  Variant value;

  TermPredictor() = default;
  template <class R,
            class = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<R>, TermPredictor> &&
                                     std::is_constructible_v<Variant, R&&>>>
  TermPredictor(R&& record) : value(std::forward<R>(record)) {}

  // The persisted tag of the stored record.
  std::size_t index() const { return value.index(); }
};

// Rebuilds the n x p model matrix [1 | ...] on new covariates x (n x nc).
// Single-smooth predictors (Cr, Re, CrStable) read column 0 of x only and
// ignore further columns; row i of the result depends on row i of x only, and
// the training x reproduces the fitted model matrix bit for bit.
//
// Errors (InvalidParameter): an x without columns; stored knots that are not a
// valid knot vector (the knot validation's own message); stored matrices whose
// shapes do not fit together.
Result<Matrix> predictor_evaluate(const TermPredictor& predictor, MatrixView x);

}  // namespace quelt
