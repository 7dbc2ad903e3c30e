// "gaussian:1" and "gaussian:2" (gaussian.h).
//
// Both descriptors share one forward and one reverse, which pick the variant
// from the element's own descriptor, so other native code can reuse them.
#include "gaussian.h"

KESTOR_EXPORT InteractionType g1;
KESTOR_EXPORT InteractionType g2;

namespace {

inline bool has_second_operand(const PyModel *model, int32_t index) { return model->type[index]->arity == 2; }

int32_t gaussian_forward(PyModel *model, int32_t index, int32_t n)
{
    return has_second_operand(model, index) ? pure_forward<Gaussian2>(model, index, n)
                                            : pure_forward<Gaussian1>(model, index, n);
}

int32_t gaussian_reverse(PyModel *model, int32_t index, int32_t n)
{
    return has_second_operand(model, index) ? pure_reverse<Gaussian2>(model, index, n)
                                            : pure_reverse<Gaussian1>(model, index, n);
}

}  // namespace

InteractionType g1 = {Gaussian1::name, Gaussian1::arity, gaussian_forward, gaussian_reverse};
InteractionType g2 = {Gaussian2::name, Gaussian2::arity, gaussian_forward, gaussian_reverse};

void init_gaussian()
{
    register_interaction(&g1, &predict_ops<Gaussian1>);
    register_interaction(&g2, &predict_ops<Gaussian2>);
}
