// "out-linear:1": the root of a regression model.  Its prediction is a
// weighted operand mapped into the units of the expected values.
#ifndef KESTOR_REGISTER_OUT_LIN_H
#define KESTOR_REGISTER_OUT_LIN_H

#include "output_register.h"
#include "definition.h"
#include "weight_bias.h"

struct LinearOutputState {
    OutputArrays arrays;  // position, outputarray, yarray, sample_weights
    ScaledWeightBias p;   // detect_scale, scale, scale_offset, w, bias and moments
    OutputColumns columns;  // the bound arrays as read without the lock
};

struct LinearOutput : RegisterDefinition {
    static constexpr const char *name = "out-linear:1";
    static constexpr int32_t arity = 1;
    static constexpr StepLatency latency = {12, 20, 45};
    static constexpr double base_rate = 0.003;
};

inline double prediction_of(const LinearOutputState *s, double operand)
{
    return ((operand * s->p.wb.w) + s->p.wb.bias) * s->p.scale + s->p.scale_offset;
}

// From the loss derivative d of the prediction: returns the operand's share
// (with w from before the update) and steps w and bias.
template <UpdateRegime R>
inline double linear_output_train(LinearOutputState *s, double d, double operand, double lr,
                                  const UpdateSchedule &schedule)
{
    double g = d / s->p.scale;
    double share = s->p.wb.w * g;
    weight_bias_step_in<R>(s->p.wb, operand * g, g, lr, schedule);
    return share;
}

#endif  // KESTOR_REGISTER_OUT_LIN_H
