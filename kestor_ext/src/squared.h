// "squared:1": x², held at 400.0 for magnitudes above 20.0.
#ifndef KESTOR_SQUARED_H
#define KESTOR_SQUARED_H

#include <cmath>

constexpr double SQUARED_MAX_INPUT = 20.0;
constexpr double SQUARED_MAX_VALUE = 400.0;

inline double squared_value(double x) { return std::fabs(x) > SQUARED_MAX_INPUT ? SQUARED_MAX_VALUE : x * x; }

// Only the output is clamped: the derivative stays 2gx for every operand, so
// a large operand is still pulled back towards the range.
inline double squared_operand_gradient(double g, double x) { return (g + g) * x; }

// The value's derivative (0 where the clamp holds it), for the fitting's
// Jacobian.
inline double squared_derivative(double x, double /*value*/)
{
    return std::fabs(x) > SQUARED_MAX_INPUT ? 0.0 : x + x;
}

#endif  // KESTOR_SQUARED_H
