// "multiply:2": the product of two sub-expressions.
#ifndef KESTOR_MULTIPLY_H
#define KESTOR_MULTIPLY_H

inline double multiply_value(double x, double y) { return x * y; }

// The shares of gradient g of the first operand x and of the second y.
inline double multiply_first_gradient(double g, double y) { return g * y; }
inline double multiply_second_gradient(double g, double x) { return x * g; }

// The value's derivatives, for the fitting's Jacobian.
inline double multiply_first_derivative(double /*x*/, double y) { return y; }
inline double multiply_second_derivative(double x, double /*y*/) { return x; }

#endif  // KESTOR_MULTIPLY_H
