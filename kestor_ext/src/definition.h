// The shapes an element type's definition takes.  A definition is a struct
// of static members, written once in the type's own header (exp.h, pow.h,
// ...): its name, its constants, its value, its derivatives and its update.
// Templates generate the rest from it: the descriptor and its slots and the
// prediction operations (pure_interaction.h, parametrised_interaction.h),
// and the type's step in the training loop (element_types.h lists the types
// that have one).
//
// Every definition names its type ("kind:arity") and gives rough latencies
// of its step (StepLatency); the shapes add:
//   UnaryDefinition         value(x), operand_gradient(g, x, a),
//                           derivative(x, a)
//   BinaryDefinition        value(x, y), shares(g, x, y, a),
//                           derivatives(x, y, a)
//   ParametrisedDefinition  a State record with the parameters and their
//                           moments, fresh(), get, set, value(x, state),
//                           train<R>(state, g, x, a, lr, schedule),
//                           idle<R>(state, lr, schedule), derive(x, a, state,
//                           out) with the parameters it derives by
//                           (derived), and base_rate
//   RegisterDefinition      base_rate; the slots and the loop's steps are the
//                           register's own
// with x and y the operands' values, a the element's value and g its
// gradient.
#ifndef KESTOR_DEFINITION_H
#define KESTOR_DEFINITION_H

#include "kestor.h"

// Rough latencies, in cycles, of a type's step along the chains that run
// from a parameter through the forward to the root and back through the
// reverse to the parameter's next value: the longest such chain bounds the
// time of a sample.  They only choose an order of the loop's operations; any
// order gives the same bits.
struct StepLatency {
    int32_t forward;  // from the operand values (or the parameters) to the value
    int32_t reverse;  // from the element's gradient to its operands' gradients
    int32_t update;   // from the element's gradient to its parameters' new values; 0 without parameters
};

// A binary element's shares of its gradient for its first and second
// operand, or its value's derivatives in them.
struct OperandShares {
    double first;
    double second;
};

struct UnaryDefinition {
    static constexpr int32_t arity = 1;
    static constexpr double base_rate = 0.0;
};

struct BinaryDefinition {
    static constexpr int32_t arity = 2;
    static constexpr double base_rate = 0.0;
};

struct ParametrisedDefinition {
    static constexpr int32_t arity = 1;
};

struct RegisterDefinition {};

#endif  // KESTOR_DEFINITION_H
