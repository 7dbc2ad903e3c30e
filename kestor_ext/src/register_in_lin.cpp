// "in-linear:0": a numeric column, normalised to -1..1 by a detected scale,
// then weighted.
#include "element_name.h"
#include "input_scale.h"
#include "predict.h"
#include "register_slots.h"
#include "register_in_lin.h"

namespace {

LinearInputState *state_of(PyModel *model, int32_t index) { return register_state<LinearInputState>(model, index); }

void deallocate(PyModel * /*model*/, int32_t /*index*/, void *state)
{
    auto *s = (LinearInputState *)state;
    Py_CLEAR(s->inputarray);
    free(s);
}

int32_t set_inputarray(PyModel *model, int32_t index, PyObject *array)
{
    LinearInputState *s = state_of(model, index);
    s->position = 0;
    Py_CLEAR(s->inputarray);
    s->column = NO_COLUMN;
    if (array == nullptr) {
        return 0;
    }
    s->inputarray = Py_NewRef(array);
    s->column = column_of((PyArrayObject *)array);
    if (s->p.detect_scale == 0) {
        return 0;
    }
    double max, min;
    if (!finite_range((PyArrayObject *)array, "Input", element_name(model, index), &max, &min)) {
        return -1;
    }
    detect_input_scale(max, min, &s->p.scale, &s->p.scale_offset);
    s->p.detect_scale = 0;
    return 0;
}

int32_t forward(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return 0;
    }
    LinearInputState *s = state_of(model, index);
    double x;
    int32_t status = linear_input_sample(s, &x);
    if (status != STATUS_OK) {
        return status;
    }
    model->activation[index] = input_value(s, x);
    if (n != 1) {
        return STATUS_UNSUPPORTED;  // the register evaluates one sample per call
    }
    s->position += 1;
    return 0;
}

int32_t reverse(PyModel *model, int32_t index, int32_t n)
{
    LinearInputState *s = state_of(model, index);
    double lr = LinearInput::base_rate * model->rate_factor;
    if (n <= 0) {
        weight_bias_step(s->p.wb, 0.0, 0.0, lr, model->schedule);  // the moments decay
        return 0;
    }
    double g = model->gradient[index];
    in_regime(model->schedule,
              [&](auto regime) { linear_input_train<decltype(regime)::value>(s, g, lr, model->schedule); });
    return 0;
}

int32_t predict_bind(PyModel * /*model*/, int32_t /*index*/, PyObject *array, PredictColumn *out)
{
    out->owned = Py_NewRef(array);
    out->column = column_of((PyArrayObject *)array);
    return 0;
}

int32_t predict_value(const PyModel *model, int32_t index, npy_intp p, const PredictColumn *column, double *values)
{
    double x;
    int32_t status = read_sample(column->column, p, &x);
    if (status == 0) {
        values[index] = input_value((const LinearInputState *)model->state[index], x);
    }
    return status;
}

InteractionType in_linear = {
    LinearInput::name,                    // name
    0,                                    // arity
    forward,                              // forward
    reverse,                              // reverse
    scaled_weight_bias_attributes,        // attributes
    register_setattr<LinearInputState>,   // setattr
    register_getattr<LinearInputState>,   // getattr
    register_allocate<LinearInputState>,  // allocate
    deallocate,                           // deallocate
    set_inputarray,                       // set_inputarray
    nullptr,                              // set_expectedarray
    nullptr,                              // create_outputarray
    nullptr,                              // get_outputarray
    nullptr,                              // next
};

// d value / d w is the normalised sample, read again from the column.
int32_t predict_derive(const PyModel *model, int32_t index, npy_intp p, const PredictColumn *column,
                       const double * /*values*/, Derivatives *out)
{
    const LinearInputState *s = (const LinearInputState *)model->state[index];
    double x = 0.0;  // read_sample leaves it unset when it fails (the call then fails)
    int32_t status = read_sample(column->column, p, &x);
    out->parameter[WEIGHT] = (x - s->p.scale_offset) * s->p.scale;
    out->parameter[BIAS] = 1.0;
    return status;
}

const PredictOps in_linear_predict = {
    predict_bind,            // bind
    predict_value,           // value
    predict_derive,          // derive
    weight_bias_attributes,  // parameters
};

}  // namespace

void init_register_in_lin() { register_interaction(&in_linear, &in_linear_predict); }
