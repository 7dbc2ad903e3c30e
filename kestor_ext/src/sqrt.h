// "sqrt:1": square root, held at 0.1 for operands up to 0.01 so that negative
// operands give a finite output and the derivative stays bounded.
#ifndef KESTOR_SQRT_H
#define KESTOR_SQRT_H

#include "element.h"

#include <cmath>

struct Sqrt : UnaryDefinition {
    static constexpr const char *name = "sqrt:1";
    static constexpr StepLatency latency = {20, 16, 0};
    static constexpr double min_input = 0.01;
    static constexpr double min_value = 0.1;  // sqrt(0.01) to the last bit

    static double value(double x) { return x <= min_input ? min_value : std::sqrt(x); }

    // Through the stored output a: d sqrt(x) = 1 / (2 sqrt(x)), which inside
    // the clamp is the derivative at the threshold, 5g.
    static double operand_gradient(double g, double /*x*/, double a) { return g / (a + a); }

    // The value's derivative (0 where the clamp holds it), for the fitting's
    // Jacobian.
    static double derivative(double x, double a) { return x <= min_input ? 0.0 : 0.5 / a; }
};

inline void init_sqrt() { register_element<Sqrt>(); }

#endif  // KESTOR_SQRT_H
