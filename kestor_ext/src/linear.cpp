// "linear:1": w·x + bias with a learnable weight and bias.
#include "linear.h"
#include "predict.h"

#include <cstdlib>

namespace {

const char *const linear_attributes[] = {"w", "bias", nullptr};

inline LinearState *linear_state(const PyModel *model, int32_t index)
{
    return static_cast<LinearState *>(model->state[index]);
}

void *linear_allocate(PyModel * /*model*/, int32_t /*index*/) { return std::calloc(1, sizeof(LinearState)); }

void linear_deallocate(PyModel * /*model*/, int32_t /*index*/, void *state) { std::free(state); }

PyObject *linear_getattr(PyModel *model, int32_t index, const char *name)
{
    return weight_bias_get(*linear_state(model, index), name);
}

int32_t linear_setattr(PyModel *model, int32_t index, const char *name, PyObject *value)
{
    return weight_bias_set(*linear_state(model, index), name, value);
}

int32_t linear_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->activation[index] = linear_value(model->activation[index + 1], linear_state(model, index));
    return STATUS_OK;
}

// The operand's gradient uses w from before this step's update; both
// parameters step even when no sample came in (their moments decay).
int32_t linear_reverse(PyModel *model, int32_t index, int32_t n)
{
    LinearState *s = linear_state(model, index);
    double lr = LINEAR_BASE_RATE * model->rate_factor;
    if (n <= 0) {
        weight_bias_step(*s, 0.0, 0.0, lr, model->schedule);
        return STATUS_OK;
    }
    double g = model->gradient[index];
    double operand = model->activation[index + 1];
    double share = in_regime(model->schedule, [&](auto regime) {
        return linear_train<decltype(regime)::value>(s, g, operand, lr, model->schedule);
    });
    model->gradient[index + 1] = model->gradient[index + 1] + share;
    return STATUS_OK;
}

int32_t linear_predict(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                       double *values)
{
    values[index] = linear_value(values[index + 1], linear_state(model, index));
    return STATUS_OK;
}

InteractionType linear1 = {
    "linear:1",         // name
    1,                  // arity
    linear_forward,     // forward
    linear_reverse,     // reverse
    linear_attributes,  // attributes
    linear_setattr,     // setattr
    linear_getattr,     // getattr
    linear_allocate,    // allocate
    linear_deallocate,  // deallocate
    nullptr,            // set_inputarray
    nullptr,            // set_expectedarray
    nullptr,            // create_outputarray
    nullptr,            // get_outputarray
    nullptr,            // next
};

int32_t linear_derive(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                      const double *values, Derivatives *out)
{
    const LinearState *s = (const LinearState *)model->state[index];
    out->operand[0] = s->w;
    out->w = values[index + 1];
    out->bias = 1.0;
    return STATUS_OK;
}

const PredictOps linear_predict_ops = {
    nullptr,         // bind
    linear_predict,  // value
    linear_derive,   // derive
};

}  // namespace

void init_linear() { register_interaction(&linear1, &linear_predict_ops, STEP_LINEAR); }
