#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/error.hpp"
#include "design/penalty_groups.hpp"
#include "inner_problems.hpp"

namespace quelt {
namespace {

// B B^T placed in rows/columns 1..q of a p x p matrix (row and column 0 stay
// zero, as for a penalty that leaves the intercept alone).
Matrix outer_padded(const Matrix& b, std::size_t p) {
  Matrix s(p, p);
  for (std::size_t a = 0; a < b.rows(); ++a)
    for (std::size_t c = 0; c < b.rows(); ++c) {
      double acc = 0.0;
      for (std::size_t k = 0; k < b.cols(); ++k) acc += b(a, k) * b(c, k);
      s(1 + a, 1 + c) = acc;
    }
  return s;
}

Matrix random_matrix(std::size_t r, std::size_t c, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> nd(0.0, 1.0);
  Matrix m(r, c);
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t j = 0; j < c; ++j) m(i, j) = nd(rng);
  return m;
}

// log pseudo-determinant of S = sum_t lam_t B_t B_t^T on span of the columns
// of all B_t: log det(U^T S U) with U an orthonormal basis of that span, from
// Gram-Schmidt (the span is known by construction).
double reference_log_pdet(const std::vector<Matrix>& bs, const std::vector<double>& lam) {
  const std::size_t q = bs[0].rows();
  std::vector<Vector> basis;
  for (const Matrix& b : bs)
    for (std::size_t k = 0; k < b.cols(); ++k) {
      Vector v(q);
      for (std::size_t a = 0; a < q; ++a) v[a] = b(a, k);
      for (const Vector& u : basis) {
        double d = 0.0;
        for (std::size_t a = 0; a < q; ++a) d += u[a] * v[a];
        for (std::size_t a = 0; a < q; ++a) v[a] -= d * u[a];
      }
      double nrm = 0.0;
      for (double x : v) nrm += x * x;
      nrm = std::sqrt(nrm);
      if (nrm < 1e-9) continue;
      for (double& x : v) x /= nrm;
      basis.push_back(v);
    }
  const std::size_t r = basis.size();
  Matrix m(r, r);
  for (std::size_t t = 0; t < bs.size(); ++t)
    for (std::size_t k = 0; k < bs[t].cols(); ++k) {
      Vector proj(r, 0.0);
      for (std::size_t c = 0; c < r; ++c)
        for (std::size_t a = 0; a < q; ++a) proj[c] += basis[c][a] * bs[t](a, k);
      for (std::size_t c = 0; c < r; ++c)
        for (std::size_t d = 0; d < r; ++d) m(c, d) += lam[t] * proj[c] * proj[d];
    }
  return testing::dense_log_abs_det(m);
}

struct OverlapCase {
  const char* name;
  std::vector<std::size_t> cols;  // columns of each B_t
  std::size_t q;                  // block size
};

TEST(PenaltyGroups, OverlappingPenaltiesAgreeWithPseudoDeterminantAndDifferences) {
  // Full-rank sum (2 + 3 columns on a 4-dim block) and a rank-deficient sum
  // (1 + 1 columns on a 4-dim block: the range depends on both penalties).
  const std::vector<OverlapCase> cases = {
      {"full", {2, 3}, 4}, {"deficient", {1, 1}, 4}, {"three", {2, 1, 2}, 6}};
  unsigned seed = 1;
  for (const auto& c : cases) {
    const std::size_t p = c.q + 1, m = c.cols.size();
    std::vector<Matrix> bs, s;
    for (std::size_t k : c.cols) {
      bs.push_back(random_matrix(c.q, k, seed++));
      s.push_back(outer_padded(bs.back(), p));
    }
    // The ranks and log-pdets of the members are not used for a group.
    const std::vector<std::size_t> ranks(m, 99);
    const Vector lp(m, 123.0);
    std::vector<std::size_t> all(m);
    for (std::size_t j = 0; j < m; ++j) all[j] = j;
    const std::vector<std::vector<std::size_t>> groups{all};
    for (const Vector& rho :
         {Vector{0.0, 0.0, 0.0}, Vector{1.5, -2.0, 0.3}, Vector{-4.0, 3.0, 2.0}}) {
      const std::span<const double> r(rho.data(), m);
      const PenaltyLogDet ld = penalty_log_det(s, ranks, lp, groups, r);
      std::vector<double> lam(m);
      for (std::size_t j = 0; j < m; ++j) lam[j] = std::exp(rho[j]);
      EXPECT_NEAR(ld.value, reference_log_pdet(bs, lam), 1e-9) << c.name;
      const double h = 1e-5;
      for (std::size_t j = 0; j < m; ++j) {
        Vector rp(rho.begin(), rho.begin() + m), rm = rp;
        rp[j] += h;
        rm[j] -= h;
        const PenaltyLogDet lpl = penalty_log_det(s, ranks, lp, groups, rp);
        const PenaltyLogDet lmi = penalty_log_det(s, ranks, lp, groups, rm);
        EXPECT_NEAR(ld.grad[j], (lpl.value - lmi.value) / (2 * h), 1e-7) << c.name;
        for (std::size_t k = 0; k < m; ++k) {
          EXPECT_NEAR(ld.hessian(k, j), (lpl.grad[k] - lmi.grad[k]) / (2 * h), 1e-7) << c.name;
          EXPECT_EQ(ld.hessian(k, j), ld.hessian(j, k));
        }
      }
    }
  }
}

TEST(PenaltyGroups, SingletonGroupsUseRanksAndLogPdets) {
  const std::size_t p = 4;
  std::vector<Matrix> s(3, Matrix(p, p));
  s[0](1, 1) = 2.0;
  s[1](2, 2) = 3.0;
  s[2](3, 3) = 5.0;
  const std::vector<std::size_t> ranks{1, 1, 1};
  const Vector lp{std::log(2.0), std::log(3.0), std::log(5.0)};
  const Vector rho{0.5, -1.0, 2.0};
  for (const auto& groups : {std::vector<std::vector<std::size_t>>{},
                             std::vector<std::vector<std::size_t>>{{2}, {0}, {1}}}) {
    const PenaltyLogDet ld = penalty_log_det(s, ranks, lp, groups, rho);
    EXPECT_NEAR(ld.value, 0.5 + std::log(2.0) - 1.0 + std::log(3.0) + 2.0 + std::log(5.0), 1e-14);
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_EQ(ld.grad[j], 1.0);
      for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(ld.hessian(j, k), 0.0);
    }
  }
  // A group of two disjoint penalties equals the two singletons.
  const PenaltyLogDet pair = penalty_log_det(s, ranks, lp, {{0, 1}, {2}}, rho);
  EXPECT_NEAR(pair.value, 0.5 + std::log(2.0) - 1.0 + std::log(3.0) + 2.0 + std::log(5.0), 1e-12);
  EXPECT_NEAR(pair.grad[0], 1.0, 1e-12);
  EXPECT_NEAR(pair.hessian(0, 1), 0.0, 1e-12);
  EXPECT_NEAR(pair.hessian(0, 0), 0.0, 1e-12);
}

TEST(PenaltyGroups, MalformedGroupsAreContractViolations) {
  std::vector<Matrix> s(2, Matrix(3, 3));
  const std::vector<std::size_t> ranks{0, 0};
  const Vector lp{0.0, 0.0}, rho{0.0, 0.0};
  EXPECT_THROW(penalty_log_det(s, ranks, lp, {{0, 0}, {1}}, rho), InvariantViolation);
  EXPECT_THROW(penalty_log_det(s, ranks, lp, {{0}}, rho), InvariantViolation);
  EXPECT_THROW(penalty_log_det(s, ranks, lp, {{0}, {2}}, rho), InvariantViolation);
  EXPECT_THROW(penalty_log_det(s, ranks, lp, {{0}, {1}}, Vector{0.0}), InvariantViolation);
}

}  // namespace
}  // namespace quelt
