// "squared:1": x², held at 400.0 for magnitudes above 20.0.
#ifndef KESTOR_SQUARED_H
#define KESTOR_SQUARED_H

#include "element.h"

#include <cmath>

struct Squared : UnaryDefinition {
    static constexpr const char *name = "squared:1";
    static constexpr StepLatency latency = {4, 9, 0};
    static constexpr double max_input = 20.0;
    static constexpr double max_value = max_input * max_input;

    static double value(double x) { return std::fabs(x) > max_input ? max_value : x * x; }

    // Only the output is clamped: the derivative stays 2gx for every operand,
    // so a large operand is still pulled back towards the range.
    static double operand_gradient(double g, double x, double /*a*/) { return (g + g) * x; }

    // The value's derivative (0 where the clamp holds it), for the fitting's
    // Jacobian.
    static double derivative(double x, double /*a*/) { return std::fabs(x) > max_input ? 0.0 : x + x; }
};

inline void init_squared() { register_element<Squared>(); }

#endif  // KESTOR_SQUARED_H
