// "abs:1": magnitude.  Needs no clamp: |x| is finite for every finite x.  The
// derivative is the sign of x, and 0 at either zero, where |x| has no slope
// to follow.
#include "operators.h"
#include "pure_interaction.h"

namespace {

inline double abs_value(double x) { return std::fabs(x); }

// 0.0 * x keeps a NaN operand's NaN in the contribution.
int32_t abs_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double x = model->activation[index + 1];
    double g = model->gradient[index];
    model->gradient[index + 1] += x > 0.0 ? g : (x < 0.0 ? -g : 0.0 * x);
    return STATUS_OK;
}

InteractionType abs1 = {"abs:1", 1, unary_forward<abs_value>, abs_reverse};

}  // namespace

void init_abs(kestor_add_fn add) { add(&abs1); }
