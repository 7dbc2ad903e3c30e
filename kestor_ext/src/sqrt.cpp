// "sqrt:1": square root, held at 0.1 for operands up to 0.01 so that negative
// operands give a finite output and the derivative stays bounded.
#include "pure_interaction.h"
#include "sqrt.h"

namespace {

int32_t sqrt_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->gradient[index + 1] += sqrt_operand_gradient(model->gradient[index], model->activation[index]);
    return STATUS_OK;
}

InteractionType sqrt1 = {
    "sqrt:1",                   // name
    1,                          // arity
    unary_forward<sqrt_value>,  // forward
    sqrt_reverse,               // reverse
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

const PredictOps sqrt_predict_ops = {
    nullptr,                        // bind
    unary_predict<sqrt_value>,      // value
    unary_derive<sqrt_derivative>,  // derive
};

}  // namespace

void init_sqrt() { register_interaction(&sqrt1, &sqrt_predict_ops, STEP_SQRT); }
