// "sin:1": sine.  Needs no clamp: the sine of every finite operand and the
// factor cos(x) of its derivative lie in [-1, 1].  An infinite operand has no
// sine and gives NaN, like a NaN operand.
#ifndef OPERATORS_SIN_H
#define OPERATORS_SIN_H

#include "operators.h"
#include "element.h"

struct Sin : UnaryDefinition {
    static constexpr const char *name = "sin:1";
    static constexpr StepLatency latency = {50, 50, 0};

    static double value(double x) { return std::sin(x); }
    static double operand_gradient(double g, double x, double /*a*/) { return g * std::cos(x); }
    static double derivative(double x, double /*a*/) { return std::cos(x); }
};

inline void init_sin(kestor_add_fn add) { add(&interaction<Sin>); }

#endif  // OPERATORS_SIN_H
