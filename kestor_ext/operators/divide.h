// "divide:2": x / y, with divisors closer to zero than 0.05 treated as ±0.05
// (on the side of y's sign bit, so -0.0 divides as -0.05), as "inverse:1"
// holds its operand; a quotient beyond the largest double (|x| above 0.05
// times it) is held at ±DBL_MAX.  So every pair of finite operands gives a
// finite output.
#ifndef OPERATORS_DIVIDE_H
#define OPERATORS_DIVIDE_H

#include "inverse.h"
#include "operators.h"

struct Divide : BinaryDefinition {
    static constexpr const char *name = "divide:2";
    static constexpr StepLatency latency = {16, 20, 0};

    static double held_quotient(double q) { return std::fabs(q) > DBL_MAX ? std::copysign(DBL_MAX, q) : q; }

    static double value(double x, double y) { return held_quotient(x / Inverse::held(y)); }

    // With d the held divisor and a the stored output: x receives g/d and y
    // receives -(g/d)·a, the derivative of x/d at d.  Inside the clamp that
    // is the derivative at the threshold, not the zero slope of the held
    // value, so training still sees which way the divisor should move (as
    // "log:1" keeps g/0.0001 in its clamp).  Unlike "inverse:1", there is no
    // push that ignores g: the numerator decides whether a larger quotient is
    // wanted.
    static OperandShares shares(double g, double /*x*/, double y, double a)
    {
        double c = g / Inverse::held(y);
        return {c, (-c) * a};
    }

    // 1/d and -a/d; 0 where a clamp holds the value.
    static OperandShares derivatives(double /*x*/, double y, double a)
    {
        double d = Inverse::held(y);
        bool held = std::fabs(a) >= DBL_MAX;
        return {held ? 0.0 : 1.0 / d, held || Inverse::in_clamp(y) ? 0.0 : -a / d};
    }
};

inline void init_divide(kestor_add_fn add) { add(&interaction<Divide>); }

#endif  // OPERATORS_DIVIDE_H
