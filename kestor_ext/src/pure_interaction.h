// Forward and prediction of interactions whose value is a pure function of
// their operands' values: one value function serves both.
#ifndef KESTOR_PURE_INTERACTION_H
#define KESTOR_PURE_INTERACTION_H

#include "predict.h"

template <double (*value)(double)>
int32_t unary_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n > 0) {
        model->activation[index] = value(model->activation[index + 1]);
    }
    return STATUS_OK;
}

template <double (*value)(double)>
int32_t unary_predict(const PyModel * /*model*/, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                      double *values)
{
    values[index] = value(values[index + 1]);
    return STATUS_OK;
}

template <double (*value)(double, double)>
int32_t binary_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n > 0) {
        model->activation[index] =
            value(model->activation[index + 1], model->activation[model->second_operand[index]]);
    }
    return STATUS_OK;
}

template <double (*value)(double, double)>
int32_t binary_predict(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                       double *values)
{
    values[index] = value(values[index + 1], values[model->second_operand[index]]);
    return STATUS_OK;
}

// The derivative of a one-operand function, from its operand and its value.
template <double (*derivative)(double x, double value)>
int32_t unary_derive(const PyModel * /*model*/, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                     const double *values, Derivatives *out)
{
    out->operand[0] = derivative(values[index + 1], values[index]);
    return STATUS_OK;
}

// The derivatives of a two-operand function with respect to its first and
// its second operand, from both operands.
template <double (*first)(double x, double y), double (*second)(double x, double y)>
int32_t binary_derive(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                      const double *values, Derivatives *out)
{
    double x = values[index + 1], y = values[model->second_operand[index]];
    out->operand[0] = first(x, y);
    out->operand[1] = second(x, y);
    return STATUS_OK;
}

#endif  // KESTOR_PURE_INTERACTION_H
