// "divide:2": x / y, with divisors closer to zero than 0.05 treated as ±0.05
// (on the side of y's sign bit, so -0.0 divides as -0.05), as "inverse:1"
// holds its operand; a quotient beyond the largest double (|x| above 0.05
// times it) is held at ±DBL_MAX.  So every pair of finite operands gives a
// finite output.
#include "operators.h"
#include "pure_interaction.h"

namespace {

constexpr double DIVISOR_MIN_MAGNITUDE = 0.05;

inline double held_divisor(double y)
{
    return std::fabs(y) < DIVISOR_MIN_MAGNITUDE ? std::copysign(DIVISOR_MIN_MAGNITUDE, y) : y;
}

inline double divide_value(double x, double y)
{
    double q = x / held_divisor(y);
    return std::fabs(q) > DBL_MAX ? std::copysign(DBL_MAX, q) : q;
}

// With d the held divisor and a the stored output: x receives g/d and y
// receives -(g/d)·a, the derivative of x/d at d.  Inside the clamp that is
// the derivative at the threshold, not the zero slope of the held value, so
// training still sees which way the divisor should move (as "log:1" keeps
// g/0.0001 in its clamp).  Unlike "inverse:1", there is no push that ignores
// g: the numerator decides whether a larger quotient is wanted.
int32_t divide_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    int32_t second = model->second_operand[index];
    double c = model->gradient[index] / held_divisor(model->activation[second]);
    double a = model->activation[index];
    model->gradient[index + 1] += c;
    model->gradient[second] += (-c) * a;
    return STATUS_OK;
}

InteractionType divide2 = {"divide:2", 2, binary_forward<divide_value>, divide_reverse};

}  // namespace

void init_divide(kestor_add_fn add) { add(&divide2); }
