// "gaussian:1" and "gaussian:2": exp(-2x²) and exp(-(2x² + 2y²)).
//
// Both descriptors share one forward and one reverse, which pick the variant
// from the element's own descriptor, so other native code can reuse them.
#include "gaussian.h"
#include "predict.h"

KESTOR_EXPORT InteractionType g1;
KESTOR_EXPORT InteractionType g2;

namespace {

inline bool has_second_operand(const PyModel *model, int32_t index) { return model->type[index]->arity == 2; }

int32_t gaussian_forward(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double x = model->activation[index + 1];
    if (has_second_operand(model, index)) {
        double y = model->activation[model->second_operand[index]];
        model->activation[index] = gaussian2_value(x, y);
    } else {
        model->activation[index] = gaussian1_value(x);
    }
    return STATUS_OK;
}

// Differentiates through the stored output a rather than recomputing exp.
int32_t gaussian_reverse(PyModel *model, int32_t index, int32_t n)
{
    if (n <= 0) {
        return STATUS_OK;
    }
    double c = gaussian_common_factor(model->gradient[index], model->activation[index]);
    model->gradient[index + 1] += gaussian_operand_gradient(c, model->activation[index + 1]);
    if (has_second_operand(model, index)) {
        int32_t second = model->second_operand[index];
        model->gradient[second] += gaussian_second_gradient(c, model->activation[second]);
    }
    return STATUS_OK;
}

int32_t gaussian_predict(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                         double *values)
{
    double x = values[index + 1];
    if (has_second_operand(model, index)) {
        values[index] = gaussian2_value(x, values[model->second_operand[index]]);
    } else {
        values[index] = gaussian1_value(x);
    }
    return STATUS_OK;
}

// d e^(-2x²-2y²) / dx = -4x·value, and the same in y.
int32_t gaussian_derive(const PyModel *model, int32_t index, npy_intp /*p*/, const PredictColumn * /*column*/,
                        const double *values, Derivatives *out)
{
    const double value = values[index];
    out->operand[0] = -4.0 * values[index + 1] * value;
    if (has_second_operand(model, index)) {
        out->operand[1] = -4.0 * values[model->second_operand[index]] * value;
    }
    return STATUS_OK;
}

const PredictOps gaussian_predict_ops = {
    nullptr,           // bind
    gaussian_predict,  // value
    gaussian_derive,   // derive
};

}  // namespace

InteractionType g1 = {
    "gaussian:1",      // name
    1,                 // arity
    gaussian_forward,  // forward
    gaussian_reverse,  // reverse
    nullptr,           // attributes
    nullptr,           // setattr
    nullptr,           // getattr
    nullptr,           // allocate
    nullptr,           // deallocate
    nullptr,           // set_inputarray
    nullptr,           // set_expectedarray
    nullptr,           // create_outputarray
    nullptr,           // get_outputarray
    nullptr,           // next
};

InteractionType g2 = {
    "gaussian:2",      // name
    2,                 // arity
    gaussian_forward,  // forward
    gaussian_reverse,  // reverse
    nullptr,           // attributes
    nullptr,           // setattr
    nullptr,           // getattr
    nullptr,           // allocate
    nullptr,           // deallocate
    nullptr,           // set_inputarray
    nullptr,           // set_expectedarray
    nullptr,           // create_outputarray
    nullptr,           // get_outputarray
    nullptr,           // next
};

void init_gaussian()
{
    register_interaction(&g1, &gaussian_predict_ops, STEP_GAUSSIAN1);
    register_interaction(&g2, &gaussian_predict_ops, STEP_GAUSSIAN2);
}
