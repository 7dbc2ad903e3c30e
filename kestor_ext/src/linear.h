// "linear:1": w·x + bias with a learnable weight and bias.
#ifndef KESTOR_LINEAR_H
#define KESTOR_LINEAR_H

#include "weight_bias.h"

// w, bias and their moments.
using LinearState = WeightBias;

constexpr double LINEAR_BASE_RATE = 0.001;

inline double linear_value(double x, const LinearState *s) { return x * s->w + s->bias; }

// The operand's share of gradient g, with w from before this step's update.
inline double linear_operand_gradient(double g, const LinearState *s) { return g * s->w; }

// From the element's gradient g: returns the operand's share and steps w and
// bias.
template <UpdateRegime R>
inline double linear_train(LinearState *s, double g, double operand, double lr, const UpdateSchedule &schedule)
{
    double share = linear_operand_gradient(g, s);
    weight_bias_step_in<R>(*s, operand * g, g, lr, schedule);
    return share;
}

#endif  // KESTOR_LINEAR_H
