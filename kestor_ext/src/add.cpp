// "add:2": the sum of two sub-expressions.
#include "kestor.h"

namespace {

inline double add_value(double x, double y) { return x + y; }

int32_t add_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    int32_t second = model->second_operand[index];
    model->activation[index] = add_value(model->activation[index + 1], model->activation[second]);
    return STATUS_OK;
}

int32_t add_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double g = model->gradient[index];
    model->gradient[index + 1] += g;
    model->gradient[model->second_operand[index]] += g;
    return STATUS_OK;
}

int32_t add_predict(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                    double *values)
{
    values[index] = add_value(values[index + 1], values[model->second_operand[index]]);
    return STATUS_OK;
}

InteractionType add2 = {"add:2", 2, add_forward, add_reverse};

const PredictOps add_predict_ops = {&add2, nullptr, add_predict};

}  // namespace

void init_add()
{
    kestor_add_interactiontype(&add2);
    register_predict(&add_predict_ops);
}
