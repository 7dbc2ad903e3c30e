// "exp:1": e^x, held at e^6 above 6.0 so that the output stays finite.
#ifndef KESTOR_EXP_H
#define KESTOR_EXP_H

#include "element.h"

#include <cmath>

struct Exp : UnaryDefinition {
    static constexpr const char *name = "exp:1";
    static constexpr StepLatency latency = {45, 6, 0};
    static constexpr double max_input = 6.0;
    static constexpr double max_value = 403.4287934927351;  // exp(6.0) to the last bit

    static double value(double x) { return x > max_input ? max_value : std::exp(x); }

    // Through the stored output a: above the clamp the derivative stays g·e⁶
    // rather than dropping to zero, so training can still pull the operand
    // back.
    static double operand_gradient(double g, double /*x*/, double a) { return g * a; }

    // The value's derivative (0 where the clamp holds it), for the fitting's
    // Jacobian.
    static double derivative(double x, double a) { return x > max_input ? 0.0 : a; }
};

inline void init_exp() { register_element<Exp>(); }

#endif  // KESTOR_EXP_H
