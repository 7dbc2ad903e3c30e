// "inverse:1": 1/x, with operands closer to zero than 0.05 treated as ±0.05
// (on the side of x's sign bit, so -0.0 gives -20.0).
#ifndef KESTOR_INVERSE_H
#define KESTOR_INVERSE_H

#include <cmath>

constexpr double DIVISOR_MIN_MAGNITUDE = 0.05;
// Inside the clamp the output is flat; the reverse instead pushes the operand
// by this fixed amount away from zero on its own side, whatever the incoming
// gradient, so that training leaves the region where 1/x explodes.
constexpr double CLAMP_PUSH = 10.0;

inline bool inverse_in_clamp(double x) { return std::fabs(x) < DIVISOR_MIN_MAGNITUDE; }

inline double inverse_value(double x)
{
    return inverse_in_clamp(x) ? 1.0 / std::copysign(DIVISOR_MIN_MAGNITUDE, x) : 1.0 / x;
}

// Adds the operand's share of gradient g to its accumulated gradient.
inline double inverse_add_operand_gradient(double operand_gradient, double g, double x)
{
    if (inverse_in_clamp(x)) {
        return operand_gradient - std::copysign(CLAMP_PUSH, x);
    }
    return operand_gradient + (-g) / (x * x);
}

// The value's derivative (0 where the clamp holds it), for the fitting's
// Jacobian.
inline double inverse_derivative(double x, double value)
{
    return inverse_in_clamp(x) ? 0.0 : -value * value;
}

#endif  // KESTOR_INVERSE_H
