// Parameter update rule shared by every learnable parameter: Adam with the
// bias correction switched off in two stages as the step number grows.
#ifndef KESTOR_ADAM_STEP_H
#define KESTOR_ADAM_STEP_H

#include "kestor.h"

#include <cmath>

// The schedule for step number t (the model's sample counter during the call).
inline UpdateSchedule update_schedule(int32_t t)
{
    if (t < 1) {
        t = 1;  // a non-positive step has no meaningful correction; use the first
    }
    UpdateSchedule s{1.0, 1.0, CORRECT_NEITHER};
    if (t < 2000) {
        s.second_moment_divisor = 1.0 - std::pow(0.999, (double)t);
        s.regime = CORRECT_SECOND_MOMENT;
    }
    if (t < 30) {
        s.first_moment_divisor = 1.0 - std::pow(0.9, (double)t);
        s.regime = CORRECT_BOTH_MOMENTS;
    }
    return s;
}

// Updates parameter p and its moments m, v from gradient g at learning rate
// lr.  A moment the regime does not correct is used as it is: dividing it by
// exactly 1.0 would give the same bits (NaN and infinities included) at the
// cost of a division on the update's critical path.  The regime is the same
// for every sample of a call, so its branches are predicted.
inline void adam_step(double &p, double &m, double &v, double g, double lr, const UpdateSchedule &s)
{
    m = 0.9 * m + 0.09999999999999998 * g;
    v = 0.999 * v + (0.0010000000000000009 * g) * g;
    double m_hat = m;
    double v_hat = v;
    if (s.regime != CORRECT_NEITHER) {
        v_hat = v / s.second_moment_divisor;
        if (s.regime == CORRECT_BOTH_MOMENTS) {
            m_hat = m / s.first_moment_divisor;
        }
    }
    p = p - (m_hat / (std::sqrt(v_hat) + 1e-7)) * lr;
}

#endif  // KESTOR_ADAM_STEP_H
