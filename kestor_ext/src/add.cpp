// "add:2": the sum of two sub-expressions.
#include "add.h"
#include "pure_interaction.h"

namespace {

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

InteractionType add2 = {
    "add:2",                    // name
    2,                          // arity
    binary_forward<add_value>,  // forward
    add_reverse,                // reverse
    nullptr,                    // attributes
    nullptr,                    // setattr
    nullptr,                    // getattr
    nullptr,                    // allocate
    nullptr,                    // deallocate
    nullptr,                    // set_inputarray
    nullptr,                    // set_expectedarray
    nullptr,                    // create_outputarray
    nullptr,                    // get_outputarray
    nullptr,                    // next
};

const PredictOps add_predict_ops = {
    nullptr,                                        // bind
    binary_predict<add_value>,                      // value
    binary_derive<add_derivative, add_derivative>,  // derive
};

}  // namespace

void init_add() { register_interaction(&add2, &add_predict_ops, STEP_ADD); }
