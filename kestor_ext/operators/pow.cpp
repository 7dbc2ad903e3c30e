// "pow:1": b^exponent with a learnable exponent, b the operand held at 0.01
// and above (zero and negative operands, where a real power is undefined or
// unbounded, give 0.01^exponent, as "sqrt:1" holds its operand at 0.01), and
// the result held at 1e6 and below (a negative exponent on a small base, or a
// large exponent on a large base, stays finite).  So every finite operand
// gives a finite output.  A new element starts at exponent 1.0, where it
// passes operands of 0.01 and above through unchanged.
#include "operators.h"
#include "adam_step.h"
#include "parameter.h"

#include <cstdlib>

namespace {

constexpr double POW_BASE_RATE = 0.001;

// The exponent and its moments of the update rule.
struct PowState {
    double exponent;
    double exponent_m;
    double exponent_v;
};

const char *const pow_attributes[] = {"exponent", nullptr};

inline PowState *pow_state(const PyModel *model, int32_t index) { return static_cast<PowState *>(model->state[index]); }

// A NaN operand stays NaN (the comparison fails), and pow(NaN, 0) would be 1.
inline double held_base(double x) { return x < POW_BASE_MIN ? POW_BASE_MIN : x; }

inline double pow_value(double x, double exponent)
{
    double b = held_base(x);
    if (b != b) {
        return b;
    }
    double a = std::pow(b, exponent);
    return a > POW_VALUE_MAX ? POW_VALUE_MAX : a;
}

void *pow_allocate(PyModel * /*model*/, int32_t /*index*/)
{
    PowState *s = static_cast<PowState *>(std::calloc(1, sizeof(PowState)));
    if (s != nullptr) {
        s->exponent = 1.0;
    }
    return s;
}

void pow_deallocate(PyModel * /*model*/, int32_t /*index*/, void *state) { std::free(state); }

PyObject *pow_getattr(PyModel *model, int32_t index, const char *name)
{
    return name_is(name, "exponent") ? PyFloat_FromDouble(pow_state(model, index)->exponent) : nullptr;
}

// A non-finite exponent is refused: no stored model can mean it, and it
// would make every output NaN or the clamp value.
int32_t pow_setattr(PyModel *model, int32_t index, const char *name, PyObject *value)
{
    double number;
    if (!parameter_as_double(value, &number) || !std::isfinite(number) || !name_is(name, "exponent")) {
        return -1;
    }
    pow_state(model, index)->exponent = number;
    return 0;
}

int32_t pow_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n > 0) {
        model->activation[index] = pow_value(model->activation[index + 1], pow_state(model, index)->exponent);
    }
    return STATUS_OK;
}

// Through the stored output a and the held base b: the operand receives
// g·(exponent·a/b) and the exponent the gradient (a·log b)·g.  Inside either
// clamp these are the derivatives at the held values rather than zero, so
// training can still leave the clamp (as "sqrt:1" and "exp:1" do).  The
// operand's gradient uses the exponent from before this step's update; the
// exponent steps even when no sample came in (its moments decay).
int32_t pow_reverse(PyModel *model, int32_t index, int32_t n)
{
    PowState *s = pow_state(model, index);
    double g_exponent = 0.0;
    if (n > 0) {
        double g = model->gradient[index];
        double a = model->activation[index];
        double b = held_base(model->activation[index + 1]);
        model->gradient[index + 1] += g * ((s->exponent * a) / b);
        g_exponent = (a * std::log(b)) * g;
    }
    adam_step(s->exponent, s->exponent_m, s->exponent_v, g_exponent, POW_BASE_RATE * model->rate_factor,
              model->schedule);
    return STATUS_OK;
}

InteractionType pow1 = {
    "pow:1",
    1,
    pow_forward,
    pow_reverse,
    pow_attributes,
    pow_setattr,
    pow_getattr,
    pow_allocate,
    pow_deallocate,
};

}  // namespace

void init_pow(kestor_add_fn add) { add(&pow1); }
