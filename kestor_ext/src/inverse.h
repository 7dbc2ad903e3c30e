// "inverse:1": 1/x, with operands closer to zero than 0.05 treated as ±0.05
// (on the side of x's sign bit, so -0.0 gives -20.0).
#ifndef KESTOR_INVERSE_H
#define KESTOR_INVERSE_H

#include "element.h"

#include <cmath>

struct Inverse : UnaryDefinition {
    static constexpr const char *name = "inverse:1";
    static constexpr StepLatency latency = {14, 16, 0};
    static constexpr double min_magnitude = 0.05;
    // Inside the clamp the output is flat; the reverse instead pushes the
    // operand by this fixed amount away from zero on its own side, whatever
    // the incoming gradient, so that training leaves the region where 1/x
    // explodes.
    static constexpr double clamp_push = 10.0;

    static bool in_clamp(double x) { return std::fabs(x) < min_magnitude; }

    // The divisor the clamp holds x at (divide:2 holds its divisor alike).
    static double held(double x) { return in_clamp(x) ? std::copysign(min_magnitude, x) : x; }

    static double value(double x) { return 1.0 / held(x); }

    static double operand_gradient(double g, double x, double /*a*/)
    {
        return in_clamp(x) ? -std::copysign(clamp_push, x) : (-g) / (x * x);
    }

    // The value's derivative (0 where the clamp holds it), for the fitting's
    // Jacobian.
    static double derivative(double x, double a) { return in_clamp(x) ? 0.0 : -a * a; }
};

inline void init_inverse() { register_element<Inverse>(); }

#endif  // KESTOR_INVERSE_H
