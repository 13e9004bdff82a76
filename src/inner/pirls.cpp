#include "inner/pirls.hpp"

#include "inner/pirls_loop.hpp"

namespace quelt {

#define QUELT_PIRLS_INSTANTIATE(F)                                                                \
  template Result<InnerFit> pirls<F>(const FitContext<F>&, Matrix, const std::optional<Vector>&); \
  template bool pirls_reject_step<F>(const FitContext<F>&, bool, double, double,                  \
                                     std::span<const double>, const Vector*, double);
QUELT_PIRLS_INSTANTIATE(Bernoulli)
QUELT_PIRLS_INSTANTIATE(QuasiBinomial)
QUELT_PIRLS_INSTANTIATE(Poisson)
QUELT_PIRLS_INSTANTIATE(QuasiPoisson)
QUELT_PIRLS_INSTANTIATE(GammaLog)
QUELT_PIRLS_INSTANTIATE(GammaInverse)
QUELT_PIRLS_INSTANTIATE(InverseGaussian)
#undef QUELT_PIRLS_INSTANTIATE

}  // namespace quelt
