#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "outer/settings.hpp"

namespace quelt {
namespace {

// The settings belong to the thread that writes them: a new thread starts
// from "unset" / "absent" whatever the writing thread stored, and its own
// writes do not leak back.
TEST(OuterSettings, PerThreadSlots) {
  set_outer_algorithm(kOuterFellnerSchall);
  set_outer_tuning_override(OuterOptions{1e-3, 1e-7, 200, 5.0});
  EXPECT_TRUE(outer_algorithm_is_fellner_schall());

  std::uint8_t seen_algorithm = 255;
  bool seen_override = true;
  std::thread t([&] {
    seen_algorithm = outer_algorithm();
    seen_override = outer_tuning_override().has_value();
    set_outer_algorithm(kOuterNewton);
    set_outer_tuning_override(std::nullopt);
  });
  t.join();
  EXPECT_EQ(seen_algorithm, kOuterUnset);
  EXPECT_FALSE(seen_override);

  EXPECT_EQ(outer_algorithm(), kOuterFellnerSchall);
  ASSERT_TRUE(outer_tuning_override().has_value());
  EXPECT_EQ(*outer_tuning_override(), (OuterOptions{1e-3, 1e-7, 200, 5.0}));

  set_outer_algorithm(kOuterUnset);
  set_outer_tuning_override(std::nullopt);
  EXPECT_FALSE(outer_tuning_override().has_value());
}

// Only bit 0 selects Fellner-Schall: Newton (0) and unset (2) do not.
TEST(OuterSettings, AlgorithmBitZero) {
  for (auto [v, fs] : {std::pair{kOuterNewton, false}, std::pair{kOuterFellnerSchall, true},
                       std::pair{kOuterUnset, false}}) {
    set_outer_algorithm(v);
    EXPECT_EQ(outer_algorithm_is_fellner_schall(), fs) << int(v);
  }
  set_outer_algorithm(kOuterUnset);
}

// Values are stored as given, NaN included (no range test).
TEST(OuterSettings, OverrideStoredUnchanged) {
  set_outer_tuning_override(OuterOptions{std::nan(""), -1.0, 200, 5.0});
  auto o = outer_tuning_override();
  ASSERT_TRUE(o.has_value());
  EXPECT_TRUE(std::isnan(o->grad_tol));
  EXPECT_EQ(o->reml_tol, -1.0);
  set_outer_tuning_override(std::nullopt);
}

}  // namespace
}  // namespace quelt
