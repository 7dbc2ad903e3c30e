// "out-lr:1": the root of a binary classification model; predicts the
// probability of the positive class through the logistic function.
#ifndef KESTOR_REGISTER_OUT_LR_H
#define KESTOR_REGISTER_OUT_LR_H

#include "output_register.h"
#include "definition.h"
#include "weight_bias.h"

struct LogisticOutputState {
    OutputArrays arrays;  // position, outputarray, yarray, sample_weights
    WeightBias p;         // w, bias and their moments
    OutputColumns columns;  // the bound arrays as read without the lock
};

struct LogisticOutput : RegisterDefinition {
    static constexpr const char *name = "out-lr:1";
    static constexpr int32_t arity = 1;
    static constexpr StepLatency latency = {60, 12, 45};
    static constexpr double base_rate = 0.001;
};

inline double probability_of(const LogisticOutputState *s, double operand)
{
    double z = operand * s->p.w + s->p.bias;
    return 1.0 / (1.0 + std::exp(-z));
}

// From the loss derivative d of the predicted probability p: returns the
// operand's share (with w from before the update) and steps w and bias.
template <UpdateRegime R>
inline double logistic_output_train(LogisticOutputState *s, double d, double p, double operand, double lr,
                                    const UpdateSchedule &schedule)
{
    double g = (1.0 - p) * (d * p);
    double share = s->p.w * g;
    weight_bias_step_in<R>(s->p, operand * g, g, lr, schedule);
    return share;
}

#endif  // KESTOR_REGISTER_OUT_LR_H
