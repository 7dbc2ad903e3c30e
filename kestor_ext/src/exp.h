// "exp:1": e^x, held at e^6 above 6.0 so that the output stays finite.
#ifndef KESTOR_EXP_H
#define KESTOR_EXP_H

#include <cmath>

constexpr double EXP_MAX_INPUT = 6.0;
constexpr double EXP_MAX_VALUE = 403.4287934927351;  // exp(6.0) to the last bit

inline double exp_value(double x) { return x > EXP_MAX_INPUT ? EXP_MAX_VALUE : std::exp(x); }

// Through the stored output a: above the clamp the derivative stays g·e⁶
// rather than dropping to zero, so training can still pull the operand back.
inline double exp_operand_gradient(double g, double a) { return g * a; }

// The value's derivative (0 where the clamp holds it), for the fitting's
// Jacobian.
inline double exp_derivative(double x, double value) { return x > EXP_MAX_INPUT ? 0.0 : value; }

#endif  // KESTOR_EXP_H
