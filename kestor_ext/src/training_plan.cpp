// The per-sample training loop of Model._fit, planned once per call
// (training_plan.h).
#include "add.h"
#include "exp.h"
#include "gaussian.h"
#include "inverse.h"
#include "linear.h"
#include "log.h"
#include "multiply.h"
#include "register_in_lin.h"
#include "register_out_lin.h"
#include "register_out_lr.h"
#include "sqrt.h"
#include "squared.h"
#include "tanh.h"
#include "training_plan.h"

#include <algorithm>

namespace {

struct TrainStep {
    StepKind kind;
    int32_t second;  // the second operand of a binary element
    void *state;
    double lr;       // the learning rate of the call, for elements with parameters
    kestor_step_fn forward;  // STEP_SLOT only
    kestor_step_fn reverse;
};

struct TrainPlan {
    TrainStep steps[MAX_ELEMENTS];
    int32_t count;
    // Slot steps add into their operands' gradients in the record, which
    // must then start every sample at zero as before; inlined steps set them.
    bool zero_gradients;
    CallLoss loss;
    UpdateSchedule schedule;

    explicit TrainPlan(const PyModel *model) : count(model->count), zero_gradients(false), loss(model),
                                               schedule(model->schedule) {}
};

double base_rate(StepKind kind)
{
    switch (kind) {
        case STEP_IN_LINEAR: return LINEAR_INPUT_BASE_RATE;
        case STEP_OUT_LINEAR: return LINEAR_OUTPUT_BASE_RATE;
        case STEP_OUT_LR: return LOGISTIC_OUTPUT_BASE_RATE;
        case STEP_LINEAR: return LINEAR_BASE_RATE;
        default: return 0.0;
    }
}

void plan_steps(const PyModel *model, TrainPlan *plan)
{
    for (int32_t i = 0; i < plan->count; i++) {
        const InteractionType *type = model->type[i];
        StepKind kind = step_kind_of(type);
        // The operations of the output registers serve only the root.
        if (i > 0 && (kind == STEP_OUT_LINEAR || kind == STEP_OUT_LR)) {
            kind = STEP_SLOT;
        }
        TrainStep &step = plan->steps[i];
        step.kind = kind;
        step.second = model->second_operand[i];
        step.state = model->state[i];
        step.lr = base_rate(kind) * model->rate_factor;
        step.forward = type->forward;
        step.reverse = type->reverse;
        plan->zero_gradients = plan->zero_gradients || kind == STEP_SLOT;
    }
}

// Element i's forward: *a holds its first operand's value on entry and its
// own value on return.
template <UpdateRegime R>
inline int32_t step_forward(PyModel *model, const TrainPlan &plan, int32_t i, double *a)
{
    const TrainStep &step = plan.steps[i];
    const double *activation = model->activation;
    switch (step.kind) {
        case STEP_IN_LINEAR: {
            auto *s = (LinearInputState *)step.state;
            double x;
            int32_t status = linear_input_sample(s, &x);
            if (status != STATUS_OK) {
                return status;
            }
            *a = input_value(s, x);
            s->position += 1;
            return STATUS_OK;
        }
        case STEP_OUT_LINEAR: {
            auto *s = (LinearOutputState *)step.state;
            *a = prediction_of(s, *a);
            model->activation[i] = *a;
            return output_score(s->arrays, s->columns, plan.loss, *a);
        }
        case STEP_OUT_LR: {
            auto *s = (LogisticOutputState *)step.state;
            *a = probability_of(s, *a);
            model->activation[i] = *a;
            return output_score(s->arrays, s->columns, plan.loss, *a);
        }
        case STEP_LINEAR: *a = linear_value(*a, (const LinearState *)step.state); return STATUS_OK;
        case STEP_ADD: *a = add_value(*a, activation[step.second]); return STATUS_OK;
        case STEP_MULTIPLY: *a = multiply_value(*a, activation[step.second]); return STATUS_OK;
        case STEP_EXP: *a = exp_value(*a); return STATUS_OK;
        case STEP_GAUSSIAN1: *a = gaussian1_value(*a); return STATUS_OK;
        case STEP_GAUSSIAN2: *a = gaussian2_value(*a, activation[step.second]); return STATUS_OK;
        case STEP_TANH: *a = tanh_value(*a); return STATUS_OK;
        case STEP_LOG: *a = log_value(*a); return STATUS_OK;
        case STEP_SQRT: *a = sqrt_value(*a); return STATUS_OK;
        case STEP_SQUARED: *a = squared_value(*a); return STATUS_OK;
        case STEP_INVERSE: *a = inverse_value(*a); return STATUS_OK;
        default: {
            int32_t status = step.forward(model, i, 1);
            *a = model->activation[i];
            return status;
        }
    }
}

// Element i's reverse: g is its own gradient (for the root: its prediction,
// from which the output registers take the loss derivative).  Returns the
// gradient of element i + 1 when i has operands; the record receives it too.
template <UpdateRegime R>
inline int32_t step_reverse(PyModel *model, const TrainPlan &plan, int32_t i, double *g)
{
    const TrainStep &step = plan.steps[i];
    const double *activation = model->activation;
    double *gradient = model->gradient;
    const UpdateSchedule &schedule = plan.schedule;
    // The gradient of the first operand: each element is the only one that
    // adds into its operands' gradients, which start every sample at zero.
    double first;
    switch (step.kind) {
        case STEP_IN_LINEAR:
            linear_input_train<R>((LinearInputState *)step.state, *g, step.lr, schedule);
            return STATUS_OK;
        case STEP_OUT_LINEAR: {
            auto *s = (LinearOutputState *)step.state;
            double d;
            int32_t status = output_derivative(s->arrays, s->columns, plan.loss, *g, &d);
            if (status != STATUS_OK) {
                return status;
            }
            first = linear_output_train<R>(s, d, activation[i + 1], step.lr, schedule) + 0.0;
            break;
        }
        case STEP_OUT_LR: {
            auto *s = (LogisticOutputState *)step.state;
            double d;
            int32_t status = output_derivative(s->arrays, s->columns, plan.loss, *g, &d);
            if (status != STATUS_OK) {
                return status;
            }
            first = 0.0 + logistic_output_train<R>(s, d, *g, activation[i + 1], step.lr, schedule);
            break;
        }
        case STEP_LINEAR:
            first = 0.0 + linear_train<R>((LinearState *)step.state, *g, activation[i + 1], step.lr, schedule);
            break;
        case STEP_ADD:
            first = 0.0 + *g;
            gradient[step.second] = 0.0 + *g;
            break;
        case STEP_MULTIPLY: {
            double x = activation[i + 1];
            double y = activation[step.second];
            first = 0.0 + multiply_first_gradient(*g, y);
            gradient[step.second] = 0.0 + multiply_second_gradient(*g, x);
            break;
        }
        case STEP_EXP: first = 0.0 + exp_operand_gradient(*g, activation[i]); break;
        case STEP_GAUSSIAN1:
            first = 0.0 + gaussian_operand_gradient(gaussian_common_factor(*g, activation[i]), activation[i + 1]);
            break;
        case STEP_GAUSSIAN2: {
            double c = gaussian_common_factor(*g, activation[i]);
            first = 0.0 + gaussian_operand_gradient(c, activation[i + 1]);
            gradient[step.second] = 0.0 + gaussian_second_gradient(c, activation[step.second]);
            break;
        }
        case STEP_TANH: first = 0.0 + tanh_operand_gradient(*g, activation[i]); break;
        case STEP_LOG: first = 0.0 + log_operand_gradient(*g, activation[i + 1]); break;
        case STEP_SQRT: first = 0.0 + sqrt_operand_gradient(*g, activation[i]); break;
        case STEP_SQUARED: first = 0.0 + squared_operand_gradient(*g, activation[i + 1]); break;
        case STEP_INVERSE: first = inverse_add_operand_gradient(0.0, *g, activation[i + 1]); break;
        default: return step.reverse(model, i, 1);
    }
    gradient[i + 1] = first;
    *g = first;
    return STATUS_OK;
}

template <UpdateRegime R>
int32_t train_in_regime(PyModel *model, const TrainPlan &plan, npy_intp n)
{
    const int32_t last = plan.count - 1;
    double *activation = model->activation;
    double *gradient = model->gradient;
    for (npy_intp k = 0; k < n; k++) {
        if (plan.zero_gradients) {
            std::fill(gradient, gradient + MAX_ELEMENTS, 0.0);
        }
        double a = 0.0;
        for (int32_t i = last; i >= 0; i--) {
            int32_t status = step_forward<R>(model, plan, i, &a);
            if (status != STATUS_OK) {
                return status;
            }
            activation[i] = a;
        }
        // The root's reverse starts from its prediction.
        double g = a;
        for (int32_t i = 0; i <= last; i++) {
            int32_t status = step_reverse<R>(model, plan, i, &g);
            if (status != STATUS_OK) {
                return status;
            }
            if (i < last && (plan.steps[i].kind == STEP_SLOT || plan.steps[i].kind == STEP_IN_LINEAR)) {
                g = gradient[i + 1];  // a leaf's next element, or what a slot step added
            }
        }
    }
    return STATUS_OK;
}

}  // namespace

int32_t train_samples(PyModel *model, npy_intp n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    TrainPlan plan(model);
    plan_steps(model, &plan);
    model->batch_length = 1;
    return in_regime(plan.schedule, [&](auto regime) { return train_in_regime<decltype(regime)::value>(model, plan, n); });
}
