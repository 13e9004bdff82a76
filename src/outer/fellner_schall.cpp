#include "outer/fellner_schall.hpp"

#include "core/numeric.hpp"
#include "outer/newton.hpp"

namespace quelt {

double fellner_schall_update(double rho, double dlogdet_drho, double trace, double bsb,
                             double scale, double center) {
  if (!(std::isfinite(scale) && scale > 0.0)) scale = 1.0;
  const double lambda = std::exp(rho);
  const double a = floor_at(dlogdet_drho / floor_at(lambda, 1e-20) - trace, 1e-10);
  const double u = std::log(scale * a / floor_at(bsb, 1e-10));
  const double step = std::fmin(std::fmax(u, -3.0), 3.0);
  return clamp_into(rho + step, center + kFsRhoLo, center + kFsRhoHi);
}

}  // namespace quelt
