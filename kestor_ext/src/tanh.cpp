// "tanh:1": hyperbolic tangent, computed in single precision.
#include "pure_interaction.h"
#include "tanh.h"

namespace {

int32_t tanh_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->gradient[index + 1] += tanh_operand_gradient(model->gradient[index], model->activation[index]);
    return STATUS_OK;
}

InteractionType tanh1 = {
    "tanh:1",                   // name
    1,                          // arity
    unary_forward<tanh_value>,  // forward
    tanh_reverse,               // reverse
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

const PredictOps tanh_predict_ops = {
    nullptr,                        // bind
    unary_predict<tanh_value>,      // value
    unary_derive<tanh_derivative>,  // derive
};

}  // namespace

void init_tanh() { register_interaction(&tanh1, &tanh_predict_ops, STEP_TANH); }
