#include "basis/cr.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "core/blas.hpp"
#include "core/format.hpp"
#include "core/lanes.hpp"
#include "core/numeric.hpp"

namespace quelt {

namespace {

// Ascending order that agrees with `<` on numbers and puts NaN last, so that
// the sort always sees a strict weak ordering.
bool less_nan_last(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

// Spacings h_i = t_{i+1} - t_i.
Vector spacings(const Vector& t) {
  Vector h(t.size() - 1);
  for (std::size_t i = 0; i + 1 < t.size(); ++i) h[i] = t[i + 1] - t[i];
  return h;
}

// The knot range L = t_{k-1} - t_0 as the unit of the covariate. A natural
// cubic spline is unchanged by an affine change of its covariate, so the
// basis can be built on u = (x - t_0)/L, where every spacing is at most 1:
// its coefficient tables then stay finite for knots of any magnitude (raw
// spacings of 1e103 give cubic coefficients of 1e-309, spacings of 1e-13 give
// 1e39). When L itself overflows, knots and covariates are halved first
// (exact for normal numbers).
struct RangeUnits {
  double sigma = 1.0;  // 1, or 0.5 when t_{k-1} - t_0 overflows
  double range = 1.0;  // σ·t_{k-1} - σ·t_0 > 0 for strictly increasing knots

  explicit RangeUnits(const Vector& t) {
    const double lo = t.front(), hi = t.back();
    if (!std::isfinite(hi - lo)) sigma = 0.5;
    range = sigma * hi - sigma * lo;
  }
  // (x - t)/L.
  double dist(double t, double x) const { return (sigma * x - sigma * t) / range; }
};

// Spacings in range units, h_i/L.
Vector unit_spacings(const Vector& t, const RangeUnits& ru) {
  Vector h(t.size() - 1);
  for (std::size_t i = 0; i + 1 < t.size(); ++i) h[i] = ru.dist(t[i], t[i + 1]);
  return h;
}

// row_j = ((a_j + dx·b_j) + dx2·c_j) + dx3·d_j for j < k, four columns at a
// time (each lane does the scalar operations in the same order).
inline __attribute__((always_inline)) void cubic_row(const double* a, const double* b,
                                                     const double* c, const double* d, double dx,
                                                     double dx2, double dx3, std::size_t k,
                                                     double* row) {
  const Lanes4 v1 = splat4(dx), v2 = splat4(dx2), v3 = splat4(dx3);
  std::size_t j = 0;
  for (; j + 4 <= k; j += 4)
    store4(row + j, ((load4(a + j) + v1 * load4(b + j)) + v2 * load4(c + j)) + v3 * load4(d + j));
  for (; j < k; ++j) row[j] = ((a[j] + dx * b[j]) + dx2 * c[j]) + dx3 * d[j];
}

// Segment tables of the cardinal splines (see cr_basis).
struct CrTables {
  RangeUnits ru;
  const double* t;
  const double* ca;
  const double* cb;
  const double* cc;
  const double* cd;
  const double* slope_start;
  const double* slope_end;
  std::size_t k;
};

// The basis rows of every x_i into out (n x k).
QUELT_WIDE_CLONES
void cr_rows(const CrTables& tb, MatrixView x, Matrix& out) {
  const std::size_t k = tb.k, n = x.rows;
  const double* t = tb.t;
  const double* slope_start = tb.slope_start;
  const double* slope_end = tb.slope_end;
  const double* ca = tb.ca;
  const double* cb = tb.cb;
  const double* cc = tb.cc;
  const double* cd = tb.cd;
  const RangeUnits ru = tb.ru;
  const double t0 = t[0];
  const double tl = t[k - 1];
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = x(i, 0);
    double* row = out.row_ptr(i);
    if (xi < t0) {
      // Linear continuation below the first knot: value y_0 = δ(j, 0).
      const double dx = ru.dist(t0, xi);
      for (std::size_t j = 0; j < k; ++j) {
        row[j] = (j == 0 ? 1.0 : 0.0) + dx * slope_start[j];
      }
    } else if (xi > tl) {
      const double dx = ru.dist(tl, xi);
      for (std::size_t j = 0; j < k; ++j) {
        row[j] = (j == k - 1 ? 1.0 : 0.0) + dx * slope_end[j];
      }
    } else {
      // Largest s <= k-2 with t_s <= x (also for NaN, which ends in k-2).
      // (Both ends move by selection rather than by branch: the comparison
      // outcome of random covariates cannot be predicted.)
      std::size_t lo = 0, hi = k - 1;
      while (lo < hi - 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const bool left = xi < t[mid];
        hi = left ? mid : hi;
        lo = left ? lo : mid;
      }
      const std::size_t s = lo;
      const double dx = ru.dist(t[s], xi);
      const double dx2 = dx * dx;
      const double dx3 = dx * dx2;
      const double* a = ca + s * k;
      const double* b = cb + s * k;
      const double* cs = cc + s * k;
      const double* d = cd + s * k;
      cubic_row(a, b, cs, d, dx, dx2, dx3, k, row);
    }
  }
}

}  // namespace

void sort_nan_last(Vector& v) {
  const std::size_t n = v.size();
  if (n < 4096) {
    std::stable_sort(v.begin(), v.end(), [](double a, double b) { return less_nan_last(a, b); });
    return;
  }
  // Keys whose unsigned order is the numeric order (negative values have
  // all bits flipped, the others only the sign bit); NaN set aside.
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  std::vector<std::uint64_t> keys, tmp;
  keys.reserve(n);
  Vector nans, zeros;
  for (double x : v) {
    if (std::isnan(x)) {
      nans.push_back(x);
      continue;
    }
    if (x == 0.0) zeros.push_back(x);
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    keys.push_back((b & kSign) ? ~b : (b | kSign));
  }
  // Least-significant-digit radix sort, 11 bits per pass (stable).
  const std::size_t m = keys.size();
  tmp.resize(m);
  constexpr int kBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  std::vector<std::size_t> count(kBuckets);
  for (int shift = 0; shift < 64; shift += kBits) {
    std::fill(count.begin(), count.end(), 0);
    for (std::uint64_t key : keys) ++count[(key >> shift) & (kBuckets - 1)];
    if (count[(keys[0] >> shift) & (kBuckets - 1)] == m) continue;  // one digit: order stays
    std::size_t pos = 0;
    for (std::size_t& c : count) {
      const std::size_t here = c;
      c = pos;
      pos += here;
    }
    for (std::uint64_t key : keys) tmp[count[(key >> shift) & (kBuckets - 1)]++] = key;
    keys.swap(tmp);
  }
  std::size_t first_zero = m;
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint64_t key = keys[i];
    const std::uint64_t b = (key & kSign) ? (key & ~kSign) : ~key;
    std::memcpy(&v[i], &b, sizeof b);
    if (first_zero == m && v[i] == 0.0) first_zero = i;
  }
  // The keys put -0.0 before +0.0; equal numbers keep their input order.
  for (std::size_t i = 0; i < zeros.size(); ++i) v[first_zero + i] = zeros[i];
  for (std::size_t i = 0; i < nans.size(); ++i) v[m + i] = nans[i];
}

Vector distinct_cr_values(MatrixView column) {
  const std::size_t n = column.rows;
  check_invariant(n == 0 || column.cols >= 1, "distinct_cr_values: covariate view without columns");
  Vector sorted(n);
  for (std::size_t i = 0; i < n; ++i) sorted[i] = column(i, 0);
  sort_nan_last(sorted);

  // Values closer than 1e-12 of the range of the numbers merge. The
  // tolerance is relative so that the distinct values, and the knots placed
  // on them, follow a change of units of x; it also keeps neighbouring knots
  // at least about 1e-12·range apart. (Halves: the range may overflow.)
  std::size_t m = n;
  while (m > 0 && std::isnan(sorted[m - 1])) --m;
  const double tol = m == 0 ? 0.0 : 2e-12 * (0.5 * sorted[m - 1] - 0.5 * sorted[0]);
  Vector u;
  for (double v : sorted) {
    if (u.empty() || std::fabs(v - u.back()) > tol) u.push_back(v);
  }
  return u;
}

Vector knots_on_distinct(const Vector& u, std::size_t k) {
  const std::size_t nu = u.size();
  Vector knots(k);
  if (nu >= k && k >= 2) {
    // Interpolated quantiles of the distinct values.
    for (std::size_t i = 0; i < k; ++i) {
      const double pos =
          (static_cast<double>(i) / static_cast<double>(k - 1)) * static_cast<double>(nu - 1);
      const std::uint64_t lo = sat_u64(std::floor(pos));
      if (lo >= nu - 1) {
        knots[i] = u[nu - 1];
      } else {
        const double f = pos - static_cast<double>(lo);
        knots[i] = (1.0 - f) * u[lo] + f * u[lo + 1];
      }
    }
  } else {
    // Too few distinct values: an even grid over their range, lo + i·step;
    // as a weighted mean of the ends when hi - lo overflows.
    const double lo = nu == 0 ? 0.0 : u[0];
    const double hi = nu == 0 ? 1.0 : u[nu - 1];
    const double step = k < 2 ? 0.0 : (hi - lo) / static_cast<double>(k - 1);
    for (std::size_t i = 0; i < k; ++i) {
      if (std::isfinite(step)) {
        knots[i] = lo + static_cast<double>(i) * step;
      } else {
        const double f = static_cast<double>(i) / static_cast<double>(k - 1);
        knots[i] = (1.0 - f) * lo + f * hi;
      }
    }
  }
  return knots;
}

Result<Vector> place_cr_knots(MatrixView column, std::size_t k) {
  check_invariant(column.rows == 0 || column.cols >= 1,
                  "place_cr_knots: covariate view without columns");
  // The k x k penalty must be addressable; a larger k cannot be honoured.
  if (k >= 3) {
    auto kk = checked_mul(k, k);
    if (!kk || !checked_mul(*kk, sizeof(double))) {
      return QueltError::invalid_parameter("CR spline k = " + fmt_uint(k) + " is too large");
    }
    // Reserve (without touching) the penalty's storage first: a k whose
    // penalty cannot be allocated fails here at once with std::bad_alloc,
    // rather than after placing and evaluating k knots.
    // A direct call of the allocation function, which the optimiser may not
    // drop the way it may drop an unused new-expression.
    ::operator delete(::operator new(*kk * sizeof(double)));
  }
  return validate_cr_knots(knots_on_distinct(distinct_cr_values(column), k));
}

Result<Vector> validate_cr_knots(Vector knots) {
  if (knots.size() < 3) {
    return QueltError::invalid_parameter("CR spline needs k ≥ 3 (got " + fmt_uint(knots.size()) +
                                         ")");
  }
  for (std::size_t i = 0; i + 1 < knots.size(); ++i) {
    if (!(knots[i + 1] > knots[i])) {
      return QueltError::invalid_parameter("CR spline knots must be strictly increasing");
    }
  }
  return knots;
}

Matrix cr_basis(const Vector& t, MatrixView x) {
  const std::size_t k = t.size();
  check_invariant(k >= 3, "cr_basis: needs at least 3 knots");
  const std::size_t n = x.rows;
  check_invariant(n == 0 || x.cols >= 1, "cr_basis: covariate view without columns");
  const std::size_t nseg = k - 1;
  // The cardinal splines in range units (see RangeUnits): the same functions
  // of x, with every table entry finite.
  const RangeUnits ru(t);
  const Vector h = unit_spacings(t, ru);

  // Segment coefficients of the cardinal spline of knot j on segment s,
  // stored as coef[s * k + j] so that one segment's coefficients over all j
  // are contiguous.
  Vector ca(nseg * k), cb(nseg * k), cc(nseg * k), cd(nseg * k);
  Vector slope_start(k), slope_end(k);
  Vector y(k), alpha(k), l(k), mu(k), z(k), c(k);
  for (std::size_t j = 0; j < k; ++j) {
    std::fill(y.begin(), y.end(), 0.0);
    y[j] = 1.0;
    // Natural cubic interpolant of y: tridiagonal system for the second
    // derivative coefficients c, zero at both end knots.
    for (std::size_t i = 1; i + 1 < k; ++i) {
      alpha[i] = (3.0 / h[i]) * (y[i + 1] - y[i]) - (3.0 / h[i - 1]) * (y[i] - y[i - 1]);
    }
    l[0] = 1.0;
    mu[0] = 0.0;
    z[0] = 0.0;
    for (std::size_t i = 1; i + 1 < k; ++i) {
      l[i] = 2.0 * (h[i - 1] + h[i]) - h[i - 1] * mu[i - 1];
      mu[i] = h[i] / l[i];
      z[i] = (alpha[i] - h[i - 1] * z[i - 1]) / l[i];
    }
    c[k - 1] = 0.0;
    for (std::size_t i = k - 1; i-- > 0;) c[i] = z[i] - mu[i] * c[i + 1];
    for (std::size_t s = 0; s < nseg; ++s) {
      const double b = (y[s + 1] - y[s]) / h[s] - h[s] * (c[s + 1] + 2.0 * c[s]) / 3.0;
      const double d = (c[s + 1] - c[s]) / (3.0 * h[s]);
      ca[s * k + j] = y[s];
      cb[s * k + j] = b;
      cc[s * k + j] = c[s];
      cd[s * k + j] = d;
    }
    const std::size_t sl = nseg - 1;
    const double hl = h[sl];
    slope_start[j] = cb[j];
    slope_end[j] = cb[sl * k + j] + 2.0 * cc[sl * k + j] * hl + 3.0 * cd[sl * k + j] * (hl * hl);
  }

  Matrix out(n, k);
  cr_rows(CrTables{ru, t.data(), ca.data(), cb.data(), cc.data(), cd.data(), slope_start.data(),
                   slope_end.data(), k},
          x, out);
  return out;
}

namespace {

// Dᵀ·M⁻¹·D (k x k) from the k-1 knot spacings h.
Matrix penalty_from_spacings(const Vector& h) {
  const std::size_t k = h.size() + 1;
  const std::size_t m = k - 2;

  // Second differences D ((k-2) x k) and the tridiagonal Gram matrix M of
  // the piecewise-linear second derivative.
  Matrix dmat(m, k);
  for (std::size_t i = 0; i < m; ++i) {
    dmat(i, i) = 1.0 / h[i];
    dmat(i, i + 1) = -1.0 / h[i] - 1.0 / h[i + 1];
    dmat(i, i + 2) = 1.0 / h[i + 1];
  }
  Vector diag(m), off(m > 0 ? m - 1 : 0);
  for (std::size_t i = 0; i < m; ++i) diag[i] = (h[i] + h[i + 1]) / 3.0;
  for (std::size_t i = 0; i + 1 < m; ++i) off[i] = h[i + 1] / 6.0;

  // F = M⁻¹·D column by column (Thomas algorithm, no pivoting; M is
  // diagonally dominant).
  Matrix f(m, k);
  Vector dp(m), r(m);
  for (std::size_t col = 0; col < k; ++col) {
    dp = diag;
    for (std::size_t i = 0; i < m; ++i) r[i] = dmat(i, col);
    for (std::size_t i = 0; i + 1 < m; ++i) {
      const double w = off[i] / dp[i];
      dp[i + 1] = dp[i + 1] - off[i] * w;
      r[i + 1] = r[i + 1] - w * r[i];
    }
    f(m - 1, col) = r[m - 1] / dp[m - 1];
    for (std::size_t i = m - 1; i-- > 0;) f(i, col) = (r[i] - off[i] * f(i + 1, col)) / dp[i];
  }

  return matmul(dmat.view().t(), f.view());
}

}  // namespace

std::vector<Matrix> cr_penalty(const Vector& t) {
  check_invariant(t.size() >= 3, "cr_penalty: needs at least 3 knots");
  std::vector<Matrix> out;
  out.push_back(penalty_from_spacings(spacings(t)));
  return out;
}

Matrix cr_penalty_range_units(const Vector& t) {
  check_invariant(t.size() >= 3, "cr_penalty_range_units: needs at least 3 knots");
  return penalty_from_spacings(unit_spacings(t, RangeUnits(t)));
}

double max_abs_row_sum(MatrixView a) {
  double best = 0.0;
  for (std::size_t i = 0; i < a.rows; ++i) {
    double s = 0.0;
    for (std::size_t j = 0; j < a.cols; ++j) s += std::fabs(a(i, j));
    best = floor_at(s, best);
  }
  return best;
}

double penalty_scale_to_basis(MatrixView basis, MatrixView penalty) {
  const double sn = max_abs_row_sum(penalty);
  if (!(sn > 0.0)) return 1.0;
  return penalty_scale_for_norm(max_abs_row_sum(basis), penalty);
}

double penalty_scale_for_norm(double bn, MatrixView penalty) {
  const double sn = max_abs_row_sum(penalty);
  if (!(sn > 0.0)) return 1.0;
  return bn * bn / sn;
}

}  // namespace quelt
