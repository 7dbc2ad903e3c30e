// "cos:1": cosine.  Needs no clamp: the cosine of every finite operand and
// the factor -sin(x) of its derivative lie in [-1, 1].  An infinite operand
// has no cosine and gives NaN, like a NaN operand.
#ifndef OPERATORS_COS_H
#define OPERATORS_COS_H

#include "operators.h"
#include "element.h"

struct Cos : UnaryDefinition {
    static constexpr const char *name = "cos:1";
    static constexpr StepLatency latency = {50, 50, 0};

    static double value(double x) { return std::cos(x); }
    static double operand_gradient(double g, double x, double /*a*/) { return (-g) * std::sin(x); }
    static double derivative(double x, double /*a*/) { return -std::sin(x); }
};

inline void init_cos(kestor_add_fn add) { add(&interaction<Cos>); }

#endif  // OPERATORS_COS_H
