// Counters of one fit: outer iterations, line-search trials, screened trials
// and inner fits. All start at zero when a fit context is made.
#pragma once

#include <cstdint>

namespace quelt {

struct FitStats {
  std::uint64_t outer_iterations = 0;
  std::uint64_t line_search_trials = 0;
  std::uint64_t no_refresh_attempts = 0;
  std::uint64_t no_refresh_hits = 0;
  std::uint64_t inner_pirls_calls = 0;
  std::uint64_t inner_pirls_iterations_total = 0;

  bool operator==(const FitStats&) const = default;
};

}  // namespace quelt
