// "exp:1": e^x, held at e^6 above 6.0 so that the output stays finite.
#include "pure_interaction.h"

namespace {

constexpr double EXP_MAX_INPUT = 6.0;
constexpr double EXP_MAX_VALUE = 403.4287934927351;  // exp(6.0) to the last bit

inline double exp_value(double x) { return x > EXP_MAX_INPUT ? EXP_MAX_VALUE : std::exp(x); }

// Through the stored output: above the clamp the derivative stays g·e⁶ rather
// than dropping to zero, so training can still pull the operand back.
int32_t exp_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->gradient[index + 1] += model->gradient[index] * model->activation[index];
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
    nullptr,                   // bind
    unary_predict<exp_value>,  // value
};

}  // namespace

void init_exp() { register_interaction(&exp1, &exp_predict_ops); }
