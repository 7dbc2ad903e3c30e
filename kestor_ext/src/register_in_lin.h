// "in-linear:0": a numeric column, normalised to -1..1 by a detected scale,
// then weighted.
#ifndef KESTOR_REGISTER_IN_LIN_H
#define KESTOR_REGISTER_IN_LIN_H

#include "column.h"
#include "definition.h"
#include "weight_bias.h"

struct LinearInputState {
    int32_t position;
    PyObject *inputarray;
    ScaledWeightBias p;  // detect_scale, scale, scale_offset, w, bias and moments
    double raw_value;
    Column column;  // the bound array as read without the lock
};

struct LinearInput : RegisterDefinition {
    static constexpr const char *name = "in-linear:0";
    static constexpr int32_t arity = 0;
    static constexpr StepLatency latency = {6, 0, 45};
    static constexpr double base_rate = 0.001;
};

inline double input_value(const LinearInputState *s, double x)
{
    return ((x - s->p.scale_offset) * s->p.scale) * s->p.wb.w + s->p.wb.bias;
}

// Reads the sample at the position into raw_value and *x; returns a status.
inline int32_t linear_input_sample(LinearInputState *s, double *x)
{
    if (s->position >= s->column.length) {
        return STATUS_OUT_OF_RANGE;
    }
    if (!read_typed(s->column, s->position, x)) {
        return STATUS_UNSUPPORTED;
    }
    s->raw_value = *x;
    return is_finite_value(*x) ? STATUS_OK : STATUS_NOT_FINITE;
}

// True when the next n samples are float64 values within the column: they can
// be read without the checks of linear_input_sample.
inline bool linear_input_reads_doubles(const LinearInputState *s, npy_intp n)
{
    return s->column.type_num == NPY_DOUBLE && s->position >= 0 && s->position <= s->column.length - n;
}

// linear_input_sample for a column where linear_input_reads_doubles holds.
inline int32_t linear_input_double_sample(LinearInputState *s, double *x)
{
    std::memcpy(x, s->column.data + s->position * s->column.stride, sizeof *x);
    s->raw_value = *x;
    return is_finite_value(*x) ? STATUS_OK : STATUS_NOT_FINITE;
}

// Steps w and bias from the element's gradient g.
template <UpdateRegime R>
inline void linear_input_train(LinearInputState *s, double g, double lr, const UpdateSchedule &schedule)
{
    weight_bias_step_in<R>(s->p.wb, (s->raw_value * s->p.scale) * g, g, lr, schedule);
}

#endif  // KESTOR_REGISTER_IN_LIN_H
