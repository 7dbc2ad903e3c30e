// Parameter update rule shared by every learnable parameter: Adam with the
// bias correction switched off in two stages as the step number grows.
#ifndef KESTOR_ADAM_STEP_H
#define KESTOR_ADAM_STEP_H

#include "kestor.h"

#include <cmath>
#include <type_traits>

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

// Calls f with the schedule's regime as a compile-time constant, for code
// that is written once for every regime (f(std::integral_constant<...>)).
template <class F>
inline auto in_regime(const UpdateSchedule &s, F f)
{
    switch (s.regime) {
        case CORRECT_BOTH_MOMENTS: return f(std::integral_constant<UpdateRegime, CORRECT_BOTH_MOMENTS>{});
        case CORRECT_SECOND_MOMENT: return f(std::integral_constant<UpdateRegime, CORRECT_SECOND_MOMENT>{});
        default: return f(std::integral_constant<UpdateRegime, CORRECT_NEITHER>{});
    }
}

// Updates parameter p and its moments m, v from gradient g at learning rate
// lr, in the regime R of the call.  A moment the regime does not correct is
// used as it is: dividing it by exactly 1.0 would give the same bits (NaN and
// infinities included) at the cost of a division on the update's critical
// path.
template <UpdateRegime R>
inline void adam_step_in(double &p, double &m, double &v, double g, double lr, const UpdateSchedule &s)
{
    m = 0.9 * m + 0.09999999999999998 * g;
    v = 0.999 * v + (0.0010000000000000009 * g) * g;
    double m_hat = R == CORRECT_BOTH_MOMENTS ? m / s.first_moment_divisor : m;
    double v_hat = R == CORRECT_NEITHER ? v : v / s.second_moment_divisor;
    p = p - (m_hat / (std::sqrt(v_hat) + 1e-7)) * lr;
}

// The same update for callers that do not specialise on the regime: it is
// the same for every sample of a call, so the branch is predicted.
inline void adam_step(double &p, double &m, double &v, double g, double lr, const UpdateSchedule &s)
{
    in_regime(s, [&](auto regime) { adam_step_in<decltype(regime)::value>(p, m, v, g, lr, s); });
}

#endif  // KESTOR_ADAM_STEP_H
