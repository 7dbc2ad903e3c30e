// "squared:1": x², held at 400.0 for magnitudes above 20.0.
#include "pure_interaction.h"
#include "squared.h"

namespace {

int32_t squared_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->gradient[index + 1] += squared_operand_gradient(model->gradient[index], model->activation[index + 1]);
    return STATUS_OK;
}

InteractionType squared1 = {
    "squared:1",                   // name
    1,                             // arity
    unary_forward<squared_value>,  // forward
    squared_reverse,               // reverse
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

const PredictOps squared_predict_ops = {
    nullptr,                           // bind
    unary_predict<squared_value>,      // value
    unary_derive<squared_derivative>,  // derive
};

}  // namespace

void init_squared() { register_interaction(&squared1, &squared_predict_ops, STEP_SQUARED); }
