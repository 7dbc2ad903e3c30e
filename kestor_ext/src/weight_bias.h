// Learnable parameters shared by the weighted element types: the records,
// their update and their getattr/setattr slots.
#ifndef KESTOR_WEIGHT_BIAS_H
#define KESTOR_WEIGHT_BIAS_H

#include "adam_step.h"
#include "parameter.h"

// The parameter names of the records below, as descriptors list them.
inline constexpr const char *weight_bias_attributes[] = {"w", "bias", nullptr};
inline constexpr const char *scaled_weight_bias_attributes[] = {"scale", "scale_offset", "w", "bias", "detect_scale",
                                                                 nullptr};

// A weight and a bias with the moments of the update rule.
struct WeightBias {
    double w;
    double bias;
    double w_m;
    double w_v;
    double bias_m;
    double bias_v;
};

// A weight and bias behind a scale detected from the data the first time
// it is bound (while `detect_scale` is set).
struct ScaledWeightBias {
    int32_t detect_scale;
    double scale;
    double scale_offset;
    WeightBias wb;
};

inline ScaledWeightBias fresh_scaled_weight_bias()
{
    ScaledWeightBias p{};
    p.detect_scale = 1;
    p.scale = 1.0;
    return p;
}

// w first, then bias; both gradients were computed before either update.
template <UpdateRegime R>
inline void weight_bias_step_in(WeightBias &p, double g_w, double g_bias, double lr, const UpdateSchedule &s)
{
    adam_step_in<R>(p.w, p.w_m, p.w_v, g_w, lr, s);
    adam_step_in<R>(p.bias, p.bias_m, p.bias_v, g_bias, lr, s);
}

inline void weight_bias_step(WeightBias &p, double g_w, double g_bias, double lr, const UpdateSchedule &s)
{
    in_regime(s, [&](auto regime) { weight_bias_step_in<decltype(regime)::value>(p, g_w, g_bias, lr, s); });
}

// getattr: a new float, or null without an exception for an unknown name.
inline PyObject *weight_bias_get(const WeightBias &p, const char *name)
{
    if (name_is(name, "w")) return PyFloat_FromDouble(p.w);
    if (name_is(name, "bias")) return PyFloat_FromDouble(p.bias);
    return nullptr;
}

inline PyObject *scaled_weight_bias_get(const ScaledWeightBias &p, const char *name)
{
    if (name_is(name, "scale")) return PyFloat_FromDouble(p.scale);
    if (name_is(name, "scale_offset")) return PyFloat_FromDouble(p.scale_offset);
    if (name_is(name, "detect_scale")) return PyLong_FromLong(p.detect_scale);
    return weight_bias_get(p.wb, name);
}

// Stores an already converted value; false for an unknown name.
inline bool weight_bias_assign(WeightBias &p, const char *name, double number)
{
    if (name_is(name, "w")) p.w = number;
    else if (name_is(name, "bias")) p.bias = number;
    else return false;
    return true;
}

// setattr: 0, or -1 for a non-number or an unknown name.  The value is
// converted once; only the parameter changes, its moments keep their values.
inline int32_t weight_bias_set(WeightBias &p, const char *name, PyObject *value)
{
    double number;
    if (!parameter_as_double(value, &number)) return -1;
    return weight_bias_assign(p, name, number) ? 0 : -1;
}

inline int32_t scaled_weight_bias_set(ScaledWeightBias &p, const char *name, PyObject *value)
{
    double number;
    if (!parameter_as_double(value, &number)) return -1;
    if (name_is(name, "scale")) p.scale = number;
    else if (name_is(name, "scale_offset")) p.scale_offset = number;
    else if (name_is(name, "detect_scale")) return parameter_as_flag(value, &p.detect_scale) ? 0 : -1;
    else return weight_bias_assign(p.wb, name, number) ? 0 : -1;
    return 0;
}

#endif  // KESTOR_WEIGHT_BIAS_H
