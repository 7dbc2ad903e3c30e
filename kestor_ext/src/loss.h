// The loss functions a model trains with, expected value first, prediction
// second, and how a training call evaluates them.
#ifndef KESTOR_LOSS_H
#define KESTOR_LOSS_H

#include "kestor.h"

#include <cmath>

inline double absolute_error(double e, double p) { return std::fabs(e - p); }

inline double absolute_error_derivative(double e, double p) { return e >= p ? -1.0 : 1.0; }

// Single precision on purpose: the difference is rounded to 32 bits and
// squared in 32-bit arithmetic.
inline double squared_error(double e, double p)
{
    float d = (float)(p - e);
    float squared = d * d;
    return (double)squared;
}

inline double squared_error_derivative(double e, double p)
{
    double d = p - e;
    return d + d;
}

inline double binary_cross_entropy(double e, double p)
{
    double q = p;
    if (p < 1e-7) {
        q = 1e-7;
    }
    else if (p > 0.9999999) {
        q = 0.9999999;
    }
    double a = (double)logf((float)q);
    double b = (double)logf((float)(1.0 - q));
    return (-e) * a - (1 - e) * b;
}

inline double binary_cross_entropy_derivative(double e, double p) { return e == 0.0 ? p : p - 1.0; }

// The model's own pair, called through its record.
struct ModelLoss {
    const PyModel *model;

    double value(double e, double p) const { return model->loss_fn(e, p); }
    double derivative(double e, double p) const { return model->loss_derivative(e, p); }
};

// The pair found once per training call: the built-in pairs inline, any
// other pair through the record.  The kind is the same for every sample of
// the call, so the branches are predicted.
enum LossKind : int32_t { LOSS_OF_MODEL, LOSS_ABSOLUTE, LOSS_SQUARED, LOSS_CROSS_ENTROPY };

struct CallLoss {
    LossKind kind;
    ModelLoss model;

    explicit CallLoss(const PyModel *m) : kind(LOSS_OF_MODEL), model{m}
    {
        if (m->loss_fn == absolute_error && m->loss_derivative == absolute_error_derivative) {
            kind = LOSS_ABSOLUTE;
        }
        else if (m->loss_fn == squared_error && m->loss_derivative == squared_error_derivative) {
            kind = LOSS_SQUARED;
        }
        else if (m->loss_fn == binary_cross_entropy && m->loss_derivative == binary_cross_entropy_derivative) {
            kind = LOSS_CROSS_ENTROPY;
        }
    }

    double value(double e, double p) const
    {
        switch (kind) {
            case LOSS_SQUARED: return squared_error(e, p);
            case LOSS_CROSS_ENTROPY: return binary_cross_entropy(e, p);
            case LOSS_ABSOLUTE: return absolute_error(e, p);
            default: return model.value(e, p);
        }
    }

    double derivative(double e, double p) const
    {
        switch (kind) {
            case LOSS_SQUARED: return squared_error_derivative(e, p);
            case LOSS_CROSS_ENTROPY: return binary_cross_entropy_derivative(e, p);
            case LOSS_ABSOLUTE: return absolute_error_derivative(e, p);
            default: return model.derivative(e, p);
        }
    }
};

#endif  // KESTOR_LOSS_H
