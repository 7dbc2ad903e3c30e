// "multiply:2": the product of two sub-expressions.
#include "kestor.h"

namespace {

inline double multiply_value(double x, double y) { return x * y; }

int32_t multiply_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    // Every input is read before any gradient is written, so the result does
    // not depend on which slots the two operands occupy.
    int32_t second = model->second_operand[index];
    double x = model->activation[index + 1];
    double y = model->activation[second];
    double g = model->gradient[index];
    model->gradient[index + 1] += g * y;
    model->gradient[second] += x * g;
    return STATUS_OK;
}

InteractionType multiply2 = {"multiply:2", 2, binary_forward<multiply_value>, multiply_reverse};

const PredictOps multiply_predict_ops = {&multiply2, nullptr, binary_predict<multiply_value>};

}  // namespace

void init_multiply()
{
    kestor_add_interactiontype(&multiply2);
    register_predict(&multiply_predict_ops);
}
