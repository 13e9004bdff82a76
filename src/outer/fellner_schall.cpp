#include "outer/fellner_schall.hpp"

#include <limits>

#include "core/numeric.hpp"
#include "outer/newton.hpp"

namespace quelt {

double fellner_schall_update(double rho, double dlogdet_drho, double trace, double bsb,
                             double scale, double center) {
  if (!(std::isfinite(scale) && scale > 0.0)) scale = 1.0;
  // The floors only keep the logarithm defined; they are relative to the
  // terms they guard, so that the update does not depend on the units of y.
  constexpr double kTiny = std::numeric_limits<double>::min();
  const double lambda = floor_at(std::exp(rho), kTiny);
  const double target = dlogdet_drho / lambda;
  const double a = floor_at(target - trace, kFsRelFloor * target);
  const double u = std::log(scale * a / floor_at(bsb, kTiny));
  const double step = std::fmin(std::fmax(u, -3.0), 3.0);
  return clamp_into(rho + step, center + kFsRhoLo, center + kFsRhoHi);
}

}  // namespace quelt
