#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/error.hpp"
#include "core/format.hpp"
#include "core/numeric.hpp"

namespace quelt {
namespace {

TEST(Format, ShortestPositionalFloats) {
  EXPECT_EQ(fmt_float(2.0), "2");
  EXPECT_EQ(fmt_float(0.0), "0");
  EXPECT_EQ(fmt_float(-0.0), "-0");
  EXPECT_EQ(fmt_float(1e-7), "0.0000001");
  EXPECT_EQ(fmt_float(0.1), "0.1");
  EXPECT_EQ(fmt_float(-2.5), "-2.5");
  EXPECT_EQ(fmt_float(1e21), "1000000000000000000000");
  EXPECT_EQ(fmt_float(std::nan("")), "NaN");
  EXPECT_EQ(fmt_float(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(fmt_float(-std::numeric_limits<double>::infinity()), "-inf");
  // The smallest subnormal renders without overflowing the buffer.
  EXPECT_EQ(fmt_float(std::numeric_limits<double>::denorm_min()),
            "0." + std::string(323, '0') + "5");
}

TEST(Format, ThreeDigitExponent) {
  EXPECT_EQ(fmt_exp3(0.00123), "1.230e-3");
  EXPECT_EQ(fmt_exp3(2.0), "2.000e0");
  EXPECT_EQ(fmt_exp3(1.5e-3), "1.500e-3");
  EXPECT_EQ(fmt_exp3(12345678901.0), "1.235e10");
  EXPECT_EQ(fmt_exp3(0.0), "0.000e0");
  EXPECT_EQ(fmt_exp3(-3.0e-120), "-3.000e-120");
  EXPECT_EQ(fmt_exp3(std::nan("")), "NaN");
  EXPECT_EQ(fmt_exp3(std::numeric_limits<double>::infinity()), "inf");
}

TEST(Format, QuotedEscapes) {
  EXPECT_EQ(quoted("Gaussian"), "\"Gaussian\"");
  EXPECT_EQ(quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted(std::string_view("x\n\t\0y", 5)), "\"x\\n\\t\\0y\"");
  EXPECT_EQ(quoted("it's"), "\"it's\"");
}

TEST(Errors, DisplayTexts) {
  EXPECT_EQ(QueltError::invalid_parameter("bad").display(), "invalid parameter: bad");
  EXPECT_EQ(QueltError::singular_system("Cholesky failed: 3").display(),
            "singular system: Cholesky failed: 3");
  EXPECT_EQ(QueltError::not_converged(200, 0.00123).display(),
            "solver did not converge after 200 iterations (last grad norm = 1.230e-3)");
  EXPECT_EQ(QueltError::linalg("eigh failed").display(), "linalg failure: eigh failed");
}

TEST(Errors, ResultAccessOnWrongSideIsAnInvariantViolation) {
  Result<int> r = QueltError::invalid_parameter("x");
  EXPECT_FALSE(r.ok());
  EXPECT_THROW((void)r.value(), InvariantViolation);
  Result<int> v = 3;
  EXPECT_THROW((void)v.error(), InvariantViolation);
}

TEST(Numeric, FloorsAndSaturation) {
  EXPECT_EQ(floor_at(std::nan(""), 1e-300), 1e-300);
  EXPECT_EQ(floor_at(2.0, 1.0), 2.0);
  EXPECT_EQ(sat_u64(std::nan("")), 0u);
  EXPECT_EQ(sat_u64(-5.0), 0u);
  EXPECT_EQ(sat_u64(3.9), 3u);
  EXPECT_EQ(sat_u64(1e30), std::numeric_limits<std::uint64_t>::max());
  EXPECT_FALSE(checked_mul(std::size_t(1) << 40, std::size_t(1) << 40).has_value());
  EXPECT_EQ(*checked_mul(6, 7), 42u);
}

}  // namespace
}  // namespace quelt
