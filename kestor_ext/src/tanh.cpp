// "tanh:1": hyperbolic tangent, computed in single precision.
#include "kestor.h"

namespace {

// The operand is rounded to float and the float tangent widened back, so the
// output is always exactly representable as a 32-bit float.
inline double tanh_value(double x) { return (double)::tanhf((float)x); }

// Through the stored (single-precision) output, in double precision.
int32_t tanh_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double a = model->activation[index];
    model->gradient[index + 1] += (1.0 - a * a) * model->gradient[index];
    return STATUS_OK;
}

InteractionType tanh1 = {"tanh:1", 1, unary_forward<tanh_value>, tanh_reverse};

const PredictOps tanh_predict_ops = {&tanh1, nullptr, unary_predict<tanh_value>};

}  // namespace

void init_tanh()
{
    kestor_add_interactiontype(&tanh1);
    register_predict(&tanh_predict_ops);
}
