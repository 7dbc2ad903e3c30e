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

#endif  // KESTOR_PURE_INTERACTION_H
