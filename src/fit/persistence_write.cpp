#include <bit>
#include <cstring>
#include <optional>
#include <variant>

#include "core/numeric.hpp"
#include "fit/persistence.hpp"
#include "fit/persistence_format.hpp"

namespace quelt {
namespace {

using namespace persist;  // the byte layout's constants

// ---------------------------------------------------------------------------
// Size pass. Sums are saturating-checked; an overflow makes the record
// unencodable (it cannot be held in memory anyway).

class SizeCounter {
 public:
  void add(std::size_t n) {
    auto s = checked_add(total_, n);
    if (!s) {
      overflow_ = true;
      return;
    }
    total_ = *s;
  }
  void add_times(std::size_t count, std::size_t each) {
    auto m = checked_mul(count, each);
    if (!m) {
      overflow_ = true;
      return;
    }
    add(*m);
  }
  void vec1(const Vector& v) { add(17), add_times(v.size(), 8); }
  void mat2(const Matrix& m) { add(25), add_times(m.size(), 8); }
  void seq_u64(const std::vector<std::size_t>& v) { add(8), add_times(v.size(), 8); }

  void predictor(const TermPredictor& tp) {
    add(4);
    std::visit([this](const auto& p) { payload(p); }, tp.value);
  }
  void payload(const CrPredictor& p) { vec1(p.knots), mat2(p.constraint); }
  void payload(const RePredictor& p) { add(8), add_times(p.levels.size(), 8); }
  void payload(const CrStablePredictor& p) { vec1(p.knots), mat2(p.constraint), mat2(p.reparam); }
  void payload(const AdditivePredictor& p) {
    add(8);
    for (const auto& t : p.terms) predictor(t);
    add(8);
    for (const auto& c : p.term_cols) seq_u64(c);
    add(8), add_times(p.col_ranges.size(), 16);
  }
  void payload(const TensorPredictor& p) {
    add(8 + 8 + 4 + 4);
    vec1(p.knots_a), vec1(p.knots_b);
    mat2(p.transform_a), mat2(p.transform_b), mat2(p.constraint);
  }
  void payload(const TensorMultiPredictor& p) {
    seq_u64(p.cols);
    add(8);
    for (const auto& k : p.knots) vec1(k);
    add(8);
    for (const auto& t : p.margin_transforms) {
      add(1);
      if (t) mat2(*t);
    }
    mat2(p.constraint);
  }
  void payload(const TpsPredictor& p) {
    seq_u64(p.cols), mat2(p.centres), mat2(p.transform), add(8);
  }

  std::optional<std::size_t> total() const {
    if (overflow_) return std::nullopt;
    return total_;
  }

 private:
  std::size_t total_ = 0;
  bool overflow_ = false;
};

std::optional<std::size_t> body_size(const FittedGam& r) {
  SizeCounter c;
  c.vec1(r.beta), c.vec1(r.rho), c.vec1(r.lambda);
  c.add(8 + 8);  // scale, edf_total
  c.vec1(r.edf_per_term);
  c.add(8 + 8 + 1 + 8);  // n, n_iters, converged, reml_value
  c.predictor(r.predictor);
  c.mat2(r.vcov);
  c.add(4);  // link
  c.vec1(r.shape_params);
  c.add(6 * 8);  // fit_stats
  return c.total();
}

// ---------------------------------------------------------------------------
// Writer into a buffer of known size; integers are written byte by byte so
// the layout is little-endian on any host.

class Writer {
 public:
  explicit Writer(std::span<std::uint8_t> out) : p_(out.data()), left_(out.size()) {}

  void u8(std::uint8_t v) {
    room(1);
    *p_++ = v;
    --left_;
  }
  void uint_le(std::uint64_t v, std::size_t nbytes) {
    room(nbytes);
    for (std::size_t i = 0; i < nbytes; ++i) p_[i] = static_cast<std::uint8_t>(v >> (8 * i));
    p_ += nbytes;
    left_ -= nbytes;
  }
  void u32(std::uint32_t v) { uint_le(v, 4); }
  void u64(std::uint64_t v) { uint_le(v, 8); }
  void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
  void raw(const std::uint8_t* src, std::size_t n) {
    room(n);
    if (n != 0) std::memcpy(p_, src, n);
    p_ += n;
    left_ -= n;
  }

  void vec1(const Vector& v) {
    u8(kArrayVersion);
    u64(v.size());
    u64(v.size());
    for (double x : v) f64(x);
  }
  void mat2(const Matrix& m) {
    u8(kArrayVersion);
    u64(m.rows());
    u64(m.cols());
    u64(m.size());
    for (double x : m.storage()) f64(x);  // row-major storage
  }
  void seq_u64(const std::vector<std::size_t>& v) {
    u64(v.size());
    for (std::size_t x : v) u64(x);
  }

  void predictor(const TermPredictor& tp) {
    u32(static_cast<std::uint32_t>(tp.index()));
    std::visit([this](const auto& p) { payload(p); }, tp.value);
  }
  void payload(const CrPredictor& p) { vec1(p.knots), mat2(p.constraint); }
  void payload(const RePredictor& p) {
    u64(p.levels.size());
    for (double x : p.levels) f64(x);
  }
  void payload(const CrStablePredictor& p) { vec1(p.knots), mat2(p.constraint), mat2(p.reparam); }
  void payload(const AdditivePredictor& p) {
    u64(p.terms.size());
    for (const auto& t : p.terms) predictor(t);
    u64(p.term_cols.size());
    for (const auto& c : p.term_cols) seq_u64(c);
    u64(p.col_ranges.size());
    for (const auto& [first, last] : p.col_ranges) u64(first), u64(last);
  }
  void payload(const TensorPredictor& p) {
    u64(p.col_a), u64(p.col_b);
    u32(static_cast<std::uint32_t>(p.bs_a)), u32(static_cast<std::uint32_t>(p.bs_b));
    vec1(p.knots_a), vec1(p.knots_b);
    mat2(p.transform_a), mat2(p.transform_b), mat2(p.constraint);
  }
  void payload(const TensorMultiPredictor& p) {
    seq_u64(p.cols);
    u64(p.knots.size());
    for (const auto& k : p.knots) vec1(k);
    u64(p.margin_transforms.size());
    for (const auto& t : p.margin_transforms) {
      u8(t ? 1 : 0);
      if (t) mat2(*t);
    }
    mat2(p.constraint);
  }
  void payload(const TpsPredictor& p) {
    seq_u64(p.cols), mat2(p.centres), mat2(p.transform), f64(p.length);
  }

  std::size_t left() const { return left_; }

 private:
  void room(std::size_t n) const {
    check_invariant(n <= left_, "serialize: write past the computed size");
  }
  std::uint8_t* p_;
  std::size_t left_;
};

void write_body(Writer& w, const FittedGam& r) {
  w.vec1(r.beta), w.vec1(r.rho), w.vec1(r.lambda);
  w.f64(r.scale), w.f64(r.edf_total);
  w.vec1(r.edf_per_term);
  w.u64(r.n), w.u64(r.n_iters);
  w.u8(r.converged ? 1 : 0);
  w.f64(r.reml_value);
  w.predictor(r.predictor);
  w.mat2(r.vcov);
  w.u32(static_cast<std::uint32_t>(r.link));
  w.vec1(r.shape_params);
  const FitStats& s = r.fit_stats;
  w.u64(s.outer_iterations), w.u64(s.line_search_trials), w.u64(s.no_refresh_attempts);
  w.u64(s.no_refresh_hits), w.u64(s.inner_pirls_calls), w.u64(s.inner_pirls_iterations_total);
}

}  // namespace

Result<std::size_t> serialized_size(const FittedGam& rec) {
  auto body = body_size(rec);
  std::optional<std::size_t> total;
  if (body) total = checked_add(*body, kPersistHeaderBytes);
  if (!total)
    return QueltError::invalid_parameter(
        "FittedGam::serialize: bincode encode failed: the encoded size overflows");
  return *total;
}

void serialize_into(const FittedGam& rec, std::span<std::uint8_t> out) {
  check_invariant(out.size() >= kPersistHeaderBytes, "serialize: buffer smaller than the header");
  Writer w(out);
  w.raw(kMagic.data(), kMagic.size());
  w.u32(kPersistFormatVersion);
  w.u64(out.size() - kPersistHeaderBytes);
  write_body(w, rec);
  check_invariant(w.left() == 0, "serialize: body shorter than the computed size");
}

Result<std::vector<std::uint8_t>> serialize(const FittedGam& rec) {
  QUELT_TRY(std::size_t n, serialized_size(rec));
  std::vector<std::uint8_t> out(n);
  serialize_into(rec, out);
  return out;
}

}  // namespace quelt
