// "exp:1": e^x, held at e^6 above 6.0 so that the output stays finite.
#include "exp.h"
#include "pure_interaction.h"

namespace {

int32_t exp_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->gradient[index + 1] += exp_operand_gradient(model->gradient[index], model->activation[index]);
    return STATUS_OK;
}

InteractionType exp1 = {
    "exp:1",                   // name
    1,                         // arity
    unary_forward<exp_value>,  // forward
    exp_reverse,               // reverse
    nullptr,                   // attributes
    nullptr,                   // setattr
    nullptr,                   // getattr
    nullptr,                   // allocate
    nullptr,                   // deallocate
    nullptr,                   // set_inputarray
    nullptr,                   // set_expectedarray
    nullptr,                   // create_outputarray
    nullptr,                   // get_outputarray
    nullptr,                   // next
};

const PredictOps exp_predict_ops = {
    nullptr,                       // bind
    unary_predict<exp_value>,      // value
    unary_derive<exp_derivative>,  // derive
};

}  // namespace

void init_exp() { register_interaction(&exp1, &exp_predict_ops, STEP_EXP); }
