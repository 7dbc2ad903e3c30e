// "multiply:2": the product of two sub-expressions.
#ifndef KESTOR_MULTIPLY_H
#define KESTOR_MULTIPLY_H

#include "element.h"

struct Multiply : BinaryDefinition {
    static constexpr const char *name = "multiply:2";
    static constexpr StepLatency latency = {3, 6, 0};

    static double value(double x, double y) { return x * y; }
    static OperandShares shares(double g, double x, double y, double /*a*/) { return {g * y, x * g}; }
    static OperandShares derivatives(double x, double y, double /*a*/) { return {y, x}; }
};

inline void init_multiply() { register_element<Multiply>(); }

#endif  // KESTOR_MULTIPLY_H
