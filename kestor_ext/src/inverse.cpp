// "inverse:1": 1/x, with operands closer to zero than 0.05 treated as ±0.05
// (on the side of x's sign bit, so -0.0 gives -20.0).
#include "pure_interaction.h"

namespace {

constexpr double DIVISOR_MIN_MAGNITUDE = 0.05;
// Inside the clamp the output is flat; the reverse instead pushes the operand
// by this fixed amount away from zero on its own side, whatever the incoming
// gradient, so that training leaves the region where 1/x explodes.
constexpr double CLAMP_PUSH = 10.0;

inline bool in_clamp(double x) { return std::fabs(x) < DIVISOR_MIN_MAGNITUDE; }

inline double inverse_value(double x)
{
    return in_clamp(x) ? 1.0 / std::copysign(DIVISOR_MIN_MAGNITUDE, x) : 1.0 / x;
}

int32_t inverse_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double x = model->activation[index + 1];
    double &operand_gradient = model->gradient[index + 1];
    if (in_clamp(x)) {
        operand_gradient = operand_gradient - std::copysign(CLAMP_PUSH, x);
    } else {
        operand_gradient += (-model->gradient[index]) / (x * x);
    }
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
    nullptr,                       // bind
    unary_predict<inverse_value>,  // value
};

}  // namespace

void init_inverse() { register_interaction(&inverse1, &inverse_predict_ops); }
