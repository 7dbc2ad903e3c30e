// "cos:1": cosine.  Needs no clamp: the cosine of every finite operand and
// the factor -sin(x) of its derivative lie in [-1, 1].  An infinite operand
// has no cosine and gives NaN, like a NaN operand.
#include "operators.h"
#include "pure_interaction.h"

namespace {

inline double cos_value(double x) { return std::cos(x); }

// From the operand: d cos(x) = -sin(x).
int32_t cos_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    model->gradient[index + 1] += (-model->gradient[index]) * std::sin(model->activation[index + 1]);
    return STATUS_OK;
}

InteractionType cos1 = {"cos:1", 1, unary_forward<cos_value>, cos_reverse};

}  // namespace

void init_cos(kestor_add_fn add) { add(&cos1); }
