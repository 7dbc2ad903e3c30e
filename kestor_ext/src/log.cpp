// "log:1": natural logarithm, held at log(0.0001) below 0.0001 so that zero
// and negative operands give a finite output.
#include "log.h"
#include "pure_interaction.h"

namespace {

int32_t log_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->gradient[index + 1] += log_operand_gradient(model->gradient[index], model->activation[index + 1]);
    return STATUS_OK;
}

InteractionType log1 = {
    "log:1",                   // name
    1,                         // arity
    unary_forward<log_value>,  // forward
    log_reverse,               // reverse
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

const PredictOps log_predict_ops = {
    nullptr,                       // bind
    unary_predict<log_value>,      // value
    unary_derive<log_derivative>,  // derive
};

}  // namespace

void init_log() { register_interaction(&log1, &log_predict_ops, STEP_LOG); }
