// "sqrt:1": square root, held at 0.1 for operands up to 0.01 so that negative
// operands give a finite output and the derivative stays bounded.
#ifndef KESTOR_SQRT_H
#define KESTOR_SQRT_H

#include <cmath>

constexpr double SQRT_MIN_INPUT = 0.01;
constexpr double SQRT_MIN_VALUE = 0.1;  // sqrt(0.01) to the last bit

inline double sqrt_value(double x) { return x <= SQRT_MIN_INPUT ? SQRT_MIN_VALUE : std::sqrt(x); }

// Through the stored output a: d sqrt(x) = 1 / (2 sqrt(x)), which inside the
// clamp is the derivative at the threshold, 5g.
inline double sqrt_operand_gradient(double g, double a) { return g / (a + a); }

// The value's derivative (0 where the clamp holds it), for the fitting's
// Jacobian.
inline double sqrt_derivative(double x, double value) { return x <= SQRT_MIN_INPUT ? 0.0 : 0.5 / value; }

#endif  // KESTOR_SQRT_H
