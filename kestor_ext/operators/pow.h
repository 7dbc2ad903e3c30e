// "pow:1": b^exponent with a learnable exponent, b the operand held at 0.01
// and above (zero and negative operands, where a real power is undefined or
// unbounded, give 0.01^exponent, as "sqrt:1" holds its operand at 0.01), and
// the result held at 1e6 and below (a negative exponent on a small base, or a
// large exponent on a large base, stays finite).  So every finite operand
// gives a finite output.  A new element starts at exponent 1.0, where it
// passes operands of 0.01 and above through unchanged.
#ifndef OPERATORS_POW_H
#define OPERATORS_POW_H

#include "adam_step.h"
#include "operators.h"
#include "parameter.h"
#include "element.h"

struct Pow : ParametrisedDefinition {
    static constexpr const char *name = "pow:1";
    static constexpr StepLatency latency = {80, 20, 45};
    static constexpr double base_rate = 0.001;
    static constexpr const char *attributes[] = {"exponent", nullptr};
    static constexpr double base_min = 0.01;
    static constexpr double value_max = 1e6;

    // The exponent and its moments of the update rule.
    struct State {
        double exponent;
        double exponent_m;
        double exponent_v;
    };

    static State fresh() { return State{1.0, 0.0, 0.0}; }

    static PyObject *get(const State &s, const char *name)
    {
        return name_is(name, "exponent") ? PyFloat_FromDouble(s.exponent) : nullptr;
    }

    // A non-finite exponent is refused: no stored model can mean it, and it
    // would make every output NaN or the clamp value.
    static int32_t set(State &s, const char *name, PyObject *value)
    {
        double number;
        if (!parameter_as_double(value, &number) || !std::isfinite(number) || !name_is(name, "exponent")) {
            return -1;
        }
        s.exponent = number;
        return 0;
    }

    // A NaN operand stays NaN (the comparison fails), and pow(NaN, 0) would
    // be 1.
    static double held_base(double x) { return x < base_min ? base_min : x; }

    static double value(double x, const State &s)
    {
        double b = held_base(x);
        if (b != b) {
            return b;
        }
        double a = std::pow(b, s.exponent);
        return a > value_max ? value_max : a;
    }

    // Through the stored output a and the held base b: the operand receives
    // g·(exponent·a/b) and the exponent the gradient (a·log b)·g.  Inside
    // either clamp these are the derivatives at the held values rather than
    // zero, so training can still leave the clamp (as "sqrt:1" and "exp:1"
    // do).
    template <UpdateRegime R>
    static double train(State &s, double g, double x, double a, double lr, const UpdateSchedule &schedule)
    {
        double b = held_base(x);
        double share = g * ((s.exponent * a) / b);
        adam_step_in<R>(s.exponent, s.exponent_m, s.exponent_v, (a * std::log(b)) * g, lr, schedule);
        return share;
    }

    template <UpdateRegime R>
    static void idle(State &s, double lr, const UpdateSchedule &schedule)
    {
        adam_step_in<R>(s.exponent, s.exponent_m, s.exponent_v, 0.0, lr, schedule);
    }

    // By the operand exponent·a/b, 0 where a clamp holds the value; by the
    // exponent a·log b, 0 where the value's clamp holds it.
    static constexpr const char *const *derived = attributes;

    static void derive(double x, double a, const State &s, Derivatives *out)
    {
        double b = held_base(x);
        bool held_value = std::pow(b, s.exponent) > value_max;
        out->operand[0] = held_value || x < base_min ? 0.0 : s.exponent * a / b;
        out->parameter[0] = held_value ? 0.0 : a * std::log(b);
    }
};

inline void init_pow(kestor_add_fn add) { add(&interaction<Pow>); }

#endif  // OPERATORS_POW_H
