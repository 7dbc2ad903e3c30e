// "gaussian:1" and "gaussian:2": exp(-2x²) and exp(-(2x² + 2y²)).
//
// Their descriptors (gaussian.cpp) share one forward and one reverse, which
// pick the variant from the element's own descriptor, so other native code
// can reuse them.
#ifndef KESTOR_GAUSSIAN_H
#define KESTOR_GAUSSIAN_H

#include "element.h"

#include <cmath>

// What both variants are made of.
struct Bell {
    // 2v², formed by doubling the square (not by multiplying with 2.0 first).
    static double doubled_square(double v)
    {
        double s = v * v;
        s = s + s;
        return s;
    }

    // Differentiates through the stored output a rather than recomputing
    // exp: the factor shared by both operands' gradients, -2ga.
    static double common_factor(double g, double a)
    {
        double c = (-g) + (-g);
        return c * a;
    }

    // An operand v's share: 2cv.
    static double operand_gradient_of(double c, double v)
    {
        double u = v * c;
        return u + u;
    }

    // d e^(-2x²-2y²) / dx = -4x·value, and the same in y.
    static double slope(double v, double a) { return -4.0 * v * a; }
};

struct Gaussian1 : UnaryDefinition, Bell {
    static constexpr const char *name = "gaussian:1";
    static constexpr StepLatency latency = {50, 12, 0};

    static double value(double x) { return std::exp(-doubled_square(x)); }
    static double operand_gradient(double g, double x, double a) { return operand_gradient_of(common_factor(g, a), x); }
    static double derivative(double x, double a) { return slope(x, a); }
};

struct Gaussian2 : BinaryDefinition, Bell {
    static constexpr const char *name = "gaussian:2";
    static constexpr StepLatency latency = {50, 12, 0};

    static double value(double x, double y)
    {
        double s = doubled_square(x);
        s = s + doubled_square(y);
        return std::exp(-s);
    }

    // The second operand's share is formed as c·y rather than y·c.
    static OperandShares shares(double g, double x, double y, double a)
    {
        double c = common_factor(g, a);
        double u = c * y;
        return {operand_gradient_of(c, x), u + u};
    }

    static OperandShares derivatives(double x, double y, double a) { return {slope(x, a), slope(y, a)}; }
};

void init_gaussian();

#endif  // KESTOR_GAUSSIAN_H
