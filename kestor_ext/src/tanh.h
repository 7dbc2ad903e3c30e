// "tanh:1": hyperbolic tangent, computed in single precision.
#ifndef KESTOR_TANH_H
#define KESTOR_TANH_H

#include <cmath>

// The operand is rounded to float and the float tangent widened back, so the
// output is always exactly representable as a 32-bit float.
inline double tanh_value(double x) { return (double)::tanhf((float)x); }

// Through the stored (single-precision) output a, in double precision.
inline double tanh_operand_gradient(double g, double a) { return (1.0 - a * a) * g; }

// The value's derivatives, for the fitting's Jacobian.
inline double tanh_derivative(double /*x*/, double value) { return 1.0 - value * value; }

#endif  // KESTOR_TANH_H
