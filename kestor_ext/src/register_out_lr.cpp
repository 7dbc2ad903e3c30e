// "out-lr:1": the root of a binary classification model; predicts the
// probability of the positive class through the logistic function.
#include "predict.h"
#include "register_slots.h"
#include "register_out_lr.h"

namespace {

LogisticOutputState *state_of(PyModel *model, int32_t index)
{
    return register_state<LogisticOutputState>(model, index);
}

int32_t set_expectedarray(PyModel *model, int32_t index, PyObject *yarray, PyObject *sample_weights)
{
    LogisticOutputState *s = state_of(model, index);
    output_bind_expected(s->arrays, s->columns, yarray, sample_weights);
    return 0;
}

int32_t forward(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return 0;
    }
    LogisticOutputState *s = state_of(model, index);
    double p = probability_of(s, model->activation[index + 1]);
    model->activation[index] = p;
    return output_score(s->arrays, s->columns, ModelLoss{model}, p);
}

int32_t reverse(PyModel *model, int32_t index, int32_t n)
{
    LogisticOutputState *s = state_of(model, index);
    double lr = LogisticOutput::base_rate * model->rate_factor;
    if (n <= 0) {
        weight_bias_step(s->p, 0.0, 0.0, lr, model->schedule);  // the moments decay
        return 0;
    }
    double p = model->activation[index];
    double d;
    int32_t status = output_derivative(s->arrays, s->columns, ModelLoss{model}, p, &d);
    if (status != STATUS_OK) {
        return status;
    }
    double operand = model->activation[index + 1];
    double share = in_regime(model->schedule, [&](auto regime) {
        return logistic_output_train<decltype(regime)::value>(s, d, p, operand, lr, model->schedule);
    });
    model->gradient[index + 1] += share;
    return 0;
}

int32_t predict_value(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                      double *values)
{
    values[index] = probability_of((const LogisticOutputState *)model->state[index], values[index + 1]);
    return 0;
}

InteractionType out_lr = {
    LogisticOutput::name,                     // name
    1,                                        // arity
    forward,                                  // forward
    reverse,                                  // reverse
    weight_bias_attributes,                   // attributes
    register_setattr<LogisticOutputState>,    // setattr
    register_getattr<LogisticOutputState>,    // getattr
    register_allocate<LogisticOutputState>,   // allocate
    output_deallocate<LogisticOutputState>,   // deallocate
    nullptr,                                  // set_inputarray
    set_expectedarray,                        // set_expectedarray
    output_create_slot<LogisticOutputState>,  // create_outputarray
    output_take_slot<LogisticOutputState>,    // get_outputarray
    nullptr,                                  // next
};

// Of the link operand·w + bias, before the logistic function.
int32_t predict_derive(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                       const double *values, Derivatives *out)
{
    const LogisticOutputState *s = (const LogisticOutputState *)model->state[index];
    out->operand[0] = s->p.w;
    out->parameter[WEIGHT] = values[index + 1];
    out->parameter[BIAS] = 1.0;
    return STATUS_OK;
}

const PredictOps out_lr_predict = {
    nullptr,                 // bind
    predict_value,           // value
    predict_derive,          // derive
    weight_bias_attributes,  // parameters
};

}  // namespace

void init_register_out_lr() { register_interaction(&out_lr, &out_lr_predict); }
