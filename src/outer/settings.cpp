#include "outer/settings.hpp"

namespace quelt {

namespace {
// Trivially destructible thread-locals: they stay readable for the whole life
// of the thread, teardown included.
thread_local std::uint8_t t_algorithm = kOuterUnset;
thread_local bool t_has_override = false;
thread_local OuterOptions t_override{};
}  // namespace

std::uint8_t outer_algorithm() { return t_algorithm; }

void set_outer_algorithm(std::uint8_t value) { t_algorithm = value; }

std::optional<OuterOptions> outer_tuning_override() {
  if (!t_has_override) return std::nullopt;
  return t_override;
}

void set_outer_tuning_override(std::optional<OuterOptions> value) {
  t_has_override = value.has_value();
  t_override = value.value_or(OuterOptions{});
}

}  // namespace quelt
