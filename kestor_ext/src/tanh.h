// "tanh:1": hyperbolic tangent, computed in single precision.
#ifndef KESTOR_TANH_H
#define KESTOR_TANH_H

#include "element.h"

#include <cmath>

struct Tanh : UnaryDefinition {
    static constexpr const char *name = "tanh:1";
    static constexpr StepLatency latency = {50, 6, 0};

    // The operand is rounded to float and the float tangent widened back, so
    // the output is always exactly representable as a 32-bit float.
    static double value(double x) { return (double)::tanhf((float)x); }

    // Through the stored (single-precision) output a, in double precision.
    static double operand_gradient(double g, double /*x*/, double a) { return (1.0 - a * a) * g; }

    // The value's derivative, for the fitting's Jacobian.
    static double derivative(double /*x*/, double a) { return 1.0 - a * a; }
};

inline void init_tanh() { register_element<Tanh>(); }

#endif  // KESTOR_TANH_H
