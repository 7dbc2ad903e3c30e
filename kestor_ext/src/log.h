// "log:1": natural logarithm, held at log(0.0001) below 0.0001 so that zero
// and negative operands give a finite output.
#ifndef KESTOR_LOG_H
#define KESTOR_LOG_H

#include <cmath>

constexpr double LOG_MIN_INPUT = 0.0001;
constexpr double LOG_MIN_VALUE = -9.210340371976182;  // log(0.0001) to the last bit

inline double log_value(double x) { return x < LOG_MIN_INPUT ? LOG_MIN_VALUE : std::log(x); }

// Taken at the threshold inside the clamp, so the gradient there is
// g / 0.0001 rather than zero.
inline double log_operand_gradient(double g, double x) { return g / (x < LOG_MIN_INPUT ? LOG_MIN_INPUT : x); }

// The value's derivative (0 where the clamp holds it), for the fitting's
// Jacobian.
inline double log_derivative(double x, double /*value*/) { return x < LOG_MIN_INPUT ? 0.0 : 1.0 / x; }

#endif  // KESTOR_LOG_H
