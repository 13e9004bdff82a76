// The per-fit context handed to every inner fit and score evaluation, the
// inner-fit settings, and the warm-start cache cell it carries.
//
// One context belongs to one fit. Inner fits and scores read it; only the
// counters of `fit_stats` and the warm-start cell change after construction
// (the cell through a use-counted guard, so the context is passed by const
// reference to readers).
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/matrix.hpp"
#include "design/model_design.hpp"
#include "family/elf.hpp"
#include "family/families.hpp"
#include "inner/coefficient_rotation.hpp"
#include "inner/fit_stats.hpp"
#include "inner/inner_fit.hpp"
#include "inner/saturated_sums.hpp"
#include "inner/weighted_moments.hpp"

namespace quelt {

// Settings of every inner fit, in this order.
struct InnerOptions {
  // Iteration limit; 0 runs no iteration and returns the start unconverged.
  std::size_t max_iter = 50;
  // Convergence tolerance: relative change of the deviance for PIRLS.
  double tol = 1e-9;
  // Line-search limit of the quantile fit; PIRLS does not read it.
  std::size_t max_backtrack = 10;
  // PIRLS also ends, converged, after this many accepted iterations in a
  // row without a gain in the penalized deviance (pirls_stalled in
  // inner/pirls.hpp); 0 leaves the deviance test and the limit alone.
  std::size_t stall_iters = 0;
};

// State of the previous REML evaluation, used to extrapolate the next
// starting coefficients: β(ρ') ≈ β + Σ_j ln(λ_j'/λ_j)·dβ/dρ_j.
struct WarmStartCache {
  Vector lambda;      // m: λ = exp(ρ) at the cached point
  Vector beta;        // p: coefficients of the inner fit there
  Matrix dbeta_drho;  // p x m: column j = dβ/dρ_j = −λ_j H⁻¹S_jβ
  Vector shape_tail;  // the shape coordinates of the cached point (none without)
};

// A cell holding an optional WarmStartCache with a use count: any number of
// shared users or one exclusive user at a time. A conflicting use is an
// internal invariant failure ("already mutably borrowed" / "already
// borrowed"). The count guards against overlapping use on one thread, not
// against threads.
class WarmStartCell {
 public:
  class Shared {
   public:
    explicit Shared(const WarmStartCell& c) : cell_(&c) {
      check_invariant(c.count_ >= 0, "already mutably borrowed");
      ++c.count_;
    }
    ~Shared() { --cell_->count_; }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    const std::optional<WarmStartCache>& operator*() const { return cell_->value_; }
    const std::optional<WarmStartCache>* operator->() const { return &cell_->value_; }

   private:
    const WarmStartCell* cell_;
  };
  class Exclusive {
   public:
    explicit Exclusive(const WarmStartCell& c) : cell_(&c) {
      check_invariant(c.count_ == 0, "already borrowed");
      c.count_ = -1;
    }
    ~Exclusive() { cell_->count_ = 0; }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    std::optional<WarmStartCache>& operator*() const { return cell_->value_; }
    std::optional<WarmStartCache>* operator->() const { return &cell_->value_; }

   private:
    const WarmStartCell* cell_;
  };

  WarmStartCell() = default;
  // A copied context starts with its own empty cell: a cache belongs to the
  // fit that wrote it.
  WarmStartCell(const WarmStartCell&) {}
  WarmStartCell& operator=(const WarmStartCell&) { return *this; }

  Shared borrow() const { return Shared(*this); }
  // Exclusive use is granted through a const cell because the cache is the
  // one piece of a shared context that evaluations may rewrite.
  Exclusive borrow_mut() const { return Exclusive(*this); }

 private:
  mutable std::optional<WarmStartCache> value_;
  mutable int count_ = 0;  // > 0 shared users, -1 exclusive, 0 free
};

// Row-length buffers that the inner fits and scores of one fit hand to each
// other instead of allocating afresh (first touch of fresh memory costs as
// much as a pass over it). Only capacity carries over, never meaning: a
// taken buffer has arbitrary contents and size. A copied context starts
// with an empty pool. Like the warm-start cell it is written through a const
// context and is not for concurrent use.
class ScratchPool {
 public:
  ScratchPool() = default;
  ScratchPool(const ScratchPool&) {}
  ScratchPool& operator=(const ScratchPool&) { return *this; }

  // A buffer resized to n entries (contents unspecified).
  Vector take(std::size_t n) const {
    Vector v;
    if (!pool_.empty()) {
      v = std::move(pool_.back());
      pool_.pop_back();
    }
    v.resize(n);
    return v;
  }
  void give(Vector&& v) const {
    if (v.capacity() > 0 && pool_.size() < kMaxBuffers) pool_.push_back(std::move(v));
    v = Vector();
  }
  // Returns the row-length arrays of a record that is no longer needed.
  void give_fit(InnerFit& fit) const {
    give(std::move(fit.eta));
    give(std::move(fit.mu));
    give(std::move(fit.w));
    give(std::move(fit.z));
    if (fit.dw_deta) give(std::move(*fit.dw_deta));
  }

 private:
  static constexpr std::size_t kMaxBuffers = 12;
  mutable std::vector<Vector> pool_;
};

// Fields only some families carry. The Gaussian context holds the weighted
// cross products of its closed-form fit, computed once per fit.
template <class Family>
struct FitContextExtras {};

template <>
struct FitContextExtras<Gaussian> {
  Matrix xtwx;  // p x p: Xᵀdiag(w_prior)X (XᵀX without prior weights)
  Vector xtwy;  // p: Xᵀdiag(w_prior)y (Xᵀy without prior weights)
};

// The scaled-t context carries what its pilot fit found (score/scale_pilot.hpp),
// set by the driver before the search: the pilot's log smoothing parameters
// (empty: no pilot) and the variance of its residuals.
template <>
struct FitContextExtras<TDist> {
  Vector pilot_rho;
  double pilot_variance = 0.0;
};

// The quantile context carries the coefficients every one of its inner fits
// starts from (absent: zeros), and the rows far from the curve whose loss its
// fits measure from an origin (family/elf.hpp, inner/elf_fit.hpp): rows of
// positive weight, in increasing row order.
template <>
struct FitContextExtras<Elf> {
  std::optional<Vector> beta_start;
  std::vector<ElfRowOrigin> far_rows;
};

// The Gamma and inverse Gaussian contexts carry the sums of their saturated
// log-likelihood, formed once per fit (inner/saturated_sums.hpp).
template <Link L>
struct FitContextExtras<Gamma<L>> {
  SaturatedSums saturated;
};
template <>
struct FitContextExtras<InverseGaussian> {
  SaturatedSums saturated;
};

// The context of one fit of family `Family`.
//
// Invariants established by the builder (the drivers): penalties are m
// p x p matrices; penalty_ranks and penalty_log_pdets have m entries;
// every penalty index appears in exactly one of penalty_groups (an empty
// group list means every penalty is its own group); y, prior_weights and
// eta_start (n entries, or one entry broadcast) agree with the rows of x;
// moments are those of y and prior_weights.
template <class Family>
struct FitContext : FitContextExtras<Family> {
  // Penalty matrices S_j at unit smoothing parameter, one per entry of ρ.
  std::vector<Matrix> penalties;
  // Rank and log pseudo-determinant of each S_j.
  std::vector<std::size_t> penalty_ranks;
  Vector penalty_log_pdets;
  // Sets of penalty indices acting on one coefficient block.
  std::vector<std::vector<std::size_t>> penalty_groups;
  // Mp: p minus the rank of the sum of all penalties.
  std::size_t null_space_dim = 0;
  // Model matrix, n x p, column 0 all ones. After use_penalty_eigenbasis it
  // is X·U, except in the Gaussian context, whose x stays X (its closed-form
  // fits form η = X·(Uβ̃) from it and nothing else).
  Matrix x;
  // The basis of the penalties (and of x) relative to the design's: identity
  // until use_penalty_eigenbasis, after which β of every fit is β̃ with the
  // design's β = U·β̃ (inner/coefficient_rotation.hpp).
  CoefficientRotation rotation;
  // Responses, n entries.
  Vector y;
  // Prior weights, n entries; absent means all 1.0.
  std::optional<Vector> prior_weights;
  // Weighted moments of y over the rows of positive prior weight; n_obs is
  // the data count of the scale estimate and of the residual degrees of
  // freedom (a row of zero weight is not data).
  WeightedMoments moments{};
  // Starting linear predictor (n entries or one broadcast entry); when
  // present it replaces the computed start of PIRLS, also over a warm start.
  std::optional<Vector> eta_start;
  // The family value.
  Family family{};
  InnerOptions inner_options{};
  // Counters. Inner fits never touch them; their callers count.
  FitStats fit_stats{};
  // The previous REML evaluation, for the warm start.
  WarmStartCell warm_start{};
  // Reused work buffers of the inner fits.
  ScratchPool scratch{};

  std::size_t n() const { return x.rows(); }
  std::size_t p() const { return x.cols(); }
  std::size_t m() const { return penalties.size(); }
};

// Fills xtwx and xtwy of a Gaussian context from its x, y and prior weights.
void gaussian_cross_products(FitContext<Gaussian>& ctx);

// Moves the fit into the eigenbasis of its penalties
// (inner/coefficient_rotation.hpp): rewrites the penalties and the model
// matrix, and the Gaussian cross products, once per fit and before any inner
// fit (a warm start or a starting β of the old basis would not carry over).
template <class Family>
void use_penalty_eigenbasis(FitContext<Family>& ctx) {
  check_invariant(ctx.rotation.is_identity(), "use_penalty_eigenbasis: context already rotated");
  ctx.rotation = rotate_penalties(ctx.penalties, ctx.penalty_groups);
  if (ctx.rotation.is_identity()) return;
  if constexpr (requires { ctx.xtwx; }) {
    // The closed-form Gaussian fit reads x only for η = X·(Uβ̃); rotating
    // x would cost about one XᵀX, as much as a third of the whole fit.
    rotate_gram(ctx.xtwx, ctx.rotation);
    rotate_vector_to(ctx.xtwy, ctx.rotation);
  } else {
    rotate_model_matrix(ctx.x, ctx.rotation);
  }
}

// A context for one fit: the design's model matrix, penalties, ranks, log
// pseudo-determinants, penalty groups and null-space dimension, y and the
// prior weights; (Gaussian) XᵀWX and XᵀWy, (Gamma, inverse Gaussian) the
// sums of the saturated log-likelihood are formed once. A const
// design is copied; a design passed as an rvalue gives up its model matrix and
// penalties instead (its predictor stays), so the n x p matrix is never
// copied. Counters start at zero, the warm-start cell empty, eta_start absent.
template <class Family, class Design>
  requires std::same_as<std::remove_cvref_t<Design>, ModelDesign>
FitContext<Family> make_fit_context(Design&& design, Vector y, std::optional<Vector> prior_weights,
                                    Family family, InnerOptions options = {});

// The largest log smoothing parameter a score diagnostic is evaluated at:
// λ = e^700 ≈ 1e304 leaves a factor of 10⁴ below the largest double for
// λ·S_j and the sums of H (exp itself overflows at ρ ≈ 709.8). In the
// eigenbasis of the penalties every part of the score has levelled off (or
// become affine in ρ) long before.
inline constexpr double kMaxLogLambda = 700.0;

// S_λ = Σ_j exp(ρ_j) S_j (p x p); the p x p zero matrix when there are no
// penalties. ρ needs at least as many entries as there are penalties.
Matrix total_penalty(const std::vector<Matrix>& penalties, std::span<const double> rho,
                     std::size_t p);

template <class Family, class Design>
  requires std::same_as<std::remove_cvref_t<Design>, ModelDesign>
FitContext<Family> make_fit_context(Design&& design, Vector y, std::optional<Vector> prior_weights,
                                    Family family, InnerOptions options) {
  check_invariant(
      y.size() == design.x.rows() && (!prior_weights || prior_weights->size() == y.size()),
      "make_fit_context: y or weights do not match the model matrix");
  FitContext<Family> ctx;
  // Member access on a forwarded rvalue moves just that member.
  ctx.penalties = std::forward<Design>(design).penalties;
  ctx.penalty_ranks = std::forward<Design>(design).penalty_ranks;
  ctx.penalty_log_pdets = std::forward<Design>(design).penalty_log_pdets;
  ctx.penalty_groups = std::forward<Design>(design).penalty_groups;
  ctx.null_space_dim = design.null_space_dim;
  ctx.x = std::forward<Design>(design).x;
  ctx.y = std::move(y);
  ctx.prior_weights = std::move(prior_weights);
  ctx.moments = weighted_moments(ctx.y, ctx.prior_weights);
  ctx.family = std::move(family);
  ctx.inner_options = options;
  if constexpr (requires { ctx.xtwx; }) gaussian_cross_products(ctx);
  if constexpr (requires { ctx.saturated; })
    ctx.saturated = saturated_sums(ctx.y, ctx.prior_weights);
  return ctx;
}

}  // namespace quelt
