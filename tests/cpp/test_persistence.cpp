#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "design/additive.hpp"
#include "design/model_design.hpp"
#include "fit/persistence.hpp"

namespace quelt {
namespace {

using Bytes = std::vector<std::uint8_t>;
const std::string kPrefix = "FittedGam::deserialize: ";
const std::string kDecode = kPrefix + "bincode decode failed: ";

// An independent little-endian byte builder, written from the format's
// description rather than from the encoder.
struct Builder {
  Bytes b;
  Builder& u8(std::uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Builder& uint(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xff));
    return *this;
  }
  Builder& u32(std::uint32_t v) { return uint(v, 4); }
  Builder& u64(std::uint64_t v) { return uint(v, 8); }
  Builder& f64(double v) { return u64(std::bit_cast<std::uint64_t>(v)); }
  Builder& vec1(const std::vector<double>& v) {
    u8(1).u64(v.size()).u64(v.size());
    for (double x : v) f64(x);
    return *this;
  }
  Builder& mat2(std::size_t r, std::size_t c, const std::vector<double>& v) {
    u8(1).u64(r).u64(c).u64(v.size());
    for (double x : v) f64(x);
    return *this;
  }
  Builder& seq(const std::vector<std::uint64_t>& v) {
    u64(v.size());
    for (auto x : v) u64(x);
    return *this;
  }
  // Header in front of the body built so far; version 3 is the one written.
  Bytes framed(std::uint32_t version = 3) const {
    Builder h;
    h.u8('Q').u8('U').u8('E').u8('L').u8('T').u32(version).u64(b.size());
    Bytes out = h.b;
    out.insert(out.end(), b.begin(), b.end());
    return out;
  }
};

std::vector<double> iota(std::size_t n, double start, double step) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = start + step * static_cast<double>(i);
  return v;
}

// Body of a valid single cubic-regression model with k = 4 knots, p = 4.
// `predictor_and_rest` lets a test swap in other predictor bytes.
Builder cr_body_head() {
  Builder w;
  w.vec1({0.5, -1.0, 2.0, 0.25});       // beta
  w.vec1({1.5}).vec1({std::exp(1.5)});  // rho, lambda
  w.f64(std::nan("")).f64(3.5);         // scale (NaN), edf_total
  w.vec1({2.5}).u64(100).u64(7).u8(1).f64(-12.25);
  return w;
}
void cr_predictor(Builder& w) {
  w.u32(0).vec1({0.0, 1.0, 2.0, 3.0}).mat2(4, 3, iota(12, 0.1, 0.1));
}
void cr_tail(Builder& w, std::uint32_t link = 1) {
  w.mat2(4, 4, iota(16, -0.5, 0.0625));
  w.u32(link).vec1({});
  for (std::uint64_t s = 1; s <= 6; ++s) w.u64(s * 11);
}
Bytes cr_model_bytes() {
  Builder w = cr_body_head();
  cr_predictor(w);
  cr_tail(w);
  return w.framed();
}

std::string load_error(const Bytes& bytes) {
  auto r = deserialize(bytes);
  if (r.ok()) return "<loaded>";
  EXPECT_EQ(r.error().kind, QueltError::Kind::InvalidParameter);
  return r.error().message;
}

Matrix mat(std::size_t r, std::size_t c, double start) {
  return Matrix(r, c, iota(r * c, start, 0.125));
}

// A record holding every predictor variant inside an additive predictor.
FittedGam additive_record() {
  AdditivePredictor add;
  add.terms.push_back({CrPredictor{{0, 1, 2, 4}, mat(4, 3, 1)}});
  add.terms.push_back({RePredictor{{-1.0, 0.0, 2.5}}});
  add.terms.push_back({CrStablePredictor{{0, 1, 3}, mat(3, 2, 0), mat(2, 2, 5)}});
  TensorPredictor te;
  te.col_a = 0, te.col_b = 1;
  te.knots_a = {0, 1, 2};
  te.knots_b = {0, 2, 4, 6};
  te.transform_a = Matrix::identity(3);
  te.transform_b = Matrix::identity(4);
  te.constraint = mat(12, 11, -3);
  add.terms.push_back({te});
  TensorMultiPredictor tm;
  tm.cols = {0, 1, 2};
  tm.knots = {{0, 1, 2}, {0, 1, 2, 3}, {-1, 0, 1}};
  tm.margin_transforms = {mat(3, 2, 0), std::nullopt, mat(3, 2, 1)};
  tm.constraint = mat(16, 15, 2);
  add.terms.push_back({tm});
  add.terms.push_back({TpsPredictor{{1, 2}, mat(5, 2, 0), mat(5, 5, 1), 2.75}});
  add.term_cols = {{0}, {1}, {2}, {0, 1}, {0, 1, 2}, {1, 2}};
  std::size_t widths[] = {3, 3, 2, 11, 15, 5};
  std::size_t next = 1;
  for (std::size_t w : widths) add.col_ranges.emplace_back(next, next + w), next += w;

  FittedGam g;
  std::size_t p = next;
  g.beta = iota(p, -2.0, 0.1);
  g.beta[1] = -0.0;
  g.rho = {0.5, -1.0, std::numeric_limits<double>::infinity()};
  g.lambda = {1.0, 2.0, 3.0};
  g.scale = 1.25;
  g.edf_total = 9.5;
  g.edf_per_term = {1.0, 2.0, 3.0};
  g.n = 12345;
  g.n_iters = 17;
  g.converged = true;
  g.reml_value = 101.5;
  g.predictor.value = std::move(add);
  g.vcov = mat(p, p, -1);
  g.link = Link::Inverse;
  g.shape_params = {0.3, -0.7};
  g.fit_stats = {1, 2, 3, 4, 5, 6};
  return g;
}

TEST(Persistence, ReadsTheDocumentedLayout) {
  Bytes bytes = cr_model_bytes();
  auto r = deserialize(bytes);
  ASSERT_TRUE(r.ok()) << r.error().message;
  const FittedGam& g = r.value();
  EXPECT_EQ(g.beta, (Vector{0.5, -1.0, 2.0, 0.25}));
  EXPECT_EQ(g.rho, Vector{1.5});
  EXPECT_TRUE(std::isnan(g.scale));
  EXPECT_EQ(g.edf_total, 3.5);
  EXPECT_EQ(g.edf_per_term, Vector{2.5});
  EXPECT_EQ(g.n, 100u);
  EXPECT_EQ(g.n_iters, 7u);
  EXPECT_TRUE(g.converged);
  EXPECT_EQ(g.reml_value, -12.25);
  ASSERT_EQ(g.predictor.index(), 0u);
  const auto& cr = std::get<CrPredictor>(g.predictor.value);
  EXPECT_EQ(cr.knots, (Vector{0, 1, 2, 3}));
  EXPECT_EQ(cr.constraint.rows(), 4u);
  EXPECT_EQ(cr.constraint.cols(), 3u);
  EXPECT_EQ(cr.constraint(1, 0), cr.constraint.storage()[3]);  // row-major
  EXPECT_EQ(g.vcov.rows(), 4u);
  EXPECT_EQ(g.link, Link::Log);
  EXPECT_TRUE(g.shape_params.empty());
  EXPECT_EQ(g.fit_stats, (FitStats{11, 22, 33, 44, 55, 66}));
  // Writing it back gives the same bytes, the NaN's bit pattern included.
  auto again = serialize(g);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value(), bytes);
}

TEST(Persistence, RoundTripsEveryPredictorVariantBitForBit) {
  FittedGam g = additive_record();
  auto bytes = serialize(g);
  ASSERT_TRUE(bytes.ok());
  const Bytes& b = bytes.value();
  // Header: magic, the written version 3, payload length = everything
  // after 17 bytes.
  ASSERT_GE(b.size(), 17u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 5), "QUELT");
  EXPECT_EQ(b[5], 3);
  std::uint64_t payload = 0;
  for (int i = 0; i < 8; ++i) payload |= static_cast<std::uint64_t>(b[9 + i]) << (8 * i);
  EXPECT_EQ(payload, b.size() - 17);
  // The empty shape array would be 17 bytes; here it holds two floats, and
  // the record ends with the 48 counter bytes.
  EXPECT_EQ(b[b.size() - 48], 1);

  auto back = deserialize(b);
  ASSERT_TRUE(back.ok()) << back.error().message;
  const FittedGam& h = back.value();
  EXPECT_EQ(std::bit_cast<std::uint64_t>(h.beta[1]), std::bit_cast<std::uint64_t>(-0.0));
  EXPECT_EQ(h.rho[2], std::numeric_limits<double>::infinity());
  EXPECT_EQ(h.link, Link::Inverse);
  EXPECT_EQ(h.fit_stats, g.fit_stats);
  const auto& add = std::get<AdditivePredictor>(h.predictor.value);
  ASSERT_EQ(add.terms.size(), 6u);
  const std::size_t kinds[] = {0, 1, 2, 4, 5, 6};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(add.terms[i].index(), kinds[i]);
  EXPECT_EQ(add.col_ranges, std::get<AdditivePredictor>(g.predictor.value).col_ranges);
  const auto& tm = std::get<TensorMultiPredictor>(add.terms[4].value);
  EXPECT_FALSE(tm.margin_transforms[1].has_value());
  EXPECT_EQ(*tm.margin_transforms[2], mat(3, 2, 1));
  EXPECT_EQ(std::get<TpsPredictor>(add.terms[5].value).length, 2.75);
  auto again = serialize(h);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value(), b);
}

TEST(Persistence, IgnoresBytesAfterTheRecordAndAfterThePayload) {
  Bytes base = cr_model_bytes();
  auto want = serialize(deserialize(base).value()).value();

  Bytes trailing = base;
  trailing.insert(trailing.end(), {9, 9, 9});
  EXPECT_EQ(serialize(deserialize(trailing).value()).value(), want);

  // A declared payload that covers extra bytes behind the fifteenth field.
  Builder w = cr_body_head();
  cr_predictor(w);
  cr_tail(w);
  w.u8(0xAB).u8(0xCD);
  EXPECT_EQ(serialize(deserialize(w.framed()).value()).value(), want);
}

TEST(Persistence, HeaderErrors) {
  Bytes good = cr_model_bytes();
  auto with = [&](std::size_t at, std::vector<std::uint8_t> patch) {
    Bytes b = good;
    for (std::size_t i = 0; i < patch.size(); ++i) b[at + i] = patch[i];
    return b;
  };
  auto length = [&](std::uint64_t L, std::size_t keep) {
    Builder h;
    h.u8('Q').u8('U').u8('E').u8('L').u8('T').u32(2).u64(L);
    Bytes b = h.b;
    b.insert(b.end(), good.begin() + 17, good.begin() + 17 + keep);
    return b;
  };
  struct Case {
    Bytes in;
    std::string msg;
  } cases[] = {
      {Bytes(good.begin(), good.begin() + 16), kPrefix + "buffer too short (16 < 17 header bytes)"},
      {Bytes(), kPrefix + "buffer too short (0 < 17 header bytes)"},
      {with(0, {'q'}),
       kPrefix + "bad magic; expected [81, 85, 69, 76, 84], got [113, 85, 69, 76, 84]"},
      // Versions 2 and 3 are read; the message names the version written.
      {with(5, {1, 0, 0, 0}),
       kPrefix +
           "unsupported format_version=1 (this build expects 3). Re-serialize with a matching "
           "quelt release, or roll a migration."},
      {with(5, {4, 0, 0, 0}),
       kPrefix +
           "unsupported format_version=4 (this build expects 3). Re-serialize with a matching "
           "quelt release, or roll a migration."},
      {with(5, {3, 0, 0, 1}),
       kPrefix + "unsupported format_version=16777219 (this build expects 3). Re-serialize with a "
                 "matching quelt release, or roll a migration."},
      {length(std::numeric_limits<std::uint64_t>::max() - 16, 0), kPrefix + "length overflow"},
      {length(std::numeric_limits<std::uint64_t>::max() - 17, 3),
       kPrefix +
           "truncated body (have 3 bytes, header says 18446744073709551598 payload bytes follow "
           "the 17-byte header)"},
      {length(0, 0), kDecode + "io error: unexpected end of file"},
  };
  for (const auto& c : cases) EXPECT_EQ(load_error(c.in), c.msg);
}

TEST(Persistence, BodyErrors) {
  auto body_with_predictor = [](auto&& write_predictor, std::uint32_t link = 1) {
    Builder w = cr_body_head();
    write_predictor(w);
    cr_tail(w, link);
    return w.framed();
  };
  Bytes bad_bool = cr_model_bytes();
  // converged sits after beta (17+32), rho, lambda (2 x 25), scale, edf_total,
  // edf_per_term (25), n, n_iters.
  std::size_t conv_at = 17 + (17 + 32) + 2 * 25 + 16 + 25 + 16;
  ASSERT_EQ(bad_bool[conv_at], 1);
  bad_bool[conv_at] = 2;

  struct Case {
    Bytes in;
    std::string msg;
  } cases[] = {
      {bad_bool, "invalid u8 while decoding bool, expected 0 or 1, found 2"},
      {body_with_predictor(cr_predictor, 4),
       "invalid value: integer `4`, expected variant index 0 <= i < 4"},
      {body_with_predictor([](Builder& w) { w.u32(7); }),
       "invalid value: integer `7`, expected variant index 0 <= i < 7"},
      {body_with_predictor([](Builder& w) { w.u32(3).u64(1).u32(9); }),
       "invalid value: integer `9`, expected variant index 0 <= i < 7"},
      {body_with_predictor([](Builder& w) { w.u32(3).u64(1).u32(3); }),
       "predictor nesting too deep"},
      {body_with_predictor([](Builder& w) { w.u32(4).u64(0).u64(1).u32(0).u32(1); }),
       "invalid value: integer `1`, expected variant index 0 <= i < 1"},
      {body_with_predictor(
           [](Builder& w) { w.u32(5).seq({0}).u64(1).vec1({0, 1, 2}).u64(1).u8(2); }),
       "tag for enum is not valid, found 2"},
      {body_with_predictor([](Builder& w) { w.u32(0).u8(2); }), "unknown array version: 2"},
      {body_with_predictor([](Builder& w) { w.u32(0).u8(1).u64(3).u64(2).f64(0).f64(1); }),
       "data and dimension must match in size"},
      {body_with_predictor([](Builder& w) {
         w.u32(0).vec1({0, 1, 2, 3}).u8(1).u64(4).u64(4).u64(12);
         for (int i = 0; i < 12; ++i) w.f64(i);
       }),
       "data and dimension must match in size"},
      // rows x cols overflows a signed 64-bit integer (zero counted as 1).
      {body_with_predictor([](Builder& w) {
         w.u32(0)
             .vec1({0, 1, 2, 3})
             .u8(1)
             .u64(std::uint64_t(1) << 32)
             .u64(std::uint64_t(1) << 31)
             .u64(0);
       }),
       "data and dimension must match in size"},
      {body_with_predictor([](Builder& w) {
         w.u32(0).vec1({0, 1, 2, 3}).u8(1).u64(0).u64(std::uint64_t(1) << 63).u64(0);
       }),
       "data and dimension must match in size"},
      // A huge declared count ends at the end of the payload, not in an
      // allocation; the elements are read before the shape is compared.
      {body_with_predictor([](Builder& w) { w.u32(1).u64(std::uint64_t(1) << 60); }),
       "io error: unexpected end of file"},
      {body_with_predictor([](Builder& w) { w.u32(0).u8(1).u64(7).u64(std::uint64_t(1) << 61); }),
       "io error: unexpected end of file"},
      {[] {
         Builder w = cr_body_head();
         w.u32(3).u64(std::uint64_t(1) << 62).u32(1).u64(0);
         return w.framed();
       }(),
       "io error: unexpected end of file"},
  };
  for (const auto& c : cases) EXPECT_EQ(load_error(c.in), kDecode + c.msg) << c.msg;
}

TEST(Persistence, RefusesRecordsWhoseShapesDisagree) {
  auto with = [](auto&& edit) {
    FittedGam g = additive_record();
    edit(g);
    return serialize(g).value();
  };
  auto add = [](FittedGam& g) -> AdditivePredictor& {
    return std::get<AdditivePredictor>(g.predictor.value);
  };
  const std::string inc = kPrefix + "inconsistent model: ";
  struct Case {
    Bytes in;
    std::string needle;
  } cases[] = {
      {with([](FittedGam& g) { g.beta.pop_back(); }), "beta has"},
      {with([](FittedGam& g) { g.vcov = Matrix(3, 3); }), "vcov is 3 x 3"},
      {with([](FittedGam& g) { g.lambda.pop_back(); }), "rho, lambda and edf_per_term"},
      {with([&](FittedGam& g) { add(g).term_cols.pop_back(); }), "column lists"},
      {with([&](FittedGam& g) { add(g).term_cols[1].clear(); }), "names no input column"},
      {with([&](FittedGam& g) { add(g).col_ranges[2].first += 1; }), "column range"},
      {with([&](FittedGam& g) { std::get<CrPredictor>(add(g).terms[0].value).knots[2] = 0.5; }),
       "strictly increasing"},
      {with([&](FittedGam& g) {
         std::get<CrPredictor>(add(g).terms[0].value).constraint = mat(3, 3, 0);
       }),
       "constraint"},
      {with([&](FittedGam& g) {
         std::get<TensorPredictor>(add(g).terms[3].value).knots_b[1] = std::nan("");
       }),
       "knots_b"},
      {with([&](FittedGam& g) {
         std::get<TensorPredictor>(add(g).terms[3].value).transform_a = mat(2, 3, 0);
       }),
       "transform_a"},
      {with([&](FittedGam& g) {
         std::get<TensorMultiPredictor>(add(g).terms[4].value).knots.pop_back();
       }),
       "knot vectors"},
      {with([&](FittedGam& g) {
         std::get<TensorMultiPredictor>(add(g).terms[4].value).margin_transforms[1] = mat(4, 3, 0);
       }),
       "constraint"},
      {with([&](FittedGam& g) {
         std::get<TpsPredictor>(add(g).terms[5].value).centres = mat(5, 3, 0);
       }),
       "centres"},
      {with([&](FittedGam& g) {
         std::get<TpsPredictor>(add(g).terms[5].value).transform = mat(4, 5, 0);
       }),
       "one per centre"},
      {with([&](FittedGam& g) { std::get<TpsPredictor>(add(g).terms[5].value).length = 0.0; }),
       "length is 0 but must be finite and positive"},
      {with([&](FittedGam& g) {
         std::get<TpsPredictor>(add(g).terms[5].value).length = std::nan("");
       }),
       "length is NaN but must be finite and positive"},
  };
  for (const auto& c : cases) {
    std::string msg = load_error(c.in);
    EXPECT_EQ(msg.rfind(inc, 0), 0u) << msg;
    EXPECT_NE(msg.find(c.needle), std::string::npos) << msg;
  }
}

// Every shortened payload (the header rewritten to match, and the raw
// prefixes of the buffer) is refused with the prefix; none crashes.
TEST(Persistence, EveryTruncationIsAnError) {
  for (const Bytes& full : {cr_model_bytes(), serialize(additive_record()).value()}) {
    for (std::size_t len = 0; len < full.size(); ++len) {
      Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
      EXPECT_EQ(load_error(prefix).rfind(kPrefix, 0), 0u) << len;
      if (len >= 17) {
        Bytes relabelled = prefix;
        std::uint64_t L = len - 17;
        for (int i = 0; i < 8; ++i) relabelled[9 + i] = static_cast<std::uint8_t>(L >> (8 * i));
        EXPECT_EQ(load_error(relabelled).rfind(kDecode, 0), 0u) << len;
      }
    }
  }
}

// Single-byte corruption anywhere gives an error or a model that is
// consistent enough to be written back out again.
TEST(Persistence, SingleByteFlipsNeverCrash) {
  Matrix x(4, 3);
  for (std::size_t i = 0; i < 4; ++i)
    for (std::size_t j = 0; j < 3; ++j) x(i, j) = 0.7 * static_cast<double>(i) - 0.3 * j;
  for (const Bytes& full : {cr_model_bytes(), serialize(additive_record()).value()}) {
    std::size_t loaded = 0;
    for (std::size_t at = 0; at < full.size(); ++at) {
      for (std::uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
        Bytes b = full;
        b[at] ^= mask;
        auto r = deserialize(b);
        if (r.ok()) {
          ++loaded;
          EXPECT_TRUE(serialize(r.value()).ok());
          // A loaded model can be evaluated without reading out of bounds.
          auto X = predictor_evaluate(r.value().predictor, x.view());
          if (X.ok()) {
            EXPECT_EQ(X.value().cols(), r.value().beta.size());
          }
        } else {
          EXPECT_EQ(r.error().message.rfind(kPrefix, 0), 0u);
        }
      }
    }
    EXPECT_GT(loaded, 0u);  // flips inside float payloads still load
  }
}

// Designs made by the builders are stored and read back, and the reloaded
// predictor rebuilds the training model matrix bit for bit.
TEST(Persistence, StoresEveryBuiltDesign) {
  const std::size_t n = 60;
  Matrix x(n, 3);
  std::uint64_t state = 12345;
  auto uniform = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
  };
  for (std::size_t i = 0; i < n; ++i) {
    x(i, 0) = uniform();
    x(i, 1) = 2.0 * uniform() - 1.0;
    x(i, 2) = static_cast<double>(i % 5);
  }
  Matrix levels(n, 1);
  for (std::size_t i = 0; i < n; ++i) levels(i, 0) = static_cast<double>(i % 7);
  using M = MarginBasis;
  std::vector<TermSpec> terms = {
      {TermSpec::Cr{0, 6}},
      {TermSpec::CrStable{1, 5}},
      {TermSpec::Re{2}},
      {TermSpec::Te{0, 1, 4, 3}},
      {TermSpec::TeMulti{{0, 1, 2}, {3, 3, 3}, {M::Cr, M::Cr, M::Cr}}},
      {TermSpec::Ti{{0, 1}, {4, 4}, {M::Cr, M::Cr}}},
      {TermSpec::Tp{6, {0, 1}}},
  };
  struct Built {
    Result<ModelDesign> design;
    const Matrix* data;
  } built[] = {
      {build_cr_design(x.view(), 8), &x},
      {build_re_design(levels.view()), &levels},
      {build_cr_stable_design(x.view(), 7), &x},
      {build_additive_design(terms, x.view()), &x},
  };
  for (auto& b : built) {
    ASSERT_TRUE(b.design.ok()) << b.design.error().message;
    ModelDesign& d = b.design.value();
    const std::size_t p = d.x.cols();
    FittedGam g;
    g.beta = iota(p, 0.5, -0.25);
    g.rho = Vector(d.penalties.size(), 1.0);
    g.lambda = g.rho;
    g.edf_per_term = g.rho;
    g.predictor = d.predictor;
    g.vcov = Matrix::identity(p);
    auto bytes = serialize(g);
    ASSERT_TRUE(bytes.ok());
    auto back = deserialize(bytes.value());
    ASSERT_TRUE(back.ok()) << back.error().message;
    auto rebuilt = predictor_evaluate(back.value().predictor, b.data->view());
    ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().message;
    EXPECT_EQ(rebuilt.value(), d.x);
  }
}

}  // namespace
}  // namespace quelt
