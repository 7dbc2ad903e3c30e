// "sin:1": sine.  Needs no clamp: the sine of every finite operand and the
// factor cos(x) of its derivative lie in [-1, 1].  An infinite operand has no
// sine and gives NaN, like a NaN operand.
#include "operators.h"
#include "pure_interaction.h"

namespace {

inline double sin_value(double x) { return std::sin(x); }

// From the operand: d sin(x) = cos(x).
int32_t sin_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->gradient[index + 1] += model->gradient[index] * std::cos(model->activation[index + 1]);
    return STATUS_OK;
}

InteractionType sin1 = {"sin:1", 1, unary_forward<sin_value>, sin_reverse};

}  // namespace

void init_sin(kestor_add_fn add) { add(&sin1); }
