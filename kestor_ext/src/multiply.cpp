// "multiply:2": the product of two sub-expressions.
#include "multiply.h"
#include "pure_interaction.h"

namespace {

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
    model->gradient[index + 1] += multiply_first_gradient(g, y);
    model->gradient[second] += multiply_second_gradient(g, x);
    return STATUS_OK;
}

InteractionType multiply2 = {
    "multiply:2",                    // name
    2,                               // arity
    binary_forward<multiply_value>,  // forward
    multiply_reverse,                // reverse
    nullptr,                         // attributes
    nullptr,                         // setattr
    nullptr,                         // getattr
    nullptr,                         // allocate
    nullptr,                         // deallocate
    nullptr,                         // set_inputarray
    nullptr,                         // set_expectedarray
    nullptr,                         // create_outputarray
    nullptr,                         // get_outputarray
    nullptr,                         // next
};

const PredictOps multiply_predict_ops = {
    nullptr,                                                               // bind
    binary_predict<multiply_value>,                                        // value
    binary_derive<multiply_first_derivative, multiply_second_derivative>,  // derive
};

}  // namespace

void init_multiply() { register_interaction(&multiply2, &multiply_predict_ops, STEP_MULTIPLY); }
