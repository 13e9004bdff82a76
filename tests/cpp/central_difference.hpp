// Central differences for the derivative checks of the family pieces.
#pragma once

namespace quelt::testing {

// (f(x + h) − f(x − h)) / (2h): error O(h²·f‴) plus rounding O(ε·|f|/h).
template <class F>
double central_difference(F&& f, double x, double h) {
  return (f(x + h) - f(x - h)) / (2.0 * h);
}

}  // namespace quelt::testing
