// "sqrt:1": square root, held at 0.1 for operands up to 0.01 so that negative
// operands give a finite output and the derivative stays bounded.
#include "pure_interaction.h"

namespace {

constexpr double SQRT_MIN_INPUT = 0.01;
constexpr double SQRT_MIN_VALUE = 0.1;  // sqrt(0.01) to the last bit

inline double sqrt_value(double x) { return x <= SQRT_MIN_INPUT ? SQRT_MIN_VALUE : std::sqrt(x); }

// Through the stored output: d sqrt(x) = 1 / (2 sqrt(x)), which inside the
// clamp is the derivative at the threshold, 5g.
int32_t sqrt_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double a = model->activation[index];
    model->gradient[index + 1] += model->gradient[index] / (a + a);
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
    nullptr,                    // bind
    unary_predict<sqrt_value>,  // value
};

}  // namespace

void init_sqrt() { register_interaction(&sqrt1, &sqrt_predict_ops); }
