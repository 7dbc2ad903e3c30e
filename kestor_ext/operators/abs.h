// "abs:1": magnitude.  Needs no clamp: |x| is finite for every finite x.  The
// derivative is the sign of x, and 0 at either zero, where |x| has no slope
// to follow.
#ifndef OPERATORS_ABS_H
#define OPERATORS_ABS_H

#include "operators.h"
#include "element.h"

struct Abs : UnaryDefinition {
    static constexpr const char *name = "abs:1";
    static constexpr StepLatency latency = {3, 3, 0};

    static double value(double x) { return std::fabs(x); }

    // 0.0 * x keeps a NaN operand's NaN in the share.
    static double operand_gradient(double g, double x, double /*a*/) { return x > 0.0 ? g : (x < 0.0 ? -g : 0.0 * x); }

    static double derivative(double x, double /*a*/) { return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0 * x); }
};

inline void init_abs(kestor_add_fn add) { add(&interaction<Abs>); }

#endif  // OPERATORS_ABS_H
