// "tanh:1": hyperbolic tangent, computed in single precision.
#include "kestor.h"

namespace {

// The operand is rounded to float and the float tangent widened back, so the
// output is always exactly representable as a 32-bit float.
inline double tanh_value(double x) { return (double)::tanhf((float)x); }

int32_t tanh_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->activation[index] = tanh_value(model->activation[index + 1]);
    return STATUS_OK;
}

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

int32_t tanh_predict(const PyModel * /*model*/, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                     double *values)
{
    values[index] = tanh_value(values[index + 1]);
    return STATUS_OK;
}

InteractionType tanh1 = {"tanh:1", 1, tanh_forward, tanh_reverse};

const PredictOps tanh_predict_ops = {&tanh1, nullptr, tanh_predict};

}  // namespace

void init_tanh()
{
    kestor_add_interactiontype(&tanh1);
    register_predict(&tanh_predict_ops);
}
