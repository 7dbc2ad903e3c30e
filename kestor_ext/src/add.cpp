// "add:2": the sum of two sub-expressions.
#include "kestor.h"

namespace {

inline double add_value(double x, double y) { return x + y; }

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

InteractionType add2 = {"add:2", 2, binary_forward<add_value>, add_reverse};

const PredictOps add_predict_ops = {&add2, nullptr, binary_predict<add_value>};

}  // namespace

void init_add()
{
    kestor_add_interactiontype(&add2);
    register_predict(&add_predict_ops);
}
