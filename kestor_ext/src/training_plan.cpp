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

// One operation of a sample's program: an element's forward or reverse.
struct Operation {
    const void *code;  // the label of the operation in the loop
    int32_t index;
    int32_t second;    // the second operand of a binary element
    void *state;
    double lr;         // the learning rate of the call, for elements with parameters
    kestor_step_fn slot;  // slot operations only
    // Reverse of a leaf or a slot element: where the gradient of the next
    // element is (the record, or a zero past the last element).
    const double *next_gradient;
};

// Every element's forward from the last to the root, every reverse from the
// root to the last, and the end of the sample.
constexpr int MAX_OPERATIONS = 2 * MAX_ELEMENTS + 1;

struct TrainPlan {
    Operation program[MAX_OPERATIONS];
    // Slot operations add into their operands' gradients in the record, which
    // must then start every sample at zero as before; inlined ones set them.
    bool zero_gradients;
    CallLoss loss;
    UpdateSchedule schedule;

    explicit TrainPlan(const PyModel *model) : zero_gradients(false), loss(model), schedule(model->schedule) {}
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

// The labels of the loop, by step kind, for forward and reverse.
struct OperationLabels {
    const void *forward[STEP_INVERSE + 1];
    const void *reverse[STEP_INVERSE + 1];
    const void *forward_double_input;  // in-linear reading float64 values within its column
    const void *end;
};

const double NO_GRADIENT = 0.0;

void plan_program(PyModel *model, npy_intp n, const OperationLabels &labels, TrainPlan *plan)
{
    const int32_t count = model->count;
    Operation *op = plan->program;
    StepKind kinds[MAX_ELEMENTS];
    for (int32_t i = 0; i < count; i++) {
        const InteractionType *type = model->type[i];
        StepKind kind = step_kind_of(type);
        // The operations of the output registers serve only the root.
        if (i > 0 && (kind == STEP_OUT_LINEAR || kind == STEP_OUT_LR)) {
            kind = STEP_SLOT;
        }
        kinds[i] = kind;
        plan->zero_gradients = plan->zero_gradients || kind == STEP_SLOT;
    }
    for (int32_t pass = 0; pass < 2; pass++) {
        for (int32_t j = 0; j < count; j++) {
            bool forward = pass == 0;
            int32_t i = forward ? count - 1 - j : j;
            const InteractionType *type = model->type[i];
            op->code = forward ? labels.forward[kinds[i]] : labels.reverse[kinds[i]];
            op->index = i;
            op->second = model->second_operand[i];
            op->state = model->state[i];
            op->lr = base_rate(kinds[i]) * model->rate_factor;
            op->slot = forward ? type->forward : type->reverse;
            op->next_gradient = i + 1 < count ? &model->gradient[i + 1] : &NO_GRADIENT;
            if (forward && kinds[i] == STEP_IN_LINEAR &&
                linear_input_reads_doubles((const LinearInputState *)model->state[i], n)) {
                op->code = labels.forward_double_input;
            }
            op++;
        }
    }
    op->code = labels.end;
}

// The loop runs one sample's program after the other.  Each operation ends
// by jumping straight to the next one's code, so that the processor predicts
// every jump from its own place in the program.  `a` carries the value the
// last forward left (the next forward's first operand); `g` the gradient the
// last reverse handed its first operand (the next reverse's own).
template <UpdateRegime R>
int32_t train_in_regime(PyModel *model, npy_intp n)
{
    static const OperationLabels labels = {
        {&&forward_slot, &&forward_in_linear, &&forward_out_linear, &&forward_out_lr, &&forward_linear,
         &&forward_add, &&forward_multiply, &&forward_exp, &&forward_gaussian1, &&forward_gaussian2,
         &&forward_tanh, &&forward_log, &&forward_sqrt, &&forward_squared, &&forward_inverse},
        {&&reverse_slot, &&reverse_in_linear, &&reverse_out_linear, &&reverse_out_lr, &&reverse_linear,
         &&reverse_add, &&reverse_multiply, &&reverse_exp, &&reverse_gaussian1, &&reverse_gaussian2,
         &&reverse_tanh, &&reverse_log, &&reverse_sqrt, &&reverse_squared, &&reverse_inverse},
        &&forward_double_input,
        &&end_of_sample,
    };
    TrainPlan plan(model);
    plan_program(model, n, labels, &plan);
    double *activation = model->activation;
    double *gradient = model->gradient;
    const UpdateSchedule schedule = plan.schedule;
    const CallLoss loss = plan.loss;
    const bool zero_gradients = plan.zero_gradients;
    int32_t status = STATUS_OK;
    // The first operand's gradient: each element is the only one that sets its
    // operands' gradients, which start every sample at zero.
    double first;
    double a = 0.0, g = 0.0;
    const Operation *op;
    ScoredSample scored{};  // what the root's forward read for its reverse

#define NEXT_OPERATION() \
    do {                 \
        op++;            \
        goto *op->code;  \
    } while (0)
#define FORWARD_VALUE(value)             \
    do {                                 \
        a = (value);                     \
        activation[op->index] = a;       \
        NEXT_OPERATION();                \
    } while (0)
#define HAND_DOWN(first_gradient)        \
    do {                                 \
        g = (first_gradient);            \
        gradient[op->index + 1] = g;     \
        NEXT_OPERATION();                \
    } while (0)

    for (npy_intp k = 0; k < n; k++) {
        if (zero_gradients) {
            std::fill(gradient, gradient + MAX_ELEMENTS, 0.0);
        }
        a = 0.0;
        op = plan.program;
        goto *op->code;

    forward_in_linear: {
        auto *s = (LinearInputState *)op->state;
        double x;
        status = linear_input_sample(s, &x);
        if (status != STATUS_OK) {
            return status;
        }
        s->position += 1;
        FORWARD_VALUE(input_value(s, x));
    }
    forward_double_input: {
        auto *s = (LinearInputState *)op->state;
        double x;
        status = linear_input_double_sample(s, &x);
        if (status != STATUS_OK) {
            return status;
        }
        s->position += 1;
        FORWARD_VALUE(input_value(s, x));
    }
    forward_out_linear: {
        auto *s = (LinearOutputState *)op->state;
        a = prediction_of(s, a);
        activation[op->index] = a;
        status = output_score(s->arrays, s->columns, loss, a, &scored);
        if (status != STATUS_OK) {
            return status;
        }
        g = a;  // the root's reverse starts from its prediction
        NEXT_OPERATION();
    }
    forward_out_lr: {
        auto *s = (LogisticOutputState *)op->state;
        a = probability_of(s, a);
        activation[op->index] = a;
        status = output_score(s->arrays, s->columns, loss, a, &scored);
        if (status != STATUS_OK) {
            return status;
        }
        g = a;
        NEXT_OPERATION();
    }
    forward_linear: FORWARD_VALUE(linear_value(a, (const LinearState *)op->state));
    forward_add: FORWARD_VALUE(add_value(a, activation[op->second]));
    forward_multiply: FORWARD_VALUE(multiply_value(a, activation[op->second]));
    forward_exp: FORWARD_VALUE(exp_value(a));
    forward_gaussian1: FORWARD_VALUE(gaussian1_value(a));
    forward_gaussian2: FORWARD_VALUE(gaussian2_value(a, activation[op->second]));
    forward_tanh: FORWARD_VALUE(tanh_value(a));
    forward_log: FORWARD_VALUE(log_value(a));
    forward_sqrt: FORWARD_VALUE(sqrt_value(a));
    forward_squared: FORWARD_VALUE(squared_value(a));
    forward_inverse: FORWARD_VALUE(inverse_value(a));
    forward_slot:
        status = op->slot(model, op->index, 1);
        if (status != STATUS_OK) {
            return status;
        }
        a = activation[op->index];
        g = a;
        NEXT_OPERATION();

    reverse_in_linear:
        linear_input_train<R>((LinearInputState *)op->state, g, op->lr, schedule);
        g = *op->next_gradient;  // the next element is a second operand
        NEXT_OPERATION();
    reverse_out_linear: {
        auto *s = (LinearOutputState *)op->state;
        double d;
        status = output_derivative(s->arrays, s->columns, loss, scored, g, &d);
        if (status != STATUS_OK) {
            return status;
        }
        HAND_DOWN(linear_output_train<R>(s, d, activation[op->index + 1], op->lr, schedule) + 0.0);
    }
    reverse_out_lr: {
        auto *s = (LogisticOutputState *)op->state;
        double d;
        status = output_derivative(s->arrays, s->columns, loss, scored, g, &d);
        if (status != STATUS_OK) {
            return status;
        }
        HAND_DOWN(0.0 + logistic_output_train<R>(s, d, g, activation[op->index + 1], op->lr, schedule));
    }
    reverse_linear:
        HAND_DOWN(0.0 + linear_train<R>((LinearState *)op->state, g, activation[op->index + 1], op->lr, schedule));
    reverse_add:
        gradient[op->second] = 0.0 + g;
        HAND_DOWN(0.0 + g);
    reverse_multiply:
        first = 0.0 + multiply_first_gradient(g, activation[op->second]);
        gradient[op->second] = 0.0 + multiply_second_gradient(g, activation[op->index + 1]);
        HAND_DOWN(first);
    reverse_exp: HAND_DOWN(0.0 + exp_operand_gradient(g, activation[op->index]));
    reverse_gaussian1:
        HAND_DOWN(0.0 + gaussian_operand_gradient(gaussian_common_factor(g, activation[op->index]),
                                                  activation[op->index + 1]));
    reverse_gaussian2: {
        double c = gaussian_common_factor(g, activation[op->index]);
        first = 0.0 + gaussian_operand_gradient(c, activation[op->index + 1]);
        gradient[op->second] = 0.0 + gaussian_second_gradient(c, activation[op->second]);
        HAND_DOWN(first);
    }
    reverse_tanh: HAND_DOWN(0.0 + tanh_operand_gradient(g, activation[op->index]));
    reverse_log: HAND_DOWN(0.0 + log_operand_gradient(g, activation[op->index + 1]));
    reverse_sqrt: HAND_DOWN(0.0 + sqrt_operand_gradient(g, activation[op->index]));
    reverse_squared: HAND_DOWN(0.0 + squared_operand_gradient(g, activation[op->index + 1]));
    reverse_inverse: HAND_DOWN(inverse_add_operand_gradient(0.0, g, activation[op->index + 1]));
    reverse_slot:
        status = op->slot(model, op->index, 1);
        if (status != STATUS_OK) {
            return status;
        }
        g = *op->next_gradient;  // what the slot added, or a second operand's
        NEXT_OPERATION();

    end_of_sample:;
    }
#undef HAND_DOWN
#undef FORWARD_VALUE
#undef NEXT_OPERATION
    return STATUS_OK;
}

}  // namespace

int32_t train_samples(PyModel *model, npy_intp n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->batch_length = 1;
    return in_regime(model->schedule,
                     [&](auto regime) { return train_in_regime<decltype(regime)::value>(model, n); });
}
