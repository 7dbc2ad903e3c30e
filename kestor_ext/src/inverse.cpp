// "inverse:1": 1/x, with operands closer to zero than 0.05 treated as ±0.05
// (on the side of x's sign bit, so -0.0 gives -20.0).
#include "inverse.h"
#include "pure_interaction.h"

namespace {

int32_t inverse_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->gradient[index + 1] =
        inverse_add_operand_gradient(model->gradient[index + 1], model->gradient[index], model->activation[index + 1]);
    return STATUS_OK;
}

InteractionType inverse1 = {
    "inverse:1",                   // name
    1,                             // arity
    unary_forward<inverse_value>,  // forward
    inverse_reverse,               // reverse
    nullptr,                       // attributes
    nullptr,                       // setattr
    nullptr,                       // getattr
    nullptr,                       // allocate
    nullptr,                       // deallocate
    nullptr,                       // set_inputarray
    nullptr,                       // set_expectedarray
    nullptr,                       // create_outputarray
    nullptr,                       // get_outputarray
    nullptr,                       // next
};

const PredictOps inverse_predict_ops = {
    nullptr,                           // bind
    unary_predict<inverse_value>,      // value
    unary_derive<inverse_derivative>,  // derive
};

}  // namespace

void init_inverse() { register_interaction(&inverse1, &inverse_predict_ops, STEP_INVERSE); }
