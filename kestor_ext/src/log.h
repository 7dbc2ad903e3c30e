// "log:1": natural logarithm, held at log(0.0001) below 0.0001 so that zero
// and negative operands give a finite output.
#ifndef KESTOR_LOG_H
#define KESTOR_LOG_H

#include "element.h"

#include <cmath>

struct Log : UnaryDefinition {
    static constexpr const char *name = "log:1";
    static constexpr StepLatency latency = {45, 16, 0};
    static constexpr double min_input = 0.0001;
    static constexpr double min_value = -9.210340371976182;  // log(0.0001) to the last bit

    static double value(double x) { return x < min_input ? min_value : std::log(x); }

    // Taken at the threshold inside the clamp, so the gradient there is
    // g / 0.0001 rather than zero.
    static double operand_gradient(double g, double x, double /*a*/) { return g / (x < min_input ? min_input : x); }

    // The value's derivative (0 where the clamp holds it), for the fitting's
    // Jacobian.
    static double derivative(double x, double /*a*/) { return x < min_input ? 0.0 : 1.0 / x; }
};

inline void init_log() { register_element<Log>(); }

#endif  // KESTOR_LOG_H
