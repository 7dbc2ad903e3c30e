// The descriptor, slots and prediction operations of an interaction whose
// value is a pure function of its operands' values, generated from its
// definition (definition.h: UnaryDefinition or BinaryDefinition).
#ifndef KESTOR_PURE_INTERACTION_H
#define KESTOR_PURE_INTERACTION_H

#include "definition.h"
#include "predict.h"

#include <type_traits>

template <class Def>
constexpr bool is_unary = std::is_base_of_v<UnaryDefinition, Def>;

template <class Def>
int32_t pure_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double x = model->activation[index + 1];
    if constexpr (is_unary<Def>) {
        model->activation[index] = Def::value(x);
    }
    else {
        model->activation[index] = Def::value(x, model->activation[model->second_operand[index]]);
    }
    return STATUS_OK;
}

// Adds the operands' shares of the element's gradient into theirs.
template <class Def>
int32_t pure_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double g = model->gradient[index];
    double x = model->activation[index + 1];
    double a = model->activation[index];
    if constexpr (is_unary<Def>) {
        model->gradient[index + 1] += Def::operand_gradient(g, x, a);
    }
    else {
        int32_t second = model->second_operand[index];
        OperandShares shares = Def::shares(g, x, model->activation[second], a);
        model->gradient[index + 1] += shares.first;
        model->gradient[second] += shares.second;
    }
    return STATUS_OK;
}

template <class Def>
int32_t pure_predict(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                     double *values)
{
    if constexpr (is_unary<Def>) {
        values[index] = Def::value(values[index + 1]);
    }
    else {
        values[index] = Def::value(values[index + 1], values[model->second_operand[index]]);
    }
    return STATUS_OK;
}

template <class Def>
int32_t pure_derive(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                    const double *values, Derivatives *out)
{
    if constexpr (is_unary<Def>) {
        out->operand[0] = Def::derivative(values[index + 1], values[index]);
    }
    else {
        OperandShares d = Def::derivatives(values[index + 1], values[model->second_operand[index]], values[index]);
        out->operand[0] = d.first;
        out->operand[1] = d.second;
    }
    return STATUS_OK;
}

template <class Def>
constexpr InteractionType pure_descriptor()
{
    return InteractionType{Def::name, Def::arity, pure_forward<Def>, pure_reverse<Def>};
}

#endif  // KESTOR_PURE_INTERACTION_H
