// Difference quotients for the derivative checks of the family pieces.
#pragma once

namespace quelt::testing {

// f′(x) ≈ (f(x + h) − f(x − h)) / (2h): error O(h²) plus rounding O(ε·|f|/h).
template <class F>
double central_difference(F&& f, double x, double h) {
  return (f(x + h) - f(x - h)) / (2.0 * h);
}

// f″(x) ≈ (f(x + h) − 2f(x) + f(x − h)) / h²: error O(h²) plus O(ε·|f|/h²).
template <class F>
double second_difference(F&& f, double x, double h) {
  return (f(x + h) - 2.0 * f(x) + f(x - h)) / (h * h);
}

// f‴(x) ≈ (f(x + 2h) − 2f(x + h) + 2f(x − h) − f(x − 2h)) / (2h³): error O(h²)
// plus O(ε·|f|/h³).
template <class F>
double third_difference(F&& f, double x, double h) {
  return (f(x + 2.0 * h) - 2.0 * f(x + h) + 2.0 * f(x - h) - f(x - 2.0 * h)) / (2.0 * h * h * h);
}

}  // namespace quelt::testing
