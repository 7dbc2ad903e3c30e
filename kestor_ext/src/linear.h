// "linear:1": w·x + bias with a learnable weight and bias.
#ifndef KESTOR_LINEAR_H
#define KESTOR_LINEAR_H

#include "element.h"
#include "weight_bias.h"

struct Linear : ParametrisedDefinition {
    static constexpr const char *name = "linear:1";
    static constexpr StepLatency latency = {6, 6, 45};
    static constexpr double base_rate = 0.001;
    static constexpr const char *const *attributes = weight_bias_attributes;

    using State = WeightBias;  // w, bias and their moments

    static State fresh() { return State{}; }
    static PyObject *get(const State &s, const char *name) { return weight_bias_get(s, name); }
    static int32_t set(State &s, const char *name, PyObject *value) { return weight_bias_set(s, name, value); }

    static double value(double x, const State &s) { return x * s.w + s.bias; }

    // From the element's gradient g: returns the operand's share, with w from
    // before the update, and steps w and bias.
    template <UpdateRegime R>
    static double train(State &s, double g, double x, double /*a*/, double lr, const UpdateSchedule &schedule)
    {
        double share = g * s.w;
        weight_bias_step_in<R>(s, x * g, g, lr, schedule);
        return share;
    }

    template <UpdateRegime R>
    static void idle(State &s, double lr, const UpdateSchedule &schedule)
    {
        weight_bias_step_in<R>(s, 0.0, 0.0, lr, schedule);
    }

    static constexpr const char *const *derived = weight_bias_attributes;

    static void derive(double x, double /*a*/, const State &s, Derivatives *out)
    {
        out->operand[0] = s.w;
        out->parameter[WEIGHT] = x;
        out->parameter[BIAS] = 1.0;
    }
};

inline void init_linear()
{
    register_element<Linear>();
}

#endif  // KESTOR_LINEAR_H
