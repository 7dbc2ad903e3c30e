// The element types with a step of their own in the training loop: one line
// per type.  From this table come the loop's step kinds (training_plan.h),
// its labels, latencies and learning rates (training_plan.cpp), the
// registration of the types of vant._operators (operators.cpp), and the
// prediction operations _kestor gives those types when they join it
// (kestor.cpp).
//
// Columns: the library that registers the type (KESTOR: _kestor, whose
// initialisers run in the order kestor.cpp fixes; OPERATORS: vant._operators,
// in the order of the table), the shape of its step (UNARY, BINARY,
// PARAMETRISED, generated from the definition; REGISTER, written out in the
// loop), an identifier, and the definition (definition.h).
//
// A type that is not in the table ("in-cat:0", or one added by other native
// code) trains through its forward and reverse slots.
#ifndef KESTOR_ELEMENT_TYPES_H
#define KESTOR_ELEMENT_TYPES_H

#include "abs.h"
#include "add.h"
#include "cos.h"
#include "divide.h"
#include "exp.h"
#include "gaussian.h"
#include "inverse.h"
#include "linear.h"
#include "log.h"
#include "multiply.h"
#include "pow.h"
#include "register_in_lin.h"
#include "register_out_lin.h"
#include "register_out_lr.h"
#include "sin.h"
#include "sqrt.h"
#include "squared.h"
#include "tanh.h"

#define KESTOR_ELEMENT_TYPES(X)                          \
    X(KESTOR, REGISTER, in_linear, LinearInput)          \
    X(KESTOR, REGISTER, out_linear, LinearOutput)        \
    X(KESTOR, REGISTER, out_lr, LogisticOutput)          \
    X(KESTOR, PARAMETRISED, linear, Linear)              \
    X(KESTOR, BINARY, add, Add)                          \
    X(KESTOR, BINARY, multiply, Multiply)                \
    X(KESTOR, UNARY, exp, Exp)                           \
    X(KESTOR, UNARY, gaussian1, Gaussian1)               \
    X(KESTOR, BINARY, gaussian2, Gaussian2)              \
    X(KESTOR, UNARY, tanh, Tanh)                         \
    X(KESTOR, UNARY, log, Log)                           \
    X(KESTOR, UNARY, sqrt, Sqrt)                         \
    X(KESTOR, UNARY, squared, Squared)                   \
    X(KESTOR, UNARY, inverse, Inverse)                   \
    X(OPERATORS, UNARY, sin, Sin)                        \
    X(OPERATORS, UNARY, cos, Cos)                        \
    X(OPERATORS, BINARY, divide, Divide)                 \
    X(OPERATORS, PARAMETRISED, pow, Pow)                 \
    X(OPERATORS, UNARY, abs, Abs)

#endif  // KESTOR_ELEMENT_TYPES_H
