// "out-linear:1": the root of a regression model.  Its prediction is a
// weighted operand mapped into the units of the expected values.
#include "element_name.h"
#include "predict.h"
#include "register_slots.h"
#include "register_out_lin.h"

namespace {

LinearOutputState *state_of(PyModel *model, int32_t index) { return register_state<LinearOutputState>(model, index); }

int32_t set_expectedarray(PyModel *model, int32_t index, PyObject *yarray, PyObject *sample_weights)
{
    LinearOutputState *s = state_of(model, index);
    output_bind_expected(s->arrays, s->columns, yarray, sample_weights);
    if (yarray == nullptr || s->p.detect_scale == 0) {
        return 0;
    }
    double max, min;
    if (!finite_range((PyArrayObject *)yarray, "Expected", element_name(model, index), &max, &min)) {
        return -1;
    }
    if (max > min) {
        s->p.scale_offset = 0.0;
        s->p.detect_scale = 0;
        s->p.scale = 0.5 * (max - min);
    }
    else {
        s->p.scale = 1.0;  // constant targets: detect again next time
    }
    return 0;
}

int32_t forward(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return 0;
    }
    LinearOutputState *s = state_of(model, index);
    double prediction = prediction_of(s, model->activation[index + 1]);
    model->activation[index] = prediction;
    return output_score(s->arrays, s->columns, ModelLoss{model}, prediction);
}

int32_t reverse(PyModel *model, int32_t index, int32_t n)
{
    LinearOutputState *s = state_of(model, index);
    double lr = LinearOutput::base_rate * model->rate_factor;
    if (n <= 0) {
        weight_bias_step(s->p.wb, 0.0, 0.0, lr, model->schedule);  // the moments decay
        return 0;
    }
    double d;
    int32_t status = output_derivative(s->arrays, s->columns, ModelLoss{model}, model->activation[index], &d);
    if (status != STATUS_OK) {
        return status;
    }
    double operand = model->activation[index + 1];
    double share = in_regime(model->schedule, [&](auto regime) {
        return linear_output_train<decltype(regime)::value>(s, d, operand, lr, model->schedule);
    });
    model->gradient[index + 1] = share + model->gradient[index + 1];
    return 0;
}

int32_t predict_value(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                      double *values)
{
    values[index] = prediction_of((const LinearOutputState *)model->state[index], values[index + 1]);
    return 0;
}

InteractionType out_linear = {
    LinearOutput::name,                     // name
    1,                                      // arity
    forward,                                // forward
    reverse,                                // reverse
    scaled_weight_bias_attributes,          // attributes
    register_setattr<LinearOutputState>,    // setattr
    register_getattr<LinearOutputState>,    // getattr
    register_allocate<LinearOutputState>,   // allocate
    output_deallocate<LinearOutputState>,   // deallocate
    nullptr,                                // set_inputarray
    set_expectedarray,                      // set_expectedarray
    output_create_slot<LinearOutputState>,  // create_outputarray
    output_take_slot<LinearOutputState>,    // get_outputarray
    nullptr,                                // next
};

int32_t predict_derive(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                       const double *values, Derivatives *out)
{
    const LinearOutputState *s = (const LinearOutputState *)model->state[index];
    out->operand[0] = s->p.wb.w * s->p.scale;
    out->parameter[WEIGHT] = values[index + 1] * s->p.scale;
    out->parameter[BIAS] = s->p.scale;
    return STATUS_OK;
}

const PredictOps out_linear_predict = {
    nullptr,                 // bind
    predict_value,           // value
    predict_derive,          // derive
    weight_bias_attributes,  // parameters
};

}  // namespace

void init_register_out_lin() { register_interaction(&out_linear, &out_linear_predict); }
