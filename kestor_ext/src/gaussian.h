// "gaussian:1" and "gaussian:2": exp(-2x²) and exp(-(2x² + 2y²)).
#ifndef KESTOR_GAUSSIAN_H
#define KESTOR_GAUSSIAN_H

#include <cmath>

// 2v², formed by doubling the square (not by multiplying with 2.0 first).
inline double doubled_square(double v)
{
    double s = v * v;
    s = s + s;
    return s;
}

inline double gaussian1_value(double x) { return std::exp(-doubled_square(x)); }

inline double gaussian2_value(double x, double y)
{
    double s = doubled_square(x);
    s = s + doubled_square(y);
    return std::exp(-s);
}

// Differentiates through the stored output a rather than recomputing exp:
// the factor shared by both operands' gradients, -2ga.
inline double gaussian_common_factor(double g, double a)
{
    double c = (-g) + (-g);
    return c * a;
}

// An operand v's share: 2cv.
inline double gaussian_operand_gradient(double c, double v)
{
    double u = v * c;
    return u + u;
}

// The second operand's share, formed as c·v rather than v·c.
inline double gaussian_second_gradient(double c, double v)
{
    double u = c * v;
    return u + u;
}

#endif  // KESTOR_GAUSSIAN_H
