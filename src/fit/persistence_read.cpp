#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "core/format.hpp"
#include "fit/persistence.hpp"
#include "fit/persistence_format.hpp"
#include "fit/record_check.hpp"

namespace quelt {
namespace {

using namespace persist;  // the byte layout's constants

// ---------------------------------------------------------------------------
// Reader over the declared payload. A failure anywhere unwinds to
// deserialize() as a LoadFailure carrying the full message; everything
// decoded so far is released on the way.

struct LoadFailure {
  std::string message;
};

[[noreturn]] void decode_failed(const std::string& what) {
  throw LoadFailure{"FittedGam::deserialize: bincode decode failed: " + what};
}

class Reader {
 public:
  Reader(std::span<const std::uint8_t> in, std::uint32_t format_version)
      : p_(in.data()), left_(in.size()), format_version_(format_version) {}

  std::uint32_t format_version() const { return format_version_; }

  std::uint8_t u8() {
    need(1);
    --left_;
    return *p_++;
  }
  std::uint64_t uint_le(std::size_t nbytes) {
    need(nbytes);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < nbytes; ++i) v |= static_cast<std::uint64_t>(p_[i]) << (8 * i);
    p_ += nbytes;
    left_ -= nbytes;
    return v;
  }
  std::uint32_t u32() { return static_cast<std::uint32_t>(uint_le(4)); }
  std::uint64_t u64() { return uint_le(8); }
  double f64() { return std::bit_cast<double>(u64()); }

  bool boolean() {
    std::uint8_t b = u8();
    if (b > 1)
      decode_failed("invalid u8 while decoding bool, expected 0 or 1, found " + fmt_uint(b));
    return b == 1;
  }
  std::uint32_t variant(std::uint32_t n_variants) {
    std::uint32_t i = u32();
    if (i >= n_variants)
      decode_failed("invalid value: integer `" + fmt_uint(i) +
                    "`, expected variant index 0 <= i < " + fmt_uint(n_variants));
    return i;
  }
  bool option_tag() {
    std::uint8_t b = u8();
    if (b > 1) decode_failed("tag for enum is not valid, found " + fmt_uint(b));
    return b == 1;
  }
  // A sequence count.
  std::uint64_t count() { return u64(); }
  // Elements of T to reserve for a sequence of `count` elements, each at
  // least `min_wire_bytes` long on the wire: no more than the remaining
  // payload could hold and no more than 1 MiB of storage, so a corrupt count
  // ends in the end-of-file error rather than a huge allocation. The storage
  // grows as elements are actually read.
  template <class T>
  std::size_t reservation(std::uint64_t count, std::size_t min_wire_bytes) const {
    std::uint64_t cap = left_ / min_wire_bytes;
    std::uint64_t mem_cap = kMaxReserveBytes / sizeof(T);
    if (mem_cap < cap) cap = mem_cap;
    return static_cast<std::size_t>(count < cap ? count : cap);
  }
  // `count` 64-bit floats; the end of the payload is reported before any
  // storage is allocated.
  Vector floats(std::uint64_t count) {
    if (count > left_ / 8) eof();
    Vector v(static_cast<std::size_t>(count));
    for (double& x : v) x = f64();
    return v;
  }

  Vector vec1() {
    version();
    std::uint64_t len = u64();
    std::uint64_t cnt = u64();
    Vector v = floats(cnt);
    if (len > kI64Max || cnt != len) decode_failed("data and dimension must match in size");
    return v;
  }
  Matrix mat2() {
    version();
    std::uint64_t rows = u64();
    std::uint64_t cols = u64();
    std::uint64_t cnt = u64();
    Vector v = floats(cnt);
    // The product with zero dimensions counted as 1 must fit in an i64.
    std::uint64_t r1 = rows == 0 ? 1 : rows, c1 = cols == 0 ? 1 : cols, prod = 0;
    if (__builtin_mul_overflow(r1, c1, &prod) || prod > kI64Max || cnt != rows * cols)
      decode_failed("data and dimension must match in size");
    return Matrix(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), std::move(v));
  }
  std::vector<std::size_t> seq_u64() {
    std::uint64_t n = count();
    if (n > left_ / 8) eof();
    std::vector<std::size_t> v(static_cast<std::size_t>(n));
    for (auto& x : v) x = static_cast<std::size_t>(u64());
    return v;
  }

 private:
  static constexpr std::uint64_t kMaxReserveBytes = std::uint64_t(1) << 20;
  static constexpr std::uint64_t kI64Max =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

  [[noreturn]] static void eof() { decode_failed("io error: unexpected end of file"); }
  void need(std::size_t n) const {
    if (n > left_) eof();
  }
  void version() {
    std::uint8_t v = u8();
    if (v != kArrayVersion) decode_failed("unknown array version: " + fmt_uint(v));
  }

  const std::uint8_t* p_;
  std::size_t left_;
  std::uint32_t format_version_;
};

// Decodes one predictor. Builders never put an additive predictor inside
// another, so the nesting depth of a stored model is at most one; deeper
// input is refused before it can recurse (a crafted stream could otherwise
// exhaust the stack here and in every later evaluation).
TermPredictor read_predictor(Reader& r, int depth) {
  std::uint32_t idx = r.variant(kPredictorVariants);
  TermPredictor tp;
  switch (idx) {
    case TermPredictor::kCr: {
      CrPredictor p;
      p.knots = r.vec1();
      p.constraint = r.mat2();
      tp.value = std::move(p);
      break;
    }
    case TermPredictor::kRe: {
      RePredictor p;
      p.levels = r.floats(r.count());
      tp.value = std::move(p);
      break;
    }
    case TermPredictor::kCrStable: {
      CrStablePredictor p;
      p.knots = r.vec1();
      p.constraint = r.mat2();
      p.reparam = r.mat2();
      tp.value = std::move(p);
      break;
    }
    case TermPredictor::kAdditive: {
      if (depth > 0) decode_failed("predictor nesting too deep");
      AdditivePredictor p;
      std::uint64_t nt = r.count();
      p.terms.reserve(r.reservation<TermPredictor>(nt, 4));
      for (std::uint64_t i = 0; i < nt; ++i) p.terms.push_back(read_predictor(r, depth + 1));
      std::uint64_t nc = r.count();
      p.term_cols.reserve(r.reservation<std::vector<std::size_t>>(nc, 8));
      for (std::uint64_t i = 0; i < nc; ++i) p.term_cols.push_back(r.seq_u64());
      std::uint64_t nr = r.count();
      p.col_ranges.reserve(r.reservation<std::pair<std::size_t, std::size_t>>(nr, 16));
      for (std::uint64_t i = 0; i < nr; ++i) {
        std::size_t first = r.u64();
        std::size_t last = r.u64();
        p.col_ranges.emplace_back(first, last);
      }
      tp.value = std::move(p);
      break;
    }
    case TermPredictor::kTensor: {
      TensorPredictor p;
      p.col_a = r.u64();
      p.col_b = r.u64();
      p.bs_a = static_cast<MarginBasis>(r.variant(kMarginVariants));
      p.bs_b = static_cast<MarginBasis>(r.variant(kMarginVariants));
      p.knots_a = r.vec1();
      p.knots_b = r.vec1();
      p.transform_a = r.mat2();
      p.transform_b = r.mat2();
      p.constraint = r.mat2();
      tp.value = std::move(p);
      break;
    }
    case TermPredictor::kTensorMulti: {
      TensorMultiPredictor p;
      p.cols = r.seq_u64();
      std::uint64_t nk = r.count();
      p.knots.reserve(r.reservation<Vector>(nk, 17));
      for (std::uint64_t i = 0; i < nk; ++i) p.knots.push_back(r.vec1());
      std::uint64_t nm = r.count();
      p.margin_transforms.reserve(r.reservation<std::optional<Matrix>>(nm, 1));
      for (std::uint64_t i = 0; i < nm; ++i) {
        if (r.option_tag())
          p.margin_transforms.emplace_back(r.mat2());
        else
          p.margin_transforms.emplace_back(std::nullopt);
      }
      p.constraint = r.mat2();
      tp.value = std::move(p);
      break;
    }
    default: {  // TermPredictor::kTps, the last variant
      TpsPredictor p;
      p.cols = r.seq_u64();
      p.centres = r.mat2();
      p.transform = r.mat2();
      // Version 2 has no length: its kernels took the plain distance.
      p.length = r.format_version() >= 3 ? r.f64() : 1.0;
      tp.value = std::move(p);
      break;
    }
  }
  return tp;
}

FittedGam read_body(Reader& r) {
  FittedGam g;
  g.beta = r.vec1();
  g.rho = r.vec1();
  g.lambda = r.vec1();
  g.scale = r.f64();
  g.edf_total = r.f64();
  g.edf_per_term = r.vec1();
  g.n = r.u64();
  g.n_iters = r.u64();
  g.converged = r.boolean();
  g.reml_value = r.f64();
  g.predictor = read_predictor(r, 0);
  g.vcov = r.mat2();
  g.link = static_cast<Link>(r.variant(kLinkVariants));
  g.shape_params = r.vec1();
  FitStats& s = g.fit_stats;
  s.outer_iterations = r.u64();
  s.line_search_trials = r.u64();
  s.no_refresh_attempts = r.u64();
  s.no_refresh_hits = r.u64();
  s.inner_pirls_calls = r.u64();
  s.inner_pirls_iterations_total = r.u64();
  return g;
}

std::uint64_t read_le(const std::uint8_t* p, std::size_t nbytes) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < nbytes; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}

std::string byte_list(const std::uint8_t* p, std::size_t n) {
  std::string s = "[";
  for (std::size_t i = 0; i < n; ++i) {
    if (i) s += ", ";
    s += fmt_uint(p[i]);
  }
  return s + "]";
}

}  // namespace

Result<FittedGam> deserialize(std::span<const std::uint8_t> bytes) {
  const std::string pre = "FittedGam::deserialize: ";
  const std::size_t len = bytes.size();
  const std::uint8_t* b = bytes.data();
  if (len < kPersistHeaderBytes)
    return QueltError::invalid_parameter(pre + "buffer too short (" + fmt_uint(len) + " < " +
                                         fmt_uint(kPersistHeaderBytes) + " header bytes)");
  if (std::memcmp(b, kMagic.data(), kMagic.size()) != 0)
    return QueltError::invalid_parameter(pre + "bad magic; expected " +
                                         byte_list(kMagic.data(), kMagic.size()) + ", got " +
                                         byte_list(b, kMagic.size()));
  auto version = static_cast<std::uint32_t>(read_le(b + 5, 4));
  if (version < kPersistOldestVersion || version > kPersistFormatVersion)
    return QueltError::invalid_parameter(
        pre + "unsupported format_version=" + fmt_uint(version) + " (this build expects " +
        fmt_uint(kPersistFormatVersion) +
        "). Re-serialize with a matching quelt release, or roll a migration.");
  std::uint64_t payload = read_le(b + 9, 8);
  if (payload > std::numeric_limits<std::uint64_t>::max() - kPersistHeaderBytes)
    return QueltError::invalid_parameter(pre + "length overflow");
  if (len - kPersistHeaderBytes < payload)
    return QueltError::invalid_parameter(
        pre + "truncated body (have " + fmt_uint(len - kPersistHeaderBytes) +
        " bytes, header says " + fmt_uint(payload) + " payload bytes follow the " +
        fmt_uint(kPersistHeaderBytes) + "-byte header)");
  try {
    Reader r(bytes.subspan(kPersistHeaderBytes, static_cast<std::size_t>(payload)), version);
    FittedGam g = read_body(r);
    Status shapes = check_record_shapes(g);
    if (!shapes.ok())
      return QueltError::invalid_parameter(pre + "inconsistent model: " + shapes.error().message);
    return g;
  } catch (const LoadFailure& f) {
    return QueltError::invalid_parameter(f.message);
  }
}

}  // namespace quelt
